// The built broker end to end against the stand-in runtime: client sessions
// over TCP and stdio, the commands' error lines, and the Steam child processes
// behind them, observed through standard error, the client's bytes, /proc and
// the stand-in's call log. The cases that hold for either runtime (tickets,
// switches, cleanup and termination) run against both in
// realsteam_e2e_test.cpp; the ones here check what those do not.
#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

TEST(BrokerCommands, EveryErrorTextOverTcp) {
    auto c = Client::tcp(standin());
    // Before any game directory.
    c->command("", {"command error: unknown command"});
    c->command("VD_TERMINATE", {"command error: unknown command"});
    c->command("vd_Gamedir cstrike", {"command error: unknown command"});
    c->send(" vd_gamedir cstrike");
    c->expect({"<- ", "command error: unknown command"});
    c->command("vd_connect 1.2.3.4:27015 123 1 77", {"command error: session not active"});
    c->command("vd_connect", {"command error: session not active"});
    c->command("vd_disconnect", {"command error: no ticket requested"});
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    c->command("vd_gamedir", {"command error: invalid args, missing \"gamedir\""});
    c->command("vd_gamedir nosuchgame", {"command error: no Steam AppID known for this gamedir"});
    c->send(Bytes{'v', 'd', 0xFF});
    c->expect({"command error: invalid string, invalid utf-8 sequence of 1 bytes from index 2"});
    c->send(Bytes{'v', 'd', '_', 0xE2, 0x82});
    c->expect({"command error: invalid string, incomplete utf-8 byte sequence from index 3"});

    // With a running child.
    pid_t child = c->activate_cstrike();
    c->command("vd_gamedir nosuchgame", {"command error: no Steam AppID known for this gamedir"});
    c->command("vd_disconnect", {"command error: no ticket requested"});
    c->command("vd_disconnect nonsense", {"command error: no ticket requested"});
    c->command("vd_connect", {"command error: invalid args, missing \"ip addr\""});
    c->command("vd_connect 1.2.3.4", {"command error: failed to parse \"ip addr\""});
    c->command("vd_connect localhost:27015 1 1 5", {"command error: failed to parse \"ip addr\""});
    c->command("vd_connect 1.2.3.4:27015", {"command error: invalid args, missing \"steam id\""});
    c->command("vd_connect 1.2.3.4:27015 123", {"command error: invalid args, missing \"secure\""});
    c->command("vd_connect 1.2.3.4:27015 123 yes 5", {"command error: failed to parse \"secure\""});
    c->command("vd_connect 1.2.3.4:27015 123 1",
               {"command error: invalid args, missing \"challenge\""});
    c->command("vd_connect 1.2.3.4:27015 123 1 0x10",
               {"command error: failed to parse \"challenge\""});
    c->command("vd_connect 1.2.3.4:27015 123 1 2147483648",
               {"command error: failed to parse \"challenge\""});

    EXPECT_EQ(c->only_child(), child) << "the failed commands kept the child";
    EXPECT_TRUE(c->broker().calls(INITIATE).empty()) << "no conn request reached Steam";
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more()) << "a failed command sends nothing to the client";
    EXPECT_TRUE(c->broker().calls("ERROR").empty());
}

TEST(BrokerCommands, ErrorTextsOverStdio) {
    auto c = Client::stdio(standin());
    c->command("", {"command error: unknown command"});
    c->command("VD_TERMINATE", {"command error: unknown command"});
    c->command("vd_connect", {"command error: session not active"});
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    c->send(Bytes{'v', 'd', 0xFF});
    c->expect({"command error: invalid string, invalid utf-8 sequence of 1 bytes from index 2"});
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 yes 5", {"command error: failed to parse \"secure\""});
    c->close_input();
    c->expect({"peer closed the connection", reaped_line(10)});
    EXPECT_EQ(c->process().wait_exit(), 0);
    EXPECT_TRUE(c->nothing_more());
}

TEST(BrokerGamedir, WhiteSpaceSplitsTheCommandWord) {
    auto c = Client::tcp(standin());
    c->send("vd_gamedir\tcstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    pid_t child = c->only_child();
    // U+00A0 and the vertical tab end the command word; a trailing line feed
    // is white space.
    for (std::string_view line : {"vd_gamedir\xC2\xA0"
                                  "cstrike",
                                  "vd_gamedir\vcstrike", "vd_gamedir cstrike\n"}) {
        c->send(line);
        c->expect({"<- vd_gamedir", "gamedir \"cstrike\" already active (appid 10)"});
    }
    // The AppIDs are compared, and the name is logged as the client wrote it.
    c->command("vd_gamedir CSTRIKE", {"gamedir \"CSTRIKE\" already active (appid 10)"});
    // After the one split, U+00A0 is argument content, not a separator.
    c->command("vd_gamedir \xC2\xA0"
               "cstrike",
               {"command error: no Steam AppID known for this gamedir"});
    EXPECT_EQ(c->only_child(), child) << "no second child was started";
    EXPECT_EQ(c->broker().calls(init_prefix(Runtime::StandIn)).size(), 1u);
}

TEST(BrokerGamedir, WhiteSpaceSplitsOverStdio) {
    auto c = Client::stdio(standin());
    c->send("vd_gamedir\xC2\xA0"
            "cstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    pid_t child = c->only_child();
    c->command("vd_gamedir CSTRIKE", {"gamedir \"CSTRIKE\" already active (appid 10)"});
    EXPECT_EQ(c->only_child(), child);
    EXPECT_EQ(c->broker().calls(init_prefix(Runtime::StandIn)).size(), 1u);
}

TEST(BrokerDisconnect, ChallengeDecidesAndTermNamesTheCommandsAddress) {
    auto c = Client::tcp(standin());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: challenge mismatch"});
    c->command("vd_disconnect 1.2.3.4", {"command error: failed to parse \"ip addr\""});
    c->command("vd_disconnect 1.2.3.4:27015",
               {"command error: invalid args, missing \"challenge\""});
    c->sync();
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty()) << "failed disconnects end nothing";

    // The recorded server is not compared; the term names this command's.
    c->command("vd_disconnect 5.6.7.8:1000 +77 surplus", {});
    c->sync();
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_5_6_7_8, 1000)});
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});

    // A second connect replaces the record: only its challenge ends it.
    c->command("vd_connect 1.2.3.4:27015 1 1 10", {"-> ticket 240 bytes for challenge 10"});
    ASSERT_TRUE(c->reply());
    c->command("vd_connect 5.6.7.8:1000 1 1 20", {"-> ticket 240 bytes for challenge 20"});
    ASSERT_TRUE(c->reply());
    c->command("vd_disconnect 1.2.3.4:27015 10", {"command error: challenge mismatch"});
    c->command("vd_disconnect 5.6.7.8:1000 20", {});
    c->sync();
    EXPECT_EQ(c->broker().calls(TERMINATE),
              (std::vector<std::string>{terminate_call(IP_5_6_7_8, 1000),
                                        terminate_call(IP_5_6_7_8, 1000)}));
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(c->broker().calls(TERMINATE).size(), 2u) << "nothing was left dangling";
    EXPECT_TRUE(c->nothing_more());
}

TEST(BrokerDisconnect, OverStdio) {
    auto c = Client::stdio(standin());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: challenge mismatch"});
    c->command("vd_disconnect 1.2.3.4:27015 77", {});
    c->sync();
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
}

// The child's fatal line must come before its reaped line: the child's output
// has to stay open until that line is written.
// BUG (child): fails intermittently; the child closes its frame output when
// `run` returns, before the entry point writes "fatal: ...", so the supervisor
// may kill it first and the line is lost.
TEST(BrokerChildStart, MissingScratchParentFailsAtOnce) {
    TempDir keep;
    auto c = Client::tcp(standin(), {{"TMPDIR", keep.path() + "/missing"}});
    auto start = Clock::now();
    c->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)",
                                      "fatal: io error, No such file or directory (os error 2)",
                                      reaped_line(10), "command error: steam child exited"});
    EXPECT_LT(Clock::now() - start, 5s) << "the exit is seen when the pipe closes";
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    // The failed start left the session as it was: inactive.
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
}

TEST(BrokerChildStart, FailedSwitchLeavesNoChildButKeepsTheTicket) {
    TempDir keep;
    const std::string scratch = keep.path() + "/scratch";
    ASSERT_TRUE(std::filesystem::create_directory(scratch));
    auto c = Client::tcp(standin(), {{"TMPDIR", scratch}});
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    // The next child cannot make its scratch directory.
    std::filesystem::remove_all(scratch);
    c->send("vd_gamedir valve");
    c->expect({"<- vd_gamedir", "switching appid 10 -> 70", reaped_line(10),
               "activating gamedir \"valve\" (appid 70)", reaped_line(70),
               "command error: steam child exited"},
              is_child_or_fatal);
    EXPECT_TRUE(child_pids(c->process().pid()).empty()) << "the old child is gone too";
    c->command("vd_connect 1.2.3.4:27015 1 1 78", {"command error: no steam child"});
    // The state is as before the failed command: the ticket is still recorded.
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: challenge mismatch"});
    // Without a child there is nobody to end it with: no cleanup line.
    c->close_input();
    c->expect({"peer closed the connection", "session ended, awaiting next connection"});
    EXPECT_TRUE(c->nothing_more());
    Fd next = c->tcp_broker().connect();
    EXPECT_TRUE(next.valid());
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());
}

TEST(BrokerChildStart, InitFailureOverStdio) {
    auto c = Client::stdio(
        standin(), {{"VANDREL_STANDIN_INIT_RESULT", "1"}, {"VANDREL_STANDIN_INIT_MESSAGE", ""}});
    c->send("vd_gamedir valve");
    c->expect({"<- vd_gamedir", "activating gamedir \"valve\" (appid 70)",
               "child for appid 70 failed: err steam init failed: Generic(\"\")", reaped_line(70),
               "command error: steam child failed to initialise"},
              is_child_or_fatal);
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
}

TEST(BrokerChildLoss, KilledChildFailsRequestsAndTheBrokerServesOn) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    // Nobody reads the request pipe any more.
    c->command("vd_connect 1.2.3.4:27015 1 1 77",
               {"command error: send error, Broken pipe (os error 32)"});
    c->command("vd_connect 1.2.3.4:27015 1 1 78",
               {"command error: send error, Broken pipe (os error 32)"});
    c->command("vd_gamedir valve", {"switching appid 10 -> 70", reaped_line(10),
                                    "activating gamedir \"valve\" (appid 70)", ready_line(70)});
    c->command("vd_connect 1.2.3.4:27015 1 1 79", {"-> ticket 240 bytes for challenge 79"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(79, IP_1_2_3_4, 27015, 1));
}

TEST(BrokerDescriptors, ChildInheritsNoSocket) {
    auto c = Client::tcp(standin());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    std::vector<std::string> fds = open_fds(child);
    std::vector<std::string> numbers;
    for (const std::string& entry : fds) {
        std::string target = entry.substr(entry.find(" -> ") + 4);
        numbers.push_back(entry.substr(0, entry.find(' ')));
        EXPECT_EQ(target.find("socket:"), std::string::npos) << entry;
        // Pipes (the request pipe, the answer pipe and the broker's standard
        // error), or the stand-in's call log while it writes a line.
        EXPECT_TRUE(target.starts_with("pipe:") || target == c->broker().call_log()) << entry;
    }
    for (std::string std_fd : {"0", "1", "2"})
        EXPECT_NE(std::find(numbers.begin(), numbers.end(), std_fd), numbers.end()) << std_fd;
    // The broker itself holds the listener and the connection, both sockets.
    std::vector<std::string> own = open_fds(c->process().pid());
    EXPECT_EQ(std::count_if(own.begin(), own.end(),
                            [](const std::string& e) { return e.find("socket:") != e.npos; }),
              2);
}

// An error reply as a client reads it: "vd_error\n", the challenge, the text.
Bytes error_reply(std::int32_t challenge, std::string_view text) {
    Bytes out = bytes_of("vd_error\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

TEST(BrokerErrorReplies, EachFailedCommandIsAnsweredOnceWhileOn) {
    auto c = Client::tcp(standin(), {{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
    // Not yet asked for: failures stay silent, as do the switch's own mistakes.
    c->command("vd_nothing", {"command error: unknown command"});
    c->command("vd_errors", {"command error: invalid args, missing \"mode\""});
    c->command("vd_errors ON", {"command error: failed to parse \"mode\""});
    c->command("vd_errors on", {});

    c->command("vd_nothing at all", {"command error: unknown command"});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_nothing: unknown command"));
    // Checked before its arguments: no challenge was read.
    c->command("vd_connect 1.2.3.4:27015 5 1 77", {"command error: session not active"});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_connect: session not active"));
    c->command("vd_gamedir nosuchgame", {"command error: no Steam AppID known for this gamedir"});
    Bytes unknown_game = {'v', 'd', '_', 'e', 'r', 'r', 'o', 'r', '\n', 0, 0, 0, 0};
    Bytes text = bytes_of("vd_gamedir: no Steam AppID known for this gamedir");
    unknown_game.insert(unknown_game.end(), text.begin(), text.end());
    EXPECT_EQ(c->reply(), unknown_game);

    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 yes 5", {"command error: failed to parse \"secure\""});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_connect: failed to parse \"secure\""));
    c->command("vd_connect 1.2.3.4:27015 5 1 77",
               {"err steam refused to issue an auth ticket",
                "command error: steam refused to issue auth ticket"});
    EXPECT_EQ(c->reply(), error_reply(77, "vd_connect: steam refused to issue auth ticket"));
    c->command("vd_disconnect 1.2.3.4:27015 -2", {"command error: no ticket requested"});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_disconnect: no ticket requested"));
    // The word of a frame that is not UTF-8 is its lossy decoding.
    c->send(Bytes{'v', 'd', 0xFF, ' ', 'x'});
    c->expect({"command error: invalid string, invalid utf-8 sequence of 1 bytes from index 2"});
    EXPECT_EQ(c->reply(), error_reply(0, "vd\xEF\xBF\xBD: invalid string, invalid utf-8 sequence "
                                         "of 1 bytes from index 2"));
    c->command("vd_errors maybe", {"command error: failed to parse \"mode\""});
    EXPECT_EQ(c->reply(), error_reply(0, "vd_errors: failed to parse \"mode\""));

    // Turned off again: silent as before.
    c->command("vd_errors off", {});
    c->command("vd_nothing", {"command error: unknown command"});
    c->command("vd_connect 1.2.3.4:27015 5 1 78",
               {"err steam refused to issue an auth ticket",
                "command error: steam refused to issue auth ticket"});
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more()) << "one reply per failure while on, none while off";
}

TEST(BrokerErrorReplies, FailedSteamStartIsAnsweredAtOnce) {
    auto c = Client::stdio(standin(), {{"VANDREL_STANDIN_INIT_RESULT", "1"}});
    c->command("vd_errors on", {});
    auto start = Clock::now();
    c->send("vd_gamedir valve");
    std::optional<Bytes> reply = c->reply();
    auto took = Clock::now() - start;
    EXPECT_EQ(reply, error_reply(0, "vd_gamedir: steam child failed to initialise"));
    EXPECT_LT(took, 5s) << "not after the start's time limit";
    c->expect({"<- vd_gamedir", "activating gamedir \"valve\" (appid 70)",
               "child for appid 70 failed: err steam init failed: Generic(\"stand-in: scripted "
               "init failure\")",
               reaped_line(70), "command error: steam child failed to initialise"},
              is_child_or_fatal);
}

TEST(BrokerErrorReplies, UnsendableReplyIsLoggedAndTheSessionGoesOn) {
    auto c = Client::stdio(standin());
    c->command("vd_errors on", {});
    c->process().close_stdout();
    c->command("vd_nothing", {"command error: unknown command",
                              "command error: send error, Broken pipe (os error 32)"});
    c->activate_cstrike();
}

// A descriptor that the broker itself inherited without close-on-exec stays
// out of its child: the child starts with descriptors 0, 1 and 2 only.
TEST(BrokerDescriptors, ChildInheritsNoDescriptorOfTheBrokers) {
    TempDir dir;
    const std::string passed = dir.path() + "/passed";
    std::ofstream(passed) << "the broker's own file";
    Fd file(::open(passed.c_str(), O_RDONLY)); // deliberately without O_CLOEXEC
    ASSERT_TRUE(file.valid());
    Broker broker(standin());
    Spawn options = broker.spawn({"127.0.0.1:0"}, {});
    options.inherit_fds = {file.get()};
    TcpBroker tcp(options);
    Fd client = tcp.connect();
    write_bytes(client.get(), frame_of("vd_gamedir cstrike"));
    ASSERT_TRUE(tcp.process().wait_for_line("[vandrel] " + ready_line(10)));
    std::vector<pid_t> children = child_pids(tcp.process().pid());
    ASSERT_EQ(children.size(), 1u);

    const std::string held = std::to_string(file.get()) + " -> " + passed;
    std::vector<std::string> own = open_fds(tcp.process().pid());
    EXPECT_NE(std::find(own.begin(), own.end(), held), own.end()) << "the broker holds it";
    for (const std::string& entry : open_fds(children[0]))
        EXPECT_EQ(entry.find(passed), std::string::npos) << entry;
}

} // namespace
} // namespace vandrel::test
