// The built program end to end against either Steam runtime: the stand-in,
// and Steam's real one (the redistributable libsteam_api.so that
// scripts/fetch-steam-runtime installs). `vandrel --child` runs over its pipes
// and the broker over TCP and stdio with its children behind it, and every
// case checks the same frames, log lines and Steam calls against both.
//
// The real runtime loads the simulated Steam client library from a sandbox
// $HOME (.steam/sdk64/steamclient.so, and .steam/steam.pid naming this test);
// one test gives it no Steam client at all. Every process runs with
// LD_BIND_NOW=1, so a flat function that the runtime lacks fails the start
// instead of a later call.
//
// Instances are named by runtime: "StandIn/..." run the stand-in that the
// RUNPATH finds, "Real..." the real runtime through LD_LIBRARY_PATH; these skip
// when the runtime could not be fetched.
#include "test_support.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

// Variables added to a process's environment.
using Env = std::map<std::string, std::string>;

const std::string REAL_RUNTIME = std::string(VANDREL_REAL_RUNTIME_DIR) + "/libsteam_api.so";
constexpr std::string_view SIMULATED_CLIENT = VANDREL_STEAMCLIENT_SO;

constexpr auto REPLY_TIMEOUT = 5s;
constexpr std::string_view LOG_PREFIX = "[vandrel] ";
constexpr std::string_view CLOSED_LINE = "[vandrel] child: parent closed the pipe, exiting";
// The ticket length of both runtimes when VANDREL_STANDIN_TICKET_LEN is unset.
constexpr std::size_t DEFAULT_TICKET_LEN = 240;
// The largest ticket the child hands on, and the buffer it gives Steam.
constexpr std::size_t TICKET_BUFFER_LEN = 2048;

// The calls that both runtimes log alike.
constexpr std::string_view INITIATE = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED ";
constexpr std::string_view TERMINATE = "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ";
constexpr std::string_view NEXT_CALLBACK = "SteamAPI_ManualDispatch_GetNextCallback ";
constexpr std::string_view CALL_RESULT = "SteamAPI_ManualDispatch_GetAPICallResult ";
constexpr std::string_view FREE_CALLBACK = "SteamAPI_ManualDispatch_FreeLastCallback ";

enum class Runtime { StandIn, Real };

std::string runtime_name(Runtime runtime) {
    return runtime == Runtime::Real ? "Real" : "StandIn";
}
void PrintTo(Runtime runtime, std::ostream* os) {
    *os << runtime_name(runtime);
}

// --- What differs between the runtimes' call logs and standard error -------
//
// The stand-in logs each flat call under its own name. The real runtime
// forwards the ticket, term and dispatch calls one to one, which the simulated
// client logs with the stand-in's lines; everything else it logs as its own
// calls, prefixed "steamclient ", and the runtime makes some of those on its
// own.

// One line per successful initialisation, naming the AppID Steam runs under.
std::string init_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient ConnectToGlobalUser " : "SteamAPI_InitFlat ";
}

std::string init_call(Runtime runtime, std::uint32_t appid) {
    return init_prefix(runtime) +
           (runtime == Runtime::Real ? "pipe=1 user=1 appid=" : "zeroed=1 result=0 appid=") +
           std::to_string(appid);
}

// The line of one User::steam_id.
std::string steam_id_call(Runtime runtime, std::uint64_t id) {
    return (runtime == Runtime::Real ? "steamclient GetSteamID steamid="
                                     : "SteamAPI_ISteamUser_GetSteamID steamid=") +
           std::to_string(id);
}

// The line of one shutdown.
std::string shutdown_call(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient BShutdownIfAllPipesClosed result=1"
                                    : "SteamAPI_Shutdown";
}

// One line per SteamAPI_ManualDispatch_RunFrame.
std::string run_frame_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient RunFrame" : "SteamAPI_ManualDispatch_RunFrame ";
}

// The calls that callback pumping makes on every turn of the child's loop,
// and the look-ups that the real runtime makes on its own at the first frame;
// the rest are the calls that start-up, requests and shutdown make.
bool is_background_call(Runtime runtime, std::string_view line) {
    if (line.starts_with(NEXT_CALLBACK) || line.starts_with(CALL_RESULT) ||
        line.starts_with(FREE_CALLBACK))
        return true;
    if (runtime == Runtime::StandIn)
        return line.starts_with("SteamAPI_GetHSteamPipe ") ||
               line.starts_with("SteamAPI_ManualDispatch_RunFrame ");
    return line == "steamclient RunFrame" ||
           line.starts_with("steamclient GetISteamGenericInterface ") ||
           line.starts_with("steamclient GetAppID ");
}

// How the runtime reports a misuse on standard error.
std::string misuse_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient simulation: error"
                                    : "libsteam_api stand-in: error";
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        std::string_view prefix) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (line.starts_with(prefix))
            out.push_back(line);
    return out;
}

std::vector<std::string> steam_calls(Runtime runtime, const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& line : calls)
        if (!is_background_call(runtime, line))
            out.push_back(line);
    return out;
}

// True when `wanted` occurs in `lines` in this order, other lines between.
bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return false;
        ++at;
    }
    return true;
}

std::string initiate_call(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                          long long written, long long result) {
    return std::string(INITIATE) + "max=2048 zeroed=1 sid=" + std::to_string(sid) +
           " ip=" + std::to_string(ip) + " port=" + std::to_string(port) +
           " secure=" + (secure ? "1" : "0") + " written=" + std::to_string(written) +
           " result=" + std::to_string(result);
}

std::string terminate_call(std::uint32_t ip, std::uint16_t port) {
    return std::string(TERMINATE) + "ip=" + std::to_string(ip) + " port=" + std::to_string(port);
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

// --- The environment of a process on one runtime ----------------------------

// The variables of this process that script either runtime, so that a test
// can drop them and only its own settings count.
std::vector<std::string> scripting_variables() {
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry = *e;
        if (entry.starts_with("VANDREL_STANDIN_") || entry.starts_with("VANDREL_STEAMCLIENT_"))
            names.emplace_back(entry.substr(0, entry.find('=')));
    }
    return names;
}

// What a process needs to run against one runtime. For the real one: a
// sandbox HOME whose .steam holds a copy of the simulated client library and
// the pid of a live process (this test), and LD_LIBRARY_PATH naming the real
// runtime. For the stand-in: no LD_LIBRARY_PATH, so the RUNPATH finds it.
class SteamSetup {
  public:
    explicit SteamSetup(Runtime runtime) : runtime_(runtime) {
        if (runtime_ != Runtime::Real)
            return;
        home_ = std::make_unique<TempDir>();
        fs::create_directories(home_->path() + "/.steam/sdk64");
        std::error_code ec;
        fs::copy_file(std::string(SIMULATED_CLIENT), client_library(), ec);
        EXPECT_FALSE(ec) << "cannot copy " << SIMULATED_CLIENT << ": " << ec.message();
        std::ofstream(home_->path() + "/.steam/steam.pid") << ::getpid();
    }

    Runtime runtime() const { return runtime_; }
    std::string home() const { return home_ ? home_->path() : ""; }
    std::string client_library() const { return home() + "/.steam/sdk64/steamclient.so"; }

    // Adds this runtime's settings to `spawn` and drops the scripting variables.
    void apply(Spawn& spawn) const {
        std::vector<std::string> scripting = scripting_variables();
        spawn.unset_env.insert(spawn.unset_env.end(), scripting.begin(), scripting.end());
        spawn.env["LD_BIND_NOW"] = "1";
        if (runtime_ == Runtime::Real) {
            spawn.env["LD_LIBRARY_PATH"] = VANDREL_REAL_RUNTIME_DIR;
            spawn.env["HOME"] = home();
        } else {
            spawn.unset_env.emplace_back("LD_LIBRARY_PATH");
        }
    }

    // The lines by which a runtime shows, at each initialisation, that it was
    // the one in use.
    std::vector<std::string> announcement() const {
        if (runtime_ == Runtime::Real)
            return {"[S_API] SteamAPI_Init(): Loaded '" + client_library() + "' OK.",
                    "steamclient simulation: not Steam"};
        return {"libsteam_api stand-in: not Steam"};
    }

    // Each line of the announcement occurs at least once in `lines`: this
    // runtime, and not the other, was in use.
    void expect_in_use(const std::vector<std::string>& lines) const {
        for (const auto& line : announcement())
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
                << line << "\n"
                << ::testing::PrintToString(lines);
    }

    // Each line of the announcement occurs `times` times in `lines`.
    void expect_announced(const std::vector<std::string>& lines, long times) const {
        for (const auto& line : announcement())
            EXPECT_EQ(std::count(lines.begin(), lines.end(), line), times)
                << line << "\n"
                << ::testing::PrintToString(lines);
    }

  private:
    Runtime runtime_;
    std::unique_ptr<TempDir> home_;
};

Runtime runtime_of(Runtime runtime) {
    return runtime;
}

// A test against one runtime; a real-runtime test skips when the runtime
// could not be fetched (a checksum mismatch already fails the fixture test).
template <class Param>
class OnRuntime : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        if (runtime_of(this->GetParam()) == Runtime::Real && !fs::exists(REAL_RUNTIME))
            GTEST_SKIP() << REAL_RUNTIME << " is missing: scripts/fetch-steam-runtime could not "
                         << "fetch the real runtime (the ctest fixture fetch_steam_runtime does)";
        steam_ = std::make_unique<SteamSetup>(runtime_of(this->GetParam()));
    }
    const SteamSetup& steam() const { return *steam_; }
    Runtime runtime() const { return steam_->runtime(); }

  private:
    std::unique_ptr<SteamSetup> steam_;
};

// --- Frames ------------------------------------------------------------------

Bytes ready_message(std::uint64_t id) {
    Bytes out = bytes_of("ready ");
    append_le(out, id, 8);
    return out;
}

Bytes ticket_reply(const Bytes& ticket, std::uint64_t id) {
    Bytes out = bytes_of("ok ");
    append_le(out, id, 8);
    append_le(out, ticket.size(), 4);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

// The first `written` bytes of the deterministic ticket, then the zeros of
// the child's buffer up to `total`.
Bytes padded_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t written,
                    std::size_t total) {
    Bytes out = standin_ticket(ip, port, sid, written);
    out.resize(total, 0);
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

// ============================================================================
// The child over its pipes
// ============================================================================

// Every byte distinct, so a byte-order mistake cannot go unnoticed.
constexpr std::uint64_t CHILD_STEAM_ID = 0x8877665544332211ULL;
// The server most child requests name: 10.0.0.5:27015.
constexpr std::uint32_t SERVER_IP = (10u << 24) | 5u;
constexpr std::uint16_t SERVER_PORT = 27015;

// How a child ended: its exit status and every standard-error line.
struct Ending {
    std::optional<int> status;
    std::vector<std::string> lines;
};

// One `vandrel --child` process on one runtime, with a TMPDIR and a call log
// of its own, each in a fresh temporary directory; killed at destruction if
// still running.
class Child {
  public:
    explicit Child(const SteamSetup& steam, Env env = {}, std::string appid = "480",
                   std::optional<std::string> tmpdir = std::nullopt)
        : process_(options(steam, std::move(env), std::move(appid), std::move(tmpdir))) {}

    Process& process() { return process_; }
    const std::string& tmpdir() const { return tmp_.path(); }
    std::string call_log_path() const { return logs_.path() + "/calls.log"; }
    std::vector<std::string> calls() const { return file_lines(call_log_path()); }

    void send(const Bytes& payload) { write_bytes(process_.stdin_fd(), frame_of(payload)); }
    std::optional<Bytes> next_frame() { return read_frame(process_.stdout_fd(), REPLY_TIMEOUT); }
    std::optional<Bytes> ask(std::string_view payload) {
        send(bytes_of(payload));
        return next_frame();
    }

    // The next "[vandrel] " line, skipping the runtime's own lines.
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
    Spawn options(const SteamSetup& steam, Env env, std::string appid,
                  std::optional<std::string> tmpdir) {
        // A write to a child that has already ended must fail, not end the tests.
        std::signal(SIGPIPE, SIG_IGN);
        Spawn spawn;
        spawn.args = {"--child", std::move(appid)};
        steam.apply(spawn);
        spawn.env["TMPDIR"] = tmpdir.value_or(tmp_.path());
        spawn.env["VANDREL_STANDIN_CALL_LOG"] = call_log_path();
        spawn.env["VANDREL_STANDIN_STEAM_ID"] = std::to_string(CHILD_STEAM_ID);
        for (auto& [name, value] : env)
            spawn.env[name] = std::move(value);
        return spawn;
    }

    TempDir tmp_;
    TempDir logs_;
    Process process_; // last, so the process is gone before the directories
};

std::vector<std::string> log_lines(const std::vector<std::string>& lines) {
    return lines_starting(lines, LOG_PREFIX);
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
std::string start(Child& child, std::uint64_t id = CHILD_STEAM_ID) {
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
                std::to_string(CHILD_STEAM_ID)};
}

// The Steam calls (background calls excluded) made since `seen`.
std::vector<std::string> new_steam_calls(Runtime runtime, const Child& child, std::size_t& seen) {
    std::vector<std::string> all = steam_calls(runtime, child.calls());
    std::vector<std::string> fresh;
    if (all.size() > seen)
        fresh.assign(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
}

// The child shut Steam down exactly once, as its last Steam call, and the
// runtime saw no misuse.
void expect_clean_shutdown(Runtime runtime, const std::vector<std::string>& calls) {
    EXPECT_EQ(lines_starting(calls, "ERROR "), std::vector<std::string>{});
    std::vector<std::string> steam = steam_calls(runtime, calls);
    ASSERT_FALSE(steam.empty());
    EXPECT_EQ(steam.back(), shutdown_call(runtime));
    EXPECT_EQ(std::count(steam.begin(), steam.end(), shutdown_call(runtime)), 1);
}

class ChildE2E : public OnRuntime<Runtime> {};

TEST_P(ChildE2E, AnnouncesReadinessWritesTheAppidFileAndCleansUpWhenThePipeCloses) {
    // '+0480' is AppID 480: the file and the directory name carry '480'.
    Child child(steam(), Env{}, "+0480");
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());

    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(read_file(dir + "/steam_appid.txt"), "480");

    // Steam found AppID 480 in the working directory and was asked in this
    // order. The real runtime makes calls of its own between ours, so only
    // the order of ours is checked there.
    std::vector<std::string> calls = child.calls();
    if (runtime() == Runtime::StandIn) {
        EXPECT_EQ(steam_calls(runtime(), calls), (std::vector<std::string>{
                                                     init_call(runtime(), 480),
                                                     "SteamAPI_ManualDispatch_Init",
                                                     "SteamAPI_SteamUser_v023",
                                                     steam_id_call(runtime(), CHILD_STEAM_ID),
                                                     "SteamAPI_SteamUtils_v010",
                                                     "SteamAPI_ISteamUtils_GetAppID appid=480",
                                                 }));
    } else {
        EXPECT_EQ(lines_starting(calls, init_prefix(runtime())),
                  std::vector<std::string>{init_call(runtime(), 480)});
        EXPECT_TRUE(in_order(
            calls, {init_call(runtime(), 480),
                    "steamclient GetISteamGenericInterface user=1 pipe=1 version=SteamUser023 "
                    "found=1",
                    steam_id_call(runtime(), CHILD_STEAM_ID),
                    "steamclient GetISteamGenericInterface user=0 pipe=1 version=SteamUtils010 "
                    "found=1",
                    "steamclient GetAppID appid=480"}))
            << ::testing::PrintToString(calls);
    }

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
    steam().expect_announced(end.lines, 1);
    EXPECT_EQ(lines_starting(end.lines, misuse_prefix(runtime())), std::vector<std::string>{});
    expect_clean_shutdown(runtime(), child.calls());
}

// A conn request that yields a ticket of the default 240 bytes.
struct TicketCase {
    std::string request;
    std::string address; // in the log line's standard form
    std::uint32_t ip;    // host order
    std::uint16_t port;
    std::uint64_t sid;
    bool secure;
};

TEST_P(ChildE2E, ConnAndTermAnswersLogLinesAndSteamCalls) {
    Child child(steam());
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::vector<std::string> expected_log = startup_lines(dir);
    std::size_t seen = steam_calls(runtime(), child.calls()).size();

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
        Bytes ticket = standin_ticket(c.ip, c.port, c.sid, DEFAULT_TICKET_LEN);
        std::optional<Bytes> reply = child.ask(c.request);
        EXPECT_EQ(reply, ticket_reply(ticket, CHILD_STEAM_ID)) << show(reply);
        EXPECT_EQ(new_steam_calls(runtime(), child, seen),
                  (std::vector<std::string>{initiate_call(c.sid, c.ip, c.port, c.secure, 240, 240),
                                            steam_id_call(runtime(), CHILD_STEAM_ID)}));
        expected_log.push_back("[vandrel] child: initiate_game_connection " + c.address + " sid=" +
                               std::to_string(c.sid) + " secure=" + (c.secure ? "true" : "false"));
        expected_log.emplace_back("[vandrel] child: ticket 240 bytes");
    }

    for (std::string request : {"conn", "conn localhost:27015", "conn 10.0.0.5", "conn [::1]:27015",
                                "conn 10.0.0.5:27015:1", "conn 256.0.0.5:27015"}) {
        SCOPED_TRACE(request);
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of("err bad server address")) << show(reply);
        EXPECT_EQ(new_steam_calls(runtime(), child, seen), std::vector<std::string>{});
    }

    for (std::string request : {"term", "term nonsense", "term 10.0.0.5"}) {
        SCOPED_TRACE(request);
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of("ok")) << show(reply);
        EXPECT_EQ(new_steam_calls(runtime(), child, seen), std::vector<std::string>{});
    }
    std::optional<Bytes> reply = child.ask("term 10.0.0.5:27015");
    EXPECT_EQ(reply, bytes_of("ok")) << show(reply);
    EXPECT_EQ(new_steam_calls(runtime(), child, seen),
              std::vector<std::string>{terminate_call(SERVER_IP, SERVER_PORT)});
    expected_log.emplace_back("[vandrel] child: terminate_game_connection 10.0.0.5:27015");

    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    expected_log.emplace_back(CLOSED_LINE);
    // Bad addresses and term without a valid address log nothing at all.
    EXPECT_EQ(log_lines(end.lines), expected_log);
    EXPECT_FALSE(fs::exists(dir));
    expect_clean_shutdown(runtime(), child.calls());
}

// One conn request against a runtime scripted by `env`, in a child of its own.
struct ScriptedTicket {
    std::string name;
    Env env;
    long long written; // bytes the runtime writes
    long long result;  // what it returns
    // The ticket the child hands on: `derived` deterministic bytes of
    // `total`, or no ticket (a refusal) when total is 0.
    std::size_t derived;
    std::size_t total;
};

TEST_P(ChildE2E, TicketLengthsAsTheChildSeesThem) {
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
        Child child(steam(), c.env);
        std::string dir = start(child);
        ASSERT_FALSE(dir.empty());
        std::size_t seen = steam_calls(runtime(), child.calls()).size();

        std::optional<Bytes> reply = child.ask("conn 10.0.0.5:27015 42 1");
        std::vector<std::string> expected_calls = {
            initiate_call(42, SERVER_IP, SERVER_PORT, true, c.written, c.result)};
        std::vector<std::string> expected_log = startup_lines(dir);
        expected_log.emplace_back(
            "[vandrel] child: initiate_game_connection 10.0.0.5:27015 sid=42 secure=true");
        if (c.total == 0) {
            EXPECT_EQ(reply, bytes_of("err steam refused to issue an auth ticket")) << show(reply);
        } else {
            Bytes ticket = padded_ticket(SERVER_IP, SERVER_PORT, 42, c.derived, c.total);
            EXPECT_EQ(reply, ticket_reply(ticket, CHILD_STEAM_ID)) << show(reply);
            expected_calls.push_back(steam_id_call(runtime(), CHILD_STEAM_ID));
            expected_log.push_back("[vandrel] child: ticket " + std::to_string(c.total) + " bytes");
        }
        EXPECT_EQ(new_steam_calls(runtime(), child, seen), expected_calls);

        Ending end = child.finish();
        EXPECT_EQ(end.status, 0);
        expected_log.emplace_back(CLOSED_LINE);
        EXPECT_EQ(log_lines(end.lines), expected_log);
    }
}

TEST_P(ChildE2E, RequestsQueuedBeforeThePipeClosesAreAllAnswered) {
    // Written at once after readiness, and also before it: requests wait in
    // the pipe until the reader starts, and end of input comes only after them.
    for (bool before_ready : {false, true}) {
        SCOPED_TRACE(before_ready ? "written before readiness" : "written after readiness");
        Child child(steam());
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
        EXPECT_EQ(ticket,
                  ticket_reply(standin_ticket(SERVER_IP, SERVER_PORT, 5, 240), CHILD_STEAM_ID))
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
        expect_clean_shutdown(runtime(), child.calls());
    }
}

TEST_P(ChildE2E, AReplyAboveTheFrameLimitIsFatalShutsSteamDownAndCleansUp) {
    Child child(steam());
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
    expect_clean_shutdown(runtime(), child.calls());
}

TEST_P(ChildE2E, AMissingTmpdirIsFatalBeforeSteamIsCalled) {
    TempDir parent;
    const std::string missing = parent.path() + "/missing";
    Child child(steam(), Env{}, "480", missing);
    EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
    Ending end = child.finish();
    EXPECT_EQ(end.status, 1);
    // Loading the runtime, with every symbol bound, writes nothing either.
    EXPECT_EQ(end.lines, std::vector<std::string>{
                             "[vandrel] fatal: io error, No such file or directory (os error 2)"});
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(child.call_log_path())) << "Steam was called";
}

TEST_P(ChildE2E, TextTheRuntimePrintsToStdoutGoesToStandardError) {
    // It even starts like a frame, which a shared standard output would turn
    // into a corrupt stream.
    const std::string chatter = "VDRL\x05 chatter from the runtime";
    Child child(steam(), Env{{"VANDREL_STANDIN_INIT_STDOUT", chatter + "\n"}});
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::optional<Bytes> reply = child.ask("conn 10.0.0.5:27015 9 0");
    EXPECT_EQ(reply, ticket_reply(standin_ticket(SERVER_IP, SERVER_PORT, 9, 240), CHILD_STEAM_ID))
        << show(reply);
    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(std::count(end.lines.begin(), end.lines.end(), chatter), 1)
        << ::testing::PrintToString(end.lines);
    steam().expect_announced(end.lines, 1);
}

TEST_P(ChildE2E, EveryCallbackIsFreedOnceAndIdleChildrenKeepPumping) {
    Child child(steam(), Env{{"VANDREL_STANDIN_CALLBACKS", "703,100,703"}});
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());

    auto run_frames = [&] {
        return lines_starting(child.calls(), run_frame_prefix(runtime())).size();
    };
    auto before = run_frames();
    std::this_thread::sleep_for(300ms);
    // Nominally six turns of the 50 ms loop; three leave room for a busy machine.
    EXPECT_GE(run_frames() - before, 3u);

    for (std::string request : {"term 10.0.0.5:27015", "conn 10.0.0.5:27015", "bogus"})
        EXPECT_TRUE(child.ask(request).has_value()) << request;
    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);

    // The deliveries, completed-call fetches and frees, in the order made.
    std::vector<std::string> calls = child.calls();
    std::vector<std::string> events;
    std::vector<std::string> fetches;
    for (const auto& line : calls) {
        if (line.starts_with(NEXT_CALLBACK) && field(line, "result") == "1") {
            events.push_back("next " + field(line, "callback") + " " + field(line, "index"));
        } else if (line.starts_with(CALL_RESULT)) {
            events.push_back("fetch " + field(line, "call") + " " + field(line, "size") + " " +
                             field(line, "expected"));
            fetches.push_back(line);
        } else if (line.starts_with(FREE_CALLBACK)) {
            events.push_back("free " + field(line, "callback") + " " + field(line, "index"));
        }
    }
    // The completed-call handles of the first initialisation: the top bit,
    // generation 1 in the upper half, and the queue index + 1.
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
    expect_clean_shutdown(runtime(), calls);
}

INSTANTIATE_TEST_SUITE_P(StandIn, ChildE2E, ::testing::Values(Runtime::StandIn),
                         [](const auto& info) { return runtime_name(info.param); });
INSTANTIATE_TEST_SUITE_P(Real, ChildE2E, ::testing::Values(Runtime::Real),
                         [](const auto& info) { return runtime_name(info.param); });

// A Steam initialisation failure as the child reports it. The stand-in is
// told its code and message; the real runtime chooses its own from what the
// simulated client fails to do.
struct ChildInitCase {
    Runtime runtime;
    const char* name;
    Env env;
    std::string frame;
    std::string fatal;
    // The whole call log: nothing of ours follows the failed initialisation.
    std::vector<std::string> calls;
};

Runtime runtime_of(const ChildInitCase& c) {
    return c.runtime;
}
void PrintTo(const ChildInitCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string FATAL_GENERIC = "[vandrel] fatal: steam api error, Some other failure";
const std::string FATAL_NO_STEAM =
    "[vandrel] fatal: steam api error, We cannot connect to Steam, steam probably isn't running";
const std::string FATAL_VERSION =
    "[vandrel] fatal: steam api error, Steam client appears to be out of date";

// The look-up of the client object that begins every initialisation of the
// real runtime: it asks for an older interface version first.
const std::vector<std::string> CLIENT_INTERFACE_CALLS = {
    "steamclient CreateInterface version=SteamClient017 found=0",
    "steamclient CreateInterface version=SteamClient021 found=1",
};

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const ChildInitCase STANDIN_CHILD_INIT_CASES[] = {
    {Runtime::StandIn,
     "Generic",
     {{"VANDREL_STANDIN_INIT_RESULT", "1"}, {"VANDREL_STANDIN_INIT_MESSAGE", "plain failure text"}},
     "err steam init failed: Generic(\"plain failure text\")",
     FATAL_GENERIC,
     {"SteamAPI_InitFlat zeroed=1 result=1 appid=0"}},
    {Runtime::StandIn,
     "NoSteamClient",
     {{"VANDREL_STANDIN_INIT_RESULT", "2"}, {"VANDREL_STANDIN_INIT_MESSAGE", "no \"steam\" here"}},
     "err steam init failed: NoSteamClient(\"no \\\"steam\\\" here\")",
     FATAL_NO_STEAM,
     {"SteamAPI_InitFlat zeroed=1 result=2 appid=0"}},
    // 'a', an invalid byte, a tab, 'b', and a sequence cut short at the end.
    {Runtime::StandIn,
     "VersionMismatch",
     {{"VANDREL_STANDIN_INIT_RESULT", "3"}, {"VANDREL_STANDIN_INIT_MESSAGE_HEX", "61ff0962e282"}},
     "err steam init failed: VersionMismatch(\"a\xef\xbf\xbd\\tb\xef\xbf\xbd\")",
     FATAL_VERSION,
     {"SteamAPI_InitFlat zeroed=1 result=3 appid=0"}},
};

// After each failure the runtime cleans up on its own; without a user it
// releases the pipe twice, the second time to no effect.
const ChildInitCase REAL_CHILD_INIT_CASES[] = {
    {Runtime::Real,
     "NoUser",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_user"}},
     "err steam init failed: Generic(\"ConnectToGlobalUser failed.\")",
     FATAL_GENERIC,
     joined(CLIENT_INTERFACE_CALLS,
            {"steamclient CreateSteamPipe pipe=1", "steamclient ConnectToGlobalUser pipe=1 user=0",
             "steamclient BReleaseSteamPipe pipe=1 result=1",
             "steamclient BReleaseSteamPipe pipe=1 result=0",
             "steamclient BShutdownIfAllPipesClosed result=1"})},
    {Runtime::Real,
     "NoPipe",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_pipe"}},
     "err steam init failed: NoSteamClient(\"Cannot create IPC pipe to Steam client process.  "
     "Steam is probably not running.\")",
     FATAL_NO_STEAM,
     joined(CLIENT_INTERFACE_CALLS,
            {"steamclient CreateSteamPipe pipe=0", "steamclient ConnectToGlobalUser pipe=0 user=0",
             "steamclient BShutdownIfAllPipesClosed result=1"})},
    {Runtime::Real,
     "NoUtilsInterface",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_utils_interface"}},
     "err steam init failed: VersionMismatch(\"No SteamUtils010\")",
     FATAL_VERSION,
     joined(CLIENT_INTERFACE_CALLS,
            {"steamclient CreateSteamPipe pipe=1",
             "steamclient ConnectToGlobalUser pipe=1 user=1 appid=480",
             "steamclient GetISteamGenericInterface user=0 pipe=1 version=SteamUtils010 found=0",
             "steamclient NotifyMissingInterface pipe=1 version=SteamUtils010",
             "steamclient ReleaseUser pipe=1 user=1",
             "steamclient BReleaseSteamPipe pipe=1 result=1",
             "steamclient BShutdownIfAllPipesClosed result=1"})},
};

class ChildInitFailure : public OnRuntime<ChildInitCase> {};

TEST_P(ChildInitFailure, IsReportedInAFrameThenFatal) {
    const ChildInitCase& c = GetParam();
    Child child(steam(), c.env);
    std::optional<Bytes> frame = child.next_frame();
    EXPECT_EQ(frame, bytes_of(c.frame)) << show(frame);
    EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT));
    Ending end = child.finish();
    EXPECT_EQ(end.status, 1);
    std::vector<std::string> lines = log_lines(end.lines);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(end.lines);
    std::string dir = scratch_of(lines[0], child.tmpdir());
    EXPECT_EQ(lines[1], c.fatal);
    EXPECT_FALSE(dir.empty() || fs::exists(dir)) << dir;
    EXPECT_TRUE(dir_is_empty(child.tmpdir()));
    EXPECT_EQ(child.calls(), c.calls);
}

INSTANTIATE_TEST_SUITE_P(StandIn, ChildInitFailure, ::testing::ValuesIn(STANDIN_CHILD_INIT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Real, ChildInitFailure, ::testing::ValuesIn(REAL_CHILD_INIT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// The real runtime on a machine without any Steam client: it cannot load one.
class RealSteamWithoutClient : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(REAL_RUNTIME))
            GTEST_SKIP() << REAL_RUNTIME << " is missing: scripts/fetch-steam-runtime could not "
                         << "fetch the real runtime (the ctest fixture fetch_steam_runtime does)";
    }
};

TEST_F(RealSteamWithoutClient, TheChildSendsTheRuntimesMessageAndLeavesNoScratch) {
    TempDir home;
    TempDir tmp;
    TempDir logs;
    Spawn spawn;
    spawn.args = {"--child", "480"};
    spawn.unset_env = scripting_variables();
    spawn.env = {{"LD_BIND_NOW", "1"},
                 {"LD_LIBRARY_PATH", VANDREL_REAL_RUNTIME_DIR},
                 {"HOME", home.path()},
                 {"TMPDIR", tmp.path()},
                 {"VANDREL_STANDIN_CALL_LOG", logs.path() + "/calls.log"}};
    Process child(spawn);

    const std::string library = home.path() + "/.steam/sdk64/steamclient.so";
    std::optional<Bytes> frame = read_frame(child.stdout_fd(), REPLY_TIMEOUT);
    EXPECT_EQ(frame, bytes_of("err steam init failed: Generic(\"Failed to load module '" + library +
                              "'\")"))
        << show(frame);
    EXPECT_TRUE(reads_eof(child.stdout_fd(), REPLY_TIMEOUT));
    child.close_stdin();
    std::vector<std::string> all = child.rest_of_lines(REPLY_TIMEOUT);
    EXPECT_EQ(child.wait_exit(REPLY_TIMEOUT), 1);

    std::vector<std::string> lines = log_lines(all);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(all);
    std::string dir = scratch_of(lines[0], tmp.path());
    EXPECT_EQ(lines[1], FATAL_GENERIC);
    EXPECT_FALSE(dir.empty() || fs::exists(dir)) << dir;
    EXPECT_TRUE(dir_is_empty(tmp.path()));
    // It was the real runtime that tried, and nothing was loaded that logs.
    EXPECT_NE(std::find(all.begin(), all.end(),
                        "[S_API] SteamAPI_Init(): Failed to load module '" + library + "'"),
              all.end())
        << ::testing::PrintToString(all);
    EXPECT_FALSE(fs::exists(logs.path() + "/calls.log"));
    EXPECT_TRUE(dir_is_empty(home.path())) << "the runtime wrote into HOME";
}

// ============================================================================
// The broker over TCP and stdio, with its children on the same runtime
// ============================================================================

constexpr std::uint64_t USER_STEAM_ID = 76561198012345678ULL;
// 1.2.3.4 and 5.6.7.8 as host-order integers, the form the Steam calls take.
constexpr std::uint32_t IP_1_2_3_4 = 0x01020304;
constexpr std::uint32_t IP_5_6_7_8 = 0x05060708;

std::string ready_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " ready, steamid " +
           std::to_string(USER_STEAM_ID);
}

std::string reaped_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " reaped";
}

std::string broker_initiate(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                            std::size_t len = DEFAULT_TICKET_LEN) {
    const auto n = static_cast<long long>(len);
    return initiate_call(sid, ip, port, secure, n, n);
}

// The reply a client must get for a ticket of the runtime's.
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
// lines is not what a test checks.
bool is_child_or_fatal(std::string_view line) {
    return is_child_line(line) || line.starts_with("[vandrel] fatal: ");
}

bool process_exists(pid_t pid) {
    return fs::exists("/proc/" + std::to_string(pid));
}

// Waits until every thread of `pid` has ended, so that its descriptors are
// closed: the main thread is a zombie and no other thread is left.
bool wait_dead(pid_t pid, Clock::duration limit) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        std::string stat = read_file(proc + "/stat");
        auto close = stat.rfind(')');
        if (stat.empty())
            return true;
        std::error_code ec;
        auto tasks =
            std::distance(fs::directory_iterator(proc + "/task", ec), fs::directory_iterator());
        if (close != std::string::npos && stat.substr(close + 2, 1) == "Z" && tasks == 1)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// One broker's environment on a runtime: a private TMPDIR for the children's
// scratch directories and a private call log.
class Broker {
  public:
    explicit Broker(const SteamSetup& steam) : steam_(steam) {}

    Spawn spawn(std::vector<std::string> args, const Env& extra) const {
        Spawn options;
        options.args = std::move(args);
        steam_.apply(options);
        options.env["TMPDIR"] = dir_.path();
        options.env["VANDREL_STANDIN_CALL_LOG"] = call_log();
        options.env["VANDREL_STANDIN_STEAM_ID"] = std::to_string(USER_STEAM_ID);
        for (const auto& [k, v] : extra)
            options.env[k] = v;
        return options;
    }
    std::string call_log() const { return dir_.path() + "/calls.log"; }
    std::vector<std::string> calls(std::string_view prefix) const {
        return file_lines(call_log(), prefix);
    }
    const SteamSetup& steam() const { return steam_; }

  private:
    const SteamSetup& steam_;
    TempDir dir_;
};

// One client session with a broker of its own, over TCP or over stdio.
class Client {
  public:
    static std::unique_ptr<Client> tcp(const SteamSetup& steam, const Env& env = {}) {
        auto c = std::unique_ptr<Client>(new Client(steam));
        c->tcp_ = std::make_unique<TcpBroker>(c->broker_.spawn({"127.0.0.1:0"}, env));
        c->socket_ = c->tcp_->connect();
        c->in_ = c->out_ = c->socket_.get();
        c->expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(c->in_))});
        return c;
    }
    static std::unique_ptr<Client> stdio(const SteamSetup& steam, const Env& env = {}) {
        auto c = std::unique_ptr<Client>(new Client(steam));
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
    // Activates cstrike and returns the child's process ID. The child's
    // runtime announced itself before it was ready.
    pid_t activate_cstrike() {
        command("vd_gamedir cstrike",
                {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
        broker_.steam().expect_in_use(process().lines());
        return only_child();
    }
    // The broker's one child process, or -1 when there is not exactly one.
    pid_t only_child() {
        std::vector<pid_t> children = child_pids(process().pid());
        EXPECT_EQ(children.size(), 1u);
        return children.size() == 1 ? children[0] : -1;
    }

  private:
    explicit Client(const SteamSetup& steam) : broker_(steam) {}

    Broker broker_;
    std::unique_ptr<TcpBroker> tcp_;
    std::unique_ptr<Process> stdio_;
    Fd socket_;
    int in_ = -1;
    int out_ = -1;
};

class BrokerE2E : public OnRuntime<Runtime> {};

TEST_P(BrokerE2E, SwitchingGamesReplacesTheChild) {
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

TEST_P(BrokerE2E, TicketReplyLayout) {
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

TEST_P(BrokerE2E, ShortestAndLongestTickets) {
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

TEST_P(BrokerE2E, TicketReplyOverStdio) {
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

TEST_P(BrokerE2E, RefusedTicketSendsNothing) {
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

TEST_P(BrokerE2E, ChallengeDecidesAndTermNamesTheCommandsAddress) {
    auto c = Client::tcp(steam());
    c->activate_cstrike();
    c->command("vd_connect 1.2.3.4:27015 1 1 77", {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    c->command("vd_disconnect 1.2.3.4:27015 78", {"command error: challenge mismatch"});
    c->sync();
    EXPECT_TRUE(c->broker().calls(TERMINATE).empty()) << "a failed disconnect ends nothing";

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

TEST_P(BrokerE2E, PeerCloseEndsTheDanglingTicketAndReapsTheChild) {
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
    Fd next = c->tcp_broker().connect();
    c->expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(next.get()))});
    write_bytes(next.get(), frame_of("vd_connect 1.2.3.4:27015 1 1 77"));
    c->expect({"<- vd_connect", "command error: session not active"});
    write_bytes(next.get(), frame_of("vd_gamedir cstrike"));
    c->expect({"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    EXPECT_EQ(c->broker().calls(init_prefix(runtime())),
              (std::vector<std::string>{init_call(runtime(), 10), init_call(runtime(), 10)}));
}

TEST_P(BrokerE2E, PeerCloseOverStdio) {
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

TEST_P(BrokerE2E, TerminateCleansUpThenStopsTheBroker) {
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

TEST_P(BrokerE2E, TerminateOverStdioReadsNoFurtherFrame) {
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

TEST_P(BrokerE2E, KilledChildFailsRequestsAndTheBrokerServesOn) {
    auto c = Client::tcp(steam());
    pid_t child = c->activate_cstrike();
    ASSERT_GT(child, 0);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_TRUE(wait_dead(child, LINE_TIMEOUT));
    // Nobody reads the request pipe any more.
    c->command("vd_connect 1.2.3.4:27015 1 1 77",
               {"command error: send error, Broken pipe (os error 32)"});
    c->command("vd_gamedir valve", {"switching appid 10 -> 70", reaped_line(10),
                                    "activating gamedir \"valve\" (appid 70)", ready_line(70)});
    c->command("vd_connect 1.2.3.4:27015 1 1 79", {"-> ticket 240 bytes for challenge 79"});
    std::optional<Bytes> reply = c->reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, expected_reply(79, IP_1_2_3_4, 27015, 1));
}

TEST_P(BrokerE2E, ChildInheritsNoSocket) {
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
}

INSTANTIATE_TEST_SUITE_P(StandIn, BrokerE2E, ::testing::Values(Runtime::StandIn),
                         [](const auto& info) { return runtime_name(info.param); });
INSTANTIATE_TEST_SUITE_P(Real, BrokerE2E, ::testing::Values(Runtime::Real),
                         [](const auto& info) { return runtime_name(info.param); });

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
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Real, BrokerInitFailure, ::testing::ValuesIn(REAL_BROKER_INIT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vandrel::test
