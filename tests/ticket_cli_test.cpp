// vandrel-ticket, run as a program against brokers on the stand-in Steam
// runtime: its output, its usage errors and exit statuses, and how it ends a
// failed session.
#include "client_harness.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vandrel::test {
namespace {

std::string tool_path() {
    return build_dir() + "/bin/vandrel-ticket";
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// All of `fd` up to end of input.
std::string read_all(int fd, Clock::duration limit = LINE_TIMEOUT) {
    std::string out;
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return out;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::vector<std::string> err;
};

ToolRun run_tool(const BrokerEnv& env, std::vector<std::string> args) {
    Process tool(tool_path(), env.spawn(std::move(args)));
    ToolRun run;
    run.out = read_all(tool.stdout_fd(), 40s);
    run.err = tool.rest_of_lines(40s);
    run.status = tool.wait_exit(10s).value_or(-1);
    return run;
}

bool has_line(const ToolRun& run, std::string_view line) {
    return std::find(run.err.begin(), run.err.end(), line) != run.err.end();
}

TEST(VandrelTicket, PrintsTheTicketOfASpawnedBroker) {
    BrokerEnv env;
    Bytes expected = ticket_for(0x0A000005, 27015, 123);
    ToolRun run = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--server",
                                 "10.0.0.5:27015", "--server-steamid", "123", "--challenge", "9"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "steamid " + std::to_string(USER_STEAM_ID) + "\nticket " + hex(expected) + "\n");
    EXPECT_TRUE(has_line(run, "[vandrel] -> ticket 240 bytes for challenge 9"));

    run = run_tool(env, {"--spawn=" + broker_path(), "--gamedir=cstrike", "--server=10.0.0.5:27015",
                         "--server-steamid=123", "--raw"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(has_line(run, "steamid " + std::to_string(USER_STEAM_ID)));
}

TEST(VandrelTicket, PrintsTheHandleBeforeEachAuthTicket) {
    BrokerEnv env;
    const std::string steamid = "steamid " + std::to_string(USER_STEAM_ID) + "\n";
    ToolRun session = run_tool(env, {"--spawn", broker_path(), "--appid", "480", "--kind",
                                     "session", "--identity", "steamid:76561197960287931"});
    EXPECT_EQ(session.status, 0);
    EXPECT_EQ(session.out, steamid + "handle 1\nticket " + hex(auth_ticket_for(1)) + "\n");
    ToolRun web = run_tool(env, {"--spawn", broker_path(), "--appid", "480", "--kind", "webapi",
                                 "--identity", "api.example.com"});
    EXPECT_EQ(web.status, 0);
    EXPECT_EQ(web.out,
              steamid + "handle 1\nticket " + hex(auth_ticket_for((1ULL << 32) + 1)) + "\n");
    ToolRun app = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--kind", "app",
                                 "--data", "00ABff", "--raw"});
    EXPECT_EQ(app.status, 0);
    const Bytes app_ticket = auth_ticket_for((1ULL << 33) + 3);
    EXPECT_EQ(app.out, std::string(app_ticket.begin(), app_ticket.end()));
    EXPECT_TRUE(has_line(app, "handle 0"));
    // Each tool's broker cancelled the ticket it still held when the tool went.
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_CancelAuthTicket ").size(), 2u);
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_GetAuthTicketForWebApi "),
              std::vector<std::string>{
                  "SteamAPI_ISteamUser_GetAuthTicketForWebApi identity=api.example.com handle=1"});
}

TEST(VandrelTicket, HelpUsageErrorsAndFailures) {
    BrokerEnv env(Env{{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
    ToolRun help = run_tool(env, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: vandrel-ticket")) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    EXPECT_NE(help.out.find("6 the broker reported why"), std::string::npos);

    // Usage errors end with 2 before any broker is started: the path given
    // to --spawn does not exist, which would be status 3.
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{}, "vandrel-ticket: --gamedir or --appid is required"},
        {{"--gamedir", "cstrike", "--appid", "10"},
         "vandrel-ticket: --gamedir and --appid exclude each other"},
        {{"--appid", "4294967296"}, "vandrel-ticket: invalid --appid: 4294967296"},
        {{"--appid", "480", "--kind", "ticket"}, "vandrel-ticket: invalid --kind: ticket"},
        {{"--appid", "480", "--kind", "app", "--data", "abc"},
         "vandrel-ticket: invalid --data: abc"},
        {{"--appid", "480", "--kind", "app", "--identity", "x"},
         "vandrel-ticket: --identity is for --kind session or webapi"},
        {{"--appid", "480", "--server", "1.2.3.4:1", "--data", "00"},
         "vandrel-ticket: --data is for --kind app"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike"},
         "vandrel-ticket: --server is required"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4"},
         "vandrel-ticket: invalid --server: 1.2.3.4"},
        {{"--spawn", "/nonexistent", "--gamedir", "cs strike", "--server", "1.2.3.4:1"},
         "vandrel-ticket: invalid --gamedir: cs strike"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4:1", "--challenge",
          "2147483648"},
         "vandrel-ticket: invalid --challenge: 2147483648"},
        {{"--bogus", "x"}, "vandrel-ticket: unknown option: --bogus"},
        {{"--gamedir"}, "vandrel-ticket: missing value for: --gamedir"},
        {{"--broker", "127.0.0.1:1", "--spawn", "/nonexistent", "--gamedir", "cstrike", "--server",
          "1.2.3.4:1"},
         "vandrel-ticket: --broker and --spawn exclude each other"},
    };
    for (const auto& c : cases) {
        ToolRun run = run_tool(env, c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_TRUE(has_line(run, c.message)) << c.message;
        EXPECT_TRUE(run.out.empty()) << c.message;
    }

    // No broker: the reason is said once.
    ToolRun missing =
        run_tool(env, {"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4:1"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err,
              std::vector<std::string>{
                  "vandrel-ticket: cannot start the broker (No such file or directory)"});
    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    ToolRun refused_connection = run_tool(env, {"--broker", "127.0.0.1:" + std::to_string(port),
                                                "--gamedir", "cstrike", "--server", "1.2.3.4:1"});
    EXPECT_EQ(refused_connection.status, 3);
    EXPECT_EQ(refused_connection.err,
              std::vector<std::string>{
                  "vandrel-ticket: cannot connect to the broker (Connection refused)"});

    // Steam refuses the ticket: the broker says so, and the tool prints why.
    ToolRun refused = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--server",
                                     "1.2.3.4:1", "--timeout-ms", "3000"});
    EXPECT_EQ(refused.status, 6);
    EXPECT_TRUE(has_line(refused, "vandrel-ticket: no ticket: the broker reported an error: "
                                  "vd_connect: steam refused to issue auth ticket"));
    EXPECT_TRUE(refused.out.empty());
}

// The tool gives up at the first error reply, with the reply to its ticket
// request still on the way: it reads that before closing, and the broker sees
// an orderly end instead of a reset connection.
TEST(VandrelTicket, FailedRunEndsTheSessionInOrder) {
    BrokerEnv env;
    TcpBroker broker(env.spawn({"127.0.0.1:0"}));
    ToolRun run = run_tool(env, {"--broker", "127.0.0.1:" + std::to_string(broker.port()),
                                 "--gamedir", "nosuchgame", "--server", "1.2.3.4:1"});
    EXPECT_EQ(run.status, 6);
    EXPECT_TRUE(has_line(run, "vandrel-ticket: no ticket: the broker reported an error: "
                              "vd_gamedir: no Steam AppID known for this gamedir"));
    ASSERT_TRUE(broker.process().wait_for_line("[vandrel] command error: session not active"));
    EXPECT_EQ(broker.process().next_line(), "[vandrel] peer closed the connection");
    EXPECT_EQ(broker.process().next_line(), "[vandrel] session ended, awaiting next connection");
}

} // namespace
} // namespace vandrel::test
