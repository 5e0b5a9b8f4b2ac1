// The Steam binding layer against the stand-in runtime, in process. The
// stand-in's call log shows what the layer asked of the runtime; the stand-in
// logs every misuse (a callback freed twice, a call on a shut-down runtime,
// a result fetched for the wrong call) as an ERROR line, and every test ends
// with a log free of them and with each initialisation shut down.
#include "e2e.hpp"
#include "steam/auth.hpp"
#include "steam/client.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// Counts every allocation of the process, so that a test can show that a call
// allocated nothing.
namespace {
std::atomic<std::size_t> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
// Not inlined, so that the compiler does not pair the free with the new above.
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace vandrel::steam {
namespace {

namespace fs = std::filesystem;
using Kind = SteamAPIInitError::Kind;

constexpr std::uint64_t STANDIN_STEAM_ID = 76561197960287930ULL;
constexpr std::size_t STANDIN_TICKET_LEN = 240;
constexpr const char* NO_APPID_MESSAGE =
    "No appID found.  Either launch the game from Steam, or put the file steam_appid.txt "
    "containing the correct appID in your game folder.";

SocketAddrV4 addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                  std::uint16_t port) {
    return SocketAddrV4{{a, b, c, d}, port};
}

bool starts_with_word(const std::string& line, std::string_view word) {
    return line.starts_with(word) && (line.size() == word.size() || line[word.size()] == ' ');
}

// Each test runs in a fresh directory holding steam_appid.txt with a clean
// stand-in environment, both restored afterwards.
class SteamLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_cwd_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "steam_test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        test::unset_scripting_variables();
        log_path_ = dir_ / "calls.log";
        set_env("VANDREL_STANDIN_CALL_LOG", log_path_.string());
        write_app_id("480");
        fs::current_path(dir_);
    }

    void TearDown() override {
        fs::current_path(saved_cwd_);
        int inits = 0;
        int shutdowns = 0;
        for (const std::string& line : all_calls()) {
            EXPECT_FALSE(line.starts_with("ERROR") && !errors_expected_) << line;
            inits += line.starts_with("SteamAPI_InitFlat ") &&
                     line.find(" result=0") != std::string::npos;
            shutdowns += starts_with_word(line, "SteamAPI_Shutdown");
        }
        EXPECT_EQ(inits, shutdowns) << "every initialisation is shut down exactly once";
        test::unset_scripting_variables();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void set_env(const char* name, const std::string& value) {
        ASSERT_EQ(::setenv(name, value.c_str(), 1), 0);
    }

    void write_app_id(const std::string& text) {
        std::ofstream(dir_ / "steam_appid.txt", std::ios::binary) << text;
    }

    // The whole call log.
    std::vector<std::string> all_calls() const {
        std::vector<std::string> lines;
        std::ifstream in(log_path_);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    // The call log since the last clear_calls.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines = all_calls();
        lines.erase(lines.begin(),
                    lines.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, lines.size())));
        return lines;
    }
    // The call log's lines for one function.
    std::vector<std::string> calls_of(std::string_view function) const {
        std::vector<std::string> lines;
        for (std::string& line : calls())
            if (starts_with_word(line, function))
                lines.push_back(std::move(line));
        return lines;
    }
    std::size_t count(std::string_view function) const { return calls_of(function).size(); }
    // The function names of the call log, in order.
    std::vector<std::string> call_names() const {
        std::vector<std::string> names;
        for (const std::string& line : calls())
            names.push_back(line.substr(0, line.find(' ')));
        return names;
    }
    void clear_calls() { seen_ = all_calls().size(); }

    fs::path saved_cwd_;
    fs::path dir_;
    fs::path log_path_;
    std::size_t seen_ = 0;
    bool errors_expected_ = false;
};

// ---------------------------------------------------------------- lifetimes

TEST_F(SteamLayer, InitSwitchesToManualDispatchOnce) {
    {
        auto client = Client::init();
        ASSERT_TRUE(client.ok()) << client.error().debug();
        const std::vector<std::string> lines = calls();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "SteamAPI_InitFlat zeroed=1 result=0 appid=480");
        EXPECT_EQ(lines[1], "SteamAPI_ManualDispatch_Init");
    }
    EXPECT_EQ(count("SteamAPI_Shutdown"), 1u);
}

TEST_F(SteamLayer, UserOutlivesItsClient) {
    std::optional<User> user;
    {
        auto client = Client::init();
        ASSERT_TRUE(client.ok()) << client.error().debug();
        user = client->user();
    }
    EXPECT_EQ(count("SteamAPI_Shutdown"), 0u) << "the user still holds the runtime";
    EXPECT_EQ(user->steam_id(), STANDIN_STEAM_ID);
    user.reset();
    EXPECT_EQ(count("SteamAPI_Shutdown"), 1u);
}

TEST_F(SteamLayer, CopiesAndUtilsShareOneShutdown) {
    std::optional<User> first;
    std::optional<User> second;
    std::optional<Utils> utils;
    {
        auto client = Client::init();
        ASSERT_TRUE(client.ok()) << client.error().debug();
        first = client->user();
        utils = client->utils();
        Client copy = *client;
        second = *first;
    }
    first.reset();
    EXPECT_EQ(count("SteamAPI_Shutdown"), 0u);
    // The reference count is atomic: the last but one may go on another thread.
    std::thread([moved = std::move(*second)]() mutable { (void)moved; }).join();
    second.reset();
    EXPECT_EQ(count("SteamAPI_Shutdown"), 0u);
    EXPECT_EQ(utils->app_id(), AppId{480});
    utils.reset();
    EXPECT_EQ(count("SteamAPI_Shutdown"), 1u);
}

// ----------------------------------------------------------------- dispatch

TEST_F(SteamLayer, IdleDispatchIsOneFrameAndOnePollAndAllocatesNothing) {
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    clear_calls();
    const std::size_t before = allocations.load();
    client->run_callbacks();
    const std::size_t made = allocations.load() - before;
    EXPECT_EQ(made, 0u);
    const std::vector<std::string> lines = calls();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SteamAPI_GetHSteamPipe pipe=" + lines[1].substr(lines[1].find('=') + 1));
    EXPECT_TRUE(starts_with_word(lines[1], "SteamAPI_ManualDispatch_RunFrame"));
    EXPECT_TRUE(lines[2].starts_with("SteamAPI_ManualDispatch_GetNextCallback ") &&
                lines[2].ends_with(" result=0"))
        << lines[2];

    client->run_callbacks();
    EXPECT_EQ(count("SteamAPI_GetHSteamPipe"), 2u) << "the pipe is fetched on every call";
}

TEST_F(SteamLayer, CompletedCallIsFetchedAndFreedOnceWhateverTheFetchReturns) {
    set_env("VANDREL_STANDIN_CALLBACKS", "703,100,703");
    for (const char* fetched : {"1", "0"}) {
        SCOPED_TRACE(std::string("GetAPICallResult returns ") + fetched);
        set_env("VANDREL_STANDIN_API_CALL_RESULT", fetched);
        clear_calls();
        {
            auto client = Client::init();
            ASSERT_TRUE(client.ok()) << client.error().debug();
            client->run_callbacks();
            const std::vector<std::string> expected = {
                "SteamAPI_InitFlat",
                "SteamAPI_ManualDispatch_Init",
                "SteamAPI_GetHSteamPipe",
                "SteamAPI_ManualDispatch_RunFrame",
                "SteamAPI_ManualDispatch_GetNextCallback",
                "SteamAPI_ManualDispatch_GetAPICallResult",
                "SteamAPI_ManualDispatch_FreeLastCallback",
                "SteamAPI_ManualDispatch_GetNextCallback",
                "SteamAPI_ManualDispatch_FreeLastCallback",
                "SteamAPI_ManualDispatch_GetNextCallback",
                "SteamAPI_ManualDispatch_GetAPICallResult",
                "SteamAPI_ManualDispatch_FreeLastCallback",
                "SteamAPI_ManualDispatch_GetNextCallback",
            };
            EXPECT_EQ(call_names(), expected);
            // The stand-in checks handle, size and carried id against the
            // record it delivered; here the buffer and the flag.
            for (const std::string& line : calls_of("SteamAPI_ManualDispatch_GetAPICallResult")) {
                EXPECT_NE(line.find(" size=24 expected=2101 "), std::string::npos) << line;
                EXPECT_NE(line.find(" io_failed_in=0 "), std::string::npos) << line;
            }
            EXPECT_NE(calls_of("SteamAPI_ManualDispatch_GetAPICallResult")[0].find(" zeroed=1 "),
                      std::string::npos);
            // The queue is drained: the next round finds nothing.
            clear_calls();
            client->run_callbacks();
            EXPECT_EQ(count("SteamAPI_ManualDispatch_GetNextCallback"), 1u);
        }
        EXPECT_EQ(count("SteamAPI_Shutdown"), 1u);
    }
}

TEST_F(SteamLayer, ShortCompletedCallRecordIsFreedWithoutAFetch) {
    set_env("VANDREL_STANDIN_CALLBACKS", "703:15,703:0,703:16");
    set_env("VANDREL_STANDIN_API_CALL_SIZE", "0");
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    client->run_callbacks();
    EXPECT_EQ(count("SteamAPI_ManualDispatch_GetNextCallback"), 4u);
    EXPECT_EQ(count("SteamAPI_ManualDispatch_FreeLastCallback"), 3u);
    const std::vector<std::string> fetches = calls_of("SteamAPI_ManualDispatch_GetAPICallResult");
    ASSERT_EQ(fetches.size(), 1u) << "only the full record is fetched";
    EXPECT_NE(fetches[0].find(" size=0 "), std::string::npos) << fetches[0];
}

// ------------------------------------------------------------------ tickets

TEST_F(SteamLayer, TicketLengthFollowsTheCallsResult) {
    // The stand-in writes min(result, 2048, ticket length) bytes, or
    // min(2048, ticket length) for a negative result.
    set_env("VANDREL_STANDIN_TICKET_LEN", "4096");
    const SocketAddrV4 server = addr(10, 0, 0, 5, 27015);
    const std::uint64_t sid = 90071992547409920ULL;
    struct Case {
        const char* result;
        std::optional<std::size_t> len;
    };
    const Case cases[] = {
        {"0", std::nullopt}, {"1", 1},     {"2047", 2047},        {"2048", 2048},
        {"5000", 2048},      {"-1", 2048}, {"-2147483648", 2048},
    };
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const User user = client->user();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("result ") + c.result);
        set_env("VANDREL_STANDIN_TICKET_RESULT", c.result);
        const auto ticket = user.initiate_game_connection(sid, server, true);
        ASSERT_EQ(ticket.has_value(), c.len.has_value());
        if (!ticket)
            continue;
        ASSERT_EQ(ticket->size(), *c.len);
        const auto expected = test::standin_ticket(server.host_order_ip(), 27015, sid, *c.len);
        for (std::size_t i = 0; i < ticket->size(); ++i)
            ASSERT_EQ((*ticket)[i], expected[i]) << "byte " << i;
    }
}

TEST_F(SteamLayer, TicketKeepsTheBufferWhenTheCountExceedsWhatWasWritten) {
    set_env("VANDREL_STANDIN_TICKET_LEN", "100");
    set_env("VANDREL_STANDIN_TICKET_RESULT", "3000");
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const SocketAddrV4 server = addr(10, 0, 0, 5, 27015);
    const auto ticket = client->user().initiate_game_connection(7, server, false);
    ASSERT_TRUE(ticket.has_value());
    ASSERT_EQ(ticket->size(), MAX_TICKET_LEN);
    const auto written = test::standin_ticket(server.host_order_ip(), 27015, 7, 100);
    for (std::size_t i = 0; i < written.size(); ++i)
        ASSERT_EQ((*ticket)[i], written[i]);
    for (std::size_t i = 100; i < ticket->size(); ++i)
        ASSERT_EQ((*ticket)[i], 0) << "unwritten bytes stay zero, byte " << i;
}

TEST_F(SteamLayer, DefaultTicketIsWhatTheRuntimeWrote) {
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const auto ticket = client->user().initiate_game_connection(1, addr(1, 2, 3, 4, 5), false);
    ASSERT_TRUE(ticket.has_value());
    EXPECT_EQ(ticket->size(), STANDIN_TICKET_LEN);
}

TEST_F(SteamLayer, TicketCallsPassAddressPortFlagAndSteamId) {
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const User user = client->user();
    ASSERT_TRUE(
        user.initiate_game_connection(90071992547409920ULL, addr(192, 168, 1, 20, 27015), true));
    ASSERT_TRUE(user.initiate_game_connection(0, addr(10, 0, 0, 1, 65535), false));
    ASSERT_TRUE(user.initiate_game_connection(UINT64_MAX, addr(255, 255, 255, 255, 0), true));
    user.terminate_game_connection(addr(192, 168, 1, 20, 27015));
    user.terminate_game_connection(addr(10, 0, 0, 1, 1));

    const std::vector<std::string> tickets =
        calls_of("SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED");
    ASSERT_EQ(tickets.size(), 3u);
    const std::string prefix = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED max=2048 "
                               "zeroed=1 ";
    EXPECT_TRUE(
        tickets[0].starts_with(prefix + "sid=90071992547409920 ip=3232235796 port=27015 secure=1 "))
        << tickets[0];
    EXPECT_TRUE(tickets[1].starts_with(prefix + "sid=0 ip=167772161 port=65535 secure=0 "))
        << tickets[1];
    EXPECT_TRUE(
        tickets[2].starts_with(prefix + "sid=18446744073709551615 ip=4294967295 port=0 secure=1 "))
        << tickets[2];

    const std::vector<std::string> ends =
        calls_of("SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0],
              "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ip=3232235796 port=27015");
    EXPECT_EQ(ends[1],
              "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ip=167772161 port=1");
}

// ------------------------------------------------------------- auth tickets

// The stand-in's bytes of a session (seed = handle), web API (2^32 + handle)
// or app ticket (2^33 + the data's length).
Bytes auth_bytes(std::uint64_t seed) {
    return test::standin_ticket(0, 0, seed, STANDIN_TICKET_LEN);
}

TEST_F(SteamLayer, AuthTicketsTakeOnlyTheirOwnConfirmation) {
    // Each confirmation comes after an unrelated callback and a confirmation
    // of the same kind for another handle or call, with result 2.
    set_env("VANDREL_STANDIN_AUTH_DECOYS", "1");
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const AuthTickets auth(*client, client->user());

    AuthResult session = auth.session("steamid:76561197960287931");
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(session->handle, 1u);
    EXPECT_EQ(session->bytes, auth_bytes(1));
    AuthResult nobody = auth.session(std::nullopt);
    ASSERT_TRUE(nobody.ok());
    EXPECT_EQ(nobody->handle, 2u);
    AuthResult web = auth.web_api("my-service");
    ASSERT_TRUE(web.ok());
    EXPECT_EQ(web->handle, 3u);
    EXPECT_EQ(web->bytes, auth_bytes((1ULL << 32) + 3));
    ASSERT_TRUE(auth.web_api(std::nullopt).ok());
    const Bytes data{0x01, 0x02, 0xFF};
    AuthResult app = auth.app(data);
    ASSERT_TRUE(app.ok());
    EXPECT_EQ(app->handle, 0u);
    EXPECT_EQ(app->bytes, auth_bytes((1ULL << 33) + 3));
    ASSERT_TRUE(auth.app({}).ok());
    auth.cancel(3);

    EXPECT_EQ(calls_of("SteamAPI_SteamNetworkingIdentity_ParseString"),
              std::vector<std::string>{"SteamAPI_SteamNetworkingIdentity_ParseString "
                                       "text=steamid:76561197960287931 result=1"});
    EXPECT_EQ(calls_of("SteamAPI_ISteamUser_GetAuthSessionTicket"),
              (std::vector<std::string>{
                  "SteamAPI_ISteamUser_GetAuthSessionTicket max=2048 zeroed=1 "
                  "identity=steamid:76561197960287931 handle=1 len=240",
                  "SteamAPI_ISteamUser_GetAuthSessionTicket max=2048 zeroed=1 identity=null "
                  "handle=2 len=240"}));
    EXPECT_EQ(calls_of("SteamAPI_ISteamUser_GetAuthTicketForWebApi"),
              (std::vector<std::string>{
                  "SteamAPI_ISteamUser_GetAuthTicketForWebApi identity=my-service handle=3",
                  "SteamAPI_ISteamUser_GetAuthTicketForWebApi identity=null handle=4"}));
    const std::vector<std::string> requests =
        calls_of("SteamAPI_ISteamUser_RequestEncryptedAppTicket");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].starts_with(
        "SteamAPI_ISteamUser_RequestEncryptedAppTicket len=3 data=0102ff call="))
        << requests[0];
    EXPECT_TRUE(
        requests[1].starts_with("SteamAPI_ISteamUser_RequestEncryptedAppTicket len=0 data=null "))
        << requests[1];
    EXPECT_EQ(count("SteamAPI_ISteamUser_GetEncryptedAppTicket"), 2u);
    // Only the explicit cancel: the decoys were passed over, not cancelled.
    EXPECT_EQ(calls_of("SteamAPI_ISteamUser_CancelAuthTicket"),
              std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=3 known=1"});
    // Every decoy was drained and freed once: the stand-in reports any
    // callback left unfreed or freed twice, which TearDown checks.
    const std::vector<std::string> polls = calls_of("SteamAPI_ManualDispatch_GetNextCallback");
    const auto delivered = std::count_if(polls.begin(), polls.end(), [](const std::string& line) {
        return line.find(" result=1 ") != std::string::npos;
    });
    EXPECT_EQ(delivered, 18) << "three callbacks for each of the six requests";
    EXPECT_EQ(count("SteamAPI_ManualDispatch_FreeLastCallback"), 18u);
}

TEST_F(SteamLayer, RefusedAndUnconfirmedTicketsAreCancelled) {
    using FailKind = AuthFailure::Kind;
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    // A short wait, so that a missing confirmation does not take five seconds.
    const AuthTickets auth(*client, client->user(), std::chrono::milliseconds(20));

    AuthResult bad = auth.session("nobody");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, FailKind::BadIdentity);
    EXPECT_EQ(count("SteamAPI_ISteamUser_GetAuthSessionTicket"), 0u) << "nothing was issued";

    set_env("VANDREL_STANDIN_AUTH_RESULT", "5");
    for (const AuthResult& refused :
         {auth.session(std::nullopt), auth.web_api("svc"), auth.app(Bytes{7})}) {
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().kind, FailKind::Refused);
        EXPECT_EQ(refused.error().result, 5);
    }
    EXPECT_EQ(count("SteamAPI_ISteamUser_GetEncryptedAppTicket"), 0u);

    set_env("VANDREL_STANDIN_AUTH_CONFIRM", "0");
    for (const AuthResult& unconfirmed :
         {auth.session(std::nullopt), auth.web_api(std::nullopt), auth.app(Bytes{})}) {
        ASSERT_FALSE(unconfirmed.ok());
        EXPECT_EQ(unconfirmed.error().kind, FailKind::Unconfirmed);
    }
    // The handles issued (1 and 2 refused, 3 and 4 unconfirmed) are cancelled
    // once each; an app ticket has no handle.
    EXPECT_EQ(calls_of("SteamAPI_ISteamUser_CancelAuthTicket"),
              (std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=1 known=1",
                                        "SteamAPI_ISteamUser_CancelAuthTicket handle=2 known=1",
                                        "SteamAPI_ISteamUser_CancelAuthTicket handle=3 known=1",
                                        "SteamAPI_ISteamUser_CancelAuthTicket handle=4 known=1"}));
}

// Steam's signals that it has gone are noted by whichever dispatch delivers
// them, a request's wait for its confirmation included, which then waits no
// longer (a wait that did would outlast the test's limit); they stay noted,
// and other callbacks are not taken for them.
TEST_F(SteamLayer, SteamsSignalsThatItHasGoneAreNoted) {
    struct Case {
        const char* callbacks;
        std::optional<SteamLoss> lost;
    };
    set_env("VANDREL_STANDIN_AUTH_CONFIRM", "0");
    for (const Case& c : {Case{"100,1001", std::nullopt}, Case{"704:1", SteamLoss::Shutdown},
                          Case{"117:1,704:1", SteamLoss::IpcFailure}}) {
        SCOPED_TRACE(c.callbacks);
        set_env("VANDREL_STANDIN_CALLBACKS", c.callbacks);
        auto client = Client::init();
        ASSERT_TRUE(client.ok()) << client.error().debug();
        EXPECT_FALSE(client->steam_lost()) << "nothing dispatched yet";
        if (c.lost) {
            AuthResult session =
                AuthTickets(*client, client->user(), std::chrono::hours(1)).session(std::nullopt);
            ASSERT_FALSE(session.ok());
            EXPECT_EQ(session.error().kind, AuthFailure::Kind::Unconfirmed);
        }
        client->run_callbacks();
        EXPECT_EQ(client->steam_lost(), c.lost);
        client->run_callbacks();
        EXPECT_EQ(client->steam_lost(), c.lost);
    }
}

// The stand-in plays a Steam that quits and comes back: while the running
// file is missing an initialisation fails as Steam's runtime does without
// Steam; once it goes while initialised, the next frame queues
// SteamShutdown_t and every ticket call is refused until a new
// initialisation. The file may name the user Steam comes back with.
TEST_F(SteamLayer, StandinSteamQuitsAndComesBack) {
    const fs::path running = dir_ / "running";
    set_env("VANDREL_STANDIN_RUNNING_FILE", running.string());
    auto away = Client::init();
    ASSERT_FALSE(away.ok());
    EXPECT_EQ(away.error().debug(),
              "NoSteamClient(\"Cannot create IPC pipe to Steam client process.  Steam is "
              "probably not running.\")");

    std::ofstream(running).close();
    {
        auto client = Client::init();
        ASSERT_TRUE(client.ok()) << client.error().debug();
        const User user = client->user();
        client->run_callbacks();
        EXPECT_FALSE(client->steam_lost());
        EXPECT_TRUE(user.logged_on());
        fs::remove(running);
        client->run_callbacks();
        client->run_callbacks();
        EXPECT_EQ(client->steam_lost(), SteamLoss::Shutdown);
        EXPECT_EQ(count("steam"), 1u) << "one SteamShutdown_t";
        EXPECT_FALSE(user.logged_on());
        EXPECT_FALSE(user.initiate_game_connection(1, addr(1, 2, 3, 4, 5), true));
        AuthResult session = AuthTickets(*client, user).session(std::nullopt);
        ASSERT_FALSE(session.ok());
        EXPECT_EQ(session.error().kind, AuthFailure::Kind::Refused);
    }
    std::ofstream(running) << "76561198000000001\n";
    auto back = Client::init();
    ASSERT_TRUE(back.ok()) << back.error().debug();
    EXPECT_EQ(back->user().steam_id(), 76561198000000001ULL);
    EXPECT_TRUE(back->user().initiate_game_connection(1, addr(1, 2, 3, 4, 5), true));
}

TEST_F(SteamLayer, SteamIdAndAppIdComeFromTheRuntime) {
    set_env("VANDREL_STANDIN_STEAM_ID", "18446744073709551615");
    write_app_id("4294967295");
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    EXPECT_EQ(client->user().steam_id(), UINT64_MAX);
    const AppId app_id = client->utils().app_id();
    EXPECT_EQ(app_id.value, 4294967295u);
    EXPECT_EQ(app_id.debug(), "AppId(4294967295)");
    EXPECT_EQ(AppId{480}.debug(), "AppId(480)");
    EXPECT_EQ(AppId{0}.debug(), "AppId(0)");
}

// ---------------------------------------------------------- init failures

TEST_F(SteamLayer, InitFailuresMapToTheirKinds) {
    struct Case {
        const char* code;
        const char* var;
        const char* value;
        Kind kind;
        std::string message;
        std::string debug;
    };
    const Case cases[] = {
        {"2", "VANDREL_STANDIN_INIT_MESSAGE", "no steam", Kind::NoSteamClient, "no steam",
         "NoSteamClient(\"no steam\")"},
        {"1", "VANDREL_STANDIN_INIT_MESSAGE", "", Kind::Generic, "", "Generic(\"\")"},
        {"3", "VANDREL_STANDIN_INIT_MESSAGE", "say \"hi\"", Kind::VersionMismatch, "say \"hi\"",
         "VersionMismatch(\"say \\\"hi\\\"\")"},
        // 0xFF is never UTF-8; a lone lead byte at the end is an incomplete tail.
        {"1", "VANDREL_STANDIN_INIT_MESSAGE_HEX", "61ff62c3", Kind::Generic,
         "a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD",
         "Generic(\"a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\")"},
        {"4", "VANDREL_STANDIN_INIT_MESSAGE", "new code", Kind::Generic, "new code",
         "Generic(\"new code\")"},
        {"-1", "VANDREL_STANDIN_INIT_MESSAGE", "odd", Kind::Generic, "odd", "Generic(\"odd\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("code ") + c.code + ", " + c.value);
        ::unsetenv("VANDREL_STANDIN_INIT_MESSAGE");
        ::unsetenv("VANDREL_STANDIN_INIT_MESSAGE_HEX");
        set_env("VANDREL_STANDIN_INIT_RESULT", c.code);
        set_env(c.var, c.value);
        clear_calls();
        auto client = Client::init();
        ASSERT_FALSE(client.ok());
        const SteamAPIInitError& error = client.error();
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_EQ(error.message(), c.message);
        EXPECT_EQ(error.debug(), c.debug);
        EXPECT_EQ(call_names(), std::vector<std::string>{"SteamAPI_InitFlat"})
            << "a failed init neither switches dispatch nor shuts down";
        EXPECT_NE(calls()[0].find(" zeroed=1 "), std::string::npos);
    }
}

TEST_F(SteamLayer, InitFailureDisplayTexts) {
    set_env("VANDREL_STANDIN_INIT_MESSAGE", "no steam");
    set_env("VANDREL_STANDIN_INIT_RESULT", "2");
    auto client = Client::init();
    ASSERT_FALSE(client.ok());
    EXPECT_EQ(client.error().display(), "We cannot connect to Steam, steam probably isn't running");
    set_env("VANDREL_STANDIN_INIT_RESULT", "3");
    auto again = Client::init();
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().display(), "Steam client appears to be out of date");
}

TEST_F(SteamLayer, MissingAppIdFileFailsWithTheRuntimesMessage) {
    fs::remove(dir_ / "steam_appid.txt");
    auto client = Client::init();
    ASSERT_FALSE(client.ok());
    EXPECT_EQ(client.error().kind(), Kind::Generic);
    EXPECT_EQ(client.error().message(), NO_APPID_MESSAGE);
    EXPECT_EQ(count("SteamAPI_ManualDispatch_Init"), 0u);
}

TEST_F(SteamLayer, UnterminatedMessageStopsAtTheBuffer) {
    set_env("VANDREL_STANDIN_INIT_RESULT", "1");
    set_env("VANDREL_STANDIN_INIT_MESSAGE", std::string(1100, 'x'));
    set_env("VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED", "1");
    auto client = Client::init();
    ASSERT_FALSE(client.ok());
    EXPECT_EQ(client.error().message(), std::string(1024, 'x'));
}

// ---------------------------------------------- the stand-in's own scripts

TEST_F(SteamLayer, StandinReportsCallbacksFreedTwiceOrNotAtAll) {
    using GetPipe = std::int32_t (*)();
    using GetNext = bool (*)(std::int32_t, void*);
    using Free = void (*)(std::int32_t);
    auto get_pipe = reinterpret_cast<GetPipe>(::dlsym(RTLD_DEFAULT, "SteamAPI_GetHSteamPipe"));
    auto get_next =
        reinterpret_cast<GetNext>(::dlsym(RTLD_DEFAULT, "SteamAPI_ManualDispatch_GetNextCallback"));
    auto free_last =
        reinterpret_cast<Free>(::dlsym(RTLD_DEFAULT, "SteamAPI_ManualDispatch_FreeLastCallback"));
    ASSERT_TRUE(get_pipe && get_next && free_last);

    errors_expected_ = true;
    set_env("VANDREL_STANDIN_CALLBACKS", "100,101");
    auto client = Client::init();
    ASSERT_TRUE(client.ok()) << client.error().debug();
    const std::int32_t pipe = get_pipe();
    unsigned char msg[20];
    clear_calls();
    free_last(pipe);
    EXPECT_EQ(count("ERROR"), 1u) << "a free with nothing outstanding";
    ASSERT_TRUE(get_next(pipe, msg));
    ASSERT_TRUE(get_next(pipe, msg));
    EXPECT_EQ(count("ERROR"), 2u) << "the first callback was never freed";
    free_last(pipe);
    free_last(pipe);
    EXPECT_EQ(count("ERROR"), 3u) << "the second free of one callback";
    clear_calls();
    client->run_callbacks(); // the queue is empty: nothing further to report
    EXPECT_EQ(count("ERROR"), 0u);
}

TEST_F(SteamLayer, StandinScriptedDelaysAndStdout) {
    using Clock = std::chrono::steady_clock;
    set_env("VANDREL_STANDIN_INIT_HANG_MS", "120");
    set_env("VANDREL_STANDIN_INIT_STDOUT", "chatter from the runtime\n");
    set_env("VANDREL_STANDIN_TICKET_DELAY_MS", "80");

    const fs::path out_path = dir_ / "stdout.txt";
    std::fflush(stdout);
    const int saved_stdout = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(saved_stdout, 0);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    ::dup2(out, STDOUT_FILENO);
    ::close(out);
    const auto start = Clock::now();
    auto client = Client::init();
    const auto init_time = Clock::now() - start;
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
    ASSERT_TRUE(client.ok()) << client.error().debug();

    EXPECT_GE(init_time, std::chrono::milliseconds(120));
    std::ostringstream written;
    written << std::ifstream(out_path).rdbuf();
    EXPECT_EQ(written.str(), "chatter from the runtime\n");

    const auto ticket_start = Clock::now();
    EXPECT_TRUE(client->user().initiate_game_connection(1, addr(1, 2, 3, 4, 5), false));
    EXPECT_GE(Clock::now() - ticket_start, std::chrono::milliseconds(80));
}

} // namespace
} // namespace vandrel::steam
