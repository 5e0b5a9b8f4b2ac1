// The session's state machine, driven through scripted client frames and fake
// children: ticket bookkeeping, clean-up on every way a session ends, switching
// and replacing children, and error replies; and the replies built from the
// child's answers. What needs a real child process is in the end-to-end tests.
#include "base/text.hpp"
#include "broker/session.hpp"
#include "e2e.hpp"
#include "shared/child_protocol.hpp"

#include <cstdint>
#include <deque>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace vandrel {
namespace {

using test::bytes_of;
using test::concat;
using test::frame_of;

constexpr std::uint64_t USER_STEAM_ID = 0x0102030405060708;
const Bytes TICKET = {0xAA, 0xBB, 0xCC};

// What happened to the fake children, in order ("start 10", "10 <- conn ...",
// "kill 10", and "end" when the session's run returned), and how they behave.
struct Children {
    std::vector<std::string> events;
    // Answers for the next requests, in order; without one, a conn request
    // gets a ticket and a term request "ok".
    std::deque<Result<Bytes>> answers;
    // Children for this AppID fail to start.
    std::uint32_t failing_appid = 0;
    // How many requests each child, in the order started, handles before it
    // has ended (the last one included); the rest live on.
    std::deque<std::size_t> lifetimes;
    // The users the children report, in the order started; then USER_STEAM_ID.
    std::deque<std::uint64_t> steam_ids;
    // Every child reports that it has ended on its own.
    bool children_exit = false;
    // The next request is written only in part.
    bool cut_next_input = false;
};

class FakeChild final : public ChildPort {
  public:
    FakeChild(Children& c, std::uint32_t appid, std::size_t lifetime, std::uint64_t steam_id)
        : c_(c), appid_(appid), lifetime_(lifetime), steam_id_(steam_id) {}
    ~FakeChild() override { c_.events.push_back("kill " + std::to_string(appid_)); }

    std::uint32_t appid() const override { return appid_; }
    std::uint64_t steam_id() const override { return steam_id_; }
    Result<Bytes> request(std::span<const std::uint8_t> payload) override {
        std::string text(as_chars(payload));
        c_.events.push_back(std::to_string(appid_) + " <- " + text);
        ++handled_;
        input_cut_ = std::exchange(c_.cut_next_input, false);
        if (!c_.answers.empty()) {
            Result<Bytes> next = std::move(c_.answers.front());
            c_.answers.pop_front();
            return next;
        }
        if (text.starts_with(CONN_WORD))
            return conn_answer(steam_id_, TICKET);
        return bytes_of(ACK_ANSWER);
    }
    bool input_cut() const override { return input_cut_; }
    bool exited() override { return c_.children_exit || handled_ >= lifetime_; }

  private:
    Children& c_;
    std::uint32_t appid_;
    std::size_t lifetime_;
    std::uint64_t steam_id_;
    std::size_t handled_ = 0;
    bool input_cut_ = false;
};

template <class T>
T take_front(std::deque<T>& queue, T otherwise) {
    if (queue.empty())
        return otherwise;
    T front = queue.front();
    queue.pop_front();
    return front;
}

class FakeStarter final : public ChildStarter {
  public:
    explicit FakeStarter(Children& c) : c_(c) {}
    Result<std::unique_ptr<ChildPort>> start(std::uint32_t appid) override {
        c_.events.push_back("start " + std::to_string(appid));
        if (appid == c_.failing_appid)
            return BrokerError::message("steam child exited");
        return std::unique_ptr<ChildPort>(
            std::make_unique<FakeChild>(c_, appid, take_front(c_.lifetimes, SIZE_MAX),
                                        take_front(c_.steam_ids, USER_STEAM_ID)));
    }

  private:
    Children& c_;
};

// The client's side: a scripted input stream, then end of input; every
// written frame's payload is kept.
class ClientScript final : public Transport {
  public:
    ClientScript(Bytes input, std::vector<Bytes>& replies)
        : input_(std::move(input)), replies_(replies) {}
    IoResult<std::size_t> read(std::span<std::uint8_t> into) override {
        std::size_t n = std::min(into.size(), input_.size() - pos_);
        std::copy_n(input_.begin() + static_cast<std::ptrdiff_t>(pos_), n, into.begin());
        pos_ += n;
        return n;
    }
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override {
        FrameParse f = parse_frame(bytes);
        EXPECT_EQ(f.status, FrameParse::Status::Frame);
        EXPECT_EQ(f.consumed, bytes.size()) << "one frame per write";
        replies_.emplace_back(f.payload.begin(), f.payload.end());
        return bytes.size();
    }
    std::string describe() const override { return "script"; }

  private:
    Bytes input_;
    std::size_t pos_ = 0;
    std::vector<Bytes>& replies_;
};

// A whole session over `input`: how it ended, and (after the session is
// destroyed) the children's events and the client's replies.
struct Outcome {
    Result<SessionEnd> end = SessionEnd::Closed;
    std::vector<Bytes> replies;
};

Outcome run_session(Children& children, Bytes input) {
    Outcome out;
    FakeStarter starter(children);
    Session session(Framed(std::make_unique<ClientScript>(std::move(input), out.replies)), starter);
    out.end = session.run();
    children.events.emplace_back("end");
    return out;
}

Bytes frames(std::initializer_list<std::string_view> lines) {
    Bytes out;
    for (std::string_view line : lines) {
        Bytes f = frame_of(line);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

Bytes error_reply_of(std::int32_t challenge, std::string_view text) {
    Bytes out = bytes_of("vd_error\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    Bytes rest = bytes_of(text);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

constexpr std::string_view GAMEDIR = "vd_gamedir cstrike";
constexpr std::string_view CONNECT = "vd_connect 1.2.3.4:27015 90071992547409920 1 77";
const std::string CONN = "10 <- conn 1.2.3.4:27015 90071992547409920 1";
const std::string TERM = "10 <- term 1.2.3.4:27015";

TEST(Session, TicketIsRecordedUntilItsDisconnect) {
    Children c;
    Outcome o =
        run_session(c, frames({GAMEDIR, CONNECT, "vd_disconnect 1.2.3.4:27015 78",
                               "vd_disconnect 5.6.7.8:9 77", "vd_disconnect 1.2.3.4:27015 77"}));
    ASSERT_TRUE(o.end.ok());
    EXPECT_EQ(*o.end, SessionEnd::Closed);
    // A mismatched challenge ends nothing; the matching one ends the ticket
    // with the address the command names, and nothing is left for the close.
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", CONN, "10 <- term 5.6.7.8:9", "end",
                                                  "kill 10"}));
    Bytes answer = conn_answer(USER_STEAM_ID, TICKET);
    ASSERT_EQ(o.replies.size(), 1u);
    EXPECT_EQ(o.replies[0], connect_reply(77, answer, static_cast<std::uint32_t>(TICKET.size())));
}

TEST(Session, CloseEndsTheOutstandingTicketBeforeTheChildGoes) {
    Children c;
    Outcome o = run_session(c, frames({GAMEDIR, CONNECT}));
    ASSERT_TRUE(o.end.ok());
    EXPECT_EQ(*o.end, SessionEnd::Closed);
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", CONN, TERM, "end", "kill 10"}));
}

TEST(Session, TerminateEndsTheTicketAndTheChildAndReadsNoMore) {
    Children c;
    Outcome o = run_session(c, frames({GAMEDIR, CONNECT, "vd_terminate", "vd_gamedir valve"}));
    ASSERT_TRUE(o.end.ok());
    EXPECT_EQ(*o.end, SessionEnd::TerminateRequested);
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", CONN, TERM, "kill 10", "end"}));
}

TEST(Session, UnreadableFrameEndsTheSessionAndTheTicket) {
    Children c;
    Outcome o =
        run_session(c, concat({frames({GAMEDIR, CONNECT}), Bytes{'X', 'X', 'X', 'X', 1, 0}}));
    ASSERT_FALSE(o.end.ok());
    EXPECT_EQ(o.end.error().text(), "invalid frame magic");
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", CONN, TERM, "end", "kill 10"}));
}

TEST(Session, SwitchingGamesKillsTheOldChildBeforeTheNewStarts) {
    Children c;
    run_session(c, frames({GAMEDIR, GAMEDIR, "vd_gamedir valve"}));
    // The same game again keeps its live child.
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"start 10", "kill 10", "start 70", "end", "kill 70"}));
}

TEST(Session, ChildThatEndedIsReplacedByTheSameGame) {
    Children c;
    c.children_exit = true;
    run_session(c, frames({GAMEDIR, GAMEDIR}));
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"start 10", "kill 10", "start 10", "end", "kill 10"}));
}

// The game the client named last is the session's, though its child did not
// start: the next request that needs a child tries it again.
TEST(Session, FailedStartLeavesNoChildAndTheNewGame) {
    Children c;
    c.failing_appid = 70;
    Outcome o = run_session(c, frames({"vd_errors on", GAMEDIR, "vd_gamedir valve", CONNECT}));
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"start 10", "kill 10", "start 70", "start 70", "end"}));
    EXPECT_EQ(o.replies,
              (std::vector<Bytes>{error_reply_of(0, "vd_gamedir: steam child exited"),
                                  error_reply_of(77, "vd_connect: steam child exited")}));
}

TEST(Session, ErrorRepliesOnlyWhenAskedForAndWithTheFailedChallenge) {
    Children c;
    c.answers.push_back(bytes_of(REFUSED_ANSWER));
    Outcome o = run_session(
        c, frames({"vd_connect 1.2.3.4:27015 1 1 5", "vd_errors on",
                   "vd_connect 1.2.3.4:27015 1 1 5", GAMEDIR, "vd_connect 1.2.3.4:27015 1 1 -9",
                   "vd_bogus", "vd_errors off", "vd_bogus"}));
    EXPECT_EQ(o.replies, (std::vector<Bytes>{
                             error_reply_of(0, "vd_connect: session not active"),
                             error_reply_of(-9, "vd_connect: steam refused to issue auth ticket"),
                             error_reply_of(0, "vd_bogus: unknown command")}));
}

// The challenge of a failed command is in its error reply once the command
// has read it, and not before: a command that fails at an earlier argument
// has not looked at its challenge.
TEST(Session, ErrorReplyCarriesTheChallengeOnceTheCommandReadIt) {
    Children c;
    Outcome o =
        run_session(c, frames({"vd_errors on", GAMEDIR, "vd_connect 1.2.3.4 1 1 5",
                               "vd_connect 1.2.3.4:1 1 x 6", CONNECT, "vd_disconnect 1.2.3.4:1 8",
                               "vd_ticket bogus - 9", "vd_status x"}));
    EXPECT_EQ(o.replies,
              (std::vector<Bytes>{error_reply_of(0, "vd_connect: failed to parse \"ip addr\""),
                                  error_reply_of(0, "vd_connect: failed to parse \"secure\""),
                                  connect_reply(77, conn_answer(USER_STEAM_ID, TICKET),
                                                static_cast<std::uint32_t>(TICKET.size())),
                                  error_reply_of(8, "vd_disconnect: challenge mismatch"),
                                  error_reply_of(0, "vd_ticket: failed to parse \"kind\""),
                                  error_reply_of(0, "vd_status: failed to parse \"challenge\"")}));
}

// Killed at once, and replaced by the next request that needs a child.
TEST(Session, ChildWithCutInputIsKilledAtOnce) {
    Children c;
    c.cut_next_input = true;
    c.answers.push_back(BrokerError::message("steam child timed out"));
    Outcome o = run_session(
        c, frames({"vd_errors on", GAMEDIR, CONNECT, "vd_connect 1.2.3.4:27015 1 1 78"}));
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"start 10", CONN, "kill 10", "start 10",
                                        "10 <- conn 1.2.3.4:27015 1 1", TERM, "end", "kill 10"}));
    EXPECT_EQ(o.replies,
              (std::vector<Bytes>{error_reply_of(77, "vd_connect: steam child timed out"),
                                  connect_reply(78, conn_answer(USER_STEAM_ID, TICKET),
                                                static_cast<std::uint32_t>(TICKET.size()))}));
}

// The lines of the broker (without their prefix) that a whole session over
// `input` writes, and its outcome.
struct Logged {
    Outcome outcome;
    std::vector<std::string> lines;
};

Logged run_logged(Children& children, Bytes input) {
    testing::internal::CaptureStderr();
    Logged out{run_session(children, std::move(input)), {}};
    std::istringstream text(testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(text, line);)
        out.lines.push_back(line.substr(line.starts_with("[vandrel] ") ? 10 : 0));
    return out;
}

bool logged(const Logged& l, std::string_view line) {
    return std::find(l.lines.begin(), l.lines.end(), line) != l.lines.end();
}

constexpr std::uint64_t OTHER_STEAM_ID = 76561198000000001;

// A child that ends on its own is replaced by the next request that needs
// one, for the session's game and without the client activating it again:
// one that ends with the request in hand, which the request then asks again
// of a new child (its tickets dropped with one line, none cancelled), and one
// that ended between requests (the game connection ended with it: nobody is
// asked to end it). A new child with another user says so, and the replies
// carry the new user.
TEST(Session, ChildThatEndsIsReplacedByTheNextRequestThatNeedsOne) {
    Children c;
    c.lifetimes = {2, 1};
    c.steam_ids = {USER_STEAM_ID, OTHER_STEAM_ID, OTHER_STEAM_ID};
    c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 5, TICKET));
    c.answers.emplace_back(BrokerError::message("steam child exited"));
    c.answers.emplace_back(conn_answer(OTHER_STEAM_ID, TICKET));
    c.answers.emplace_back(auth_ticket_answer(OTHER_STEAM_ID, 6, TICKET));
    Logged l = run_logged(c, frames({"vd_errors on", GAMEDIR, "vd_ticket session - 1", CONNECT,
                                     "vd_cancel 5", "vd_status 2", "vd_ticket session - 3"}));
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", "10 <- ticket session -", CONN,
                                                  "kill 10", "start 10", CONN, "kill 10",
                                                  "start 10", "10 <- ticket session -",
                                                  "10 <- cancel 6", "end", "kill 10"}));
    ASSERT_EQ(l.outcome.replies.size(), 5u);
    EXPECT_EQ(l.outcome.replies[1], connect_reply(77, conn_answer(OTHER_STEAM_ID, TICKET),
                                                  static_cast<std::uint32_t>(TICKET.size())));
    EXPECT_EQ(l.outcome.replies[2], error_reply_of(0, "vd_cancel: unknown ticket handle"));
    EXPECT_TRUE(test::in_order(
        l.lines, {"child for appid 10 has ended", "dropped 1 auth ticket that ended with the child",
                  "activating gamedir \"cstrike\" (appid 10)",
                  "steam user changed from 72623859790382856 to 76561198000000001",
                  "-> ticket 3 bytes for challenge 77", "child for appid 10 has ended",
                  "activating gamedir \"cstrike\" (appid 10)"}))
        << testing::PrintToString(l.lines);
    EXPECT_FALSE(logged(l, "cancelling dangling auth ticket 5"));
    EXPECT_FALSE(logged(l, "cleaning up dangling ticket for 1.2.3.4:27015"));
}

// A term or cancel that gets no answer kills the child, which is asked
// nothing more: the rest of its tickets are dropped with one line, so the
// session's end waits one request limit whatever it holds. A child that has
// ended is asked nothing at all.
TEST(Session, ATicketEndWithoutAnAnswerKillsTheChildAndDropsTheRest) {
    Children c;
    c.answers.emplace_back(conn_answer(USER_STEAM_ID, TICKET));
    Bytes input = frames({GAMEDIR, CONNECT});
    for (std::uint32_t handle = 1; handle <= 6; ++handle) {
        c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, handle, TICKET));
        input = concat({input, frames({"vd_ticket session - " + std::to_string(handle)})});
    }
    c.answers.emplace_back(BrokerError::message("steam child timed out"));
    Logged l = run_logged(c, input);
    EXPECT_EQ(c.events.back(), "end");
    EXPECT_EQ(std::vector<std::string>(c.events.end() - 3, c.events.end()),
              (std::vector<std::string>{TERM, "kill 10", "end"}));
    EXPECT_TRUE(test::in_order(l.lines, {"cleaning up dangling ticket for 1.2.3.4:27015",
                                         "child for appid 10 does not answer, killing it",
                                         "dropped 6 auth tickets that ended with the child"}))
        << testing::PrintToString(l.lines);

    Children cancel;
    cancel.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 1, TICKET));
    cancel.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 2, TICKET));
    cancel.answers.emplace_back(BrokerError::message("steam child timed out"));
    Outcome o =
        run_session(cancel, frames({"vd_errors on", GAMEDIR, "vd_ticket session - 1",
                                    "vd_ticket session - 2", "vd_cancel 1", "vd_cancel 2"}));
    EXPECT_EQ(std::vector<std::string>(cancel.events.end() - 3, cancel.events.end()),
              (std::vector<std::string>{"10 <- cancel 1", "kill 10", "end"}));
    EXPECT_EQ(o.replies.back(), error_reply_of(0, "vd_cancel: unknown ticket handle"));

    Children ended;
    ended.lifetimes = {1};
    ended.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 9, TICKET));
    run_session(ended, frames({GAMEDIR, "vd_ticket session - 1"}));
    EXPECT_EQ(ended.events,
              (std::vector<std::string>{"start 10", "10 <- ticket session -", "kill 10", "end"}));
}

// ---------------------------------------------------------------- auth tickets

// The session reply for a ticket the fake child issued with `handle`.
Bytes auth_reply_for(std::int32_t challenge, std::uint32_t handle) {
    Bytes answer = auth_ticket_answer(USER_STEAM_ID, handle, TICKET);
    Result<AuthTicketAnswer> read = read_auth_answer(answer);
    EXPECT_TRUE(read.ok());
    return auth_ticket_reply(challenge, *read);
}

TEST(Session, HeldAuthTicketsAreCancelledAtASwitchAndOnlyThose) {
    Children c;
    for (std::uint32_t handle : {5u, 6u})
        c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, handle, TICKET));
    c.answers.emplace_back(bytes_of(ACK_ANSWER)); // the cancel of 5
    c.answers.emplace_back(bytes_of(ACK_ANSWER)); // the cancel of 6
    c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 0, TICKET));
    Outcome o =
        run_session(c, frames({"vd_appid 480", "vd_ticket session - 1", "vd_ticket webapi svc 2",
                               "vd_appid 480", "vd_cancel 5", "vd_cancel 5", "vd_cancel 7",
                               "vd_gamedir cstrike", "vd_ticket app 00ff -3"}));
    ASSERT_TRUE(o.end.ok());
    // "Already active" keeps the tickets; an explicit cancel is sent once; the
    // switch cancels the rest through the old child before it goes; an app
    // ticket has no handle to hold.
    EXPECT_EQ(c.events, (std::vector<std::string>{
                            "start 480", "480 <- ticket session -", "480 <- ticket webapi svc",
                            "480 <- cancel 5", "480 <- cancel 6", "kill 480", "start 10",
                            std::string("10 <- appticket \0\xFF", 18), "end", "kill 10"}));
    EXPECT_EQ(o.replies, (std::vector<Bytes>{auth_reply_for(1, 5), auth_reply_for(2, 6),
                                             auth_reply_for(-3, 0)}));
}

TEST(Session, HeldAuthTicketsAreCancelledWhenTheSessionEnds) {
    Children c;
    c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 9, TICKET));
    run_session(c, frames({GAMEDIR, "vd_ticket session steamid:1 1", "vd_terminate"}));
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", "10 <- ticket session steamid:1",
                                                  "10 <- cancel 9", "kill 10", "end"}));
    Children closed;
    closed.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 9, TICKET));
    run_session(closed, frames({GAMEDIR, "vd_ticket webapi - 1"}));
    EXPECT_EQ(closed.events, (std::vector<std::string>{"start 10", "10 <- ticket webapi -",
                                                       "10 <- cancel 9", "end", "kill 10"}));
}

TEST(Session, FailedAuthTicketsHoldNothingAndAreAnsweredWithTheirChallenge) {
    Children c;
    c.answers.emplace_back(refused_answer(2));
    c.answers.emplace_back(bytes_of(UNCONFIRMED_ANSWER));
    Outcome o =
        run_session(c, frames({"vd_errors on", "vd_ticket session - 1", GAMEDIR,
                               "vd_ticket session - 2", "vd_ticket webapi - 3", "vd_cancel 1"}));
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", "10 <- ticket session -",
                                                  "10 <- ticket webapi -", "end", "kill 10"}));
    EXPECT_EQ(o.replies,
              (std::vector<Bytes>{
                  error_reply_of(0, "vd_ticket: session not active"),
                  error_reply_of(2, "vd_ticket: steam refused to issue auth ticket, result 2"),
                  error_reply_of(3, "vd_ticket: steam did not confirm the ticket"),
                  error_reply_of(0, "vd_cancel: unknown ticket handle")}));
}

// An identity reaches the child, and so Steam, exactly as the client wrote
// it, or the command fails naming it: a NUL, a control character (C0, DEL,
// C1) or more than 255 bytes is refused before the child hears of it.
TEST(Session, IdentitiesReachTheChildAsWrittenOrNotAtAll) {
    const std::string longest(VANDREL_MAX_IDENTITY_LEN, 'i');
    Bytes input = frames({"vd_errors on", GAMEDIR});
    for (const std::string& bad :
         {std::string("webapi a\0b", 11), std::string("webapi a\x1B[2Jb"),
          std::string("webapi a\x01"), std::string("webapi a\x7F"), std::string("webapi a\xC2\x85"),
          std::string("session str:a\x0B"), "webapi " + longest + "i"}) {
        Bytes f = frame_of("vd_ticket " + bad + " 1");
        input.insert(input.end(), f.begin(), f.end());
    }
    input = concat({input, frames({"vd_ticket session str:caf\xC3\xA9 2"}),
                    frame_of("vd_ticket webapi " + longest + " 3")});
    Children c;
    c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 4, TICKET));
    c.answers.emplace_back(auth_ticket_answer(USER_STEAM_ID, 5, TICKET));
    Outcome o = run_session(c, input);
    EXPECT_EQ(c.events,
              (std::vector<std::string>{"start 10", "10 <- ticket session str:caf\xC3\xA9",
                                        "10 <- ticket webapi " + longest, "10 <- cancel 4",
                                        "10 <- cancel 5", "end", "kill 10"}));
    std::vector<Bytes> expected(7, error_reply_of(0, "vd_ticket: failed to parse \"identity\""));
    expected.push_back(auth_reply_for(2, 4));
    expected.push_back(auth_reply_for(3, 5));
    EXPECT_EQ(o.replies, expected);
}

// "vd_status": the broker's lines without a child, the child asked while it
// lives (its runtime's path on one line), a dead child not asked, and the
// failures answered with the command's challenge.
TEST(Session, StatusAsksOnlyALiveChildAndKeepsEachValueOnItsLine) {
    const std::string broker = "version " VANDREL_VERSION "\nuid " + std::to_string(::getuid());
    Children c;
    c.answers.push_back(
        status_answer({USER_STEAM_ID, false, true, "/opt/new\nline/libsteam_api.so"}));
    c.answers.push_back(BrokerError::message("steam child timed out"));
    Outcome o = run_session(c, frames({"vd_errors on", "vd_status 3", GAMEDIR, "vd_status -4",
                                       "vd_status 5", "vd_status"}));
    EXPECT_EQ(c.events, (std::vector<std::string>{"start 10", "10 <- status", "10 <- status", "end",
                                                  "kill 10"}));
    EXPECT_EQ(o.replies,
              (std::vector<Bytes>{
                  status_reply(3, broker + "\nappid none\n"),
                  status_reply(-4, broker + "\nappid 10\nsteamid 72623859790382856\nlogged_on no\n"
                                            "runtime /opt/new\\u{a}line/libsteam_api.so\n"
                                            "runtime_kind standin\n"),
                  error_reply_of(5, "vd_status: steam child timed out"),
                  error_reply_of(0, "vd_status: invalid args, missing \"challenge\"")}));

    Children dead;
    dead.children_exit = true;
    o = run_session(dead, frames({GAMEDIR, "vd_status 6"}));
    EXPECT_EQ(dead.events, (std::vector<std::string>{"start 10", "end", "kill 10"}));
    EXPECT_EQ(o.replies, std::vector<Bytes>{status_reply(6, broker + "\nappid 10\n")});
}

TEST(ConnectReply, LayoutAndExtraBytesLeftOut) {
    Bytes empty = connect_reply(-1, conn_answer(USER_STEAM_ID, {}), 0);
    Bytes expected = {'v',  'd', '_', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0xFF, 0xFF, 0xFF,
                      0xFF, 8,   7,   6,   5,   4,   3,   2,   1,   0,   0,    0,    0};
    EXPECT_EQ(empty, expected) << "an empty ticket is a 27-byte reply";

    Bytes with_extra = conn_answer(USER_STEAM_ID, Bytes{0xAA, 0xBB});
    with_extra.insert(with_extra.end(), {0xCC, 0xDD});
    Bytes reply = connect_reply(77, with_extra, 2);
    ASSERT_EQ(reply.size(), 29u);
    EXPECT_EQ(reply[11], 77);
    EXPECT_EQ(reply[23], 2);
    EXPECT_EQ(reply[27], 0xAA);
    EXPECT_EQ(reply[28], 0xBB);
}

TEST(AuthTicketReply, CarriesTheHandleBeforeTheTicket) {
    // "auth ", Steam ID 0x0102030405060708, handle 0x0A0B0C0D, N = 2, 2 bytes and one extra.
    Bytes answer = {'a', 'u',  't',  'h',  ' ',  8, 7, 6, 5, 4,    3,    2,
                    1,   0x0D, 0x0C, 0x0B, 0x0A, 2, 0, 0, 0, 0xAA, 0xBB, 0xCC};
    Result<AuthTicketAnswer> got = read_auth_answer(answer);
    ASSERT_TRUE(got.ok()) << got.error().text();
    Bytes expected = {'v',  'd',  '_',  't',  'i', 'c', 'k', 'e', 't',  '\n', 0xFE,
                      0xFF, 0xFF, 0xFF, 8,    7,   6,   5,   4,   3,    2,    1,
                      0x0D, 0x0C, 0x0B, 0x0A, 2,   0,   0,   0,   0xAA, 0xBB};
    EXPECT_EQ(auth_ticket_reply(-2, *got), expected);
    answer[AUTH_TICKET_LEN_AT] = 4;
    EXPECT_EQ(read_auth_answer(answer).error().text(), "truncated ticket");
}

TEST(ErrorReply, LongWordIsCutAtACharacterToFitAFrame) {
    EXPECT_EQ(error_reply(-1, "vd_x", "oops"),
              (Bytes{'v',  'd', '_', 'e', 'r', 'r', 'o', 'r', '\n', 0xFF, 0xFF, 0xFF,
                     0xFF, 'v', 'd', '_', 'x', ':', ' ', 'o', 'o',  'p',  's'}));

    // 13 fixed bytes, ": " and the text leave 4096 - 13 - 2 - 15 = 4066 bytes
    // for the word; a two-byte character would straddle that limit.
    std::string word = "a";
    while (word.size() < 4100)
        word += "\xC3\xA9";
    Bytes reply = error_reply(0, word, "unknown command");
    ASSERT_EQ(reply.size(), 4095u);
    EXPECT_EQ(as_chars(reply).substr(13, 4065), word.substr(0, 4065));
    EXPECT_EQ(as_chars(reply).substr(13 + 4065), ": unknown command");
}

} // namespace
} // namespace vandrel
