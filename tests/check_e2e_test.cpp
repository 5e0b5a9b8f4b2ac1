// vandrel-ticket --check end to end: every step against a TCP broker on the
// stand-in ("StandIn/...": the runtime kind fails and names the stand-in) and
// on Steam's real runtime with the simulated Steam client ("Real/...": every
// step passes); a private broker with --json; and the hints when no broker
// listens or Steam's pid file is missing.
#include "e2e.hpp"
#include "vandrel/client.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

constexpr int EXIT_CHECK_FAILED = 9;
// 192.0.2.1, the documentation address of the game-connection ticket, in host order.
constexpr std::uint32_t CHECK_SERVER_IP = 0xC0000201;

std::string tool_path() {
    return build_dir() + "/bin/vandrel-ticket";
}

// A home directory as Steam leaves it for a running, logged-in user: the pid
// file names this test's process, and the client library is in place.
class SteamHome {
  public:
    SteamHome() {
        fs::create_directories(sdk());
        std::ofstream(client_library()) << "not a library: --check only looks whether it is there";
        std::ofstream(pid_file()) << ::getpid();
    }
    const std::string& path() const { return dir_.path(); }
    std::string pid_file() const { return path() + "/.steam/steam.pid"; }
    std::string sdk() const { return path() + "/.steam/sdk64"; }
    std::string client_library() const { return sdk() + "/steamclient.so"; }

  private:
    TempDir dir_;
};

struct ToolRun {
    int status = -1;
    std::string out;
    std::vector<std::string> err;
};

// Runs vandrel-ticket with `args` in `broker`'s environment (its runtime, its
// call log), HOME set to `home`, `extra` added.
ToolRun run_tool(const Broker& broker, const std::string& home, std::vector<std::string> args,
                 Env extra = {}) {
    extra["HOME"] = home;
    Spawn spawn = broker.spawn(std::move(args), extra);
    spawn.pipe_stdin = false;
    Process tool(tool_path(), spawn);
    ToolRun run;
    run.out = read_to_end(tool.stdout_fd(), 60s); // the whole check takes seconds
    run.err = tool.rest_of_lines(40s);
    run.status = tool.wait_exit(10s).value_or(-1);
    return run;
}

std::string uid_text() {
    return std::to_string(::getuid());
}

// The lines of a run whose broker, Steam and child are all there, up to the
// runtime kind.
std::string chain_lines(const std::string& broker, const std::string& home, Runtime runtime) {
    return "ok   broker: " + broker + " answers, runs as this user (uid " + uid_text() +
           "), version " VANDREL_VERSION_STRING "\n"
           "ok   steam_running: " +
           home + "/.steam/steam.pid names process " + std::to_string(::getpid()) +
           ", which is running\n"
           "ok   steam_client_library: " +
           home + "/.steam/sdk64/steamclient.so\n" + "ok   child: AppID 480 ready, steamid " +
           std::to_string(USER_STEAM_ID) +
           "\nok   logged_on: yes\nok   runtime: " + loaded_runtime_path(runtime) + "\n";
}

const std::string TICKET_LINES =
    "ok   session_ticket: 240 bytes, handle 1, cancelled\n"
    "ok   webapi_ticket: 240 bytes for identity vandrel-check, handle 2, cancelled\n"
    "ok   connect_ticket: 240 bytes for 192.0.2.1:27015, ended\n";

std::string standin_lines(Runtime runtime) {
    const std::string dir = fs::path(loaded_runtime_path(runtime)).parent_path().string();
    return "FAIL runtime_kind: standin: vandrel's stand-in runtime, not Steam; no server accepts "
           "its tickets\n"
           "     hint: install Steam's runtime in its place: scripts/fetch-steam-runtime " +
           dir +
           " (or copy the Steamworks SDK's libsteam_api.so there), then restart the broker; "
           "see the README, \"Using Steam's real runtime\"\n";
}

// The steps behind the child, from the `first` of them (0: the child's
// own), listed as not run because the step `failed` failed.
std::string skipped_lines(std::size_t first, const std::string& failed) {
    static const std::vector<std::string> behind = {
        "child",          "logged_on",     "runtime",       "runtime_kind",
        "session_ticket", "webapi_ticket", "connect_ticket"};
    std::string out;
    for (std::size_t i = first; i < behind.size(); ++i)
        out += "skip " + behind[i] + ": not run: the " + failed + " step failed\n";
    return out;
}

class Check : public OnRuntime<Runtime> {};

// Against a TCP broker, each step's line; with Steam's runtime all pass.
TEST_P(Check, EveryLinkOfTheChain) {
    // The real runtime's home holds the simulated client; the stand-in needs
    // only what --check looks at.
    SteamHome standin_home;
    const std::string home = runtime() == Runtime::Real ? steam().home() : standin_home.path();
    Broker broker(steam());
    TcpBroker tcp(broker.spawn({"127.0.0.1:0"}, {}));
    const std::string address = "127.0.0.1:" + std::to_string(tcp.port());

    ToolRun run = run_tool(broker, home, {"--broker", address, "--check"});
    std::string expected = chain_lines(address, home, runtime());
    if (runtime() == Runtime::Real)
        expected += "ok   runtime_kind: steam\n" + TICKET_LINES + "all 10 checks passed\n";
    else
        expected += standin_lines(runtime()) + TICKET_LINES + "1 of 10 checks failed\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.status, runtime() == Runtime::Real ? 0 : EXIT_CHECK_FAILED);
    EXPECT_TRUE(run.err.empty()) << ::testing::PrintToString(run.err);

    // The tickets were ended in Steam: both auth tickets cancelled, the game
    // connection terminated.
    ASSERT_TRUE(tcp.process().wait_for_line("[vandrel] session ended, awaiting next connection"));
    EXPECT_EQ(broker.calls("SteamAPI_ISteamUser_CancelAuthTicket "),
              (std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=1 known=1",
                                        "SteamAPI_ISteamUser_CancelAuthTicket handle=2 known=1"}));
    EXPECT_EQ(broker.calls(TERMINATE),
              std::vector<std::string>{terminate_call(CHECK_SERVER_IP, 27015)});
    EXPECT_TRUE(broker.calls("ERROR").empty());
}

INSTANTIATE_TEST_SUITE_P(Runtimes, Check, ::testing::Values(Runtime::StandIn, Runtime::Real),
                         instance_name);

// A private broker (--spawn) and --json: one object with every step and the
// broker's status.
TEST(CheckJson, PrivateBrokerOnTheStandIn) {
    SteamHome home;
    Broker broker(standin());
    ToolRun run = run_tool(broker, home.path(), {"--spawn", broker_path(), "--check", "--json"});
    EXPECT_EQ(run.status, EXIT_CHECK_FAILED);
    ASSERT_TRUE(run.out.starts_with("{\"ok\":false,\"appid\":480,\"broker\":\"a private broker (" +
                                    broker_path() +
                                    " --stdio)\",\"failed\":1,\"skipped\":0,\"steps\":["))
        << run.out;
    EXPECT_NE(run.out.find("{\"step\":\"runtime_kind\",\"ok\":false,\"detail\":\"standin: "
                           "vandrel's stand-in runtime, not Steam; no server accepts its "
                           "tickets\",\"hint\":\"install Steam's runtime in its place: "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("the README, \\\"Using Steam's real runtime\\\"\"}"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("{\"step\":\"connect_ticket\",\"ok\":true,\"detail\":\"240 bytes for "
                           "192.0.2.1:27015, ended\",\"hint\":null}],"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(run.out.ends_with(
        ",\"status\":{\"version\":\"" VANDREL_VERSION_STRING "\",\"uid\":\"" + uid_text() +
        "\",\"appid\":\"480\",\"steamid\":\"" + std::to_string(USER_STEAM_ID) +
        "\",\"logged_on\":\"yes\",\"runtime\":\"" + loaded_runtime_path(Runtime::StandIn) +
        "\",\"runtime_kind\":\"standin\"}}\n"))
        << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);
}

// Each missing link fails with its hint; without a broker the steps behind
// it are not run but listed as skipped, and Steam's own are run.
TEST(CheckHints, NoBrokerListeningAndNoSteamPidFile) {
    SteamHome home;
    Broker broker(standin());
    const std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    ToolRun none = run_tool(broker, home.path(), {"--broker", address, "--check"});
    EXPECT_EQ(none.status, EXIT_CHECK_FAILED);
    EXPECT_EQ(none.out,
              "FAIL broker: " + address +
                  ": cannot connect to the broker (Connection refused)\n"
                  "     hint: start the broker (systemctl --user start vandrel, or vandrel ADDR), "
                  "or name its address with --broker\n"
                  "ok   steam_running: " +
                  home.pid_file() + " names process " + std::to_string(::getpid()) +
                  ", which is running\n"
                  "ok   steam_client_library: " +
                  home.client_library() + "\n" + skipped_lines(0, "broker") +
                  "1 of 10 checks failed, 7 skipped\n");

    fs::remove(home.pid_file());
    ToolRun no_pid = run_tool(broker, home.path(), {"--spawn", broker_path(), "--check"});
    EXPECT_EQ(no_pid.status, EXIT_CHECK_FAILED);
    EXPECT_NE(no_pid.out.find("\nFAIL steam_running: " + home.pid_file() +
                              ": No such file or directory\n"
                              "     hint: start Steam and log in as this user\n"
                              "ok   steam_client_library: "),
              std::string::npos)
        << no_pid.out;
    EXPECT_TRUE(no_pid.out.ends_with("2 of 10 checks failed\n")) << no_pid.out;
}

// A child that cannot start Steam fails its step, and the steps behind it
// are listed as skipped, in the lines and in the JSON. Found by the default
// address order, the broker's line names the address that answered.
TEST(CheckHints, AFailedChildSkipsTheStepsBehindIt) {
    SteamHome home;
    Broker env(standin());
    TempDir dir;
    const std::string address = "unix:" + dir.path() + "/socket";
    Process broker(env.spawn({address}, {{"VANDREL_STANDIN_INIT_RESULT", "2"}}));
    ASSERT_EQ(broker.next_line(), "[vandrel] listening on " + address);
    const Env by_default = {{"VANDREL_BROKER", address}};

    ToolRun lines = run_tool(env, home.path(), {"--check"}, by_default);
    EXPECT_EQ(lines.status, EXIT_CHECK_FAILED);
    const std::string named = address + " (the default address)";
    EXPECT_TRUE(lines.out.starts_with("ok   broker: " + named + " answers")) << lines.out;
    EXPECT_NE(lines.out.find("\nFAIL child: AppID 480: vd_appid: steam child failed to "
                             "initialise\n     hint: Steam could not start for this AppID: "),
              std::string::npos)
        << lines.out;
    EXPECT_TRUE(
        lines.out.ends_with(skipped_lines(1, "child") + "1 of 10 checks failed, 6 skipped\n"))
        << lines.out;

    ToolRun json = run_tool(env, home.path(), {"--check", "--json"}, by_default);
    EXPECT_EQ(json.status, EXIT_CHECK_FAILED);
    EXPECT_TRUE(json.out.starts_with("{\"ok\":false,\"appid\":480,\"broker\":\"" + named +
                                     "\",\"failed\":1,\"skipped\":6,\"steps\":["))
        << json.out;
    EXPECT_NE(json.out.find("{\"step\":\"connect_ticket\",\"ok\":false,\"skipped\":true,"
                            "\"detail\":\"not run: the child step failed\",\"hint\":null}],"),
              std::string::npos)
        << json.out;
}

TEST(CheckUsage, OnlyTheOptionsACheckTakes) {
    Broker broker(standin());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check", "--gamedir", "cstrike"},
          std::vector<std::string>{"--check", "--kind", "session"},
          std::vector<std::string>{"--server", "1.2.3.4:1", "--check"}}) {
        ToolRun run = run_tool(broker, "/nonexistent", args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.size(), 2u);
        EXPECT_TRUE(run.err.front().ends_with(" is not for --check")) << run.err.front();
    }
    ToolRun json = run_tool(broker, "/nonexistent", {"--json", "--appid", "480", "--kind", "app"});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.err.front(), "vandrel-ticket: --json is for --check");
}

} // namespace
} // namespace vandrel::test
