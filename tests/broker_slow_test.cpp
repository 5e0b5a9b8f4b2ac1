// The broker's time limits end to end, where a unit test of the child handle
// cannot reach: a real child stopped in the middle of a session, and Steam
// that never confirms a ticket. Each test waits out real time limits.
#include "e2e.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
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

// Steam never confirms the session ticket: after the child's 5-second wait the
// command fails, the issued handle is cancelled, and nothing is held after.
TEST(BrokerSlow, UnconfirmedSessionTicketIsCancelled) {
    auto b = Client::tcp(standin(), Env{{"VANDREL_STANDIN_AUTH_CONFIRM", "0"}});
    b->activate_cstrike();
    b->command("vd_errors on", {});
    b->send("vd_ticket session - 5");
    b->expect({"<- vd_ticket"});
    b->expect(
        {"err steam did not confirm the ticket", "command error: steam did not confirm the ticket"},
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

// A stopped child reads nothing: with its pipe cut down to one page, one
// request of this size fills it, and the next cannot even be written. Each
// request gives up at its limit all the same, the client's departure is
// noticed, and the next client is served.
TEST(BrokerSlow, StoppedChildTimesOutEveryRequestAndTheSessionGoesOn) {
    constexpr int REQUESTS = 2;
    constexpr int PAGE = 4096;
    auto b = Client::tcp(standin());
    pid_t child = b->activate_cstrike();
    ASSERT_GT(child, 0);
    ContinueAtEnd resume{child};
    ASSERT_TRUE(stop_process(child));
    {
        Fd pipe = open_stdin_pipe(child, O_WRONLY | O_NONBLOCK);
        ASSERT_TRUE(pipe.valid());
        ASSERT_EQ(::fcntl(pipe.get(), F_SETPIPE_SZ, PAGE), PAGE);
    }
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
    // The pipe holds the first frame whole and nothing of the second.
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
