// The broker's time limits end to end: the 20-second wait for a new child's
// readiness, the 8-second wait for an answer, and answers that arrive after
// their request timed out. Each test waits out real time limits.
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>

extern char** environ;

namespace vandrel::test {
namespace {

constexpr std::uint64_t USER_STEAM_ID = 76561198012345678ULL;
constexpr std::size_t TICKET_LEN = 240;
constexpr std::string_view INITIATE = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED ";
// Longer than any time limit of the broker, so a missing line fails rather
// than hangs, and a late one is not mistaken for a missing one.
constexpr auto SLOW_LINE = 30s;

using Env = std::map<std::string, std::string>;

// A TCP broker with its own TMPDIR and stand-in call log, scripted by `env`.
class SlowBroker {
  public:
    explicit SlowBroker(const Env& env) : broker_(spawn(env)), client_(broker_.connect()) {
        expect("session open on tcp 127.0.0.1:" + std::to_string(local_port(client_.get())));
    }

    void send(std::string_view payload) { write_bytes(client_.get(), frame_of(payload)); }
    // The broker's next line without the "[vandrel] " prefix, child lines skipped.
    void expect(const std::string& line, Clock::duration limit = LINE_TIMEOUT) {
        // After a mismatch the lines no longer line up with the expectations.
        if (::testing::Test::HasFatalFailure())
            return;
        auto got = next_line_skipping(broker_.process(), is_child_line, limit);
        ASSERT_TRUE(got.has_value()) << "missing line: " << line;
        ASSERT_EQ(*got, "[vandrel] " + line);
    }
    std::optional<Bytes> reply() { return read_frame(client_.get()); }
    void close_input() { ::shutdown(client_.get(), SHUT_WR); }
    bool nothing_more() { return reads_eof(client_.get(), LINE_TIMEOUT); }
    pid_t pid() { return broker_.process().pid(); }
    std::vector<std::string> calls(std::string_view prefix) const {
        return file_lines(call_log(), prefix);
    }

  private:
    std::string call_log() const { return dir_.path() + "/calls.log"; }
    Spawn spawn(const Env& env) const {
        Spawn options;
        options.args = {"127.0.0.1:0"};
        options.env = {{"TMPDIR", dir_.path()},
                       {"VANDREL_STANDIN_CALL_LOG", call_log()},
                       {"VANDREL_STANDIN_STEAM_ID", std::to_string(USER_STEAM_ID)}};
        for (const auto& [k, v] : env)
            options.env[k] = v;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string_view entry = *e;
            if (entry.starts_with("VANDREL_STANDIN_"))
                options.unset_env.emplace_back(entry.substr(0, entry.find('=')));
        }
        return options;
    }

    TempDir dir_;
    TcpBroker broker_;
    Fd client_;
};

Bytes expected_reply(std::int32_t challenge, std::uint32_t ip, std::uint16_t port,
                     std::uint64_t server_sid) {
    Bytes out = bytes_of("vd_connect\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    append_le(out, USER_STEAM_ID, 8);
    append_le(out, TICKET_LEN, 4);
    Bytes ticket = standin_ticket(ip, port, server_sid, TICKET_LEN);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void activate_cstrike(SlowBroker& b) {
    b.send("vd_gamedir cstrike");
    b.expect("<- vd_gamedir");
    b.expect("activating gamedir \"cstrike\" (appid 10)");
    b.expect("child for appid 10 ready, steamid " + std::to_string(USER_STEAM_ID));
}

TEST(BrokerSlow, ChildThatNeverGetsReadyTimesOutAfterTwentySeconds) {
    SlowBroker b(Env{{"VANDREL_STANDIN_INIT_HANG_MS", "forever"}});
    b.send("vd_gamedir cstrike");
    b.expect("<- vd_gamedir");
    b.expect("activating gamedir \"cstrike\" (appid 10)");
    auto start = Clock::now();
    // The reaped line comes before the caller's own error line.
    b.expect("child for appid 10 reaped", SLOW_LINE);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 19.5);
    EXPECT_LT(waited, 22.0);
    b.expect("command error: steam child timed out");
    EXPECT_TRUE(child_pids(b.pid()).empty()) << "no child is left running";
    b.send("vd_connect 1.2.3.4:27015 1 1 77");
    b.expect("<- vd_connect");
    b.expect("command error: session not active");
}

TEST(BrokerSlow, AnswerLaterThanEightSecondsTimesOut) {
    SlowBroker b(Env{{"VANDREL_STANDIN_TICKET_DELAY_MS", "9000"}});
    activate_cstrike(b);
    auto start = Clock::now();
    b.send("vd_connect 1.2.3.4:27015 1 1 77");
    b.expect("<- vd_connect");
    b.expect("command error: steam child timed out", SLOW_LINE);
    double waited = seconds_since(start);
    EXPECT_GE(waited, 7.9);
    EXPECT_LT(waited, 8.9);
    // Nothing was recorded and nothing sent.
    b.send("vd_disconnect 1.2.3.4:27015 77");
    b.expect("<- vd_disconnect");
    b.expect("command error: no ticket requested");
    b.close_input();
    b.expect("peer closed the connection");
    b.expect("session ended, awaiting next connection");
    b.expect("child for appid 10 reaped");
    EXPECT_TRUE(b.nothing_more());
}

// The first ticket call takes 9 s, the next ones none: the first request times
// out, and its late answer must not be taken for the second request's.
TEST(BrokerSlow, LateAnswerIsNotTakenForTheNextRequest) {
    SlowBroker b(Env{{"VANDREL_STANDIN_TICKET_DELAYS_MS", "9000,0"}});
    activate_cstrike(b);
    auto start = Clock::now();
    // Both requests are queued at once; the second is read when the first has
    // timed out.
    b.send("vd_connect 1.2.3.4:27015 111 1 1");
    b.send("vd_connect 5.6.7.8:1000 222 1 2");
    b.expect("<- vd_connect");
    b.expect("command error: steam child timed out", SLOW_LINE);
    EXPECT_LT(seconds_since(start), 8.9);
    b.expect("<- vd_connect");
    b.expect("-> ticket 240 bytes for challenge 2", SLOW_LINE);
    std::optional<Bytes> reply = b.reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(2, 0x05060708, 1000, 222))
        << "the reply carries the second server's ticket";

    // The discarded answer is not owed twice: the next request gets its own.
    b.send("vd_connect 9.9.9.9:9 333 0 3");
    b.expect("<- vd_connect");
    b.expect("-> ticket 240 bytes for challenge 3");
    reply = b.reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(3, 0x09090909, 9, 333));
    EXPECT_EQ(b.calls(INITIATE).size(), 3u);
    b.close_input();
    b.expect("peer closed the connection");
    b.expect("cleaning up dangling ticket for 9.9.9.9:9");
    b.expect("session ended, awaiting next connection");
    EXPECT_TRUE(b.nothing_more());
}

// Two requests time out in a row; the third discards both late answers, the
// second of which arrives only while the third is waiting.
TEST(BrokerSlow, TwoLateAnswersAreBothDiscarded) {
    SlowBroker b(Env{{"VANDREL_STANDIN_TICKET_DELAYS_MS", "9000,9000,0"}});
    activate_cstrike(b);
    b.send("vd_connect 1.2.3.4:27015 111 1 1");
    b.send("vd_connect 5.6.7.8:1000 222 1 2");
    b.send("vd_connect 9.9.9.9:9 333 1 3");
    for (int timed_out = 0; timed_out < 2; ++timed_out) {
        b.expect("<- vd_connect");
        b.expect("command error: steam child timed out", SLOW_LINE);
    }
    b.expect("<- vd_connect");
    b.expect("-> ticket 240 bytes for challenge 3", SLOW_LINE);
    std::optional<Bytes> reply = b.reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(3, 0x09090909, 9, 333));
    b.close_input();
    b.expect("peer closed the connection");
    b.expect("cleaning up dangling ticket for 9.9.9.9:9");
    b.expect("session ended, awaiting next connection");
    EXPECT_TRUE(b.nothing_more());
}

} // namespace
} // namespace vandrel::test
