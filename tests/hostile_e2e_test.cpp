// The built broker against clients and children that misbehave: frames that
// trickle in, lie about their size or never were frames, connections reset or
// half-closed at awkward moments, a child killed from outside, a runtime that
// prints to standard output, a client that stops reading, and a long run of
// sessions after which nothing may be left behind. Every case checks the
// exact lines the broker writes and that it goes on serving.
#include "e2e.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>

namespace vandrel::test {
namespace {

constexpr std::string_view INITIATE_LINE =
    "[vandrel] child: initiate_game_connection 1.2.3.4:27015 sid=1 secure=true";
constexpr std::size_t LARGEST_FRAME = FRAME_HEADER_LEN + MAX_FRAME_PAYLOAD;

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VANDREL_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VANDREL_TEST_SANITIZED 1
#endif
// A sanitizer build (the broker is built with the same flags as the test)
// keeps freed memory in quarantine and runs each session many times slower,
// so its memory and time say nothing about the broker's own.
#ifdef VANDREL_TEST_SANITIZED
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// A header announcing `len` payload bytes, with no payload behind it.
Bytes header_of(std::size_t len) {
    Bytes out(std::begin(FRAME_MAGIC), std::end(FRAME_MAGIC));
    append_le(out, len, 2);
    return out;
}

void set_nodelay(int fd) {
    int one = 1;
    ASSERT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0);
}

// One send(2) of all of `bytes`, without SIGPIPE; false when the call failed
// or took only part of them.
bool send_once(int fd, std::span<const std::uint8_t> bytes) {
    ssize_t n;
    do {
        n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

// Closes `socket` with a reset instead of the orderly end of stream.
void reset_connection(Fd& socket) {
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    socket.reset();
}

// The threads of `pid` other than its main thread, leaving out threads that
// sleep in nanosleep(2): ThreadSanitizer's runtime keeps one such thread of
// its own, and no thread of the broker ever sleeps that way.
std::size_t other_threads(pid_t pid) {
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(task, ec)) {
        if (entry.path().filename() == std::to_string(pid))
            continue;
        std::string call = read_file(entry.path().string() + "/syscall");
        if (!call.starts_with(std::to_string(SYS_nanosleep) + " ") &&
            !call.starts_with(std::to_string(SYS_clock_nanosleep) + " "))
            ++count;
    }
    return count;
}

// True when the broker's main thread waits for the next client: in poll(2)
// on its listeners, or in accept(2).
bool waits_for_client(const std::string& syscall) {
    for (long call : {long{SYS_poll}, long{SYS_ppoll}, long{SYS_accept4}})
        if (syscall.starts_with(std::to_string(call) + " "))
            return true;
    return false;
}

// Waits until the broker `pid` is idle between sessions: its main thread
// waits for the next client and no other thread of its own is left. Only then
// is the last session wholly gone: the "reaped" line comes before the request
// pipe is closed, and a reaped child's reader thread closes its pipe as it
// ends.
bool wait_idle(pid_t pid, Clock::duration limit) {
    const std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
    auto deadline = Clock::now() + limit;
    while (other_threads(pid) != 0 || !waits_for_client(read_file(syscall_file))) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The unread bytes in the receive queue of process `pid`'s TCP socket from
// local port `local` to remote port `remote` on 127.0.0.1, or -1 if there is
// no such socket.
long receive_queue(pid_t pid, std::uint16_t local, std::uint16_t remote) {
    std::istringstream table(read_file("/proc/" + std::to_string(pid) + "/net/tcp"));
    std::string line;
    std::getline(table, line); // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local_addr, remote_addr, state, queues;
        fields >> slot >> local_addr >> remote_addr >> state >> queues;
        auto port_of = [](const std::string& addr) {
            return static_cast<std::uint16_t>(
                std::stoul(addr.substr(addr.find(':') + 1), nullptr, 16));
        };
        if (port_of(local_addr) == local && port_of(remote_addr) == remote)
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return -1;
}

TEST(HostileFrames, FramesArrivingOneByteAtATimeAreServed) {
    auto c = Client::tcp(standin());
    set_nodelay(c->socket().get());
    auto trickle = [&](std::string_view command) {
        for (std::uint8_t byte : frame_of(command)) {
            ASSERT_TRUE(send_once(c->socket().get(), std::span(&byte, 1)));
            std::this_thread::sleep_for(1ms);
        }
    };
    trickle("vd_gamedir cstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    trickle("vd_connect 1.2.3.4:27015 1 1 77");
    c->expect({"<- vd_connect", "-> ticket 240 bytes for challenge 77"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 1));
    c->close_input();
    c->expect({"peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               "session ended, awaiting next connection", reaped_line(10)});
}

TEST(HostileFrames, LengthAboveTheLimitFailsOnItsHeader) {
    auto c = Client::tcp(standin());
    // The largest frame is accepted and read as a command.
    const std::string largest(MAX_FRAME_PAYLOAD, 'x');
    c->command(largest, {"command error: unknown command"});

    // One byte more fails as soon as the header is complete: no payload byte
    // is ever sent, and the broker does not wait for one.
    Bytes header = header_of(MAX_FRAME_PAYLOAD + 1);
    ASSERT_EQ(header[4], 0x01);
    ASSERT_EQ(header[5], 0x10);
    auto start = Clock::now();
    ASSERT_TRUE(send_once(c->socket().get(), header));
    c->expect({"session error: frame too large"});
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(c->nothing_more()) << "the broker closes the connection";
    c->serves_next_client();
}

TEST(HostileFrames, GarbageFailsOnTheMagic) {
    auto c = Client::tcp(standin());
    std::mt19937 random(20240601);
    Bytes garbage(10'000);
    for (auto& byte : garbage)
        byte = static_cast<std::uint8_t>(random());
    ASSERT_FALSE(std::equal(std::begin(FRAME_MAGIC), std::end(FRAME_MAGIC), garbage.begin()));
    // The broker may close the connection before all of it is taken.
    (void)send_once(c->socket().get(), garbage);
    c->expect({"session error: invalid frame magic"});
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->serves_next_client();
}

// A frame of the largest size is buffered except for its last two bytes; one
// read then brings those two and enough of the next frame that the buffer
// would hold more than MAX_RX_BUFFERED bytes. The test waits until the broker
// has taken the first part from its socket, and sends the rest in one segment
// (Nagle off, one send of READ_CHUNK_LEN bytes on loopback), so that a single
// read takes all of it.
TEST(HostileFrames, OneReadPastTheBufferLimitOverflows) {
    auto c = Client::tcp(standin());
    set_nodelay(c->socket().get());
    Bytes first = frame_of(std::string(MAX_FRAME_PAYLOAD, 'a'));
    Bytes second = frame_of(std::string(MAX_FRAME_PAYLOAD, 'b'));
    Bytes stream = concat({first, second});

    const std::size_t held = LARGEST_FRAME - 2;
    ASSERT_TRUE(send_once(c->socket().get(), std::span(stream).first(held)));
    auto deadline = Clock::now() + LINE_TIMEOUT;
    while (receive_queue(c->process().pid(), c->tcp_broker().port(),
                         local_port(c->socket().get())) != 0) {
        ASSERT_LT(Clock::now(), deadline) << "the broker did not read the first part";
        std::this_thread::sleep_for(1ms);
    }
    std::span<const std::uint8_t> rest = std::span(stream).subspan(held, READ_CHUNK_LEN);
    ASSERT_GT(held + rest.size(), MAX_RX_BUFFERED);
    ASSERT_TRUE(send_once(c->socket().get(), rest));
    // No frame was returned on the way: the first frame was never complete
    // in the buffer.
    c->expect({"session error: rx buffer overflow"});
    EXPECT_TRUE(c->nothing_more());
    c->serves_next_client();
}

// The client resets the connection while its ticket is being issued: the
// reply cannot be sent, the ticket stays recorded, and the next read sees the
// connection's end, so the ticket is ended with Steam.
TEST(HostileConnections, ResetWhileTheTicketIsIssued) {
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_TICKET_DELAY_MS", "300"}});
    pid_t child = c->activate_cstrike();
    c->send("vd_connect 1.2.3.4:27015 1 1 77");
    c->expect({"<- vd_connect"});
    // The child is inside the ticket call, which takes 300 ms.
    ASSERT_TRUE(c->process().wait_for_line(INITIATE_LINE)) << c->transcript();
    reset_connection(c->socket());
    c->expect({"-> ticket 240 bytes for challenge 77",
               "command error: send error, Connection reset by peer (os error 104)",
               "peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_FALSE(process_exists(child));
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->serves_next_client();
}

// The client resets the connection while the broker waits for its next
// frame: the read fails, the recorded ticket is ended with Steam as on a clean
// close, the session fails, and the child is killed and reaped.
TEST(HostileConnections, ResetWhileTheBrokerWaitsForAFrame) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    reset_connection(c->socket());
    c->expect({"cleaning up dangling ticket for 1.2.3.4:27015",
               "session error: io error, Connection reset by peer (os error 104)",
               reaped_line(10)});
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_FALSE(process_exists(child));
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->serves_next_client();
}

TEST(HostileConnections, HalfClosedClientStillGetsItsReply) {
    auto c = Client::tcp(standin());
    c->send_raw(
        concat({frame_of("vd_gamedir cstrike"), frame_of("vd_connect 1.2.3.4:27015 1 1 77")}));
    ASSERT_EQ(::shutdown(c->socket().get(), SHUT_WR), 0);
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10),
               "<- vd_connect", "-> ticket 240 bytes for challenge 77",
               "peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               "session ended, awaiting next connection", reaped_line(10)});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 1));
    EXPECT_TRUE(c->nothing_more());
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    c->serves_next_client();
}

// What a broker holds between sessions: its descriptors and resident memory.
struct Footprint {
    std::vector<std::string> fds;
    long rss_kib = -1;
};

Footprint footprint(pid_t pid) {
    Footprint out;
    out.fds = open_fds(pid);
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            out.rss_kib = std::stol(line.substr(6));
    return out;
}

// Every session starts a child, issues a ticket, ends it and goes. After the
// first session the broker has made the allocations that last (the allocator's
// arena for the reader threads, the cached thread stack), so the later ones
// must leave its descriptors and memory where the first left them. The memory
// slack allows for the allocator touching a few more heap pages as its free
// lists shift (about 16-24 KiB over this run); it still catches a leak of
// more than about 650 bytes per session.
TEST(HostileChurn, ManySessionsLeaveNothingBehind) {
    constexpr int SESSIONS = 200;
    constexpr long RSS_SLACK_KIB = 128;
    auto c = Client::tcp(standin());
    Footprint after_first;
    auto start = Clock::now();
    for (int i = 0; i < SESSIONS; ++i) {
        if (i > 0)
            c->reconnect();
        const std::string challenge = std::to_string(i);
        c->send_raw(concat({frame_of("vd_gamedir cstrike"),
                            frame_of("vd_connect 1.2.3.4:27015 1 1 " + challenge)}));
        c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10),
                   "<- vd_connect", "-> ticket 240 bytes for challenge " + challenge});
        std::optional<Bytes> reply = c->reply();
        ASSERT_TRUE(reply) << i;
        ASSERT_EQ(*reply, expected_reply(i, IP_1_2_3_4, 27015, 1)) << i;
        c->send("vd_disconnect 1.2.3.4:27015 " + challenge);
        c->socket().reset();
        c->expect({"<- vd_disconnect", "peer closed the connection",
                   "session ended, awaiting next connection", reaped_line(10)});
        if (::testing::Test::HasFatalFailure())
            return;
        if (i == 0) {
            ASSERT_TRUE(wait_idle(c->process().pid(), LINE_TIMEOUT));
            after_first = footprint(c->process().pid());
        }
    }
    if (!SANITIZED) {
        EXPECT_LT(Clock::now() - start, 30s);
    }
    ASSERT_TRUE(wait_idle(c->process().pid(), LINE_TIMEOUT));
    Footprint after_all = footprint(c->process().pid());
    EXPECT_EQ(after_all.fds, after_first.fds);
    ASSERT_GT(after_first.rss_kib, 0);
    if (!SANITIZED) {
        EXPECT_LE(after_all.rss_kib, after_first.rss_kib + RSS_SLACK_KIB)
            << "first " << after_first.rss_kib << " KiB, last " << after_all.rss_kib << " KiB";
    }
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    const auto& lines = c->process().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[vandrel] " + reaped_line(10)), SESSIONS);
    EXPECT_EQ(c->broker().calls(TERMINATE).size(), static_cast<std::size_t>(SESSIONS));
}

// Killed between requests while tickets are held: the clean-up at the end
// asks the dead child nothing (its tickets went with it), does not hang or
// fail the session, and the child is still reaped.
TEST(HostileChildLoss, KilledBetweenRequests) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_ticket webapi - 78", {"-> webapi ticket 240 bytes, handle 1, for challenge 78"});
    ASSERT_TRUE(c->reply());
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    c->close_input();
    c->expect({"peer closed the connection", "child for appid 10 has ended", reaped_line(10),
               "dropped 1 auth ticket that ended with the child",
               "session ended, awaiting next connection"});
    EXPECT_TRUE(c->broker().calls("SteamAPI_ISteamUser_CancelAuthTicket ").empty());
    EXPECT_TRUE(c->nothing_more()) << "no second reply";
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->serves_next_client();
}

// Killed while it works on a ticket: the waiting request sees the child's
// output end long before its time limit, and asks a new child.
TEST(HostileChildLoss, KilledDuringARequest) {
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_TICKET_DELAY_MS", "2000"}});
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    c->send("vd_connect 1.2.3.4:27015 1 1 77");
    c->expect({"<- vd_connect"});
    ASSERT_TRUE(c->process().wait_for_line(INITIATE_LINE)) << c->transcript();
    auto killed = Clock::now();
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    c->expect({"child for appid 10 has ended"});
    EXPECT_LT(Clock::now() - killed, 1500ms) << "not the ticket delay, not the time limit";
    c->expect({reaped_line(10), "activating gamedir \"cstrike\" (appid 10)", ready_line(10),
               "-> ticket 240 bytes for challenge 77"});
    EXPECT_EQ(c->reply(), expected_reply(77, IP_1_2_3_4, 27015, 1));
    c->close_input();
    c->expect({"peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more());
}

bool is_child_or_runtime_text(std::string_view line) {
    return is_child_line(line) || line == "VDRLgarbage";
}

// The runtime prints something that begins like a frame (and announces a
// length no frame may have). The child keeps its frames apart from its
// descriptor 1, so the text lands in the log and the session works.
TEST(HostileChildOutput, RuntimeTextOnStandardOutputStaysOutOfTheFrames) {
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_INIT_STDOUT", "VDRLgarbage\n"}});
    c->send("vd_gamedir cstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)},
              is_child_or_runtime_text);
    const auto& lines = c->process().lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "VDRLgarbage"), lines.end())
        << "the runtime's text is in the log";
    c->send("vd_connect 1.2.3.4:27015 1 1 77");
    c->expect({"<- vd_connect", "-> ticket 240 bytes for challenge 77"}, is_child_or_runtime_text);
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 1));
}

// The child's frame output closes while it works on a ticket: the waiting
// request sees the end at once, not after the ticket's delay, and asks a new
// child, which does the same; that one's reply then fails and it ends on its
// own, and the session goes on without a child until the client leaves.
TEST(HostileChildOutput, OutputClosedWhileTheChildIsBusy) {
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_TICKET_CLOSE_OUTPUT", "1"},
                                     {"VANDREL_STANDIN_TICKET_DELAY_MS", "500"}});
    pid_t first = c->activate_cstrike();
    ASSERT_GT(first, 0);
    c->command("vd_connect 1.2.3.4:27015 1 1 77",
               {"child for appid 10 has ended", reaped_line(10),
                "activating gamedir \"cstrike\" (appid 10)", ready_line(10),
                "command error: steam child exited"});
    pid_t child = c->only_child();
    ASSERT_GT(child, 0);
    EXPECT_NE(child, first);
    const std::string exited = "[vandrel] command error: steam child exited";
    const std::string issued = "[vandrel] child: ticket 240 bytes";
    ASSERT_TRUE(c->process().wait_for_line(issued)) << c->transcript();
    ASSERT_TRUE(
        c->process().wait_for_line("[vandrel] fatal: send error, Bad file descriptor (os error 9)"))
        << c->transcript();
    const auto& lines = c->process().lines();
    EXPECT_LT(std::find(lines.begin(), lines.end(), exited),
              std::find(lines.begin(), lines.end(), issued))
        << "the session saw the end while the child was still in its Steam call";
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more()) << "no reply to either request";
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->serves_next_client();
}

// In stdio mode the client stops reading the broker's standard output: the
// reply fails, the session reads on, and the terminate command still ends
// the ticket, the child and the broker in order.
TEST(HostileStdio, ClosedStandardOutputFailsTheReplyOnly) {
    auto c = Client::stdio(standin());
    c->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    c->process().close_stdout();
    c->command("vd_connect 1.2.3.4:27015 1 1 77",
               {"-> ticket 240 bytes for challenge 77",
                "command error: send error, Broken pipe (os error 32)"});
    c->sync();
    c->command("vd_terminate", {"cleaning up dangling ticket for 1.2.3.4:27015", reaped_line(10)});
    EXPECT_EQ(c->process().wait_exit(), 0);
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
}

} // namespace
} // namespace vandrel::test
