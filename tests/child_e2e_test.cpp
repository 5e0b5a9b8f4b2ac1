// The built program in child mode (`vandrel --child <appid>`), run as a
// subprocess over pipes against the stand-in Steam runtime: readiness, the
// request protocol, the scratch directory, failures and exit statuses, and
// what the child asked of Steam according to the stand-in's call log.
#include "test_support.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

// Variables added to a child's environment.
using Env = std::map<std::string, std::string>;

// Every byte distinct, so a byte-order mistake cannot go unnoticed.
constexpr std::uint64_t USER_STEAM_ID = 0x8877665544332211ULL;
// The stand-in's ticket length when VANDREL_STANDIN_TICKET_LEN is unset.
constexpr std::size_t STANDIN_TICKET_LEN = 240;
// The largest ticket the child hands on, and the buffer it gives Steam.
constexpr std::size_t TICKET_BUFFER_LEN = 2048;
constexpr auto REPLY_TIMEOUT = 5s;
constexpr std::string_view LOG_PREFIX = "[vandrel] ";
constexpr std::string_view CLOSED_LINE = "[vandrel] child: parent closed the pipe, exiting";

// The server most requests name: 10.0.0.5:27015.
constexpr std::uint32_t SERVER_IP = (10u << 24) | 5u;
constexpr std::uint16_t SERVER_PORT = 27015;

// Every variable that scripts the stand-in, so that nothing from the
// environment of the test run leaks into a child.
const std::vector<std::string> STANDIN_VARIABLES = {
    "VANDREL_STANDIN_CALL_LOG",
    "VANDREL_STANDIN_INIT_RESULT",
    "VANDREL_STANDIN_INIT_MESSAGE",
    "VANDREL_STANDIN_INIT_MESSAGE_HEX",
    "VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED",
    "VANDREL_STANDIN_INIT_HANG_MS",
    "VANDREL_STANDIN_INIT_STDOUT",
    "VANDREL_STANDIN_STEAM_ID",
    "VANDREL_STANDIN_TICKET_LEN",
    "VANDREL_STANDIN_TICKET_RESULT",
    "VANDREL_STANDIN_TICKET_DELAY_MS",
    "VANDREL_STANDIN_CALLBACKS",
    "VANDREL_STANDIN_API_CALL_RESULT",
    "VANDREL_STANDIN_API_CALL_IO_FAILED",
    "VANDREL_STANDIN_API_CALL_SIZE",
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

// The value of `key=` in a call-log line, up to the next blank.
std::string field(const std::string& line, std::string_view key) {
    std::string needle = " " + std::string(key) + "=";
    std::size_t at = line.find(needle);
    if (at == std::string::npos)
        return "";
    at += needle.size();
    return line.substr(at, line.find(' ', at) - at);
}

// The calls that callback pumping makes on every turn of the loop; the rest
// are the calls that start-up, requests and shutdown make.
bool is_dispatch_call(const std::string& line) {
    return line.starts_with("SteamAPI_GetHSteamPipe ") ||
           line.starts_with("SteamAPI_ManualDispatch_RunFrame ") ||
           line.starts_with("SteamAPI_ManualDispatch_GetNextCallback ") ||
           line.starts_with("SteamAPI_ManualDispatch_GetAPICallResult ") ||
           line.starts_with("SteamAPI_ManualDispatch_FreeLastCallback ");
}

std::vector<std::string> steam_calls(const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& line : calls)
        if (!is_dispatch_call(line))
            out.push_back(line);
    return out;
}

std::vector<std::string> error_lines(const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& line : calls)
        if (line.starts_with("ERROR "))
            out.push_back(line);
    return out;
}

std::string initiate_call(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                          long long written, long long result) {
    return "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED max=2048 zeroed=1 sid=" +
           std::to_string(sid) + " ip=" + std::to_string(ip) + " port=" + std::to_string(port) +
           " secure=" + (secure ? "1" : "0") + " written=" + std::to_string(written) +
           " result=" + std::to_string(result);
}

std::string terminate_call(std::uint32_t ip, std::uint16_t port) {
    return "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ip=" + std::to_string(ip) +
           " port=" + std::to_string(port);
}

std::string steam_id_call(std::uint64_t id = USER_STEAM_ID) {
    return "SteamAPI_ISteamUser_GetSteamID steamid=" + std::to_string(id);
}

// The stand-in's deterministic ticket, recomputed: byte i is the top byte of
// the splitmix64 finaliser of seed + (i + 1) * golden, seed = sid ^ (ip << 16 |
// port). `written` bytes come from the stand-in, the rest of `total` are the
// zeros of the child's buffer.
Bytes standin_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t written,
                     std::size_t total) {
    const std::uint64_t seed = sid ^ ((std::uint64_t{ip} << 16) | port);
    Bytes out(total, 0);
    for (std::size_t i = 0; i < written; ++i) {
        std::uint64_t z = seed + (i + 1) * 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        out[i] = static_cast<std::uint8_t>(z >> 56);
    }
    return out;
}

void append_le(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

Bytes ready_message(std::uint64_t id = USER_STEAM_ID) {
    Bytes out = bytes_of("ready ");
    append_le(out, id, 8);
    return out;
}

Bytes ticket_reply(const Bytes& ticket, std::uint64_t id = USER_STEAM_ID) {
    Bytes out = bytes_of("ok ");
    append_le(out, id, 8);
    append_le(out, ticket.size(), 4);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

// Shows a payload readably in failure messages.
std::string show(const std::optional<Bytes>& payload) {
    if (!payload)
        return "<no frame>";
    std::string out;
    for (std::uint8_t b : *payload) {
        if (b >= 0x20 && b < 0x7f) {
            out.push_back(static_cast<char>(b));
        } else {
            static constexpr char HEX[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(HEX[b >> 4]);
            out.push_back(HEX[b & 0xf]);
        }
    }
    return out;
}

// How a child ended: its exit status and every standard-error line.
struct Ending {
    std::optional<int> status;
    std::vector<std::string> lines;
};

// One `vandrel --child` process with a TMPDIR and a call log of its own, each
// in a fresh temporary directory; killed at destruction if still running.
class Child {
  public:
    explicit Child(Env env = {}, std::string appid = "480",
                   std::optional<std::string> tmpdir = std::nullopt)
        : process_(options(std::move(env), std::move(appid), std::move(tmpdir))) {}

    Process& process() { return process_; }
    const std::string& tmpdir() const { return tmp_.path(); }
    std::string call_log_path() const { return logs_.path() + "/calls.log"; }
    std::vector<std::string> calls() const { return split_lines(read_file(call_log_path())); }

    void send(const Bytes& payload) { write_bytes(process_.stdin_fd(), frame_of(payload)); }
    std::optional<Bytes> next_frame() { return read_frame(process_.stdout_fd(), REPLY_TIMEOUT); }
    std::optional<Bytes> ask(const Bytes& payload) {
        send(payload);
        return next_frame();
    }
    std::optional<Bytes> ask(std::string_view payload) { return ask(bytes_of(payload)); }

    // The next "[vandrel] " line, skipping the stand-in's own lines.
    std::optional<std::string> next_log_line() {
        while (auto line = process_.next_line(REPLY_TIMEOUT))
            if (line->starts_with(LOG_PREFIX))
                return line;
        return std::nullopt;
    }

    // Closes the request pipe and collects everything up to the exit.
    Ending finish() {
        process_.close_stdin();
        process_.rest_of_lines(REPLY_TIMEOUT);
        std::optional<int> status = process_.wait_exit(REPLY_TIMEOUT);
        return {status, process_.lines()};
    }

  private:
    Spawn options(Env env, std::string appid, std::optional<std::string> tmpdir) {
        // A write to a child that has already ended must fail, not end the tests.
        std::signal(SIGPIPE, SIG_IGN);
        Spawn spawn;
        spawn.args = {"--child", std::move(appid)};
        spawn.unset_env = STANDIN_VARIABLES;
        spawn.env = {{"TMPDIR", tmpdir.value_or(tmp_.path())},
                     {"VANDREL_STANDIN_CALL_LOG", call_log_path()},
                     {"VANDREL_STANDIN_STEAM_ID", std::to_string(USER_STEAM_ID)}};
        for (auto& [name, value] : env)
            spawn.env[name] = std::move(value);
        return spawn;
    }

    TempDir tmp_;
    TempDir logs_;
    Process process_; // last, so the process is gone before the directories
};

std::vector<std::string> log_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (line.starts_with(LOG_PREFIX))
            out.push_back(line);
    return out;
}

std::vector<std::string> standin_errors(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (line.starts_with("libsteam_api stand-in: error"))
            out.push_back(line);
    return out;
}

// The scratch path of a "child: appid 480, scratch {dir}" line, checked to be
// `tmpdir`/vandrel-480-{8 lowercase hex digits}; empty when it is not.
std::string scratch_of(const std::optional<std::string>& line, const std::string& tmpdir) {
    const std::string head = "[vandrel] child: appid 480, scratch ";
    if (!line || !line->starts_with(head)) {
        ADD_FAILURE() << "expected the scratch line, got " << line.value_or("<none>");
        return "";
    }
    std::string dir = line->substr(head.size());
    EXPECT_EQ(fs::path(dir).parent_path().string(), tmpdir) << dir;
    std::string name = fs::path(dir).filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex("vandrel-480-[0-9a-f]{8}"))) << name;
    return dir;
}

bool dir_is_empty(const std::string& path) {
    std::error_code ec;
    return fs::is_empty(path, ec) && !ec;
}

// Waits for readiness and the two start-up lines; the scratch directory's
// path, or empty after a failure (already reported).
std::string start(Child& child, std::uint64_t id = USER_STEAM_ID) {
    std::optional<Bytes> ready = child.next_frame();
    EXPECT_EQ(ready, ready_message(id)) << show(ready);
    std::string dir = scratch_of(child.next_log_line(), child.tmpdir());
    EXPECT_EQ(child.next_log_line(),
              "[vandrel] child: steam up, appid AppId(480), steamid " + std::to_string(id));
    return dir;
}

// The two start-up lines that `start` has read, for comparing whole logs.
std::vector<std::string> startup_lines(const std::string& dir) {
    return {"[vandrel] child: appid 480, scratch " + dir,
            "[vandrel] child: steam up, appid AppId(480), steamid " +
                std::to_string(USER_STEAM_ID)};
}

// Reads the call log's Steam calls (dispatch excluded) made since `seen`.
std::vector<std::string> new_steam_calls(const Child& child, std::size_t& seen) {
    std::vector<std::string> all = steam_calls(child.calls());
    std::vector<std::string> fresh;
    if (all.size() > seen)
        fresh.assign(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
}

TEST(ChildStartup, AnnouncesReadinessWritesTheAppidFileAndCleansUpWhenThePipeCloses) {
    // '+0480' is AppID 480: the file and the directory name carry '480'.
    Child child(Env{}, "+0480");
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());

    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(read_file(dir + "/steam_appid.txt"), "480");

    // Steam was initialised with a zeroed message buffer, found AppID 480 in
    // the working directory, and was asked in this order.
    EXPECT_EQ(steam_calls(child.calls()), (std::vector<std::string>{
                                              "SteamAPI_InitFlat zeroed=1 result=0 appid=480",
                                              "SteamAPI_ManualDispatch_Init",
                                              "SteamAPI_SteamUser_v023",
                                              steam_id_call(),
                                              "SteamAPI_SteamUtils_v010",
                                              "SteamAPI_ISteamUtils_GetAppID appid=480",
                                          }));

    auto closed_at = Clock::now();
    child.process().close_stdin();
    EXPECT_TRUE(child.process().wait_for_line(CLOSED_LINE, REPLY_TIMEOUT));
    // Noticed on the next poll (about 50 ms); generous for a loaded machine.
    EXPECT_LT(Clock::now() - closed_at, 1s);
    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
    EXPECT_FALSE(fs::exists(dir)) << dir;
    EXPECT_TRUE(dir_is_empty(child.tmpdir()));
    EXPECT_EQ(log_lines(end.lines), [&] {
        auto expected = startup_lines(dir);
        expected.emplace_back(CLOSED_LINE);
        return expected;
    }());
    EXPECT_EQ(standin_errors(end.lines), std::vector<std::string>{});

    std::vector<std::string> calls = child.calls();
    EXPECT_EQ(error_lines(calls), std::vector<std::string>{});
    std::vector<std::string> steam = steam_calls(calls);
    ASSERT_FALSE(steam.empty());
    EXPECT_EQ(steam.back(), "SteamAPI_Shutdown");
    EXPECT_EQ(std::count(steam.begin(), steam.end(), "SteamAPI_Shutdown"), 1);
}

// A conn request that yields a ticket from the stand-in's default 240 bytes.
struct TicketCase {
    std::string request;
    std::string address; // in the log line's standard form
    std::uint32_t ip;    // host order
    std::uint16_t port;
    std::uint64_t sid;
    bool secure;
};

TEST(ChildRequests, ConnAndTermAnswersLogLinesAndSteamCalls) {
    Child child;
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::vector<std::string> expected_log = startup_lines(dir);
    std::size_t seen = steam_calls(child.calls()).size();

    const std::vector<TicketCase> tickets = {
        {"conn 10.0.0.5:27015", "10.0.0.5:27015", SERVER_IP, SERVER_PORT, 0, false},
        {"conn 10.0.0.5:27015 90071992547409920 1", "10.0.0.5:27015", SERVER_IP, SERVER_PORT,
         90071992547409920ULL, true},
        {"conn 10.0.0.5:27015 123abc 0", "10.0.0.5:27015", SERVER_IP, SERVER_PORT, 123, false},
        {"conn 10.0.0.5:27015 99999999999999999999 1", "10.0.0.5:27015", SERVER_IP, SERVER_PORT, 0,
         true},
        {"conn 10.0.0.5:27015 1 false", "10.0.0.5:27015", SERVER_IP, SERVER_PORT, 1, true},
        {"  conn\t10.0.0.5:27015  7  1  extra", "10.0.0.5:27015", SERVER_IP, SERVER_PORT, 7, true},
        {"conn 192.168.1.20:27015 18446744073709551615 00", "192.168.1.20:27015", 3232235796u,
         27015, UINT64_MAX, true},
        {"conn 10.0.0.5:00080 abc -1", "10.0.0.5:80", SERVER_IP, 80, 0, true},
    };
    for (const auto& c : tickets) {
        SCOPED_TRACE(c.request);
        Bytes ticket = standin_ticket(c.ip, c.port, c.sid, STANDIN_TICKET_LEN, STANDIN_TICKET_LEN);
        std::optional<Bytes> reply = child.ask(c.request);
        EXPECT_EQ(reply, ticket_reply(ticket)) << show(reply);
        EXPECT_EQ(new_steam_calls(child, seen),
                  (std::vector<std::string>{initiate_call(c.sid, c.ip, c.port, c.secure, 240, 240),
                                            steam_id_call()}));
        expected_log.push_back("[vandrel] child: initiate_game_connection " + c.address + " sid=" +
                               std::to_string(c.sid) + " secure=" + (c.secure ? "true" : "false"));
        expected_log.emplace_back("[vandrel] child: ticket 240 bytes");
    }

    for (std::string request : {"conn", "conn localhost:27015", "conn 10.0.0.5", "conn [::1]:27015",
                                "conn 10.0.0.5:27015:1", "conn 256.0.0.5:27015"}) {
        SCOPED_TRACE(request);
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of("err bad server address")) << show(reply);
        EXPECT_EQ(new_steam_calls(child, seen), std::vector<std::string>{});
    }

    for (std::string request : {"term", "term nonsense", "term 10.0.0.5"}) {
        SCOPED_TRACE(request);
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of("ok")) << show(reply);
        EXPECT_EQ(new_steam_calls(child, seen), std::vector<std::string>{});
    }
    std::optional<Bytes> reply = child.ask("term 10.0.0.5:27015");
    EXPECT_EQ(reply, bytes_of("ok")) << show(reply);
    EXPECT_EQ(new_steam_calls(child, seen),
              std::vector<std::string>{terminate_call(SERVER_IP, SERVER_PORT)});
    expected_log.emplace_back("[vandrel] child: terminate_game_connection 10.0.0.5:27015");

    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    expected_log.emplace_back(CLOSED_LINE);
    // Bad addresses and term without a valid address log nothing at all.
    EXPECT_EQ(log_lines(end.lines), expected_log);
    EXPECT_EQ(error_lines(child.calls()), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir));
}

// One conn request against a stand-in scripted by `env`, in a child of its own.
struct ScriptedTicket {
    std::string name;
    Env env;
    long long written; // bytes the stand-in writes
    long long result;  // what it returns
    // The ticket the child hands on: `derived` stand-in bytes of `total`, or
    // no ticket (a refusal) when total is 0.
    std::size_t derived;
    std::size_t total;
};

TEST(ChildRequests, TicketLengthsAsTheChildSeesThem) {
    const std::vector<ScriptedTicket> cases = {
        {"refusal", {{"VANDREL_STANDIN_TICKET_RESULT", "0"}}, 0, 0, 0, 0},
        {"one byte", {{"VANDREL_STANDIN_TICKET_RESULT", "1"}}, 1, 1, 1, 1},
        {"full buffer",
         {{"VANDREL_STANDIN_TICKET_RESULT", "2048"}, {"VANDREL_STANDIN_TICKET_LEN", "2048"}},
         2048,
         2048,
         TICKET_BUFFER_LEN,
         TICKET_BUFFER_LEN},
        {"result above the buffer",
         {{"VANDREL_STANDIN_TICKET_RESULT", "5000"}, {"VANDREL_STANDIN_TICKET_LEN", "2048"}},
         2048,
         5000,
         TICKET_BUFFER_LEN,
         TICKET_BUFFER_LEN},
        // 240 bytes written, and the rest of the buffer as the child zeroed it.
        {"negative result",
         {{"VANDREL_STANDIN_TICKET_RESULT", "-1"}},
         240,
         -1,
         240,
         TICKET_BUFFER_LEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Child child(c.env);
        std::string dir = start(child);
        ASSERT_FALSE(dir.empty());
        std::size_t seen = steam_calls(child.calls()).size();

        std::optional<Bytes> reply = child.ask("conn 10.0.0.5:27015 42 1");
        std::vector<std::string> expected_calls = {
            initiate_call(42, SERVER_IP, SERVER_PORT, true, c.written, c.result)};
        std::vector<std::string> expected_log = startup_lines(dir);
        expected_log.emplace_back(
            "[vandrel] child: initiate_game_connection 10.0.0.5:27015 sid=42 secure=true");
        if (c.total == 0) {
            EXPECT_EQ(reply, bytes_of("err steam refused to issue an auth ticket")) << show(reply);
        } else {
            Bytes ticket = standin_ticket(SERVER_IP, SERVER_PORT, 42, c.derived, c.total);
            EXPECT_EQ(reply, ticket_reply(ticket)) << show(reply);
            expected_calls.push_back(steam_id_call());
            expected_log.push_back("[vandrel] child: ticket " + std::to_string(c.total) + " bytes");
        }
        EXPECT_EQ(new_steam_calls(child, seen), expected_calls);

        Ending end = child.finish();
        EXPECT_EQ(end.status, 0);
        expected_log.emplace_back(CLOSED_LINE);
        EXPECT_EQ(log_lines(end.lines), expected_log);
    }
}

TEST(ChildRequests, UnknownWordsAreQuotedAndBadTextIsRefused) {
    Child child;
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::size_t seen = steam_calls(child.calls()).size();

    const std::string unknown = "err unknown child request ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CONN 10.0.0.5:27015", unknown + "\"CONN\""},
        {"hello world", unknown + "\"hello\""},
        {"a\x0b"
         "b 10.0.0.5:27015",
         unknown + "\"a\\u{b}b\""},
        {"e\xcc\x81", unknown + "\"e\\u{301}\""},
        {"back\\slash", unknown + "\"back\\\\slash\""},
        {"say\"hi\"", unknown + "\"say\\\"hi\\\"\""},
        {"del\x7f", unknown + "\"del\\u{7f}\""},
        {std::string("nul\0", 4), unknown + "\"nul\\0\""},
        {"it's caf\xc3\xa9", unknown + "\"it's\""},
        {"caf\xc3\xa9", unknown + "\"caf\xc3\xa9\""},
        {"", unknown + "\"\""},
        {" \t\n\r\f ", unknown + "\"\""},
        {"\xff", "err non-utf8 request"},
        {"conn 10.0.0.5:27015 \xff", "err non-utf8 request"},
        {"term 10.0.0.5:27015 \xc3", "err non-utf8 request"},
        {"\xed\xa0\x80", "err non-utf8 request"},
    };
    for (const auto& [request, expected] : cases) {
        SCOPED_TRACE(show(bytes_of(request)));
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of(expected)) << show(reply);
        EXPECT_EQ(new_steam_calls(child, seen), std::vector<std::string>{});
    }

    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    std::vector<std::string> expected_log = startup_lines(dir);
    expected_log.emplace_back(CLOSED_LINE);
    EXPECT_EQ(log_lines(end.lines), expected_log);
}

TEST(ChildRequests, RequestsQueuedBeforeThePipeClosesAreAllAnswered) {
    // Written at once after readiness, and also before it: requests wait in
    // the pipe until the reader starts, and end of input comes only after them.
    for (bool before_ready : {false, true}) {
        SCOPED_TRACE(before_ready ? "written before readiness" : "written after readiness");
        Child child;
        Bytes both = frame_of("term 10.0.0.5:27015");
        Bytes second = frame_of("conn 10.0.0.5:27015 5 1");
        both.insert(both.end(), second.begin(), second.end());
        std::string dir;
        if (!before_ready)
            dir = start(child);
        write_bytes(child.process().stdin_fd(), both);
        child.process().close_stdin();
        if (before_ready)
            dir = start(child);
        ASSERT_FALSE(dir.empty());

        std::optional<Bytes> first = child.next_frame();
        EXPECT_EQ(first, bytes_of("ok")) << show(first);
        std::optional<Bytes> ticket = child.next_frame();
        EXPECT_EQ(ticket, ticket_reply(standin_ticket(SERVER_IP, SERVER_PORT, 5, 240, 240)))
            << show(ticket);
        EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));

        Ending end = child.finish();
        EXPECT_EQ(end.status, 0);
        std::vector<std::string> expected_log = startup_lines(dir);
        expected_log.insert(
            expected_log.end(),
            {"[vandrel] child: terminate_game_connection 10.0.0.5:27015",
             "[vandrel] child: initiate_game_connection 10.0.0.5:27015 sid=5 secure=true",
             "[vandrel] child: ticket 240 bytes", std::string(CLOSED_LINE)});
        EXPECT_EQ(log_lines(end.lines), expected_log);
        EXPECT_FALSE(fs::exists(dir));
    }
}

TEST(ChildFailures, AReplyAboveTheFrameLimitIsFatalAndCleansUp) {
    Child child;
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());

    // 26 bytes of message, the word and its two quotes: 4068 letters fill the
    // 4096-byte frame exactly, one more does not fit.
    const std::string fits(4068, 'x');
    std::optional<Bytes> reply = child.ask(fits);
    EXPECT_EQ(reply, bytes_of("err unknown child request \"" + fits + "\""));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), MAX_FRAME_PAYLOAD);

    child.send(bytes_of(std::string(4069, 'x')));
    EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
    std::vector<std::string> rest = child.process().rest_of_lines(REPLY_TIMEOUT);
    EXPECT_EQ(child.process().wait_exit(REPLY_TIMEOUT), 1);
    EXPECT_EQ(log_lines(rest),
              std::vector<std::string>{"[vandrel] fatal: response payload too large"});
    EXPECT_FALSE(fs::exists(dir)) << dir;
    std::vector<std::string> calls = child.calls();
    EXPECT_EQ(error_lines(calls), std::vector<std::string>{});
    EXPECT_EQ(steam_calls(calls).back(), "SteamAPI_Shutdown");
}

struct InitFailure {
    std::string code;
    std::string message_var;
    std::string message;
    std::string frame;
    std::string fatal;
};

TEST(ChildFailures, SteamInitFailureIsReportedInAFrameThenFatal) {
    const std::vector<InitFailure> cases = {
        {"1", "VANDREL_STANDIN_INIT_MESSAGE", "plain failure text",
         "err steam init failed: Generic(\"plain failure text\")",
         "[vandrel] fatal: steam api error, Some other failure"},
        {"2", "VANDREL_STANDIN_INIT_MESSAGE", "no \"steam\" here",
         "err steam init failed: NoSteamClient(\"no \\\"steam\\\" here\")",
         "[vandrel] fatal: steam api error, We cannot connect to Steam, steam probably isn't "
         "running"},
        // 'a', an invalid byte, a tab, 'b', and a sequence cut short at the end.
        {"3", "VANDREL_STANDIN_INIT_MESSAGE_HEX", "61ff0962e282",
         "err steam init failed: VersionMismatch(\"a\xef\xbf\xbd\\tb\xef\xbf\xbd\")",
         "[vandrel] fatal: steam api error, Steam client appears to be out of date"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        Child child(Env{{"VANDREL_STANDIN_INIT_RESULT", c.code}, {c.message_var, c.message}});
        std::optional<Bytes> frame = child.next_frame();
        EXPECT_EQ(frame, bytes_of(c.frame)) << show(frame);
        EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
        Ending end = child.finish();
        EXPECT_EQ(end.status, 1);
        std::vector<std::string> lines = log_lines(end.lines);
        ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
        std::string dir = scratch_of(lines[0], child.tmpdir());
        EXPECT_EQ(lines[1], c.fatal);
        EXPECT_FALSE(dir.empty() || fs::exists(dir)) << dir;
        EXPECT_TRUE(dir_is_empty(child.tmpdir()));
        // A failed initialisation leaves nothing to shut down.
        EXPECT_EQ(child.calls(), std::vector<std::string>{
                                     "SteamAPI_InitFlat zeroed=1 result=" + c.code + " appid=0"});
    }
}

TEST(ChildFailures, AMissingTmpdirIsFatalBeforeAnythingElse) {
    TempDir parent;
    const std::string missing = parent.path() + "/missing";
    Child child(Env{}, "480", missing);
    EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
    Ending end = child.finish();
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(end.lines, std::vector<std::string>{
                             "[vandrel] fatal: io error, No such file or directory (os error 2)"});
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(child.call_log_path())) << "Steam was called";
}

TEST(ChildStartup, TextTheRuntimePrintsToStdoutGoesToStandardError) {
    // It even starts like a frame, which a shared standard output would turn
    // into a corrupt stream.
    const std::string chatter = "VDRL\x05 chatter from the runtime";
    Child child(Env{{"VANDREL_STANDIN_INIT_STDOUT", chatter + "\n"}});
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::optional<Bytes> reply = child.ask("conn 10.0.0.5:27015 9 0");
    EXPECT_EQ(reply, ticket_reply(standin_ticket(SERVER_IP, SERVER_PORT, 9, 240, 240)))
        << show(reply);
    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(std::count(end.lines.begin(), end.lines.end(), chatter), 1)
        << ::testing::PrintToString(end.lines);
}

TEST(ChildCallbacks, EveryCallbackIsFreedOnceAndIdleChildrenKeepPumping) {
    Child child(Env{{"VANDREL_STANDIN_CALLBACKS", "703,100,703"}});
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());

    auto run_frames = [&] {
        std::vector<std::string> calls = child.calls();
        return std::count_if(calls.begin(), calls.end(), [](const std::string& line) {
            return line.starts_with("SteamAPI_ManualDispatch_RunFrame ");
        });
    };
    auto before = run_frames();
    std::this_thread::sleep_for(300ms);
    // Nominally six turns of the 50 ms loop; three leave room for a busy machine.
    EXPECT_GE(run_frames() - before, 3);

    for (std::string request : {"term 10.0.0.5:27015", "conn 10.0.0.5:27015", "bogus"})
        EXPECT_TRUE(child.ask(request).has_value()) << request;
    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);

    // The deliveries, completed-call fetches and frees, in the order made.
    std::vector<std::string> calls = child.calls();
    EXPECT_EQ(error_lines(calls), std::vector<std::string>{});
    std::vector<std::string> events;
    std::vector<std::string> fetches;
    for (const auto& line : calls) {
        if (line.starts_with("SteamAPI_ManualDispatch_GetNextCallback ") &&
            field(line, "result") == "1") {
            events.push_back("next " + field(line, "callback") + " " + field(line, "index"));
        } else if (line.starts_with("SteamAPI_ManualDispatch_GetAPICallResult ")) {
            events.push_back("fetch " + field(line, "call") + " " + field(line, "size") + " " +
                             field(line, "expected"));
            fetches.push_back(line);
        } else if (line.starts_with("SteamAPI_ManualDispatch_FreeLastCallback ")) {
            events.push_back("free " + field(line, "callback") + " " + field(line, "index"));
        }
    }
    // The stand-in's completed-call handles for its first initialisation:
    // the top bit, generation 1 in the upper half, and the queue index + 1.
    auto handle = [](std::uint64_t index) {
        return std::to_string(0x8000000000000000ULL | (1ULL << 32) | (index + 1));
    };
    EXPECT_EQ(events, (std::vector<std::string>{
                          "next 703 0",
                          "fetch " + handle(0) + " 24 2101",
                          "free 703 0",
                          "next 100 1",
                          "free 100 1",
                          "next 703 2",
                          "fetch " + handle(2) + " 24 2101",
                          "free 703 2",
                      }));
    ASSERT_EQ(fetches.size(), 2u);
    // The first result buffer is freshly zeroed; the flag is cleared before each fetch.
    EXPECT_EQ(field(fetches[0], "zeroed"), "1");
    for (const auto& fetch : fetches)
        EXPECT_EQ(field(fetch, "io_failed_in"), "0") << fetch;
    EXPECT_EQ(steam_calls(calls).back(), "SteamAPI_Shutdown");
}

} // namespace
} // namespace vandrel::test
