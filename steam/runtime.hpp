// The Steamworks runtime (libsteam_api.so), loaded at run time by the process
// that calls Steam, and its flat functions resolved by name. Only the Steam
// child ever loads it: the broker and `vandrel --help` run without it.
#pragma once

#include "error.hpp"
#include "steam/flat.hpp"

#include <string>

namespace vandrel::steam {

// The runtime's file name, searched as the dynamic linker searches for the
// program's own libraries: LD_LIBRARY_PATH first, then the executable's
// RUNPATH ($ORIGIN/../lib/vandrel and the product directory), then the
// system's directories.
inline constexpr const char* RUNTIME_LIBRARY = "libsteam_api.so";

// The flat functions the binding layer calls, typed by our declarations.
struct FlatApi {
    decltype(&flat::SteamAPI_InitFlat) SteamAPI_InitFlat;
    decltype(&flat::SteamAPI_ManualDispatch_Init) SteamAPI_ManualDispatch_Init;
    decltype(&flat::SteamAPI_Shutdown) SteamAPI_Shutdown;
    decltype(&flat::SteamAPI_GetHSteamPipe) SteamAPI_GetHSteamPipe;
    decltype(&flat::SteamAPI_ManualDispatch_RunFrame) SteamAPI_ManualDispatch_RunFrame;
    decltype(&flat::SteamAPI_ManualDispatch_GetNextCallback)
        SteamAPI_ManualDispatch_GetNextCallback;
    decltype(&flat::SteamAPI_ManualDispatch_GetAPICallResult)
        SteamAPI_ManualDispatch_GetAPICallResult;
    decltype(&flat::SteamAPI_ManualDispatch_FreeLastCallback)
        SteamAPI_ManualDispatch_FreeLastCallback;
    decltype(&flat::SteamAPI_SteamUser_v023) SteamAPI_SteamUser_v023;
    decltype(&flat::SteamAPI_SteamUtils_v010) SteamAPI_SteamUtils_v010;
    decltype(&flat::SteamAPI_ISteamUser_GetSteamID) SteamAPI_ISteamUser_GetSteamID;
    decltype(&flat::SteamAPI_ISteamUser_BLoggedOn) SteamAPI_ISteamUser_BLoggedOn;
    decltype(&flat::SteamAPI_ISteamUtils_GetAppID) SteamAPI_ISteamUtils_GetAppID;
    decltype(&flat::SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED)
        SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED;
    decltype(&flat::SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED)
        SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED;
    decltype(&flat::SteamAPI_ISteamUser_GetAuthSessionTicket)
        SteamAPI_ISteamUser_GetAuthSessionTicket;
    decltype(&flat::SteamAPI_ISteamUser_GetAuthTicketForWebApi)
        SteamAPI_ISteamUser_GetAuthTicketForWebApi;
    decltype(&flat::SteamAPI_ISteamUser_CancelAuthTicket) SteamAPI_ISteamUser_CancelAuthTicket;
    decltype(&flat::SteamAPI_ISteamUser_RequestEncryptedAppTicket)
        SteamAPI_ISteamUser_RequestEncryptedAppTicket;
    decltype(&flat::SteamAPI_ISteamUser_GetEncryptedAppTicket)
        SteamAPI_ISteamUser_GetEncryptedAppTicket;
    decltype(&flat::SteamAPI_SteamNetworkingIdentity_ParseString)
        SteamAPI_SteamNetworkingIdentity_ParseString;
};

// Which runtime this process loaded.
struct RuntimeIdentity {
    // Its absolute path, as the loader found it (symbolic links not resolved).
    std::string path;
    // True for our stand-in, which exports flat::STANDIN_MARKER.
    bool standin = false;
};

// Loads the runtime and resolves all of its functions, once per process;
// every later call returns the first outcome. A failure is the loader's own
// text, which names the file that could not be loaded or the missing function.
Result<const FlatApi*, std::string> load_runtime();

// The functions of the runtime that load_runtime has loaded. Only the objects
// that a successful Client::init hands out call it, so it is always loaded.
const FlatApi& runtime();
// The identity of the runtime that load_runtime has loaded.
const RuntimeIdentity& runtime_identity();

} // namespace vandrel::steam
