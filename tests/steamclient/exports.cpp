// Callback semantics are the stand-in runtime's (steam/standin/callbacks.hpp),
// so that one test runs against either.
#include "exports.hpp"

#include "calllog.hpp"
#include "interfaces.hpp"
#include "steam/standin/callbacks.hpp"
#include "steam/standin/script.hpp"

#include <cstring>

using namespace vandrel::steamclient;
using namespace vandrel::standin;

namespace {

bool check_pipe(const char* call, std::int32_t pipe) {
    const std::int32_t open = connection().pipe;
    if (open != 0 && pipe == open)
        return true;
    report_error("%s on pipe %d, expected %d", call, pipe, open);
    return false;
}

} // namespace

STEAMCLIENT_EXPORT void* CreateInterface(const char* version, int* return_code) {
    Object* object = nullptr;
    if (version != nullptr && std::strcmp(version, CLIENT_VERSION) == 0) {
        say("not Steam");
        // The stand-in's initialisation knobs that mean the same here.
        play_init_script();
        if (scripted_failure() != Failure::NoClientInterface)
            object = client_object();
    }
    log_call("steamclient CreateInterface version=%s found=%d",
             version == nullptr ? "(null)" : version, object != nullptr);
    if (return_code != nullptr)
        *return_code = object == nullptr ? 1 : 0;
    return object;
}

STEAMCLIENT_EXPORT bool Steam_BGetCallback(std::int32_t pipe,
                                           vandrel::steam::flat::CallbackMsg* msg) {
    return next_callback(check_pipe, pipe, connection().user, msg);
}

STEAMCLIENT_EXPORT void Steam_FreeLastCallback(std::int32_t pipe) {
    free_last_callback(check_pipe, pipe);
}

STEAMCLIENT_EXPORT bool Steam_GetAPICallResult(std::int32_t pipe, std::uint64_t call, void* buf,
                                               int size, int expected_callback_id, bool* failed) {
    return api_call_result(check_pipe, pipe, call, buf, size, expected_callback_id, failed);
}

STEAMCLIENT_EXPORT bool Steam_IsKnownInterface(const char* version) {
    trace("Steam_IsKnownInterface %s", version == nullptr ? "(null)" : version);
    return true;
}

STEAMCLIENT_EXPORT void Steam_NotifyMissingInterface(std::int32_t pipe, const char* version) {
    log_call("steamclient NotifyMissingInterface pipe=%d version=%s", pipe,
             version == nullptr ? "(null)" : version);
}

STEAMCLIENT_EXPORT void Steam_ReleaseThreadLocalMemory(bool thread_exit) {
    trace("Steam_ReleaseThreadLocalMemory %d", thread_exit);
}

STEAMCLIENT_EXPORT void Breakpad_SteamSetAppID() {
    trace("Breakpad_SteamSetAppID");
}
STEAMCLIENT_EXPORT void Breakpad_SteamMiniDumpInit() {
    trace("Breakpad_SteamMiniDumpInit");
}
STEAMCLIENT_EXPORT void Breakpad_SteamSetSteamID() {
    trace("Breakpad_SteamSetSteamID");
}
STEAMCLIENT_EXPORT void Breakpad_SteamSendMiniDump() {
    trace("Breakpad_SteamSendMiniDump");
}
STEAMCLIENT_EXPORT void Breakpad_SteamWriteMiniDumpSetComment() {
    trace("Breakpad_SteamWriteMiniDumpSetComment");
}
STEAMCLIENT_EXPORT void Breakpad_SteamWriteMiniDumpUsingExceptionInfoWithBuildId() {
    trace("Breakpad_SteamWriteMiniDumpUsingExceptionInfoWithBuildId");
}
