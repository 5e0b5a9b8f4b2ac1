// The built broker end to end: client sessions over TCP and stdio, the
// commands' lines and replies, and the Steam child processes behind them,
// observed through standard error, the client's bytes, /proc and the runtime's
// call log. The first cases run against the stand-in runtime alone; the last
// ones (tickets, switches, cleanup and termination) run against either runtime,
// the stand-in and Steam's real one with the simulated Steam client, each
// instance named by its runtime ("StandIn/...", "Real...") as in
// child_e2e_test.cpp.
#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
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
// `run` returns, before the entry point writes "fatal: ...", so the broker
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
    // The session's game is the one the client named: a request tries it again.
    c->send("vd_connect 1.2.3.4:27015 1 1 78");
    c->expect({"<- vd_connect", "activating gamedir \"valve\" (appid 70)", reaped_line(70),
               "command error: steam child exited"},
              is_child_or_fatal);
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

// ============================================================================
// On either runtime
// ============================================================================

class BrokerSessions : public OnRuntime<Runtime> {};

TEST_P(BrokerSessions, SwitchingGamesReplacesTheChild) {
    auto c = Client::tcp(steam());
    pid_t first = c->activate_cstrike();
    // A recorded ticket is dropped on a switch, without a term request.
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_gamedir valve", {"switching appid 10 -> 70", reaped_line(10),
                                    "activating gamedir \"valve\" (appid 70)", ready_line(70)});
    EXPECT_FALSE(process_exists(first)) << "the old child is reaped";
    pid_t second = c->only_child();
    EXPECT_NE(second, first);
    // Each child initialised its own runtime under its own AppID.
    EXPECT_EQ(c->broker().calls(init_prefix(runtime())),
              (std::vector<std::string>{init_call(runtime(), 10), init_call(runtime(), 70)}));
    steam().expect_announced(c->process().lines(), 2);
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());

    // "already active" drops a recorded ticket too, and keeps the child.
    c->command("vd_connect 1.2.3.4:27015 1 1 78", {"-> ticket 240 bytes for challenge 78"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(78, IP_1_2_3_4, 27015, 1));
    c->command("vd_gamedir VALVE", {"gamedir \"VALVE\" already active (appid 70)"});
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: no ticket requested"});
    c->close_input();
    // No ticket is left to clean up.
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(70)});
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());
    EXPECT_TRUE(c->nothing_more());
    EXPECT_TRUE(c->broker().calls("ERROR").empty());
}

TEST_P(BrokerSessions, TicketReplyLayout) {
    auto c = Client::tcp(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 1 77", {"-> ticket 240 bytes for challenge 77"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 27u + DEFAULT_TICKET_LEN);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 15),
              (Bytes{'v', 'd', '_', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0x4D, 0, 0, 0}));
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 123));
    EXPECT_EQ(c->broker().calls(INITIATE),
              std::vector<std::string>{broker_initiate(123, IP_1_2_3_4, 27015, true)});

    // A negative challenge goes back in two's complement; the steam id token
    // is the child's to read ('abc' is 0), and a negative secure value is not
    // "0", so secure.
    c->command("vd_connect 5.6.7.8:1000 abc -1 -1", {"-> ticket 240 bytes for challenge -1"});
    reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(reply->begin() + 11, reply->begin() + 15), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(*reply, expected_reply(-1, IP_5_6_7_8, 1000, 0));

    c->command("vd_connect 10.0.0.5:27015 90071992547409920 0 -2147483648",
               {"-> ticket 240 bytes for challenge -2147483648"});
    reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(INT32_MIN, SERVER_IP, 27015, 90071992547409920ULL));
    EXPECT_EQ(
        c->broker().calls(INITIATE),
        (std::vector<std::string>{broker_initiate(123, IP_1_2_3_4, 27015, true),
                                  broker_initiate(0, IP_5_6_7_8, 1000, true),
                                  broker_initiate(90071992547409920ULL, SERVER_IP, 27015, false)}));
    // The child got the request as the client wrote its fields.
    auto& lines = c->process().lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[vandrel] child: initiate_game_connection 5.6.7.8:1000 sid=0 secure=true"),
              lines.end());
    c->close_input();
    c->expect({"peer closed the connection", "cleaning up dangling ticket for 10.0.0.5:27015",
               "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more()) << "one reply frame per successful vd_connect";
    EXPECT_TRUE(c->broker().calls("ERROR").empty());
}

TEST_P(BrokerSessions, ShortestAndLongestTickets) {
    for (std::size_t len : {std::size_t{1}, std::size_t{2048}}) {
        auto c = Client::tcp(steam(), {{"VANDREL_STANDIN_TICKET_LEN", std::to_string(len)}});
        c->activate_cstrike();
        c->command("vd_connect 1.2.3.4:27015 9 1 2147483647",
                   {"-> ticket " + std::to_string(len) + " bytes for challenge 2147483647"});
        std::optional<Bytes> reply = c->reply();
        ASSERT_TRUE(reply) << len;
        EXPECT_EQ(reply->size(), 27 + len);
        EXPECT_EQ(*reply, expected_reply(INT32_MAX, IP_1_2_3_4, 27015, 9, len)) << len;
    }
}

TEST_P(BrokerSessions, TicketReplyOverStdio) {
    auto c = Client::stdio(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 1 77", {"-> ticket 240 bytes for challenge 77"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 123));
    c->command("vd_connect 1.2.3.4:27015 123 1 -1", {"-> ticket 240 bytes for challenge -1"});
    reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(-1, IP_1_2_3_4, 27015, 123));
}

TEST_P(BrokerSessions, RefusedTicketSendsNothing) {
    auto c = Client::tcp(steam(), {{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 1 77",
               {"err steam refused to issue an auth ticket",
                "command error: steam refused to issue auth ticket"});
    // The state did not change: no ticket is recorded.
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    c->close_input();
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_TRUE(c->nothing_more());
    EXPECT_EQ(c->broker().calls(INITIATE).size(), 1u);
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());
}

TEST_P(BrokerSessions, ChallengeDecidesAndTermNamesTheCommandsAddress) {
    auto c = Client::tcp(steam());
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

TEST_P(BrokerSessions, PeerCloseEndsTheDanglingTicketAndReapsTheChild) {
    auto c = Client::tcp(steam());
    pid_t child = c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->close_input();
    c->expect({"peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               "session ended, awaiting next connection", reaped_line(10)});
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_TRUE(child_pids(c->process().pid()).empty()) << "no child is left";
    EXPECT_FALSE(process_exists(child));
    EXPECT_TRUE(c->nothing_more());

    // The next client finds a fresh session, and a fresh child initialises
    // the runtime again after the killed one.
    c->reconnect();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
    c->command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    EXPECT_EQ(c->broker().calls(init_prefix(runtime())),
              (std::vector<std::string>{init_call(runtime(), 10), init_call(runtime(), 10)}));
}

TEST_P(BrokerSessions, PeerCloseOverStdio) {
    auto c = Client::stdio(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->close_input();
    c->expect({"peer closed the connection", "cleaning up dangling ticket for 1.2.3.4:27015",
               reaped_line(10)});
    EXPECT_EQ(c->process().wait_exit(), 0);
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_TRUE(c->nothing_more());
}

TEST_P(BrokerSessions, TerminateCleansUpThenStopsTheBroker) {
    auto c = Client::tcp(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    // A second client waits in the backlog while the first session runs.
    Fd waiting = connect_tcp(c->tcp_broker().port());
    ASSERT_TRUE(waiting.valid());
    write_bytes(waiting.get(), frame_of("vd_gamedir valve"));
    c->command("vd_terminate now please", {"cleaning up dangling ticket for 1.2.3.4:27015",
                                           reaped_line(10), "vd_terminate \xE2\x80\x94 exiting"});
    EXPECT_EQ(c->process().wait_exit(), 0);
    EXPECT_TRUE(c->process().rest_of_lines().empty()) << "the waiting client is never served";
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    // The child handled the term before it was killed.
    const auto& lines = c->process().lines();
    auto term = std::find(lines.begin(), lines.end(),
                          "[vandrel] child: terminate_game_connection 1.2.3.4:27015");
    auto reaped = std::find(lines.begin(), lines.end(), "[vandrel] " + reaped_line(10));
    ASSERT_NE(term, lines.end());
    EXPECT_LT(term - lines.begin(), reaped - lines.begin());
    EXPECT_TRUE(c->nothing_more());
    EXPECT_FALSE(read_frame(waiting.get(), 1s)) << "the waiting client gets nothing";
    EXPECT_EQ(c->broker().calls(init_prefix(runtime())).size(), 1u);
}

TEST_P(BrokerSessions, TerminateOverStdioReadsNoFurtherFrame) {
    auto c = Client::stdio(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    Bytes both = frame_of("vd_terminate");
    Bytes after = frame_of("vd_gamedir valve");
    both.insert(both.end(), after.begin(), after.end());
    write_bytes(c->process().stdin_fd(), both);
    c->expect(
        {"<- vd_terminate", "cleaning up dangling ticket for 1.2.3.4:27015", reaped_line(10)});
    EXPECT_EQ(c->process().wait_exit(), 0);
    EXPECT_TRUE(c->process().rest_of_lines().empty());
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_TRUE(c->nothing_more());
}

// A crashed child is replaced by the next request that needs one, for the
// session's game, and that request is served.
TEST_P(BrokerSessions, KilledChildIsReplacedByTheNextRequest) {
    auto c = Client::tcp(steam());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    c->command("vd_ticket session - 5",
               {"child for appid 10 has ended", reaped_line(10),
                "activating gamedir \"cstrike\" (appid 10)", ready_line(10),
                "-> session ticket 240 bytes, handle 1, for challenge 5"});
    ASSERT_TRUE(c->reply());
    EXPECT_NE(c->only_child(), child);
    c->command("vd_connect 1.2.3.4:27015 1 1 79", {"-> ticket 240 bytes for challenge 79"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(79, IP_1_2_3_4, 27015, 1));
}

TEST_P(BrokerSessions, ChildInheritsNoSocket) {
    auto c = Client::tcp(steam());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    std::vector<std::string> fds = open_fds(child);
    std::vector<std::string> numbers;
    for (const std::string& entry : fds) {
        std::string target = entry.substr(entry.find(" -> ") + 4);
        numbers.push_back(entry.substr(0, entry.find(' ')));
        EXPECT_EQ(target.find("socket:"), std::string::npos) << entry;
        // Pipes (the request pipe, the answer pipe and the broker's standard
        // error), or the runtime's call log while it writes a line.
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

INSTANTIATE_TEST_SUITE_P(StandIn, BrokerSessions, ::testing::Values(Runtime::StandIn),
                         instance_name);
INSTANTIATE_TEST_SUITE_P(Real, BrokerSessions, ::testing::Values(Runtime::Real), instance_name);

// A Steam initialisation failure as the broker reports it, over TCP and stdio.
struct BrokerInitCase {
    Runtime runtime;
    const char* name;
    Env env;
    std::string error; // the child's frame after "err steam init failed: "
};

Runtime runtime_of(const BrokerInitCase& c) {
    return c.runtime;
}
void PrintTo(const BrokerInitCase& c, std::ostream* os) {
    *os << c.name;
}

const BrokerInitCase STANDIN_BROKER_INIT_CASES[] = {
    {Runtime::StandIn,
     "NoSteamClient",
     {{"VANDREL_STANDIN_INIT_RESULT", "2"}, {"VANDREL_STANDIN_INIT_MESSAGE", "no \"steam\""}},
     "NoSteamClient(\"no \\\"steam\\\"\")"},
    {Runtime::StandIn,
     "EmptyMessage",
     {{"VANDREL_STANDIN_INIT_RESULT", "1"}, {"VANDREL_STANDIN_INIT_MESSAGE", ""}},
     "Generic(\"\")"},
};

const BrokerInitCase REAL_BROKER_INIT_CASES[] = {
    {Runtime::Real,
     "NoPipe",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_pipe"}},
     "NoSteamClient(\"Cannot create IPC pipe to Steam client process.  Steam is probably not "
     "running.\")"},
    {Runtime::Real,
     "NoUserInterface",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_user_interface"}},
     "VersionMismatch(\"No SteamUser023\")"},
};

class BrokerInitFailure : public OnRuntime<BrokerInitCase> {};

TEST_P(BrokerInitFailure, IsReportedAndLeavesTheSessionInactive) {
    const BrokerInitCase& c = GetParam();
    for (bool over_tcp : {true, false}) {
        SCOPED_TRACE(over_tcp ? "tcp" : "stdio");
        auto client = over_tcp ? Client::tcp(steam(), c.env) : Client::stdio(steam(), c.env);
        client->send("vd_gamedir cstrike");
        client->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)",
                        "child for appid 10 failed: err steam init failed: " + c.error,
                        reaped_line(10), "command error: steam child failed to initialise"},
                       is_child_or_fatal);
        EXPECT_TRUE(child_pids(client->process().pid()).empty());
        client->command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
        EXPECT_TRUE(client->broker().calls(INITIATE).empty());
        EXPECT_TRUE(client->broker().calls("ERROR").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(StandIn, BrokerInitFailure, ::testing::ValuesIn(STANDIN_BROKER_INIT_CASES),
                         case_name<BrokerInitCase>);
INSTANTIATE_TEST_SUITE_P(Real, BrokerInitFailure, ::testing::ValuesIn(REAL_BROKER_INIT_CASES),
                         case_name<BrokerInitCase>);

} // namespace
} // namespace vandrel::test
