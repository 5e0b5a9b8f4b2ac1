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
#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

const std::string REAL_RUNTIME = std::string(VANDREL_REAL_RUNTIME_DIR) + "/libsteam_api.so";
constexpr std::string_view SIMULATED_CLIENT = VANDREL_STEAMCLIENT_SO;

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
        if (runtime_of(this->GetParam()) == Runtime::Real)
            steam_ = std::make_unique<SteamSetup>(
                RealSteam{VANDREL_REAL_RUNTIME_DIR, std::string(SIMULATED_CLIENT)});
        else
            steam_ = std::make_unique<SteamSetup>();
    }
    const SteamSetup& steam() const { return *steam_; }
    Runtime runtime() const { return steam_->runtime(); }

  private:
    std::unique_ptr<SteamSetup> steam_;
};

// ============================================================================
// The child over its pipes
// ============================================================================

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
