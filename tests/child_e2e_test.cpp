// The built program in child mode (`vandrel --child <appid>`), run as a
// subprocess over its pipes: readiness, the request protocol, the scratch
// directory, failures and exit statuses, and what the child asked of Steam.
// Most cases run against either Steam runtime: the stand-in, and Steam's real
// one (the redistributable libsteam_api.so that scripts/fetch-steam-runtime
// installs), checking the same frames, log lines and Steam calls against both.
// The last cases are those only the stand-in can be scripted for.
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
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

namespace vandrel::test {
namespace {

namespace fs = std::filesystem;

class ChildOverPipes : public OnRuntime<Runtime> {};

TEST_P(ChildOverPipes, AnnouncesReadinessWritesTheAppidFileAndCleansUpWhenThePipeCloses) {
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

// Steam's own signals that it has gone end the child: one line says why,
// Steam is shut down, the directory removed. A request that comes as Steam
// goes is left unanswered and never reaches Steam: the broker, seeing the
// child end, asks a new one.
TEST_P(ChildOverPipes, EndsWhenSteamGoesAway) {
    struct Case {
        Env env;
        std::string line;
    };
    TempDir steam_dir;
    const std::string running = steam_dir.path() + "/running";
    const Case cases[] = {
        {{{"VANDREL_STANDIN_CALLBACKS", "704:1"}}, "shutdown"},
        {{{"VANDREL_STANDIN_CALLBACKS", "117:1"}}, "IPC failure"},
        {{{"VANDREL_STANDIN_RUNNING_FILE", running}}, "shutdown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.begin()->second);
        std::ofstream(running).close();
        Child child(steam(), c.env);
        std::string dir = start(child);
        ASSERT_FALSE(dir.empty());
        // A scripted signal comes at the child's first pump, so the child
        // may have gone before the request is written: a broken pipe then.
        if (fs::remove(running))
            (void)write_all_fd(child.process().stdin_fd(),
                               frame_of(bytes_of("conn 10.0.0.5:27015 1 1")));
        EXPECT_TRUE(reads_eof(child.process().stdout_fd(), REPLY_TIMEOUT)) << "no answer";
        Ending end = child.finish();
        EXPECT_EQ(end.status, 0);
        std::vector<std::string> expected = startup_lines(dir);
        expected.push_back("[vandrel] child: steam went away (" + c.line + "), exiting");
        EXPECT_EQ(log_lines(end.lines), expected);
        EXPECT_FALSE(fs::exists(dir)) << dir;
        EXPECT_TRUE(lines_starting(child.calls(), INITIATE).empty());
        expect_clean_shutdown(runtime(), child.calls());
    }
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

TEST_P(ChildOverPipes, ConnAndTermAnswersLogLinesAndSteamCalls) {
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

TEST_P(ChildOverPipes, TicketLengthsAsTheChildSeesThem) {
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

TEST_P(ChildOverPipes, RequestsQueuedBeforeThePipeClosesAreAllAnswered) {
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

TEST_P(ChildOverPipes, AReplyAboveTheFrameLimitIsFatalShutsSteamDownAndCleansUp) {
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

TEST_P(ChildOverPipes, AMissingTmpdirIsFatalBeforeSteamIsCalled) {
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

TEST_P(ChildOverPipes, TextTheRuntimePrintsToStdoutGoesToStandardError) {
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

TEST_P(ChildOverPipes, EveryCallbackIsFreedOnceAndIdleChildrenKeepPumping) {
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

INSTANTIATE_TEST_SUITE_P(StandIn, ChildOverPipes, ::testing::Values(Runtime::StandIn),
                         instance_name);
INSTANTIATE_TEST_SUITE_P(Real, ChildOverPipes, ::testing::Values(Runtime::Real), instance_name);

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
                         case_name<ChildInitCase>);
INSTANTIATE_TEST_SUITE_P(Real, ChildInitFailure, ::testing::ValuesIn(REAL_CHILD_INIT_CASES),
                         case_name<ChildInitCase>);

// The real runtime on a machine without any Steam client: it cannot load one.
class RealSteamWithoutClient : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string why = real_runtime_missing(); !why.empty())
            GTEST_SKIP() << why;
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
                 {"LD_LIBRARY_PATH", real_steam().runtime_dir},
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
// What only the stand-in can be scripted for
// ============================================================================

TEST(ChildRequests, UnknownWordsAreQuotedAndBadTextIsRefused) {
    Child child(standin());
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::size_t seen = steam_calls(Runtime::StandIn, child.calls()).size();

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
        EXPECT_EQ(new_steam_calls(Runtime::StandIn, child, seen), std::vector<std::string>{});
    }

    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    std::vector<std::string> expected_log = startup_lines(dir);
    expected_log.emplace_back(CLOSED_LINE);
    EXPECT_EQ(log_lines(end.lines), expected_log);
}

} // namespace
} // namespace vandrel::test
