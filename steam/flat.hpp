// Our own declarations of the Steamworks runtime's flat C functions that the
// binding layer calls, written for the Linux x86-64 ABI of libsteam_api.so.
//
// Only the binding layer (steam/*.cpp) includes this file; the rest of the
// program talks to Steam through Client, User and Utils.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandrel::steam::flat {

// The pipe on which callbacks of one initialisation are dispatched.
using HSteamPipe = std::int32_t;
// The handle of an asynchronous API call.
using SteamAPICall = std::uint64_t;
// The buffer into which SteamAPI_InitFlat writes its failure message.
inline constexpr std::size_t INIT_MESSAGE_LEN = 1024;
using InitMessage = char[INIT_MESSAGE_LEN];

// SteamAPI_InitFlat's result codes.
inline constexpr int INIT_OK = 0;
inline constexpr int INIT_FAILED_GENERIC = 1;
inline constexpr int INIT_NO_STEAM_CLIENT = 2;
inline constexpr int INIT_VERSION_MISMATCH = 3;

// The callback that reports a completed API call; its parameter is a
// CompletedCallRecord.
inline constexpr std::int32_t CALLBACK_API_CALL_COMPLETED = 703;

// One queued callback as GetNextCallback fills it. The runtime packs its
// records to 4 bytes on Linux, so the pointer is not 8-aligned within the
// record and the record is 20 bytes, not 24.
#pragma pack(push, 4)
struct CallbackMsg {
    std::int32_t user;
    std::int32_t callback_id;
    std::uint8_t* param;
    std::int32_t param_size;
};
#pragma pack(pop)
static_assert(sizeof(CallbackMsg) == 20, "CallbackMsg must match the runtime's packed layout");

// The parameter of callback 703: which call completed, the callback id its
// result carries and the result's size. Read it with memcpy, never in place:
// the runtime promises no alignment for callback parameters.
struct CompletedCallRecord {
    SteamAPICall call;
    std::int32_t callback_id;
    std::uint32_t size;
};
static_assert(sizeof(CompletedCallRecord) == 16, "CompletedCallRecord must match the runtime");

// Steam's own signals that it is gone for this process: the Steam client is
// shutting down (SteamShutdown_t), or the process lost its link to it
// (IPCFailure_t, whose documented advice is to disconnect, reset any stored
// Steam state and reconnect).
inline constexpr std::int32_t CALLBACK_STEAM_SHUTDOWN = 704;
inline constexpr std::int32_t CALLBACK_IPC_FAILURE = 117;

// The handle of a session or web API ticket; 0 is no ticket.
using HAuthTicket = std::uint32_t;
// The result code that callbacks and call results carry for success.
inline constexpr std::int32_t RESULT_OK = 1;

// The callbacks that confirm a ticket, and the call result that carries an
// encrypted app ticket's outcome.
inline constexpr std::int32_t CALLBACK_ENCRYPTED_APP_TICKET_RESPONSE = 154;
inline constexpr std::int32_t CALLBACK_GET_AUTH_SESSION_TICKET_RESPONSE = 163;
inline constexpr std::int32_t CALLBACK_GET_TICKET_FOR_WEB_API_RESPONSE = 168;

// The largest web API ticket a confirmation carries.
inline constexpr std::size_t WEB_API_TICKET_CAPACITY = 2560;

// The runtime's records, packed to 4 bytes on Linux like every callback.
#pragma pack(push, 4)
struct GetAuthSessionTicketResponse {
    HAuthTicket handle;
    std::int32_t result;
};
struct GetTicketForWebApiResponse {
    HAuthTicket handle;
    std::int32_t result;
    std::int32_t ticket_len;
    std::uint8_t ticket[WEB_API_TICKET_CAPACITY];
};
struct EncryptedAppTicketResponse {
    std::int32_t result;
};
#pragma pack(pop)
static_assert(sizeof(GetAuthSessionTicketResponse) == 8);
static_assert(sizeof(GetTicketForWebApiResponse) == 12 + WEB_API_TICKET_CAPACITY);
static_assert(sizeof(EncryptedAppTicketResponse) == 4);

// Who a session ticket is for, as Steam's parser fills it: a type (i32), the
// size of the data (i32) and 128 bytes of data. Opaque to the program, which
// only hands it from the parser to the ticket call.
inline constexpr std::size_t NETWORKING_IDENTITY_LEN = 136;
struct alignas(8) SteamNetworkingIdentity {
    std::uint8_t bytes[NETWORKING_IDENTITY_LEN];
};
static_assert(sizeof(SteamNetworkingIdentity) == NETWORKING_IDENTITY_LEN);

// The stand-in runtime exports a symbol of this name and Steam's runtime does
// not: the binding looks it up to tell which of the two it loaded. It is no
// flat call: a runtime without it loads all the same.
inline constexpr const char* STANDIN_MARKER = "vandrel_standin_not_steam";

// Every flat function the binding layer calls, written once as
// X(result type, name, (parameters)). The declarations below, the runtime's
// function table (FlatApi), its resolver and the stand-in's list of exports
// all follow from this list.
// clang-format off
#define VANDREL_STEAM_FLAT_CALLS(X)                                                               \
    /* Initialises the API for the AppID of the process environment: INIT_OK, or a            */ \
    /* failure code with a NUL-terminated message in `message`.                               */ \
    X(int, SteamAPI_InitFlat, (InitMessage* message))                                             \
    /* Switches callback delivery to the ManualDispatch calls below.                          */ \
    X(void, SteamAPI_ManualDispatch_Init, ())                                                     \
    /* Ends the initialisation.                                                               */ \
    X(void, SteamAPI_Shutdown, ())                                                                \
    X(HSteamPipe, SteamAPI_GetHSteamPipe, ())                                                     \
    /* Lets the runtime queue the callbacks that are due.                                     */ \
    X(void, SteamAPI_ManualDispatch_RunFrame, (HSteamPipe pipe))                                  \
    /* Fills `msg` with the next queued callback; false when none is queued.                  */ \
    X(bool, SteamAPI_ManualDispatch_GetNextCallback, (HSteamPipe pipe, CallbackMsg* msg))         \
    /* Copies the result of a completed call into `buf`; true when it did.                   */ \
    X(bool, SteamAPI_ManualDispatch_GetAPICallResult,                                             \
      (HSteamPipe pipe, SteamAPICall call, void* buf, std::int32_t size,                          \
       std::int32_t expected_callback_id, bool* io_failed))                                       \
    /* Releases the callback that GetNextCallback returned last.                              */ \
    X(void, SteamAPI_ManualDispatch_FreeLastCallback, (HSteamPipe pipe))                          \
    /* The interface handles.                                                                 */ \
    X(void*, SteamAPI_SteamUser_v023, ())                                                         \
    X(void*, SteamAPI_SteamUtils_v010, ())                                                        \
    X(std::uint64_t, SteamAPI_ISteamUser_GetSteamID, (void* user))                                \
    /* Whether Steam has the user logged on to its servers just now.                          */ \
    X(bool, SteamAPI_ISteamUser_BLoggedOn, (void* user))                                          \
    X(std::uint32_t, SteamAPI_ISteamUtils_GetAppID, (void* utils))                                \
    /* Writes a game-connection ticket of at most `max_blob` bytes into `blob` and returns    */ \
    /* its length; 0 when no ticket was issued. The address is in host order (first octet     */ \
    /* most significant).                                                                     */ \
    X(int, SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED,                                 \
      (void* user, void* blob, int max_blob, std::uint64_t server_steam_id,                       \
       std::uint32_t server_ip_host_order, std::uint16_t server_port, bool secure))               \
    X(void, SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED,                               \
      (void* user, std::uint32_t server_ip_host_order, std::uint16_t server_port))                \
    /* Writes a session ticket of at most `max_ticket` bytes, stores its length in            */ \
    /* `ticket_len` and returns its handle (0: none issued). Steam confirms it later with     */ \
    /* callback 163. `identity` may be null.                                                  */ \
    X(HAuthTicket, SteamAPI_ISteamUser_GetAuthSessionTicket,                                      \
      (void* user, void* ticket, int max_ticket, std::uint32_t* ticket_len,                       \
       const SteamNetworkingIdentity* identity))                                                  \
    /* Asks for a web API ticket for `identity` (may be null); the handle, or 0. The ticket   */ \
    /* comes with callback 168.                                                               */ \
    X(HAuthTicket, SteamAPI_ISteamUser_GetAuthTicketForWebApi, (void* user, const char* identity)) \
    /* Ends a session or web API ticket.                                                      */ \
    X(void, SteamAPI_ISteamUser_CancelAuthTicket, (void* user, HAuthTicket handle))               \
    /* Asks for an encrypted app ticket carrying `data`; the call's handle (0: not started),  */ \
    /* whose result (callback 154) says whether a ticket is ready.                            */ \
    X(SteamAPICall, SteamAPI_ISteamUser_RequestEncryptedAppTicket,                                \
      (void* user, void* data, int data_len))                                                     \
    /* Copies the ready encrypted app ticket; false when there is none.                       */ \
    X(bool, SteamAPI_ISteamUser_GetEncryptedAppTicket,                                            \
      (void* user, void* ticket, int max_ticket, std::uint32_t* ticket_len))                      \
    /* Parses Steam's textual form of an identity ("steamid:...", "ip:...", "str:...",        */ \
    /* "gen:..."); false when the text is not one.                                            */ \
    X(bool, SteamAPI_SteamNetworkingIdentity_ParseString,                                         \
      (SteamNetworkingIdentity* identity, const char* text))
// clang-format on

extern "C" {
#define VANDREL_DECLARE_FLAT(result, name, params) result name params;
VANDREL_STEAM_FLAT_CALLS(VANDREL_DECLARE_FLAT)
#undef VANDREL_DECLARE_FLAT
} // extern "C"

} // namespace vandrel::steam::flat
