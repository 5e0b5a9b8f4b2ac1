// The binding layer against Steam's real runtime (the redistributable
// libsteam_api.so that scripts/fetch-steam-runtime installs) and our simulated
// Steam client library, which the runtime loads from $HOME/.steam/sdk64.
//
// Steam initialisation is process-wide, so every scenario runs in a forked
// child: it points HOME at a sandbox, changes into a directory holding
// steam_appid.txt, initialises, checks, and sends its failed checks to the
// parent through a pipe. The parent then reads what the runtime forwarded to
// the simulated client from the call log.
#include "base/addr.hpp"
#include "base/error.hpp"
#include "base/fd.hpp"
#include "e2e.hpp"
#include "steam/client.hpp"
#include "steam/flat.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vandrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steam::Client;
using Kind = SteamAPIInitError::Kind;
using Env = std::vector<std::pair<std::string, std::string>>;

const std::string REAL_RUNTIME = test::real_steam().runtime_dir + "/libsteam_api.so";
const std::string SIMULATED_CLIENT = test::real_steam().simulated_client;
constexpr auto SCENARIO_TIMEOUT = 30s;

constexpr std::uint32_t APP_ID = 10;
constexpr std::uint64_t USER_STEAM_ID = 76561198000000042ULL;
// The simulated client's Steam ID when none is scripted, the stand-in's.
constexpr std::uint64_t DEFAULT_STEAM_ID = 76561197960287930ULL;
constexpr std::uint64_t SERVER_STEAM_ID = 90071992547409921ULL;
const SocketAddrV4 SERVER{{192, 168, 1, 20}, 27015};
constexpr std::uint32_t SERVER_IP = 3232235796U; // 192.168.1.20, first octet most significant

using test::CALL_RESULT;
using test::FREE_CALLBACK;
using test::INITIATE;
using test::NEXT_CALLBACK;
using test::TERMINATE;
const std::string RUN_FRAME = "steamclient RunFrame";
const std::string SHUTDOWN = "steamclient BShutdownIfAllPipesClosed";

// The checks of a scenario child that failed, as text for the parent.
class Checks {
  public:
    void expect(bool ok, const std::string& what) {
        if (!ok)
            failures_ += what + "\n";
    }
    template <class A, class B>
    void expect_eq(const A& actual, const B& expected, const std::string& what) {
        expect(actual == expected, what);
    }
    const std::string& failures() const { return failures_; }

  private:
    std::string failures_;
};

// A scenario's home directory and working directory, laid out as the runtime
// expects them: $HOME/.steam/steam.pid names a live process (this test) and
// $HOME/.steam/sdk64/steamclient.so is the simulated client.
class Sandbox {
  public:
    Sandbox() {
        fs::create_directories(sdk_dir());
        fs::create_directories(work());
        fs::copy_file(SIMULATED_CLIENT, client_library());
        write_file(steam_dir() + "/steam.pid", std::to_string(::getpid()));
        write_file(work() + "/steam_appid.txt", std::to_string(APP_ID));
    }

    std::string home() const { return dir_.path() + "/home"; }
    std::string steam_dir() const { return home() + "/.steam"; }
    std::string sdk_dir() const { return steam_dir() + "/sdk64"; }
    std::string client_library() const { return sdk_dir() + "/steamclient.so"; }
    std::string work() const { return dir_.path() + "/work"; }
    std::string call_log() const { return dir_.path() + "/calls.log"; }
    std::string stderr_path() const { return dir_.path() + "/stderr.txt"; }

    static void write_file(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }

  private:
    test::TempDir dir_;
};

// What a scenario child left behind.
struct Outcome {
    int status = -1; // exit status, or 128 + signal
    std::string failures;
    std::string stderr_text;
    std::vector<std::string> calls;

    std::vector<std::string> calls_starting(std::string_view prefix) const {
        return test::lines_starting(calls, prefix);
    }
};

[[noreturn]] void run_child(const Sandbox& box, const Env& env,
                            const std::function<void(Checks&)>& body, int report_fd) {
    const int err = ::open(box.stderr_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || ::dup2(err, STDERR_FILENO) < 0)
        ::_exit(120);
    test::unset_scripting_variables();
    ::setenv("HOME", box.home().c_str(), 1);
    ::setenv("VANDREL_STANDIN_CALL_LOG", box.call_log().c_str(), 1);
    for (const auto& [name, value] : env)
        ::setenv(name.c_str(), value.c_str(), 1);
    if (::chdir(box.work().c_str()) != 0)
        ::_exit(121);
    Checks checks;
    body(checks);
    const std::string& text = checks.failures();
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(report_fd, text.data() + done, text.size() - done);
        if (n <= 0)
            ::_exit(122);
        done += static_cast<std::size_t>(n);
    }
    ::_exit(text.empty() ? 0 : 1);
}

// Runs `body` in a forked child set up in `box`, with `env` added to its
// environment, and collects what it left behind. A child that outlives
// SCENARIO_TIMEOUT is killed.
Outcome run_scenario(const Sandbox& box, const Env& env, const std::function<void(Checks&)>& body) {
    Outcome out;
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        out.failures = "pipe2 failed";
        return out;
    }
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        read_end.reset();
        run_child(box, env, body, write_end.get());
    }
    write_end.reset();
    if (pid < 0) {
        out.failures = "fork failed";
        return out;
    }
    const auto deadline = test::Clock::now() + SCENARIO_TIMEOUT;
    bool timed_out = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - test::Clock::now());
        if (left <= 0ms) {
            timed_out = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{read_end.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(read_end.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.failures.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (timed_out)
        out.failures += "the scenario did not end in time\n";
    out.stderr_text = test::read_file(box.stderr_path());
    out.calls = test::file_lines(box.call_log());
    return out;
}

// The scenario ended normally with every check passed.
void expect_clean(const Outcome& out) {
    EXPECT_EQ(out.status, 0) << out.failures << "standard error:\n" << out.stderr_text;
    EXPECT_EQ(out.failures, "");
    EXPECT_TRUE(out.calls_starting("ERROR ").empty())
        << "the simulated client saw a misuse: " << out.calls_starting("ERROR ").front();
}

std::string field(std::string_view name, std::uint64_t value) {
    return std::string(name) + "=" + std::to_string(value);
}

// Initialises and returns the client, or records why it could not.
std::optional<Client> init_or_fail(Checks& checks) {
    auto client = Client::init();
    if (!client) {
        checks.expect(false, "init failed: " + client.error().debug());
        return std::nullopt;
    }
    return std::move(client).value();
}

class RealSteam : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string why = test::real_runtime_missing(); !why.empty())
            GTEST_SKIP() << why;
        const std::string& real = REAL_RUNTIME;
        // The real runtime is in place; it must also be the one this process
        // runs, or every scenario below would test the stand-in instead.
        Dl_info info{};
        ASSERT_NE(::dladdr(reinterpret_cast<void*>(&steam::flat::SteamAPI_InitFlat), &info), 0);
        std::error_code ec;
        ASSERT_TRUE(fs::equivalent(info.dli_fname, real, ec))
            << "this process loaded " << info.dli_fname << ", not " << real
            << "; run it through ctest, which sets LD_LIBRARY_PATH";
    }

    Sandbox box_;
};

TEST_F(RealSteam, InitialisesWithTheClientsSteamIdAndAppId) {
    const Outcome out = run_scenario(
        box_, {{"VANDREL_STANDIN_STEAM_ID", std::to_string(USER_STEAM_ID)}}, [](Checks& checks) {
            auto client = init_or_fail(checks);
            if (!client)
                return;
            checks.expect_eq(client->user().steam_id(), USER_STEAM_ID, "steam id");
            checks.expect_eq(client->utils().app_id(), steam::AppId{APP_ID}, "app id");
        });
    expect_clean(out);
    // The runtime loaded our client library from the sandbox, not anything else.
    EXPECT_NE(out.stderr_text.find("Loaded '" + box_.client_library() + "' OK."), std::string::npos)
        << out.stderr_text;
    EXPECT_NE(out.stderr_text.find("steamclient simulation: not Steam"), std::string::npos);
}

TEST_F(RealSteam, TicketsCarryTheClientsBytesAndTheServerAsForwarded) {
    const Outcome out = run_scenario(box_, {}, [](Checks& checks) {
        auto client = init_or_fail(checks);
        if (!client)
            return;
        const steam::User user = client->user();
        const Bytes expected =
            test::standin_ticket(SERVER_IP, SERVER.port, SERVER_STEAM_ID, test::DEFAULT_TICKET_LEN);
        for (const bool secure : {true, false}) {
            const auto ticket = user.initiate_game_connection(SERVER_STEAM_ID, SERVER, secure);
            checks.expect(ticket.has_value(), "no ticket");
            if (ticket)
                checks.expect(*ticket == expected, "ticket bytes differ");
        }
        user.terminate_game_connection(SERVER);
    });
    expect_clean(out);
    const auto initiated = out.calls_starting(INITIATE);
    ASSERT_EQ(initiated.size(), 2U);
    for (std::size_t i = 0; i < initiated.size(); ++i) {
        const std::string& line = initiated[i];
        EXPECT_NE(line.find(" max=2048 zeroed=1 "), std::string::npos) << line;
        EXPECT_NE(line.find(" " + field("sid", SERVER_STEAM_ID) + " "), std::string::npos) << line;
        EXPECT_NE(line.find(" " + field("ip", SERVER_IP) + " "), std::string::npos) << line;
        EXPECT_NE(line.find(" port=27015 "), std::string::npos) << line;
        EXPECT_NE(line.find(i == 0 ? " secure=1 " : " secure=0 "), std::string::npos) << line;
    }
    EXPECT_EQ(out.calls_starting(TERMINATE),
              std::vector<std::string>{test::terminate_call(SERVER_IP, SERVER.port)});
}

TEST_F(RealSteam, TicketLengthFollowsTheReturnedCountCappedAtTheBuffer) {
    const Outcome out =
        run_scenario(box_, {{"VANDREL_STANDIN_TICKET_LEN", "2048"}}, [](Checks& checks) {
            auto client = init_or_fail(checks);
            if (!client)
                return;
            const steam::User user = client->user();
            const Bytes full = test::standin_ticket(SERVER_IP, SERVER.port, SERVER_STEAM_ID,
                                                    steam::MAX_TICKET_LEN);
            auto ticket_for = [&](const char* result) {
                ::setenv("VANDREL_STANDIN_TICKET_RESULT", result, 1);
                return user.initiate_game_connection(SERVER_STEAM_ID, SERVER, true);
            };
            checks.expect(!ticket_for("0").has_value(), "result 0 gave a ticket");
            const auto one = ticket_for("1");
            checks.expect(one && *one == Bytes(full.begin(), full.begin() + 1),
                          "result 1: not the first byte");
            for (const char* result : {"2048", "5000", "-1"}) {
                const auto ticket = ticket_for(result);
                checks.expect(ticket && *ticket == full,
                              std::string("result ") + result + ": not the whole buffer");
            }
            ::unsetenv("VANDREL_STANDIN_TICKET_RESULT");
            ::setenv("VANDREL_STANDIN_REFUSE", "1", 1);
            checks.expect(!user.initiate_game_connection(SERVER_STEAM_ID, SERVER, true).has_value(),
                          "a refusal gave a ticket");
        });
    expect_clean(out);
    // The count the client returned reached the binding unchanged.
    const auto initiated = out.calls_starting(INITIATE);
    ASSERT_EQ(initiated.size(), 6U);
    const char* results[] = {"result=0",    "result=1",  "result=2048",
                             "result=5000", "result=-1", "result=0"};
    for (std::size_t i = 0; i < initiated.size(); ++i)
        EXPECT_TRUE(initiated[i].ends_with(results[i])) << initiated[i];
}

TEST_F(RealSteam, CompletedCallsAreFetchedAndEveryCallbackFreedOnce) {
    const Outcome out =
        run_scenario(box_, {{"VANDREL_STANDIN_CALLBACKS", "703,100"}}, [](Checks& checks) {
            auto client = init_or_fail(checks);
            if (client) {
                client->run_callbacks();
                client->run_callbacks();
            }
        });
    expect_clean(out);
    const auto next = out.calls_starting(NEXT_CALLBACK);
    ASSERT_EQ(next.size(), 4U);
    EXPECT_NE(next[0].find(" result=1 callback=703 index=0 param_size=16"), std::string::npos)
        << next[0];
    EXPECT_NE(next[1].find(" result=1 callback=100 index=1"), std::string::npos) << next[1];
    EXPECT_TRUE(next[2].ends_with(" result=0")) << next[2];
    EXPECT_TRUE(next[3].ends_with(" result=0")) << next[3];

    // 703's record names the completed call, the callback id of its result
    // and the result's size; the binding fetches exactly that, into zeros.
    const auto fetched = out.calls_starting(CALL_RESULT);
    ASSERT_EQ(fetched.size(), 1U);
    const std::uint64_t call = 0x8000000000000000ULL | (1ULL << 32) | 1;
    EXPECT_NE(fetched[0].find(" " + field("call", call) + " size=24 expected=2101 zeroed=1 "),
              std::string::npos)
        << fetched[0];

    const auto freed = out.calls_starting(FREE_CALLBACK);
    ASSERT_EQ(freed.size(), 2U);
    EXPECT_TRUE(freed[0].ends_with(" callback=703 index=0")) << freed[0];
    EXPECT_TRUE(freed[1].ends_with(" callback=100 index=1")) << freed[1];
    // Each run_callbacks lets the runtime run one frame.
    EXPECT_EQ(out.calls_starting(RUN_FRAME).size(), 2U);
}

TEST_F(RealSteam, AFailedFetchStillFreesTheCompletedCall) {
    const Outcome out = run_scenario(
        box_, {{"VANDREL_STANDIN_CALLBACKS", "703"}, {"VANDREL_STANDIN_API_CALL_RESULT", "0"}},
        [](Checks& checks) {
            auto client = init_or_fail(checks);
            if (client)
                client->run_callbacks();
        });
    expect_clean(out);
    ASSERT_EQ(out.calls_starting(CALL_RESULT).size(), 1U);
    EXPECT_TRUE(out.calls_starting(CALL_RESULT)[0].ends_with(" result=0"));
    EXPECT_EQ(out.calls_starting(FREE_CALLBACK).size(), 1U);
}

TEST_F(RealSteam, TheLastObjectToGoShutsTheRuntimeDownOnce) {
    const Outcome out = run_scenario(box_, {}, [&](Checks& checks) {
        auto client = init_or_fail(checks);
        if (!client)
            return;
        const auto shutdowns = [&] { return test::file_lines(box_.call_log(), SHUTDOWN).size(); };
        std::optional<steam::User> user = client->user();
        client.reset();
        checks.expect_eq(shutdowns(), 0U, "shut down while a User lived");
        checks.expect_eq(user->steam_id(), DEFAULT_STEAM_ID,
                         "the User outliving its Client lost its steam id");
        user.reset();
        checks.expect_eq(shutdowns(), 1U, "not shut down once after the last object");
    });
    expect_clean(out);
    EXPECT_EQ(out.calls_starting(SHUTDOWN).size(), 1U);
}

// How each failure of the Steam side comes out of the real runtime and our
// binding: the kind that its result code names and the runtime's own message.
struct InitFailure {
    const char* name;
    Env env;
    // Takes something away from the sandbox before the child starts.
    void (*arrange)(const Sandbox&);
    Kind kind;
    std::string (*message)(const Sandbox&);
};

const std::string NO_APPID_MESSAGE =
    "No appID found.  Either launch the game from Steam, or put the file steam_appid.txt "
    "containing the correct appID in your game folder.";

const InitFailure INIT_FAILURES[] = {
    {"NoClientInterface",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_client_interface"}},
     nullptr,
     Kind::Generic,
     [](const Sandbox&) { return std::string("No SteamClient021"); }},
    {"NoPipe",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_pipe"}},
     nullptr,
     Kind::NoSteamClient,
     [](const Sandbox&) {
         return std::string(
             "Cannot create IPC pipe to Steam client process.  Steam is probably not running.");
     }},
    {"NoUser",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_user"}},
     nullptr,
     Kind::Generic,
     [](const Sandbox&) { return std::string("ConnectToGlobalUser failed."); }},
    {"NoUtilsInterface",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_utils_interface"}},
     nullptr,
     Kind::VersionMismatch,
     [](const Sandbox&) { return std::string("No SteamUtils010"); }},
    {"NoUserInterface",
     {{"VANDREL_STEAMCLIENT_FAIL", "no_user_interface"}},
     nullptr,
     Kind::VersionMismatch,
     [](const Sandbox&) { return std::string("No SteamUser023"); }},
    {"NoAppIdFile",
     {},
     [](const Sandbox& box) { fs::remove(box.work() + "/steam_appid.txt"); },
     Kind::Generic,
     [](const Sandbox&) { return NO_APPID_MESSAGE; }},
    {"AppIdFileWithoutDigits",
     {},
     [](const Sandbox& box) { Sandbox::write_file(box.work() + "/steam_appid.txt", "cstrike"); },
     Kind::Generic,
     [](const Sandbox&) { return NO_APPID_MESSAGE; }},
    {"NoClientLibrary",
     {},
     [](const Sandbox& box) { fs::remove(box.client_library()); },
     Kind::Generic,
     [](const Sandbox& box) { return "Failed to load module '" + box.client_library() + "'"; }},
};

void PrintTo(const InitFailure& failure, std::ostream* os) {
    *os << failure.name;
}

class RealSteamInitFailure : public RealSteam, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(RealSteamInitFailure, MapsToItsKindAndTheRuntimesMessage) {
    const InitFailure& failure = GetParam();
    if (failure.arrange != nullptr)
        failure.arrange(box_);
    const std::string message = failure.message(box_);
    const Outcome out = run_scenario(box_, failure.env, [&](Checks& checks) {
        auto client = Client::init();
        if (client) {
            checks.expect(false, "init succeeded");
            return;
        }
        checks.expect(client.error().kind() == failure.kind,
                      "wrong kind: " + client.error().debug());
        checks.expect_eq(client.error().message(), message,
                         "wrong message: " + client.error().debug());
        // Nothing of the failed attempt survives: once the cause is gone, the
        // same process initialises.
        ::unsetenv("VANDREL_STEAMCLIENT_FAIL");
        Sandbox::write_file(box_.work() + "/steam_appid.txt", std::to_string(APP_ID));
        std::error_code ec;
        fs::copy_file(SIMULATED_CLIENT, box_.client_library(), ec);
        auto again = Client::init();
        checks.expect(again.ok(), "a second init after the failure failed");
    });
    expect_clean(out);
}

INSTANTIATE_TEST_SUITE_P(Causes, RealSteamInitFailure, ::testing::ValuesIn(INIT_FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

// The runtime looks for a running Steam through $HOME/.steam/steam.pid, but
// without one it only warns: initialisation still succeeds when the client
// library does.
TEST_F(RealSteam, ASteamPidWithoutALiveProcessOnlyWarns) {
    const std::string pid_file = box_.steam_dir() + "/steam.pid";
    const std::string warning =
        "SteamAPI_IsSteamRunning() did not locate a running instance of Steam.";
    const auto init_succeeds = [](Checks& checks) { init_or_fail(checks); };

    fs::remove(pid_file);
    const Outcome missing = run_scenario(box_, {}, init_succeeds);
    expect_clean(missing);
    EXPECT_NE(missing.stderr_text.find(warning), std::string::npos) << missing.stderr_text;

    // The id of a process that has been reaped.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    Sandbox::write_file(pid_file, std::to_string(gone));
    const Outcome dead = run_scenario(box_, {}, init_succeeds);
    expect_clean(dead);
    EXPECT_NE(dead.stderr_text.find(warning), std::string::npos) << dead.stderr_text;

    Sandbox::write_file(pid_file, std::to_string(::getpid()));
    const Outcome live = run_scenario(box_, {}, init_succeeds);
    expect_clean(live);
    EXPECT_EQ(live.stderr_text.find(warning), std::string::npos) << live.stderr_text;
}

} // namespace
} // namespace vandrel
