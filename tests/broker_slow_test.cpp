// The broker's time limits end to end, where a unit test of the child handle
// cannot reach: a real child stopped in the middle of a session, Steam that
// never confirms a ticket or confirms it after its request gave up. Each test
// waits out real time limits. The last ones run on the stand-in
// ("StandIn/...") and on Steam's real runtime with the simulated Steam client
// ("Real/...").
#include "e2e.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <set>
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

// A child of the broker's that is not among `known`, once one appears.
std::optional<pid_t> new_child(pid_t broker, const std::set<pid_t>& known) {
    const auto give_up = Clock::now() + LINE_TIMEOUT;
    while (Clock::now() < give_up) {
        for (pid_t pid : child_pids(broker))
            if (!known.contains(pid))
                return pid;
        std::this_thread::yield();
    }
    return std::nullopt;
}

// Children killed from outside at every point of their start, from before
// they run to after they are ready, leave no scratch directory: the broker
// names each child's directory before it starts it, and removes it after
// the kill whether the child had made it, named it or neither. The kills
// sweep the time one undisturbed start takes.
TEST(BrokerSlow, ChildKilledAnywhereInItsStartLeavesNoDirectory) {
    constexpr int STARTS = 300;
    constexpr int STEPS = 25;
    auto b = Client::tcp(standin());
    const auto before = Clock::now();
    pid_t undisturbed = b->activate_cstrike();
    const auto start_time = Clock::now() - before;
    ASSERT_GT(undisturbed, 0);
    std::set<pid_t> killed{undisturbed};
    ASSERT_EQ(::kill(undisturbed, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(undisturbed, LINE_TIMEOUT));
    int ready = 0;
    for (int i = 0; i < STARTS; ++i) {
        b->send("vd_gamedir cstrike");
        std::optional<pid_t> child = new_child(b->process().pid(), killed);
        ASSERT_TRUE(child) << "start " << i;
        std::this_thread::sleep_for(start_time * (i % (STEPS + 1)) / STEPS);
        ASSERT_EQ(::kill(*child, SIGKILL), 0);
        killed.insert(*child);
        // Dead before the next start, so that the broker finds it so.
        ASSERT_TRUE(wait_dead(*child, LINE_TIMEOUT));
        // Every earlier command is done once the next one is answered.
        b->send("vd_sync");
        ASSERT_TRUE(b->process().wait_for_line("[vandrel] command error: unknown command"))
            << b->transcript();
        ready =
            static_cast<int>(std::count(b->process().lines().begin(), b->process().lines().end(),
                                        "[vandrel] " + ready_line(10)));
    }
    b->close_input();
    // The session, and its last child, are gone once the next client is
    // accepted.
    Fd next = connect_tcp(b->tcp_broker().port());
    ASSERT_TRUE(b->process().wait_for_prefix("[vandrel] accepted "));
    std::cout << STARTS << " starts killed, " << ready - 1
              << " of them after the child was ready\n";
    EXPECT_EQ(scratch_dirs(b->broker().tmpdir()), std::vector<std::string>{});
}

class BrokerSlowOnRuntime : public OnRuntime<Runtime> {};

// A stopped child holds six tickets when its client goes: the first cancel
// gets no answer within its limit, the child is killed at once and asked
// nothing more, the rest are dropped with one line, and the next client is
// served at once.
TEST_P(BrokerSlowOnRuntime, StoppedChildIsKilledAtTheFirstEndWithoutAnAnswer) {
    auto b = Client::tcp(steam());
    pid_t child = b->activate_cstrike();
    ASSERT_GT(child, 0);
    for (int handle = 1; handle <= 6; ++handle) {
        const std::string challenge = std::to_string(handle);
        b->command(
            "vd_ticket session - " + challenge,
            {"-> session ticket 240 bytes, handle " + challenge + ", for challenge " + challenge});
        ASSERT_TRUE(b->reply());
    }
    ContinueAtEnd resume{child};
    ASSERT_TRUE(stop_process(child));
    b->close_input();
    b->expect({"peer closed the connection", "cancelling dangling auth ticket 1"});
    b->expect({"child for appid 10 does not answer, killing it", reaped_line(10),
               "dropped 5 auth tickets that ended with the child",
               "session ended, awaiting next connection"},
              is_child_line, SLOW_LINE);
    EXPECT_FALSE(process_exists(child));
    EXPECT_TRUE(b->broker().calls("SteamAPI_ISteamUser_CancelAuthTicket ").empty());
    EXPECT_TRUE(scratch_dirs(b->broker().tmpdir()).empty());
    b->reconnect();
    b->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
}

// Steam takes longer to issue a session ticket than the request's limit: the
// request fails, the child is kept, and the late answer is read by the next
// request, which cancels its ticket with Steam at once; each handle is
// cancelled once, and the late one never reaches the client.
TEST_P(BrokerSlowOnRuntime, LateSessionTicketIsCancelledOnce) {
    auto b = Client::tcp(steam(), {{"VANDREL_STANDIN_AUTH_DELAYS_MS", "9000,0"}});
    b->activate_cstrike();
    b->command("vd_errors on", {});
    b->send("vd_ticket session - 1");
    b->expect({"<- vd_ticket"});
    b->expect({"command error: steam child timed out"}, is_child_line, SLOW_LINE);
    EXPECT_EQ(b->reply(), error_reply(1, "vd_ticket: steam child timed out"));
    b->send("vd_ticket session - 2");
    b->expect({"<- vd_ticket", "cancelling late auth ticket 1",
               "-> session ticket 240 bytes, handle 2, for challenge 2"},
              is_child_line, SLOW_LINE);
    std::optional<Bytes> reply = b->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at(VANDREL_AUTH_TICKET_REPLY_HANDLE_AT), 2) << "the current ticket only";
    b->close_input();
    b->expect({"peer closed the connection", "cancelling dangling auth ticket 2",
               "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(b->broker().calls("SteamAPI_ISteamUser_CancelAuthTicket "),
              (std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=1 known=1",
                                        "SteamAPI_ISteamUser_CancelAuthTicket handle=2 known=1"}));
    EXPECT_TRUE(b->nothing_more());
}

INSTANTIATE_TEST_SUITE_P(StandIn, BrokerSlowOnRuntime, ::testing::Values(Runtime::StandIn),
                         instance_name);
INSTANTIATE_TEST_SUITE_P(Real, BrokerSlowOnRuntime, ::testing::Values(Runtime::Real),
                         instance_name);

} // namespace
} // namespace vandrel::test
