// "vd_status" end to end: the reply before any game and with a ready child,
// whose runtime is named by its path and kind, on the stand-in ("StandIn/...",
// runtime_kind standin) and on Steam's real runtime with the simulated Steam
// client ("Real/...", runtime_kind steam); Steam's logged-on state asked at
// that moment; and the argument errors.
#include "e2e.hpp"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace vandrel::test {
namespace {

constexpr std::uint32_t APPID = 480;

Bytes status_reply(std::int32_t challenge, std::string_view lines) {
    Bytes out = bytes_of("vd_status\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    out.insert(out.end(), lines.begin(), lines.end());
    return out;
}

std::string broker_lines(std::string_view appid) {
    return "version " VANDREL_VERSION "\nuid " + std::to_string(::getuid()) + "\nappid " +
           std::string(appid) + "\n";
}

class Status : public OnRuntime<Runtime> {
  protected:
    std::string child_lines(std::string_view logged_on) const {
        return "steamid " + std::to_string(USER_STEAM_ID) + "\nlogged_on " +
               std::string(logged_on) + "\nruntime " + loaded_runtime_path(runtime()) +
               "\nruntime_kind " + (runtime() == Runtime::Real ? "steam" : "standin") + "\n";
    }
};

TEST_P(Status, BeforeAnyGameAndWithAReadyChild) {
    auto c = Client::tcp(steam());
    c->command("vd_status 7", {"-> status for challenge 7"});
    EXPECT_EQ(c->reply(), status_reply(7, broker_lines("none")));
    c->command("vd_appid 480", {"activating appid 480 (appid 480)", ready_line(APPID)});
    c->command("vd_status -8", {"-> status for challenge -8"});
    EXPECT_EQ(c->reply(), status_reply(-8, broker_lines("480") + child_lines("yes")));
    // Steam was asked at that moment, by the child's Steam user.
    EXPECT_EQ(c->broker().calls("SteamAPI_ISteamUser_BLoggedOn "),
              std::vector<std::string>{"SteamAPI_ISteamUser_BLoggedOn result=1"});
    c->close_input();
    c->expect({"peer closed the connection", "session ended, awaiting next connection",
               reaped_line(APPID)});
    EXPECT_TRUE(c->nothing_more());
}

TEST_P(Status, LoggedOffUserAndArgumentErrors) {
    auto c = Client::tcp(steam(), {{"VANDREL_STANDIN_LOGGED_ON", "0"}});
    c->command("vd_errors on", {});
    c->command("vd_status", {"command error: invalid args, missing \"challenge\""});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_status: invalid args, missing \"challenge\""));
    c->command("vd_status 1.5", {"command error: failed to parse \"challenge\""});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_status: failed to parse \"challenge\""));
    c->command("vd_appid 480", {"activating appid 480 (appid 480)", ready_line(APPID)});
    c->command("vd_status 2", {"-> status for challenge 2"});
    EXPECT_EQ(c->reply(), status_reply(2, broker_lines("480") + child_lines("no")));
}

INSTANTIATE_TEST_SUITE_P(Runtimes, Status, ::testing::Values(Runtime::StandIn, Runtime::Real),
                         instance_name);

} // namespace
} // namespace vandrel::test
