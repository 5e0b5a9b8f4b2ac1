// What a broker leaves behind and what outlives it, end to end on the stand-in
// runtime: the scratch directories of the children it kills, a child that
// died under it, the ticket of a session that ends with an error, a broker
// without any Steam runtime, and children whose broker has been killed.
#include "child/child.hpp"
#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

// Every child the broker kills (on a switch, after a failed start, at the
// end of a session with a ticket, on "vd_terminate") is gone with its
// directory by the time its "reaped" line is written.
TEST(ScratchCleanup, KilledChildrenLeaveNoDirectory) {
    constexpr int SWITCHES = 200;
    constexpr int FAILED_STARTS = 50;
    {
        auto c = Client::tcp(standin());
        const std::string& tmpdir = c->broker().tmpdir();
        c->activate_cstrike();
        for (int i = 0; i < SWITCHES; ++i) {
            const bool to_valve = i % 2 == 0;
            const std::uint32_t from = to_valve ? 10 : 70, to = to_valve ? 70 : 10;
            c->command(to_valve ? "vd_gamedir valve" : "vd_gamedir cstrike",
                       {"switching appid " + std::to_string(from) + " -> " + std::to_string(to),
                        reaped_line(from),
                        "activating gamedir \"" + std::string(to_valve ? "valve" : "cstrike") +
                            "\" (appid " + std::to_string(to) + ")",
                        ready_line(to)});
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "switch " << i;
            ASSERT_EQ(scratch_dirs(tmpdir).size(), 1u) << "switch " << i;
        }
        c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
        ASSERT_TRUE(c->reply());
        c->close_input();
        c->expect({"peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
                   "session ended, awaiting next connection", reaped_line(10)});
        EXPECT_EQ(scratch_dirs(tmpdir), std::vector<std::string>{});
    }
    {
        // Steam not running, the everyday failure: the child reports it and
        // is killed while it is still on its way out.
        auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_INIT_RESULT", "2"}});
        const std::string& tmpdir = c->broker().tmpdir();
        for (int i = 0; i < FAILED_STARTS; ++i) {
            c->send("vd_gamedir cstrike");
            c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)",
                       "child for appid 10 failed: err steam init failed: "
                       "NoSteamClient(\"stand-in: scripted init failure\")",
                       reaped_line(10), "command error: steam child failed to initialise"},
                      is_child_or_fatal);
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "start " << i;
            ASSERT_EQ(scratch_dirs(tmpdir), std::vector<std::string>{}) << "start " << i;
        }
        c->command("vd_terminate", {"vd_terminate \xE2\x80\x94 exiting"});
        EXPECT_EQ(c->process().wait_exit(), 0);
        EXPECT_EQ(scratch_dirs(tmpdir), std::vector<std::string>{});
    }
}

// A child killed after it has sent its readiness and before the broker has
// read it: the broker is stopped meanwhile, so that it cannot look at the
// live child. Its directory goes all the same, as does that of a child killed
// from outside while Steam holds up its start.
TEST(ScratchCleanup, ChildKilledBeforeItsReadinessIsReadLeavesNoDirectory) {
    {
        auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_INIT_HANG_MS", "forever"}});
        c->send("vd_gamedir cstrike");
        ASSERT_TRUE(c->process().wait_for_prefix("[vandrel] child: appid 10, scratch "));
        ASSERT_EQ(::kill(c->only_child(), SIGKILL), 0);
        c->expect({reaped_line(10), "command error: steam child exited"}, is_child_or_fatal);
        EXPECT_EQ(scratch_dirs(c->broker().tmpdir()), std::vector<std::string>{});
    }
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_INIT_HANG_MS", "1500"}});
    const std::string& tmpdir = c->broker().tmpdir();
    const pid_t broker = c->process().pid();
    c->send("vd_gamedir cstrike");
    ASSERT_TRUE(c->process().wait_for_prefix("[vandrel] child: appid 10, scratch "));
    const pid_t child = c->only_child();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(stop_process(broker));
    // The child pumps callbacks only once its readiness is written.
    const auto limit = Clock::now() + LINE_TIMEOUT;
    while (c->broker().calls(run_frame_prefix(Runtime::StandIn)).empty() && Clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(c->broker().calls(run_frame_prefix(Runtime::StandIn)).empty());
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    ASSERT_EQ(::kill(broker, SIGCONT), 0);

    c->expect({ready_line(10)});
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(scratch_dirs(tmpdir), std::vector<std::string>{});
}

TEST(ChildReplacement, DeadChildIsReplacedByTheNextGamedirOfItsGame) {
    auto c = Client::tcp(standin());
    const std::string& tmpdir = c->broker().tmpdir();
    pid_t first = c->activate_cstrike();
    ASSERT_GT(first, 0);
    const std::vector<std::string> first_dir = scratch_dirs(tmpdir);
    ASSERT_EQ(first_dir.size(), 1u);
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());

    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(first, LINE_TIMEOUT));
    c->command("vd_gamedir cstrike", {"child for appid 10 has ended", reaped_line(10),
                                      "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    pid_t second = c->only_child();
    EXPECT_NE(second, first);
    std::vector<std::string> second_dir = scratch_dirs(tmpdir);
    ASSERT_EQ(second_dir.size(), 1u) << "the dead child's directory is gone";
    EXPECT_NE(second_dir, first_dir);

    c->command("vd_connect 5.6.7.8:1000 222 1 78", {"-> ticket 240 bytes for challenge 78"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(78, IP_5_6_7_8, 1000, 222));
    // A live child stays.
    c->command("vd_gamedir cstrike", {"gamedir \"cstrike\" already active (appid 10)"});
    EXPECT_EQ(c->only_child(), second);
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty())
        << "the dead child's ticket was dropped, not sent to its successor";
}

// A malformed frame ends the session with an error; the recorded ticket is
// ended first, as on a clean close. (A reset connection: HostileConnections.)
TEST(SessionEnd, MalformedFrameStillEndsTheTicket) {
    auto c = Client::tcp(standin());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->send_raw(Bytes{'X', 'X', 'X', 'X', 0, 0});
    c->expect({"cleaning up dangling ticket for 1.2.3.4:27015",
               "session error: invalid frame magic", reaped_line(10)});
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
}

TEST(NoRuntime, TheBrokerNeverMapsTheRuntime) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    const std::string runtime = "/libsteam_api.so";
    EXPECT_EQ(read_file("/proc/" + std::to_string(c->process().pid()) + "/maps").find(runtime),
              std::string::npos);
    EXPECT_NE(read_file("/proc/" + std::to_string(child) + "/maps").find(runtime),
              std::string::npos)
        << "the child has it";
}

// A copy of the program with no runtime beside it and none on the library
// path, and one given a library of that name that lacks the flat functions.
TEST(NoRuntime, TheBrokerServesAndTheChildReportsTheLoadersText) {
    TempDir tree;
    const std::string program = tree.path() + "/bin/vandrel";
    fs::create_directories(tree.path() + "/bin");
    fs::copy_file(broker_path(), program);
    const std::string lacking = tree.path() + "/lacking";
    fs::create_directories(lacking);
    fs::copy_file(build_dir() + "/tests/steamclient/steamclient.so", lacking + "/libsteam_api.so");

    Spawn base;
    base.unset_env = scripting_variables();
    base.unset_env.emplace_back("LD_LIBRARY_PATH");
    base.env["TMPDIR"] = tree.path();
    {
        Spawn help = base;
        help.args = {"--help"};
        Process p(program, help);
        EXPECT_EQ(p.wait_exit(), 0);
        EXPECT_EQ(p.rest_of_lines(), broker_usage());
    }
    struct Case {
        std::string library_path;
        std::string loader_text;
    };
    const Case cases[] = {
        {"", "libsteam_api.so: cannot open shared object file: No such file or directory"},
        {lacking, lacking + "/libsteam_api.so: undefined symbol: SteamAPI_InitFlat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loader_text);
        Spawn with_path = base;
        if (!c.library_path.empty())
            with_path.env["LD_LIBRARY_PATH"] = c.library_path;
        const std::string failure = "err steam init failed: Generic(\"" + c.loader_text + "\")";

        // The child alone: the failure frame, its fatal line, status 1.
        Spawn child_mode = with_path;
        child_mode.args = {"--child", "10"};
        Process child(program, child_mode);
        std::optional<Bytes> frame = read_frame(child.stdout_fd(), REPLY_TIMEOUT);
        EXPECT_EQ(frame, bytes_of(failure)) << show(frame);
        EXPECT_EQ(child.wait_exit(), 1);
        std::vector<std::string> lines = log_lines(child.rest_of_lines());
        ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
        EXPECT_TRUE(lines[0].starts_with("[vandrel] child: appid 10, scratch ")) << lines[0];
        EXPECT_EQ(lines[1], "[vandrel] fatal: steam api error, Some other failure");

        // The broker: it reports the child's failure and serves the next client.
        with_path.args = {"127.0.0.1:0"};
        TcpBroker broker(with_path, program);
        Process& p = broker.process();
        auto expect = [&](const std::vector<std::string>& expected) {
            for (const auto& line : expected) {
                auto got = next_line_skipping(p, is_child_or_fatal);
                ASSERT_TRUE(got.has_value()) << "missing line: " << line;
                ASSERT_EQ(*got, "[vandrel] " + line);
            }
        };
        for (int client = 0; client < 2; ++client) {
            Fd socket = broker.connect();
            expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(socket.get()))});
            write_bytes(socket.get(), frame_of("vd_gamedir cstrike"));
            expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)",
                    "child for appid 10 failed: " + failure, reaped_line(10),
                    "command error: steam child failed to initialise"});
            ::shutdown(socket.get(), SHUT_WR);
            expect({"peer closed the connection", "session ended, awaiting next connection"});
        }
        EXPECT_EQ(scratch_dirs(tree.path()), std::vector<std::string>{});
    }
}

// A child held up in Steam, in its start-up or in a ticket call, ends within
// its grace once its broker has been killed, and takes its directory along.
TEST(ChildLifetime, BusyChildEndsSoonAfterItsBrokerIsKilled) {
    const std::string busy = "[vandrel] child: parent closed the pipe while Steam is busy, exiting";
    for (bool in_start_up : {true, false}) {
        SCOPED_TRACE(in_start_up ? "hung start-up" : "hung ticket call");
        auto c = Client::tcp(standin(), in_start_up
                                            ? Env{{"VANDREL_STANDIN_INIT_HANG_MS", "forever"}}
                                            : Env{{"VANDREL_STANDIN_TICKET_DELAY_MS", "600000"}});
        const std::string& tmpdir = c->broker().tmpdir();
        if (in_start_up) {
            c->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)"});
            ASSERT_TRUE(c->process().wait_for_prefix("[vandrel] child: appid 10, scratch "));
        } else {
            c->activate_cstrike();
            c->send("vd_connect 1.2.3.4:27015 1 1 77");
            ASSERT_TRUE(c->process().wait_for_prefix("[vandrel] child: initiate_game_connection "));
        }
        pid_t child = c->only_child();
        ASSERT_GT(child, 0);
        ASSERT_EQ(scratch_dirs(tmpdir).size(), 1u);
        c->process().kill_now();
        const auto killed = Clock::now();
        ASSERT_TRUE(wait_dead(child, child::CHILD_ORPHAN_GRACE + LINE_TIMEOUT));
        EXPECT_LT(Clock::now() - killed, child::CHILD_ORPHAN_GRACE + 5s);
        EXPECT_TRUE(c->process().wait_for_line(busy));
        EXPECT_EQ(scratch_dirs(tmpdir), std::vector<std::string>{});
    }
}

// An idle child whose broker is killed takes its orderly exit at once, as
// when the pipe closes for any other reason: Steam is shut down and the
// directory removed.
TEST(ChildLifetime, IdleChildShutsSteamDownWhenItsBrokerIsKilled) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    c->process().kill_now();
    ASSERT_TRUE(c->process().wait_for_line(std::string(CLOSED_LINE)));
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    const std::vector<std::string> calls =
        steam_calls(Runtime::StandIn, file_lines(c->broker().call_log()));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), shutdown_call(Runtime::StandIn));
    EXPECT_EQ(scratch_dirs(c->broker().tmpdir()), std::vector<std::string>{});
}

} // namespace
} // namespace vandrel::test
