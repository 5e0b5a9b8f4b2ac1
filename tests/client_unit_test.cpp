// The client library's pieces against a scripted peer on a socket pair: what
// is sent, how replies are checked, and the replies a real broker never
// sends; connecting where no broker is; the status texts.
#include "client_harness.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vandrel::test {
namespace {

TEST(ClientConnect, FailuresLeaveTheClientClosed) {
    // A port that nobody listens on: bound, then released.
    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    std::set<int> before = open_fd_numbers();
    LibClient client;
    std::string addr = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(vandrel_connect(client.out(), addr.c_str(), 2000), VANDREL_ERR_CONNECT);
    EXPECT_EQ(vandrel_os_error(client.get()), ECONNREFUSED);
    EXPECT_TRUE(fds_opened_since(before).empty()) << "the failed socket is closed";
    EXPECT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_ERR_NOT_OPEN);

    const std::string long_path = "unix:/" + std::string(200, 'x');
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", ":27420", "[::1]27420",
                            "127.0.0.1:27a", "[]:1", "unix:", long_path.c_str()}) {
        EXPECT_EQ(vandrel_connect(client.out(), bad, 1000), VANDREL_ERR_ARGUMENT) << bad;
        ASSERT_NE(client.get(), nullptr) << "a failed open still gives a client to close";
    }
    EXPECT_EQ(vandrel_connect(nullptr, nullptr, 1000), VANDREL_ERR_ARGUMENT);

    TempDir dir;
    EXPECT_EQ(vandrel_connect(client.out(), ("unix:" + dir.path() + "/none").c_str(), 1000),
              VANDREL_ERR_CONNECT);
    EXPECT_EQ(vandrel_os_error(client.get()), ENOENT);
}

// A request as vandrel_process hands it out.
struct Ended {
    vandrel_request_id id;
    vandrel_status status;
    std::string broker_error;
    bool operator==(const Ended&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Ended& e) {
        return out << "{" << e.id << ", " << vandrel_status_text(e.status) << ", \""
                   << e.broker_error << "\"}";
    }
};

// A status reply: "vd_status\n", the challenge, the text.
Bytes status_reply(std::int32_t challenge, std::string_view text) {
    Bytes out = bytes_of("vd_status\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// A socket pair: the client on one end, the test as the broker on the other.
class Peer : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mine_.reset(fds[0]);
        theirs_.reset(fds[1]);
        ASSERT_EQ(vandrel_attach(client_.out(), theirs_.get(), theirs_.get(), 0), VANDREL_OK);
        // Every open asks for error replies first. The peer plays a broker
        // without them (it never answers a failure) unless a test sends one.
        ASSERT_EQ(sent(), bytes_of("vd_errors on"));
    }
    // True when the client has sent nothing.
    bool nothing_sent() {
        char c;
        return ::recv(mine_.get(), &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    std::optional<Bytes> sent() { return read_frame(mine_.get(), 2s); }
    void reply(const Bytes& bytes) { write_bytes(mine_.get(), bytes); }
    vandrel_status request(std::int32_t challenge, int timeout_ms, TicketBuf& ticket) {
        auto r = request_for("1.2.3.4:27015", 9, 1, challenge);
        return vandrel_request_ticket(client_.get(), &r, timeout_ms, &ticket.t);
    }
    // Sends a ticket request without waiting; its identifier.
    vandrel_request_id send(std::int32_t challenge, int timeout_ms, TicketBuf& ticket) {
        auto r = request_for("1.2.3.4:27015", 9, 1, challenge);
        vandrel_request_id id = 0;
        EXPECT_EQ(vandrel_send_ticket_request(client_.get(), &r, timeout_ms, &ticket.t, &id),
                  VANDREL_OK);
        EXPECT_EQ(sent(), bytes_of("vd_connect 1.2.3.4:27015 9 1 " + std::to_string(challenge)));
        return id;
    }
    // Every request that vandrel_process hands out now, in its order, each
    // with the broker's text that came with it; `last_` is what the last
    // call returned.
    std::vector<Ended> ended() {
        std::vector<Ended> out;
        vandrel_completion done{};
        while ((last_ = vandrel_process(client_.get(), &done)) == VANDREL_OK && done.id != 0)
            out.push_back({done.id, done.status, vandrel_broker_error(client_.get())});
        EXPECT_EQ(done.id, 0u);
        return out;
    }

    Fd mine_;
    Fd theirs_;
    LibClient client_;
    vandrel_status last_ = VANDREL_OK;
};

TEST_F(Peer, BadArgumentsAreRejectedBeforeAnythingIsSent) {
    const std::string longest(VANDREL_MAX_GAMEDIR_LEN, 'a');
    const std::string too_long(VANDREL_MAX_GAMEDIR_LEN + 1, 'a');
    for (const char* bad : {static_cast<const char*>(nullptr), "", "cs strike", "cs\tstrike",
                            "cstrike\n", "caf\xC3\xA9", "a\x7F",
                            "a\x0B"
                            "b",
                            too_long.c_str()}) {
        EXPECT_EQ(vandrel_activate_gamedir(client_.get(), bad), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_check_gamedir(bad), VANDREL_ERR_ARGUMENT) << (bad ? bad : "NULL");
    }
    TicketBuf ticket;
    for (const char* bad : {static_cast<const char*>(nullptr),
                            "",
                            "1.2.3.4",
                            "1.2.3.4:",
                            "1.2.3.4:65536",
                            "256.0.0.1:1",
                            "01.2.3.4:1",
                            "1.2.3.04:1",
                            "1.2.3:1",
                            "1.2.3.4.5:1",
                            "1.2.3.4:80x",
                            " 1.2.3.4:1",
                            "1.2.3.4:1 ",
                            "1.2.3.4:1\n",
                            "localhost:27015",
                            "[::1]:27015",
                            "1.2.3.4:+80",
                            "-1.2.3.4:1",
                            "1.2.3.4:99999999999999999999",
                            "1.2.3.4:-1",
                            "1111.2.3.4:1"}) {
        auto r = request_for(bad, 1, 1, 1);
        EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_end_ticket(client_.get(), bad, 1), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_check_server(bad), VANDREL_ERR_ARGUMENT) << (bad ? bad : "NULL");
    }
    auto good = request_for("1.2.3.4:27015", 1, 1, 1);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), nullptr, 0, &ticket.t), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &good, 0, nullptr), VANDREL_ERR_ARGUMENT);
    vandrel_ticket no_buffer{nullptr, 16, 0, 0};
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &good, 0, &no_buffer), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_activate_gamedir(nullptr, "cstrike"), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_terminate(nullptr), VANDREL_ERR_ARGUMENT);
    EXPECT_TRUE(nothing_sent());

    // The edges that are accepted go out as they were given.
    ASSERT_EQ(vandrel_activate_gamedir(client_.get(), longest.c_str()), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_gamedir " + longest));
    ASSERT_EQ(vandrel_end_ticket(client_.get(), "1.2.3.4:00080", 0), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_disconnect 1.2.3.4:00080 0"));
    for (const char* edge : {"0.0.0.0:0", "255.255.255.255:65535"})
        EXPECT_EQ(vandrel_check_server(edge), VANDREL_OK) << edge;
    EXPECT_TRUE(nothing_sent());
}

TEST_F(Peer, CommandsGoOutAsOneFrameEach) {
    ASSERT_EQ(vandrel_activate_gamedir(client_.get(), "cstrike"), VANDREL_OK);
    auto raw = read_exact(mine_.get(), 6 + 18, 2s);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(*raw, concat({Bytes{0x56, 0x44, 0x52, 0x4C, 18, 0}, bytes_of("vd_gamedir cstrike")}));

    TicketBuf ticket;
    auto r = request_for("1.2.3.4:27015", 76561197960287930ULL, 1, -5);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_TIMEOUT);
    EXPECT_EQ(sent(), bytes_of("vd_connect 1.2.3.4:27015 76561197960287930 1 -5"));
    r = request_for("10.0.0.1:1", UINT64_MAX, -7, INT32_MIN);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_TIMEOUT);
    EXPECT_EQ(sent(), bytes_of("vd_connect 10.0.0.1:1 18446744073709551615 -7 -2147483648"));
    ASSERT_EQ(vandrel_end_ticket(client_.get(), "1.2.3.4:27015", -5), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_disconnect 1.2.3.4:27015 -5"));
    ASSERT_EQ(vandrel_terminate(client_.get()), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_terminate"));
    EXPECT_TRUE(nothing_sent());

    // An attached pair stays the caller's: closing the client leaves it open.
    EXPECT_EQ(client_.close(), VANDREL_OK);
    EXPECT_GE(::fcntl(theirs_.get(), F_GETFD), 0);
    EXPECT_EQ(vandrel_terminate(client_.get()), VANDREL_ERR_ARGUMENT) << "the client is gone";
}

TEST_F(Peer, ReplyIsMatchedByChallenge) {
    Bytes wanted = {1, 2, 3, 4, 5};
    // A stale reply and the wanted one arrive together; the stale one is dropped.
    reply(concat({frame_of(connect_reply(6, 1, {9, 9, 9})),
                  frame_of(connect_reply(-2, 0x0102030405060708ULL, wanted))}));
    TicketBuf ticket;
    ASSERT_EQ(request(-2, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), wanted);
    EXPECT_EQ(ticket.t.steam_id, 0x0102030405060708ULL);

    // Nothing but stale replies: a time-out, not one of them.
    reply(frame_of(connect_reply(41, 1, {7})));
    EXPECT_EQ(request(42, 300, ticket), VANDREL_ERR_TIMEOUT);
}

TEST_F(Peer, PartialReplyKeepsItsPlaceAcrossATimeout) {
    Bytes late = frame_of(connect_reply(5, 1, Bytes(100, 0x55)));
    Bytes next = frame_of(connect_reply(6, 2, Bytes(50, 0x66)));
    reply(Bytes(late.begin(), late.begin() + 10));
    TicketBuf ticket;
    EXPECT_EQ(request(5, 200, ticket), VANDREL_ERR_TIMEOUT);
    reply(concat({Bytes(late.begin() + 10, late.end()), next}));
    ASSERT_EQ(request(6, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), Bytes(50, 0x66));
    EXPECT_EQ(ticket.t.steam_id, 2u);
}

TEST_F(Peer, TicketSizes) {
    // Larger than the buffer: reported with its length; the next reply is fine.
    reply(frame_of(connect_reply(1, 1, Bytes(100, 0xAB))));
    TicketBuf small(99);
    EXPECT_EQ(request(1, 2000, small), VANDREL_ERR_TICKET_TOO_LARGE);
    EXPECT_EQ(small.t.len, 100u);
    EXPECT_EQ(small.buf[0], 0) << "nothing copied";

    // Exactly the buffer's size, and bytes after the ticket left out.
    reply(frame_of(concat({connect_reply(2, 1, Bytes(99, 0xCD)), Bytes{0xEE, 0xEE}})));
    ASSERT_EQ(request(2, 2000, small), VANDREL_OK);
    EXPECT_EQ(small.bytes(), Bytes(99, 0xCD));

    // An empty ticket, into no buffer at all.
    reply(frame_of(connect_reply(3, 7, {})));
    TicketBuf none(0);
    none.t.data = nullptr;
    ASSERT_EQ(request(3, 2000, none), VANDREL_OK);
    EXPECT_EQ(none.t.len, 0u);
    EXPECT_EQ(none.t.steam_id, 7u);

    // The largest ticket a frame can carry.
    Bytes biggest(VANDREL_MAX_FRAME_PAYLOAD - VANDREL_TICKET_REPLY_HEADER_LEN, 0x11);
    reply(frame_of(connect_reply(4, 1, biggest)));
    TicketBuf full;
    ASSERT_EQ(request(4, 2000, full), VANDREL_OK);
    EXPECT_EQ(full.bytes(), biggest);
}

TEST_F(Peer, MalformedRepliesAreProtocolErrors) {
    TicketBuf ticket;
    Bytes good = connect_reply(1, 1, {1, 2, 3});
    struct Case {
        const char* what;
        Bytes payload;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"26 bytes", Bytes(good.begin(), good.begin() + 26)},
        {"other prefix", concat({bytes_of("vd_connecT\n"), Bytes(good.begin() + 11, good.end())})},
        {"no line feed", concat({bytes_of("vd_connect "), Bytes(good.begin() + 11, good.end())})},
        {"announces more than it holds", connect_reply(1, 1, {1, 2, 3}, 4)},
        {"announces 2^32-1", connect_reply(1, 1, {1, 2, 3}, 0xFFFFFFFFu)},
    };
    for (const auto& c : cases) {
        reply(frame_of(c.payload));
        EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL) << c.what;
    }
    // Each malformed frame was consumed whole: the link is still in step.
    reply(frame_of(good));
    ASSERT_EQ(request(1, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), (Bytes{1, 2, 3}));
}

TEST_F(Peer, ErrorReplyEndsItsOwnRequestOnly) {
    TicketBuf ticket;
    // The late failure of another request, and vandrel_end_ticket's failure,
    // are passed over.
    reply(concat({frame_of(error_reply(6, "vd_connect: steam child timed out")),
                  frame_of(error_reply(0, "vd_disconnect: no ticket requested"))}));
    reply(frame_of(connect_reply(7, 1, {1, 2})));
    ASSERT_EQ(request(7, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), (Bytes{1, 2}));
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "");

    reply(frame_of(error_reply(-8, "vd_connect: steam refused to issue auth ticket")));
    auto start = Clock::now();
    EXPECT_EQ(request(-8, 5000, ticket), VANDREL_ERR_BROKER);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_STREQ(vandrel_broker_error(client_.get()),
                 "vd_connect: steam refused to issue auth ticket");

    // A text longer than the buffer stops before the character that does not fit.
    std::string long_text = "vd_connect: ";
    while (long_text.size() < 600)
        long_text += "\xC3\xA9";
    reply(frame_of(error_reply(9, long_text)));
    EXPECT_EQ(request(9, 2000, ticket), VANDREL_ERR_BROKER);
    EXPECT_EQ(std::string(vandrel_broker_error(client_.get())), long_text.substr(0, 510));
}

// The status request takes only its own reply: late replies of every kind
// before it are passed over; a broker that does not know the word ends it
// with its reason; a buffer that may not hold every status is refused.
TEST_F(Peer, StatusReplyIsMatchedByChallengeAmongLateReplies) {
    std::array<char, VANDREL_STATUS_TEXT_SIZE> text{};
    const std::string lines = "version 1.2.3\nuid 1000\nappid none\n";
    reply(concat({frame_of(connect_reply(3, 1, {1})), frame_of(status_reply(4, "")),
                  frame_of(error_reply(2, "vd_ticket: steam did not confirm the ticket")),
                  frame_of(status_reply(-5, lines))}));
    ASSERT_EQ(vandrel_request_broker_status(client_.get(), -5, 2000, text.data(), text.size()),
              VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_status -5"));
    EXPECT_STREQ(text.data(), lines.c_str());

    reply(frame_of(error_reply(0, "vd_status: unknown command")));
    EXPECT_EQ(vandrel_request_broker_status(client_.get(), 6, 2000, text.data(), text.size()),
              VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "vd_status: unknown command");
    EXPECT_EQ(sent(), bytes_of("vd_status 6"));

    EXPECT_EQ(vandrel_request_broker_status(client_.get(), 7, 2000, text.data(), text.size() - 1),
              VANDREL_ERR_ARGUMENT);
    EXPECT_TRUE(nothing_sent());
}

TEST_F(Peer, ActivationFailureEndsTheNextRequest) {
    TicketBuf ticket;
    reply(frame_of(error_reply(0, "vd_gamedir: steam child failed to initialise")));
    auto start = Clock::now();
    EXPECT_EQ(request(10, 5000, ticket), VANDREL_ERR_BROKER);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_STREQ(vandrel_broker_error(client_.get()),
                 "vd_gamedir: steam child failed to initialise");

    // That request is still answered, without a challenge; for the next
    // request it is a late answer.
    reply(concat({frame_of(error_reply(0, "vd_connect: session not active")),
                  frame_of(connect_reply(11, 1, {5}))}));
    ASSERT_EQ(request(11, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), Bytes{5});
    // With no answer owed before it, the failure without a challenge is the
    // request's own.
    reply(frame_of(error_reply(0, "vd_connect: session not active")));
    EXPECT_EQ(request(12, 2000, ticket), VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "vd_connect: session not active");
}

TEST_F(Peer, BrokenFramingStaysBroken) {
    TicketBuf ticket;
    reply(concat({bytes_of("VDRX"), Bytes{3, 0, 'a', 'b', 'c'}}));
    reply(frame_of(connect_reply(1, 1, {1})));
    EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL);
    EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL) << "no resynchronising";
}

TEST(PeerFraming, OversizedFrameIsRejectedFromItsHeader) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd mine(fds[0]);
    LibClient client;
    ASSERT_EQ(vandrel_attach(client.out(), fds[1], fds[1], 1), VANDREL_OK);
    // 4097 announced; no payload follows, so waiting for it would time out.
    write_bytes(mine.get(), Bytes{0x56, 0x44, 0x52, 0x4C, 0x01, 0x10});
    TicketBuf ticket;
    auto r = request_for("1.2.3.4:1", 1, 1, 1);
    auto start = Clock::now();
    EXPECT_EQ(vandrel_request_ticket(client.get(), &r, 5000, &ticket.t), VANDREL_ERR_PROTOCOL);
    EXPECT_LT(elapsed_ms(start), 2000);
    // An owned pair is closed with the client.
    EXPECT_EQ(client.close(), VANDREL_OK);
    EXPECT_LT(::fcntl(fds[1], F_GETFD), 0);
}

TEST_F(Peer, BrokerClosingIsReported) {
    TicketBuf ticket;
    Bytes whole = frame_of(connect_reply(1, 1, {1, 2, 3}));
    reply(Bytes(whole.begin(), whole.begin() + 20));
    mine_.reset();
    auto start = Clock::now();
    EXPECT_EQ(request(1, 5000, ticket), VANDREL_ERR_CLOSED) << "closed inside a frame";
    EXPECT_EQ(request(1, 5000, ticket), VANDREL_ERR_CLOSED);
    EXPECT_LT(elapsed_ms(start), 2000);
}

// ---------------------------------------------------------------------------
// Without blocking.

TEST_F(Peer, RequestsInFlightAreEachAnsweredWhateverTheOrder) {
    TicketBuf first;
    TicketBuf second;
    std::array<char, VANDREL_STATUS_TEXT_SIZE> text{};
    const vandrel_request_id a = send(1, 5000, first);
    vandrel_request_id b = 0;
    ASSERT_EQ(vandrel_send_status_request(client_.get(), 2, -1, text.data(), text.size(), &b),
              VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_status 2"));
    EXPECT_NE(a, b);
    EXPECT_TRUE(ended().empty());
    EXPECT_EQ(last_, VANDREL_OK);
    pollfd fds[VANDREL_POLL_FDS];
    ASSERT_EQ(vandrel_poll_fds(client_.get(), fds), 1u);
    EXPECT_EQ(fds[0].fd, theirs_.get());
    EXPECT_EQ(fds[0].events, POLLIN);
    EXPECT_GT(vandrel_get_timeout(client_.get()), 0);
    EXPECT_LE(vandrel_get_timeout(client_.get()), 5000) << "it wakes for the first deadline";

    // The status first, then a blocking request's reply and the first
    // ticket: the blocking call takes its own and leaves the rest.
    reply(concat({frame_of(status_reply(2, "version 9\n")), frame_of(connect_reply(3, 8, {3})),
                  frame_of(connect_reply(1, 7, {1, 1}))}));
    ASSERT_EQ(request(3, 2000, second), VANDREL_OK);
    EXPECT_EQ(second.bytes(), Bytes{3});
    EXPECT_EQ(ended(), (std::vector<Ended>{{b, VANDREL_OK, ""}, {a, VANDREL_OK, ""}}));
    EXPECT_STREQ(text.data(), "version 9\n");
    EXPECT_EQ(first.bytes(), (Bytes{1, 1}));
    EXPECT_EQ(first.t.steam_id, 7u);
    EXPECT_EQ(vandrel_get_timeout(client_.get()), -1) << "nothing in flight";
}

TEST_F(Peer, DeadlinePassesWhileTheLoopGoesOn) {
    TicketBuf given_up;
    TicketBuf next;
    const vandrel_request_id a = send(5, 50, given_up);
    const vandrel_request_id b = send(6, 10000, next);
    std::vector<Ended> got;
    while (got.empty()) { // a game's loop, polling no longer than it is told
        pollfd fds[VANDREL_POLL_FDS];
        const nfds_t n = vandrel_poll_fds(client_.get(), fds);
        const int timeout = vandrel_get_timeout(client_.get());
        ASSERT_GE(timeout, 0);
        ASSERT_LE(timeout, 50);
        ASSERT_GE(::poll(fds, n, timeout), 0);
        got = ended();
    }
    EXPECT_EQ(got, (std::vector<Ended>{{a, VANDREL_ERR_TIMEOUT, ""}}));

    // The late reply is discarded; the next request still gets its own.
    reply(concat({frame_of(connect_reply(5, 1, {5, 5})), frame_of(connect_reply(6, 2, {6}))}));
    EXPECT_EQ(ended(), (std::vector<Ended>{{b, VANDREL_OK, ""}}));
    EXPECT_EQ(next.bytes(), Bytes{6});
    EXPECT_EQ(given_up.t.len, 0u) << "nothing is written for a request handed out";
    EXPECT_EQ(given_up.buf[0], 0);
}

TEST_F(Peer, ErrorRepliesEndTheRequestsTheyAnswer) {
    TicketBuf t1;
    TicketBuf t2;
    TicketBuf t3;
    const vandrel_request_id a = send(1, 5000, t1);
    ASSERT_EQ(vandrel_send_activate_appid(client_.get(), 480), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_appid 480"));
    const vandrel_request_id b = send(2, 5000, t2);
    auto session = vandrel_auth_request{VANDREL_TICKET_SESSION, nullptr, nullptr, 0, 3};
    vandrel_request_id c = 0;
    ASSERT_EQ(vandrel_send_auth_ticket_request(client_.get(), &session, 5000, &t3.t, nullptr, &c),
              VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_ticket session - 3"));

    // A request's own failure ends it alone; the activation's ends the two
    // sent after it.
    const std::string refused = "vd_connect: steam refused to issue auth ticket";
    const std::string no_steam = "vd_appid: steam child failed to initialise";
    reply(concat({frame_of(error_reply(1, refused)), frame_of(error_reply(0, no_steam))}));
    EXPECT_EQ(ended(), (std::vector<Ended>{{a, VANDREL_ERR_BROKER, refused},
                                           {b, VANDREL_ERR_BROKER, no_steam},
                                           {c, VANDREL_ERR_BROKER, no_steam}}));
    // The broker still answers both; that ends nothing.
    reply(concat({frame_of(error_reply(2, "vd_connect: no steam child")),
                  frame_of(error_reply(3, "vd_ticket: no steam child"))}));
    EXPECT_TRUE(ended().empty());

    // An activation's failure read while nothing waits ends the next request.
    ASSERT_EQ(vandrel_send_activate_gamedir(client_.get(), "cstrike"), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_gamedir cstrike"));
    const std::string exited = "vd_gamedir: steam child exited";
    reply(frame_of(error_reply(0, exited)));
    EXPECT_TRUE(ended().empty());
    const vandrel_request_id d = send(4, 5000, t1);
    EXPECT_EQ(ended(), (std::vector<Ended>{{d, VANDREL_ERR_BROKER, exited}}));
    // Its own answer carries no challenge; it is not taken for the failure
    // of the status request sent after it.
    std::array<char, VANDREL_STATUS_TEXT_SIZE> text{};
    vandrel_request_id e = 0;
    ASSERT_EQ(vandrel_send_status_request(client_.get(), 5, 5000, text.data(), text.size(), &e),
              VANDREL_OK);
    reply(concat({frame_of(error_reply(0, "vd_connect: session not active")),
                  frame_of(error_reply(0, "vd_status: unknown command"))}));
    EXPECT_EQ(ended(), (std::vector<Ended>{{e, VANDREL_ERR_BROKER, "vd_status: unknown command"}}));
}

TEST_F(Peer, NoRoomSendsNothingAndAFailedLinkEndsEveryRequest) {
    std::vector<TicketBuf> tickets(VANDREL_MAX_PENDING + 1);
    std::vector<vandrel_request_id> ids;
    for (int i = 0; i < VANDREL_MAX_PENDING; ++i)
        ids.push_back(send(i + 1, -1, tickets[static_cast<std::size_t>(i)]));
    auto one_more = request_for("1.2.3.4:27015", 9, 1, 99);
    EXPECT_EQ(vandrel_send_ticket_request(client_.get(), &one_more, -1, &tickets.back().t, nullptr),
              VANDREL_ERR_BUSY);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &one_more, 1000, &tickets.back().t),
              VANDREL_ERR_BUSY);
    EXPECT_TRUE(nothing_sent());

    mine_.reset(); // the broker goes
    std::vector<Ended> closed;
    for (vandrel_request_id id : ids)
        closed.push_back({id, VANDREL_ERR_CLOSED, ""});
    EXPECT_EQ(ended(), closed);
    EXPECT_EQ(last_, VANDREL_ERR_CLOSED);
    pollfd fds[VANDREL_POLL_FDS];
    EXPECT_EQ(vandrel_poll_fds(client_.get(), fds), 0u) << "nothing left to wait for";
    EXPECT_EQ(vandrel_get_timeout(client_.get()), 0) << "the failure is there to report";
    EXPECT_EQ(vandrel_send_ticket_request(client_.get(), &one_more, -1, &tickets.back().t, nullptr),
              VANDREL_ERR_CLOSED);
    EXPECT_EQ(vandrel_send_end_ticket(client_.get(), "1.2.3.4:27015", 1), VANDREL_ERR_CLOSED);
}

// Reads what `fd` holds now, without waiting, onto `out`.
void read_available(int fd, Bytes& out) {
    std::array<std::uint8_t, 4096> buf{};
    ssize_t n = 0;
    while ((n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT)) > 0)
        out.insert(out.end(), buf.begin(), buf.begin() + n);
}

TEST(PeerQueue, CommandsWaitWhileTheLinkIsFullAndGoOutWhole) {
    LibClient client; // closed after the broker's end, which it then need not wait for
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd mine(fds[0]);
    const int small = 4096;
    ASSERT_EQ(::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(vandrel_attach(client.out(), fds[1], fds[1], 1), VANDREL_OK);

    // Nobody reads: the socket fills, then the queue, then the client says so.
    int queued = 0;
    vandrel_status status = VANDREL_OK;
    while (status == VANDREL_OK && queued < 1000)
        status = vandrel_send_end_ticket(client.get(), "1.2.3.4:27015", ++queued);
    ASSERT_EQ(status, VANDREL_ERR_BUSY) << "after " << queued;
    --queued;
    pollfd poll_fds[VANDREL_POLL_FDS];
    ASSERT_EQ(vandrel_poll_fds(client.get(), poll_fds), 1u);
    EXPECT_EQ(poll_fds[0].events, POLLIN | POLLOUT);

    // Read as the broker would: each round of the client's loop writes more.
    Bytes received;
    for (int round = 0; round < 10000; ++round) {
        read_available(mine.get(), received);
        vandrel_completion done{};
        ASSERT_EQ(vandrel_process(client.get(), &done), VANDREL_OK);
        if (vandrel_poll_fds(client.get(), poll_fds) == 1 && poll_fds[0].events == POLLIN)
            break;
    }
    read_available(mine.get(), received);
    Bytes expected = frame_of("vd_errors on");
    for (int i = 1; i <= queued; ++i) {
        Bytes next = frame_of("vd_disconnect 1.2.3.4:27015 " + std::to_string(i));
        expected.insert(expected.end(), next.begin(), next.end());
    }
    EXPECT_EQ(received, expected) << "every command whole, in order, once";
}

TEST(ClientStatus, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int s = VANDREL_OK; s <= VANDREL_ERR_BUSY; ++s) {
        const char* text = vandrel_status_text(static_cast<vandrel_status>(s));
        ASSERT_NE(text, nullptr);
        EXPECT_NE(std::string(text), "unknown status") << s;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(VANDREL_ERR_BUSY) + 1);
    EXPECT_STREQ(vandrel_status_text(static_cast<vandrel_status>(999)), "unknown status");
}

} // namespace
} // namespace vandrel::test
