// libsteam_api stand-in: a runtime with the same flat functions that the
// broker calls, behaving like a Steam client with a logged-in user, for tests
// and for development on machines without Steam. It is not Steam and says so
// on standard error at every initialisation.
//
// It is scripted through the environment. Every variable is read when the
// function that uses it runs, so a process may change them between a Shutdown
// and the next SteamAPI_InitFlat (the stand-in can be initialised again after
// a Shutdown).
//
//   VANDREL_STANDIN_CALL_LOG=<path>
//       Append one line per flat call, with its arguments and result, to
//       <path> (one O_APPEND write per line). Misuses by the caller are logged
//       as lines starting "ERROR " and are also written to standard error.
//   VANDREL_STANDIN_INIT_RESULT=<int>
//       SteamAPI_InitFlat returns this code (default 0, success); any other
//       value fails with the message below and leaves nothing initialised.
//   VANDREL_STANDIN_INIT_MESSAGE=<text>
//   VANDREL_STANDIN_INIT_MESSAGE_HEX=<hex digits>
//       The failure message, as plain text or as hex pairs for any bytes
//       (invalid UTF-8, quotes, ...); HEX wins when both are set. Default
//       "stand-in: scripted init failure". At most 1023 bytes are written,
//       then the terminating zero.
//   VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED=1
//       Write up to all 1024 bytes of the message and no terminating zero.
//   VANDREL_STANDIN_INIT_HANG_MS=<ms>|forever
//       Sleep that long in SteamAPI_InitFlat before anything else.
//   VANDREL_STANDIN_INIT_STDOUT=<text>
//       Write the text to file descriptor 1 during SteamAPI_InitFlat.
//   VANDREL_STANDIN_STEAM_ID=<u64>
//       The logged-in user's Steam ID (default 76561197960287930).
//   VANDREL_STANDIN_RUNNING_FILE=<path>
//       Steam runs only while this file exists (presence.hpp). While it is
//       missing, SteamAPI_InitFlat fails as Steam's runtime does without a
//       running Steam: 2, "Cannot create IPC pipe to Steam client process.
//       Steam is probably not running.". Once it goes while initialised, the
//       next RunFrame queues SteamShutdown_t (704) and every ticket call
//       fails from then on, and BLoggedOn is false, until the next
//       initialisation. A decimal number in the file is the user's Steam ID,
//       ahead of VANDREL_STANDIN_STEAM_ID.
//   VANDREL_STANDIN_LOGGED_ON=0
//       BLoggedOn says the user is not logged on (default: logged on).
//   VANDREL_STANDIN_TICKET_LEN=<n>
//       The length of the tickets issued (default 240).
//   VANDREL_STANDIN_TICKET_RESULT=<int>
//       What InitiateGameConnection returns. 0 is a refusal and writes
//       nothing; a positive value writes min(value, max, ticket length) bytes;
//       a negative value writes min(max, ticket length) bytes. Unset: it
//       writes min(max, ticket length) bytes and returns that count.
//   VANDREL_STANDIN_TICKET_DELAY_MS=<ms>
//       Sleep that long before issuing (or refusing) a ticket.
//   VANDREL_STANDIN_TICKET_DELAYS_MS=<ms>,<ms>,...
//       The delay of the 1st, 2nd, ... ticket call since the initialisation,
//       the last value repeating, e.g. "9000,0" delays only the first ticket;
//       wins over VANDREL_STANDIN_TICKET_DELAY_MS.
//   VANDREL_STANDIN_TICKET_CLOSE_OUTPUT=1
//       At the start of every ticket call, before its delay, close every
//       descriptor open for writing into a pipe other than standard error's:
//       in a child, its frame output.
//   VANDREL_STANDIN_CALLBACKS=<id>[:<param size>],...
//       Callbacks queued at initialisation and delivered one per
//       GetNextCallback, e.g. "703,100,703". The parameter size defaults to 16
//       for 703 and 8 otherwise (at most 64). A 703's parameter holds a
//       completed-call record: call handle 0x8000000000000000 | generation << 32
//       | (index + 1), callback id 2101 and the size of
//       VANDREL_STANDIN_API_CALL_SIZE (default 24). Parameters deliberately
//       start at an odd address.
//   VANDREL_STANDIN_API_CALL_RESULT=0|1
//       What GetAPICallResult returns (default 1); when true it fills the
//       buffer with 0xA5 bytes.
//   VANDREL_STANDIN_API_CALL_IO_FAILED=0|1
//       What GetAPICallResult stores in the I/O-failure flag (default 0).
//   VANDREL_STANDIN_AUTH_RESULT, VANDREL_STANDIN_AUTH_CONFIRM,
//   VANDREL_STANDIN_AUTH_DECOYS
//       How session, web API and encrypted app tickets are confirmed; see
//       auth.cpp, which also gives their handles and bytes.
//
// Checks that end as ERROR lines: any call other than InitFlat while not
// initialised, a second InitFlat, a dispatch call before ManualDispatch_Init
// or on another pipe, GetNextCallback while the previous callback is not
// freed, FreeLastCallback with no callback outstanding (a double free),
// GetAPICallResult whose handle, size or callback id does not match the
// outstanding completed call, and an interface handle that is not ours.
//
// Ticket bytes are deterministic, so that a test can recompute them. Byte i
// (from 0) of the ticket for a server at host-order address `ip`, port `port`
// and server Steam ID `sid` is the top byte of
//     mix(seed + (i + 1) * 0x9E3779B97F4A7C15),  seed = sid ^ (ip << 16 | port)
// with 64-bit wrap-around arithmetic and mix the splitmix64 finaliser:
//     z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
//     z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
//     z ^ (z >> 31).
// The secure flag does not enter into it.
//
// The stand-in keeps one global state and expects its caller to use one
// thread, as the broker's child does.

#include "steam/flat.hpp"
#include "steam/standin/auth.hpp"
#include "steam/standin/callbacks.hpp"
#include "steam/standin/calllog.hpp"
#include "steam/standin/presence.hpp"
#include "steam/standin/script.hpp"
#include "steam/standin/ticket.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unistd.h>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace vandrel::standin {

const std::string_view LIBRARY_NAME = "libsteam_api stand-in";

namespace {

using steam::flat::INIT_FAILED_GENERIC;
using steam::flat::INIT_MESSAGE_LEN;

constexpr const char* NO_APPID_MESSAGE =
    "No appID found.  Either launch the game from Steam, or put the file steam_appid.txt "
    "containing the correct appID in your game folder.";
constexpr const char* DEFAULT_FAILURE_MESSAGE = "stand-in: scripted init failure";
constexpr std::uint64_t DEFAULT_STEAM_ID = 76561197960287930ULL;
// The user handle of every delivered callback.
constexpr std::int32_t CALLBACK_USER = 1;

struct State {
    bool initialised = false;
    bool manual_dispatch = false;
    // Counts initialisations; the pipe of each is its number, so a pipe kept
    // from an earlier initialisation is caught.
    std::int32_t generation = 0;
    std::uint32_t app_id = 0;
    std::uint64_t steam_id = 0;
    std::size_t ticket_calls = 0; // since the initialisation
};

State state;
// The interface handles: addresses that only the stand-in hands out.
char user_interface;
char utils_interface;

bool require_initialised(const char* call) {
    if (state.initialised)
        return true;
    report_error("%s while not initialised", call);
    return false;
}

bool check_pipe(const char* call, std::int32_t pipe) {
    if (!require_initialised(call))
        return false;
    if (!state.manual_dispatch)
        report_error("%s before SteamAPI_ManualDispatch_Init", call);
    if (pipe != state.generation) {
        report_error("%s on pipe %d, expected %d", call, pipe, state.generation);
        return false;
    }
    return true;
}

bool check_handle(const char* call, const void* handle, const void* ours) {
    if (!require_initialised(call))
        return false;
    if (handle == ours)
        return true;
    report_error("%s with a handle that is not ours", call);
    return false;
}

// Writes the scripted failure message into the caller's buffer.
void write_message(char* out, const char* text) {
    const bool unterminated = env_flag("VANDREL_STANDIN_INIT_MESSAGE_UNTERMINATED");
    const std::size_t cap = unterminated ? INIT_MESSAGE_LEN : INIT_MESSAGE_LEN - 1;
    std::size_t len = 0;
    if (const char* hex = env("VANDREL_STANDIN_INIT_MESSAGE_HEX")) {
        len = decode_hex(hex, reinterpret_cast<unsigned char*>(out), cap);
    } else {
        len = std::min(std::strlen(text), cap);
        std::memcpy(out, text, len);
    }
    if (len < INIT_MESSAGE_LEN && !unterminated)
        out[len] = '\0';
}

int init(char* message) {
    play_init_script();
    const long long scripted = env_int("VANDREL_STANDIN_INIT_RESULT", 0);
    if (scripted != 0) {
        const char* text = env("VANDREL_STANDIN_INIT_MESSAGE");
        write_message(message, text != nullptr ? text : DEFAULT_FAILURE_MESSAGE);
        return static_cast<int>(scripted);
    }
    if (!steam_running()) {
        write_message(message, NOT_RUNNING_MESSAGE);
        return NOT_RUNNING_RESULT;
    }
    std::uint32_t app_id = 0;
    if (!read_app_id(app_id)) {
        write_message(message, NO_APPID_MESSAGE);
        return INIT_FAILED_GENERIC;
    }
    ++state.generation;
    state.initialised = true;
    state.manual_dispatch = false;
    state.app_id = app_id;
    state.ticket_calls = 0;
    state.steam_id = steam_user(DEFAULT_STEAM_ID);
    presence_start();
    queue_callbacks(state.generation);
    reset_auth(state.generation);
    return 0;
}

} // namespace
} // namespace vandrel::standin

// Defined in the namespace of our declarations, so that the compiler holds
// every definition to the declared signature: a C function declared twice in
// one namespace with different types does not compile.
namespace vandrel::steam::flat {

using namespace vandrel::standin;

STANDIN_EXPORT int SteamAPI_InitFlat(InitMessage* message) {
    say("not Steam");
    if (message == nullptr) {
        report_error("SteamAPI_InitFlat without a message buffer");
        return INIT_FAILED_GENERIC;
    }
    const bool zeroed = all_zero(*message, INIT_MESSAGE_LEN);
    if (state.initialised) {
        report_error("SteamAPI_InitFlat while initialised");
        log_call("SteamAPI_InitFlat zeroed=%d result=0", zeroed);
        return 0;
    }
    const int result = init(*message);
    log_call("SteamAPI_InitFlat zeroed=%d result=%d appid=%u", zeroed, result,
             result == 0 ? state.app_id : 0);
    return result;
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_Init() {
    log_call("SteamAPI_ManualDispatch_Init");
    if (require_initialised("SteamAPI_ManualDispatch_Init"))
        state.manual_dispatch = true;
}

STANDIN_EXPORT void SteamAPI_Shutdown() {
    log_call("SteamAPI_Shutdown");
    if (!require_initialised("SteamAPI_Shutdown"))
        return;
    state.initialised = false;
    state.manual_dispatch = false;
    clear_callbacks();
}

STANDIN_EXPORT HSteamPipe SteamAPI_GetHSteamPipe() {
    const HSteamPipe pipe = state.initialised ? state.generation : 0;
    log_call("SteamAPI_GetHSteamPipe pipe=%d", pipe);
    require_initialised("SteamAPI_GetHSteamPipe");
    return pipe;
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_RunFrame(HSteamPipe pipe) {
    log_call("SteamAPI_ManualDispatch_RunFrame pipe=%d", pipe);
    if (check_pipe("SteamAPI_ManualDispatch_RunFrame", pipe))
        presence_frame();
}

STANDIN_EXPORT bool SteamAPI_ManualDispatch_GetNextCallback(HSteamPipe pipe, CallbackMsg* msg) {
    return next_callback(check_pipe, pipe, CALLBACK_USER, msg);
}

STANDIN_EXPORT bool SteamAPI_ManualDispatch_GetAPICallResult(HSteamPipe pipe, SteamAPICall call,
                                                             void* buf, std::int32_t size,
                                                             std::int32_t expected_callback_id,
                                                             bool* io_failed) {
    return api_call_result(check_pipe, pipe, call, buf, size, expected_callback_id, io_failed);
}

STANDIN_EXPORT void SteamAPI_ManualDispatch_FreeLastCallback(HSteamPipe pipe) {
    free_last_callback(check_pipe, pipe);
}

STANDIN_EXPORT void* SteamAPI_SteamUser_v023() {
    log_call("SteamAPI_SteamUser_v023");
    return require_initialised("SteamAPI_SteamUser_v023") ? &user_interface : nullptr;
}

STANDIN_EXPORT void* SteamAPI_SteamUtils_v010() {
    log_call("SteamAPI_SteamUtils_v010");
    return require_initialised("SteamAPI_SteamUtils_v010") ? &utils_interface : nullptr;
}

STANDIN_EXPORT std::uint64_t SteamAPI_ISteamUser_GetSteamID(void* user) {
    const char* call = "SteamAPI_ISteamUser_GetSteamID";
    const std::uint64_t id = check_handle(call, user, &user_interface) ? state.steam_id : 0;
    log_call("%s steamid=%llu", call, static_cast<unsigned long long>(id));
    return id;
}

STANDIN_EXPORT bool SteamAPI_ISteamUser_BLoggedOn(void* user) {
    const char* call = "SteamAPI_ISteamUser_BLoggedOn";
    const bool logged_on = check_handle(call, user, &user_interface) &&
                           env_int("VANDREL_STANDIN_LOGGED_ON", 1) != 0 && !steam_gone();
    log_call("%s result=%d", call, static_cast<int>(logged_on));
    return logged_on;
}

STANDIN_EXPORT std::uint32_t SteamAPI_ISteamUtils_GetAppID(void* utils) {
    const char* call = "SteamAPI_ISteamUtils_GetAppID";
    const std::uint32_t id = check_handle(call, utils, &utils_interface) ? state.app_id : 0;
    log_call("%s appid=%u", call, id);
    return id;
}

STANDIN_EXPORT int SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED(
    void* user, void* blob, int max_blob, std::uint64_t server_steam_id,
    std::uint32_t server_ip_host_order, std::uint16_t server_port, bool secure) {
    const bool ours = check_handle("SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED", user,
                                   &user_interface);
    const TicketRequest request{blob,        max_blob, server_steam_id, server_ip_host_order,
                                server_port, secure};
    return issue_ticket(request, state.ticket_calls++, !ours || steam_gone());
}

STANDIN_EXPORT void SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED(
    void* user, std::uint32_t server_ip_host_order, std::uint16_t server_port) {
    const char* call = "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED";
    log_call("%s ip=%u port=%u", call, server_ip_host_order, unsigned{server_port});
    check_handle(call, user, &user_interface);
}

STANDIN_EXPORT HAuthTicket SteamAPI_ISteamUser_GetAuthSessionTicket(
    void* user, void* ticket, int max_ticket, std::uint32_t* ticket_len,
    const SteamNetworkingIdentity* identity) {
    const bool ours =
        check_handle("SteamAPI_ISteamUser_GetAuthSessionTicket", user, &user_interface);
    return session_ticket(ticket, max_ticket, ticket_len, identity, !ours || steam_gone());
}

STANDIN_EXPORT HAuthTicket SteamAPI_ISteamUser_GetAuthTicketForWebApi(void* user,
                                                                      const char* identity) {
    const bool ours =
        check_handle("SteamAPI_ISteamUser_GetAuthTicketForWebApi", user, &user_interface);
    return web_api_ticket(identity, !ours || steam_gone());
}

STANDIN_EXPORT void SteamAPI_ISteamUser_CancelAuthTicket(void* user, HAuthTicket handle) {
    cancel_ticket(handle);
    check_handle("SteamAPI_ISteamUser_CancelAuthTicket", user, &user_interface);
}

STANDIN_EXPORT SteamAPICall SteamAPI_ISteamUser_RequestEncryptedAppTicket(void* user, void* data,
                                                                          int data_len) {
    const bool ours =
        check_handle("SteamAPI_ISteamUser_RequestEncryptedAppTicket", user, &user_interface);
    return request_app_ticket(data, data_len, !ours || steam_gone());
}

STANDIN_EXPORT bool SteamAPI_ISteamUser_GetEncryptedAppTicket(void* user, void* ticket,
                                                              int max_ticket,
                                                              std::uint32_t* ticket_len) {
    check_handle("SteamAPI_ISteamUser_GetEncryptedAppTicket", user, &user_interface);
    return app_ticket(ticket, max_ticket, ticket_len);
}

STANDIN_EXPORT bool SteamAPI_SteamNetworkingIdentity_ParseString(SteamNetworkingIdentity* identity,
                                                                 const char* text) {
    require_initialised("SteamAPI_SteamNetworkingIdentity_ParseString");
    return parse_identity(identity, text);
}

// The marker by which the binding tells the stand-in from Steam's runtime
// (flat::STANDIN_MARKER); what it says is for a person reading the symbols.
STANDIN_EXPORT const char vandrel_standin_not_steam[] = "libsteam_api stand-in: not Steam";

// The list's every function, by address: a call added to the list without its
// definition above leaves an undefined reference here, and the stand-in does
// not link.
using AnyFlatCall = void (*)();
extern const AnyFlatCall STANDIN_EXPORTS[];
const AnyFlatCall STANDIN_EXPORTS[] = {
#define VANDREL_STANDIN_EXPORT(result, name, params) reinterpret_cast<AnyFlatCall>(&(name)),
    VANDREL_STEAM_FLAT_CALLS(VANDREL_STANDIN_EXPORT)
#undef VANDREL_STANDIN_EXPORT
};

} // namespace vandrel::steam::flat
