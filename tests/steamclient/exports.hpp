// The C functions that the Steamworks runtime looks up in the Steam client
// library (steamclient.so) and calls.
#pragma once

#include "steam/flat.hpp"

#include <cstdint>

#define STEAMCLIENT_EXPORT extern "C" __attribute__((visibility("default")))

// The interface object for `version` ("SteamClient021" is the only one handed
// out here), or null; `return_code`, when given, gets 0 or 1 accordingly.
STEAMCLIENT_EXPORT void* CreateInterface(const char* version, int* return_code);

// Fills `msg` with the callback at the head of the queue; false when none is
// queued. The callback stays at the head until Steam_FreeLastCallback. The
// runtime hands the caller's record of SteamAPI_ManualDispatch_GetNextCallback
// through unchanged, so its layout is the one our declarations give.
STEAMCLIENT_EXPORT bool Steam_BGetCallback(std::int32_t pipe,
                                           vandrel::steam::flat::CallbackMsg* msg);
// Removes the callback that Steam_BGetCallback returned.
STEAMCLIENT_EXPORT void Steam_FreeLastCallback(std::int32_t pipe);
// Fills `buf` with the result of a completed call (VANDREL_STANDIN_API_CALL_*).
STEAMCLIENT_EXPORT bool Steam_GetAPICallResult(std::int32_t pipe, std::uint64_t call, void* buf,
                                               int size, int expected_callback_id, bool* failed);

// True: every interface version asked for is handed out.
STEAMCLIENT_EXPORT bool Steam_IsKnownInterface(const char* version);
// Records that the runtime found no object for `version`.
STEAMCLIENT_EXPORT void Steam_NotifyMissingInterface(std::int32_t pipe, const char* version);
// Nothing to release: the library keeps no per-thread state.
STEAMCLIENT_EXPORT void Steam_ReleaseThreadLocalMemory(bool thread_exit);

// The crash-reporting hooks. They have no effect; whatever arguments the runtime
// passes are ignored, which the calling convention allows.
STEAMCLIENT_EXPORT void Breakpad_SteamSetAppID();
STEAMCLIENT_EXPORT void Breakpad_SteamMiniDumpInit();
STEAMCLIENT_EXPORT void Breakpad_SteamSetSteamID();
STEAMCLIENT_EXPORT void Breakpad_SteamSendMiniDump();
STEAMCLIENT_EXPORT void Breakpad_SteamWriteMiniDumpSetComment();
STEAMCLIENT_EXPORT void Breakpad_SteamWriteMiniDumpUsingExceptionInfoWithBuildId();
