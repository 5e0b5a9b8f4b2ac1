// The broker's time limits end to end: the 20-second wait for a new child's
// readiness (the hung child is killed and the broker serves on), the 8-second
// limit of a request (its write and its answer), and answers that arrive after
// their request timed out. Each test waits out real time limits.
#include "e2e.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace vandrel::test {
namespace {

// Longer than any time limit of the broker, so a missing line fails rather
// than hangs, and a late one is not mistaken for a missing one.
constexpr auto SLOW_LINE = 30s;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A descriptor of our own on the pipe that is the standard input of `pid`.
Fd open_stdin_pipe(pid_t pid, int flags) {
    return Fd(::open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), flags | O_CLOEXEC));
}

// Continues a stopped child when the test ends, so that a failed test does
// not leave it stopped for ever once its broker is gone.
struct ContinueAtEnd {
    pid_t pid;
    ~ContinueAtEnd() { ::kill(pid, SIGCONT); }
};

// The one child of `pid` once it has been started, or -1.
pid_t started_child(pid_t pid) {
    auto deadline = Clock::now() + LINE_TIMEOUT;
    while (Clock::now() < deadline) {
        std::vector<pid_t> children = child_pids(pid);
        if (children.size() == 1)
            return children[0];
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

// The hung child is killed and reaped, and the broker goes on serving.
TEST(BrokerSlow, ChildThatNeverGetsReadyTimesOutAfterTwentySeconds) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_INIT_HANG_MS", "forever"}});
    b->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)"});
    pid_t hung = started_child(b->process().pid());
    ASSERT_GT(hung, 0);
    auto start = Clock::now();
    // The reaped line comes before the caller's own error line.
    b->expect({"child for appid 10 reaped"}, is_child_line, SLOW_LINE);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 19.5);
    EXPECT_LT(waited, 22.0);
    b->expect({"command error: steam child timed out"});
    EXPECT_FALSE(process_exists(hung)) << "the hung child is killed and reaped";
    EXPECT_TRUE(child_pids(b->process().pid()).empty()) << "no child is left running";
    // The session is as before the failed start, and the next client is served.
    b->command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
    b->close_input();
    b->expect({"peer closed the connection", "session ended, awaiting next connection"});
    b->reconnect();
    b->command("vd_terminate", {"vd_terminate \xE2\x80\x94 exiting"});
    EXPECT_EQ(b->process().wait_exit(), 0);
}

TEST(BrokerSlow, AnswerLaterThanEightSecondsTimesOut) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_TICKET_DELAY_MS", "9000"}});
    b->activate_cstrike();
    auto start = Clock::now();
    b->send("vd_connect 1.2.3.4:27015 1 1 77");
    b->expect({"<- vd_connect"});
    b->expect({"command error: steam child timed out"}, is_child_line, SLOW_LINE);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 7.9);
    EXPECT_LT(waited, 8.9);
    // Nothing was recorded and nothing sent.
    b->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    b->close_input();
    b->expect({"peer closed the connection", "session ended, awaiting next connection",
               "child for appid 10 reaped"});
    EXPECT_TRUE(b->nothing_more());
}

// Steam never confirms the session ticket: after the child's 5-second wait the
// command fails, the issued handle is cancelled, and nothing is held after.
TEST(BrokerSlow, UnconfirmedSessionTicketIsCancelled) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_AUTH_CONFIRM", "0"}});
    b->activate_cstrike();
    b->command("vd_errors on", {});
    b->send("vd_ticket session - 5");
    b->expect({"<- vd_ticket"});
    b->expect({"err steam did not confirm the ticket",
               "command error: steam did not confirm the ticket"},
              is_child_line, SLOW_LINE);
    EXPECT_EQ(b->reply(), error_reply(5, "vd_ticket: steam did not confirm the ticket"));
    EXPECT_EQ(b->broker().calls("SteamAPI_ISteamUser_CancelAuthTicket "),
              std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=1 known=1"});
    b->command("vd_cancel 1", {"command error: unknown ticket handle"});
    ASSERT_TRUE(b->reply());
    b->close_input();
    b->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
}

// The first ticket call takes 9 s, the next ones none: the first request times
// out, and its late answer must not be taken for the second request's.
TEST(BrokerSlow, LateAnswerIsNotTakenForTheNextRequest) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_TICKET_DELAYS_MS", "9000,0"}});
    b->activate_cstrike();
    auto start = Clock::now();
    // Both requests are queued at once; the second is read when the first has
    // timed out.
    b->send("vd_connect 1.2.3.4:27015 111 1 1");
    b->send("vd_connect 5.6.7.8:1000 222 1 2");
    b->expect({"<- vd_connect"});
    b->expect({"command error: steam child timed out"}, is_child_line, SLOW_LINE);
    EXPECT_LT(seconds_since(start), 8.9);
    b->expect({"<- vd_connect"});
    b->expect({"-> ticket 240 bytes for challenge 2"}, is_child_line, SLOW_LINE);
    std::optional<Bytes> reply = b->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(2, 0x05060708, 1000, 222))
        << "the reply carries the second server's ticket";

    // The discarded answer is not owed twice: the next request gets its own.
    b->command("vd_connect 9.9.9.9:9 333 0 3", {"-> ticket 240 bytes for challenge 3"});
    reply = b->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(3, 0x09090909, 9, 333));
    EXPECT_EQ(b->broker().calls(INITIATE).size(), 3u);
    b->close_input();
    b->expect({"peer closed the connection", "cleaning up dangling ticket for 9.9.9.9:9",
               "session ended, awaiting next connection"});
    EXPECT_TRUE(b->nothing_more());
}

// Two requests time out in a row; the third discards both late answers, the
// second of which arrives only while the third is waiting.
TEST(BrokerSlow, TwoLateAnswersAreBothDiscarded) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_TICKET_DELAYS_MS", "9000,9000,0"}});
    b->activate_cstrike();
    b->send("vd_connect 1.2.3.4:27015 111 1 1");
    b->send("vd_connect 5.6.7.8:1000 222 1 2");
    b->send("vd_connect 9.9.9.9:9 333 1 3");
    for (int timed_out = 0; timed_out < 2; ++timed_out) {
        b->expect({"<- vd_connect"});
        b->expect({"command error: steam child timed out"}, is_child_line, SLOW_LINE);
    }
    b->expect({"<- vd_connect"});
    b->expect({"-> ticket 240 bytes for challenge 3"}, is_child_line, SLOW_LINE);
    std::optional<Bytes> reply = b->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(3, 0x09090909, 9, 333));
    b->close_input();
    b->expect({"peer closed the connection", "cleaning up dangling ticket for 9.9.9.9:9",
               "session ended, awaiting next connection"});
    EXPECT_TRUE(b->nothing_more());
}

// A stopped child reads nothing: 16 requests of this size fill its pipe, and
// the 17th cannot even be written. Each request gives up at its limit all
// the same, the client's departure is noticed, and the next client is served.
TEST(BrokerSlow, StoppedChildTimesOutEveryRequestAndTheSessionGoesOn) {
    constexpr int REQUESTS = 17;
    auto b = Client::tcp(standin());
    pid_t child = b->activate_cstrike();
    ASSERT_GT(child, 0);
    ContinueAtEnd resume{child};
    ASSERT_TRUE(stop_process(child));
    const std::string token(4050, '7');
    std::size_t frame_len = 0;
    for (int i = 0; i < REQUESTS; ++i) {
        const std::string challenge = std::to_string(i);
        frame_len = frame_of("conn 1.2.3.4:27015 " + token + " 1").size();
        auto start = Clock::now();
        b->send("vd_connect 1.2.3.4:27015 " + token + " 1 " + challenge);
        b->expect({"<- vd_connect"});
        b->expect({"command error: steam child timed out"}, is_child_line, SLOW_LINE);
        ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "request " << i;
        double waited = seconds_since(start);
        EXPECT_GE(waited, 7.5) << "request " << i;
        EXPECT_LT(waited, 10.0) << "request " << i;
    }
    // The pipe holds the first 16 frames whole and nothing of the 17th.
    Fd pipe = open_stdin_pipe(child, O_RDONLY | O_NONBLOCK);
    ASSERT_TRUE(pipe.valid());
    int queued = -1;
    ASSERT_EQ(::ioctl(pipe.get(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, static_cast<int>((REQUESTS - 1) * frame_len));
    pipe.reset();

    b->close_input();
    b->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(scratch_dirs(b->broker().tmpdir()).empty());
    b->reconnect();
    b->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
}

} // namespace
} // namespace vandrel::test
