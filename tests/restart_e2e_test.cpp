// Sessions that outlive Steam, end to end: Steam quits in the middle of a
// session and comes back (with the same user or another), or stays away for a
// while. Both runtimes play it: Steam runs while the file that
// VANDREL_STANDIN_RUNNING_FILE names exists. Instances run on the stand-in
// ("StandIn/...") and on Steam's real runtime with the simulated Steam client
// ("Real/...").
#include "e2e.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t OTHER_USER = 76561198000000001ULL;
const std::string STEAM_AWAY =
    "err steam init failed: NoSteamClient(\"Cannot create IPC pipe to Steam client process.  "
    "Steam is probably not running.\")";

// The lines of a start while Steam is away, and the command's error.
std::vector<std::string> start_failed() {
    return {"activating gamedir \"cstrike\" (appid 10)", "child for appid 10 failed: " + STEAM_AWAY,
            reaped_line(10), "command error: steam child failed to initialise"};
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SteamRestart : public OnRuntime<Runtime> {
  protected:
    // A TCP session, its errors answered, with cstrike's child ready while
    // Steam runs; the child's process ID.
    pid_t start_session() {
        steam_returns();
        c_ = Client::tcp(steam(), {{"VANDREL_STANDIN_RUNNING_FILE", running_}});
        c_->command("vd_errors on", {});
        return c_->activate_cstrike();
    }
    // Steam quits: its running child hears of it, says so and ends.
    void steam_quits(pid_t child) {
        ASSERT_TRUE(fs::remove(running_));
        ASSERT_TRUE(
            c_->process().wait_for_line("[vandrel] child: steam went away (shutdown), exiting"))
            << c_->transcript();
        ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    }
    // Steam runs again, with `user` logged in (0: the broker's usual one).
    void steam_returns(std::uint64_t user = 0) {
        std::ofstream(running_) << (user != 0 ? std::to_string(user) : "");
    }
    Client& c() { return *c_; }
    const Broker& broker() const { return c_->broker(); }

  private:
    TempDir dir_;
    std::string running_ = dir_.path() + "/steam-running";
    std::unique_ptr<Client> c_;
};

// Steam restarts, and another user logs in: the next request gets its ticket
// from a new child without the client activating its game again, and the
// replies carry the new user. The old child's handles are dropped, not
// cancelled, and its game connection is not ended through the new child.
TEST_P(SteamRestart, QuitsAndComesBackWithAnotherUser) {
    pid_t first = start_session();
    ASSERT_GT(first, 0);
    c().command("vd_connect 1.2.3.4:27015 1 1 1", {"-> ticket 240 bytes for challenge 1"});
    EXPECT_EQ(c().reply(), expected_reply(1, IP_1_2_3_4, 27015, 1));
    c().command("vd_ticket webapi - 2", {"-> webapi ticket 240 bytes, handle 1, for challenge 2"});
    ASSERT_TRUE(c().reply());
    steam_quits(first);
    steam_returns(OTHER_USER);

    c().command("vd_connect 5.6.7.8:1000 222 1 3",
                {"child for appid 10 has ended", reaped_line(10),
                 "dropped 1 auth ticket that ended with the child",
                 "activating gamedir \"cstrike\" (appid 10)",
                 "child for appid 10 ready, steamid " + std::to_string(OTHER_USER),
                 "steam user changed from " + std::to_string(USER_STEAM_ID) + " to " +
                     std::to_string(OTHER_USER),
                 "-> ticket 240 bytes for challenge 3"});
    EXPECT_EQ(c().reply(),
              connect_reply(3, OTHER_USER, standin_ticket(IP_5_6_7_8, 1000, 222, 240)));
    c().close_input();
    c().expect({"peer closed the connection", "cleaning up dangling ticket for 5.6.7.8:1000",
                "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_5_6_7_8, 1000)});
    EXPECT_TRUE(broker().calls("SteamAPI_ISteamUser_CancelAuthTicket ").empty());
    EXPECT_TRUE(broker().calls("ERROR").empty());
    EXPECT_TRUE(scratch_dirs(broker().tmpdir()).empty());
}

// While Steam stays away each request that needs a child tries one start of
// its own and fails at once with Steam's own reason, never with a refusal;
// the first request after Steam is back gets its ticket. (The session of
// docs/protocol.md's "When Steam goes away".)
TEST_P(SteamRestart, StaysAwayThenComesBack) {
    pid_t first = start_session();
    ASSERT_GT(first, 0);
    c().command("vd_connect 1.2.3.4:27015 1 1 1", {"-> ticket 240 bytes for challenge 1"});
    EXPECT_EQ(c().reply(), expected_reply(1, IP_1_2_3_4, 27015, 1));
    steam_quits(first);

    c().send("vd_ticket session - 4");
    c().expect(
        joined({"<- vd_ticket", "child for appid 10 has ended", reaped_line(10)}, start_failed()),
        is_child_or_fatal);
    EXPECT_EQ(c().reply(), error_reply(4, "vd_ticket: steam child failed to initialise"));
    c().send("vd_connect 1.2.3.4:27015 1 1 5");
    c().expect(joined({"<- vd_connect"}, start_failed()), is_child_or_fatal);
    EXPECT_EQ(c().reply(), error_reply(5, "vd_connect: steam child failed to initialise"));

    steam_returns();
    c().command("vd_connect 1.2.3.4:27015 1 1 6",
                {"activating gamedir \"cstrike\" (appid 10)", ready_line(10),
                 "-> ticket 240 bytes for challenge 6"});
    EXPECT_EQ(c().reply(), expected_reply(6, IP_1_2_3_4, 27015, 1));
    EXPECT_TRUE(broker().calls("ERROR").empty());
}

INSTANTIATE_TEST_SUITE_P(StandIn, SteamRestart, ::testing::Values(Runtime::StandIn), instance_name);
INSTANTIATE_TEST_SUITE_P(Real, SteamRestart, ::testing::Values(Runtime::Real), instance_name);

} // namespace
} // namespace vandrel::test
