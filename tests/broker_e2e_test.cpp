// The built broker end to end: client sessions over TCP and stdio, the four
// commands, their error lines, the ticket reply bytes, and the Steam child
// processes behind them, observed through standard error, the client's bytes,
// /proc and the stand-in runtime's call log.
#include "test_support.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sys/socket.h>
#include <thread>

extern char** environ;

namespace vandrel::test {
namespace {

constexpr std::uint64_t USER_STEAM_ID = 76561198012345678ULL;
constexpr std::size_t DEFAULT_TICKET_LEN = 240;
// 1.2.3.4 and 5.6.7.8 as host-order integers, the form the Steam calls take.
constexpr std::uint32_t IP_1_2_3_4 = 0x01020304;
constexpr std::uint32_t IP_5_6_7_8 = 0x05060708;
constexpr std::string_view INITIATE = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED ";
constexpr std::string_view TERMINATE = "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ";
constexpr std::string_view INIT_FLAT = "SteamAPI_InitFlat ";

std::string ready_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " ready, steamid " +
           std::to_string(USER_STEAM_ID);
}

std::string reaped_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " reaped";
}

std::string initiate_call(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                          std::size_t len = DEFAULT_TICKET_LEN) {
    return std::string(INITIATE) + "max=2048 zeroed=1 sid=" + std::to_string(sid) +
           " ip=" + std::to_string(ip) + " port=" + std::to_string(port) +
           " secure=" + (secure ? "1" : "0") + " written=" + std::to_string(len) +
           " result=" + std::to_string(len);
}

std::string terminate_call(std::uint32_t ip, std::uint16_t port) {
    return std::string(TERMINATE) + "ip=" + std::to_string(ip) + " port=" + std::to_string(port);
}

// The reply a client must get for a ticket of the stand-in's.
Bytes expected_reply(std::int32_t challenge, std::uint32_t ip, std::uint16_t port,
                     std::uint64_t server_sid, std::size_t len = DEFAULT_TICKET_LEN) {
    Bytes out = bytes_of("vd_connect\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    append_le(out, USER_STEAM_ID, 8);
    append_le(out, len, 4);
    Bytes ticket = standin_ticket(ip, port, server_sid, len);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

// A failing Steam child's "fatal: " line, where its place among the broker's
// lines is not what a test checks (a TCP broker writes none while it serves).
bool is_child_or_fatal(std::string_view line) {
    return is_child_line(line) || line.starts_with("[vandrel] fatal: ");
}

bool process_exists(pid_t pid) {
    return std::filesystem::exists("/proc/" + std::to_string(pid));
}

// Waits until every thread of `pid` has ended, so that its descriptors are
// closed: the main thread is a zombie and no other thread is left (the main
// thread turns zombie while the others may still be exiting).
bool wait_dead(pid_t pid, Clock::duration limit) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        std::string stat = read_file(proc + "/stat");
        auto close = stat.rfind(')');
        if (stat.empty())
            return true;
        std::error_code ec;
        auto tasks = std::distance(std::filesystem::directory_iterator(proc + "/task", ec),
                                   std::filesystem::directory_iterator());
        if (close != std::string::npos && stat.substr(close + 2, 1) == "Z" && tasks == 1)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// One broker and its environment: a private TMPDIR for the children's scratch
// directories and a private call log of the stand-in runtime.
class Broker {
  public:
    Spawn spawn(std::vector<std::string> args,
                const std::map<std::string, std::string>& extra) const {
        Spawn options;
        options.args = std::move(args);
        options.env = {{"TMPDIR", dir_.path()},
                       {"VANDREL_STANDIN_CALL_LOG", call_log()},
                       {"VANDREL_STANDIN_STEAM_ID", std::to_string(USER_STEAM_ID)}};
        for (const auto& [k, v] : extra)
            options.env[k] = v;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string_view entry = *e;
            if (entry.starts_with("VANDREL_STANDIN_"))
                options.unset_env.emplace_back(entry.substr(0, entry.find('=')));
        }
        return options;
    }
    std::string call_log() const { return dir_.path() + "/calls.log"; }
    std::vector<std::string> calls(std::string_view prefix) const {
        return file_lines(call_log(), prefix);
    }

  private:
    TempDir dir_;
};

// One client session with a broker of its own, over TCP or over stdio.
class Client {
  public:
    static std::unique_ptr<Client> tcp(const std::map<std::string, std::string>& env = {}) {
        auto c = std::unique_ptr<Client>(new Client);
        c->tcp_ = std::make_unique<TcpBroker>(c->broker_.spawn({"127.0.0.1:0"}, env));
        c->socket_ = c->tcp_->connect();
        c->in_ = c->out_ = c->socket_.get();
        c->expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(c->in_))});
        return c;
    }
    static std::unique_ptr<Client> stdio(const std::map<std::string, std::string>& env = {}) {
        auto c = std::unique_ptr<Client>(new Client);
        c->stdio_ = std::make_unique<Process>(c->broker_.spawn({"--stdio"}, env));
        c->in_ = c->stdio_->stdin_fd();
        c->out_ = c->stdio_->stdout_fd();
        c->expect({"starting in stdio mode", "session open on stdio"});
        return c;
    }

    Process& process() { return tcp_ ? tcp_->process() : *stdio_; }
    const Broker& broker() const { return broker_; }
    TcpBroker& tcp_broker() { return *tcp_; }

    void send(const Bytes& payload) { write_bytes(in_, frame_of(payload)); }
    void send(std::string_view payload) { send(bytes_of(payload)); }
    std::optional<Bytes> reply(Clock::duration limit = LINE_TIMEOUT) {
        return read_frame(out_, limit);
    }
    // The client ends its side: the broker reads end of stream.
    void close_input() {
        if (tcp_)
            ::shutdown(socket_.get(), SHUT_WR);
        else
            stdio_->close_stdin();
    }
    // True when the broker sends nothing more before closing the connection
    // (for stdio: before the broker's standard output ends).
    bool nothing_more() { return reads_eof(out_, LINE_TIMEOUT); }

    // The broker's next lines, its children's own lines skipped; each expected
    // line is given without the "[vandrel] " prefix.
    void expect(const std::vector<std::string>& lines,
                bool (*skip)(std::string_view) = is_child_line) {
        // After a mismatch the lines no longer line up with the expectations.
        if (::testing::Test::HasFatalFailure())
            return;
        for (const auto& line : lines) {
            auto got = next_line_skipping(process(), skip);
            ASSERT_TRUE(got.has_value()) << "missing line: " << line << "\n" << transcript();
            ASSERT_EQ(*got, "[vandrel] " + line) << transcript();
        }
    }
    // Every standard-error line read so far, for failure messages.
    std::string transcript() {
        std::string out = "lines so far:\n";
        for (const auto& l : process().lines())
            out += "  " + l + "\n";
        return out;
    }
    // Sends `command` and expects its "<- " line and then `lines`.
    void command(std::string_view command, const std::vector<std::string>& lines) {
        send(command);
        std::vector<std::string> all = {"<- " + std::string(command.substr(0, command.find(' ')))};
        all.insert(all.end(), lines.begin(), lines.end());
        expect(all);
    }
    // Every earlier command has been carried out once this returns: the
    // session handles frames one at a time.
    void sync() { command("vd_sync", {"command error: unknown command"}); }
    // Activates cstrike and returns the child's process ID.
    pid_t activate_cstrike() {
        command("vd_gamedir cstrike",
                {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
        return only_child();
    }
    // The broker's one child process, or -1 when there is not exactly one.
    pid_t only_child() {
        std::vector<pid_t> children = child_pids(process().pid());
        EXPECT_EQ(children.size(), 1u);
        return children.size() == 1 ? children[0] : -1;
    }

  private:
    Client() = default;

    Broker broker_;
    std::unique_ptr<TcpBroker> tcp_;
    std::unique_ptr<Process> stdio_;
    Fd socket_;
    int in_ = -1;
    int out_ = -1;
};

TEST(BrokerCommands, EveryErrorTextOverTcp) {
    auto c = Client::tcp();
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
    auto c = Client::stdio();
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
    auto c = Client::tcp();
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
    EXPECT_EQ(c->broker().calls(INIT_FLAT).size(), 1u);
}

TEST(BrokerGamedir, WhiteSpaceSplitsOverStdio) {
    auto c = Client::stdio();
    c->send("vd_gamedir\xC2\xA0"
            "cstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    pid_t child = c->only_child();
    c->command("vd_gamedir CSTRIKE", {"gamedir \"CSTRIKE\" already active (appid 10)"});
    EXPECT_EQ(c->only_child(), child);
    EXPECT_EQ(c->broker().calls(INIT_FLAT).size(), 1u);
}

TEST(BrokerGamedir, SwitchingGamesReplacesTheChild) {
    auto c = Client::tcp();
    pid_t first = c->activate_cstrike();
    // A recorded ticket is dropped on a switch, without a term request.
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_gamedir valve", {"switching appid 10 -> 70", reaped_line(10),
                                    "activating gamedir \"valve\" (appid 70)", ready_line(70)});
    EXPECT_FALSE(process_exists(first)) << "the old child is reaped";
    pid_t second = c->only_child();
    EXPECT_NE(second, first);
    EXPECT_EQ(c->broker().calls(INIT_FLAT),
              (std::vector<std::string>{"SteamAPI_InitFlat zeroed=1 result=0 appid=10",
                                        "SteamAPI_InitFlat zeroed=1 result=0 appid=70"}));
    c->command("vd_disconnect 1.2.3.4:27015 77", {"command error: no ticket requested"});
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());

    // "already active" drops a recorded ticket too, and keeps the child.
    c->command("vd_connect 1.2.3.4:27015 1 1 78", {"-> ticket 240 bytes for challenge 78"});
    ASSERT_TRUE(c->reply());
    c->command("vd_gamedir VALVE", {"gamedir \"VALVE\" already active (appid 70)"});
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: no ticket requested"});
    c->close_input();
    // No ticket is left to clean up.
    c->expect(
        {"peer closed the connection", "session ended, awaiting next connection", reaped_line(70)});
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty());
    EXPECT_TRUE(c->nothing_more());
}

TEST(BrokerConnect, TicketReplyLayout) {
    auto c = Client::tcp();
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 123 1 77", {"-> ticket 240 bytes for challenge 77"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 27u + DEFAULT_TICKET_LEN);
    EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 15),
              (Bytes{'v', 'd', '_', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0x4D, 0, 0, 0}));
    EXPECT_EQ(*reply, expected_reply(77, IP_1_2_3_4, 27015, 123));
    EXPECT_EQ(c->broker().calls(INITIATE),
              std::vector<std::string>{initiate_call(123, IP_1_2_3_4, 27015, true)});

    // A negative challenge goes back in two's complement and is logged signed;
    // the steam id token is the child's to read ('abc' is 0), and a negative
    // secure value is not "0", so secure.
    c->command("vd_connect 5.6.7.8:1000 abc -1 -1", {"-> ticket 240 bytes for challenge -1"});
    reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(reply->begin() + 11, reply->begin() + 15), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(*reply, expected_reply(-1, IP_5_6_7_8, 1000, 0));

    c->command("vd_connect 10.0.0.5:27015 90071992547409920 0 -2147483648",
               {"-> ticket 240 bytes for challenge -2147483648"});
    reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(INT32_MIN, 167772165, 27015, 90071992547409920ULL));
    EXPECT_EQ(
        c->broker().calls(INITIATE),
        (std::vector<std::string>{initiate_call(123, IP_1_2_3_4, 27015, true),
                                  initiate_call(0, IP_5_6_7_8, 1000, true),
                                  initiate_call(90071992547409920ULL, 167772165, 27015, false)}));
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

TEST(BrokerConnect, ShortestAndLongestTickets) {
    for (std::size_t len : {std::size_t{1}, std::size_t{2048}}) {
        auto c = Client::tcp({{"VANDREL_STANDIN_TICKET_LEN", std::to_string(len)}});
        c->activate_cstrike();
        c->command("vd_connect 1.2.3.4:27015 9 1 2147483647",
                   {"-> ticket " + std::to_string(len) + " bytes for challenge 2147483647"});
        std::optional<Bytes> reply = c->reply();
        ASSERT_TRUE(reply) << len;
        EXPECT_EQ(reply->size(), 27 + len);
        EXPECT_EQ(*reply, expected_reply(INT32_MAX, IP_1_2_3_4, 27015, 9, len)) << len;
    }
}

TEST(BrokerConnect, TicketReplyOverStdio) {
    auto c = Client::stdio();
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

TEST(BrokerConnect, RefusedTicketSendsNothing) {
    auto c = Client::tcp({{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
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

TEST(BrokerDisconnect, ChallengeDecidesAndTermNamesTheCommandsAddress) {
    auto c = Client::tcp();
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
    auto c = Client::stdio();
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: challenge mismatch"});
    c->command("vd_disconnect 1.2.3.4:27015 77", {});
    c->sync();
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
}

TEST(BrokerCleanup, PeerCloseEndsTheDanglingTicketAndReapsTheChild) {
    auto c = Client::tcp();
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

    // The next client finds a fresh session: "accepted" comes right after the
    // reaped line, and nothing survives from the last session.
    Fd next = c->tcp_broker().connect();
    c->expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(next.get()))});
    write_bytes(next.get(), frame_of("vd_connect 1.2.3.4:27015 1 1 77"));
    c->expect({"<- vd_connect", "command error: session not active"});
}

TEST(BrokerCleanup, PeerCloseOverStdio) {
    auto c = Client::stdio();
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

TEST(BrokerTerminate, CleansUpThenStopsTheBroker) {
    auto c = Client::tcp();
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
}

TEST(BrokerTerminate, OverStdioReadsNoFurtherFrame) {
    auto c = Client::stdio();
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

// The child's fatal line must come before its reaped line: the child's output
// has to stay open until that line is written.
// BUG (child): fails intermittently; the child closes its frame output when
// `run` returns, before the entry point writes "fatal: ...", so the supervisor
// may kill it first and the line is lost.
TEST(BrokerChildStart, MissingScratchParentFailsAtOnce) {
    TempDir keep;
    auto c = Client::tcp({{"TMPDIR", keep.path() + "/missing"}});
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
    auto c = Client::tcp({{"TMPDIR", scratch}});
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

TEST(BrokerChildStart, InitFailureIsReported) {
    auto c = Client::tcp(
        {{"VANDREL_STANDIN_INIT_RESULT", "2"}, {"VANDREL_STANDIN_INIT_MESSAGE", "no \"steam\""}});
    c->send("vd_gamedir cstrike");
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)",
               "child for appid 10 failed: err steam init failed: NoSteamClient(\"no "
               "\\\"steam\\\"\")",
               reaped_line(10), "command error: steam child failed to initialise"},
              is_child_or_fatal);
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
}

TEST(BrokerChildStart, InitFailureOverStdio) {
    auto c =
        Client::stdio({{"VANDREL_STANDIN_INIT_RESULT", "1"}, {"VANDREL_STANDIN_INIT_MESSAGE", ""}});
    c->send("vd_gamedir valve");
    c->expect({"<- vd_gamedir", "activating gamedir \"valve\" (appid 70)",
               "child for appid 70 failed: err steam init failed: Generic(\"\")", reaped_line(70),
               "command error: steam child failed to initialise"},
              is_child_or_fatal);
    EXPECT_TRUE(child_pids(c->process().pid()).empty());
}

TEST(BrokerChildLoss, KilledChildFailsRequestsAndTheBrokerServesOn) {
    auto c = Client::tcp();
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
    auto c = Client::tcp();
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

} // namespace
} // namespace vandrel::test
