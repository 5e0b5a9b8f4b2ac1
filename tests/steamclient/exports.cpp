#include "exports.hpp"

#include "calllog.hpp"
#include "interfaces.hpp"
#include "script.hpp"

#include <cstring>
#include <unistd.h>

using namespace vandrel::steamclient;

namespace {

constexpr const char* ANNOUNCEMENT = "steamclient simulation: not Steam\n";

// The stand-in runtime's initialisation knobs that mean the same here: a hang
// and chatter on standard output while SteamAPI_InitFlat runs.
void scripted_init_behaviour() {
    if (const char* hang = env("VANDREL_STANDIN_INIT_HANG_MS"))
        sleep_ms(std::strcmp(hang, "forever") == 0 ? -1
                                                   : env_int("VANDREL_STANDIN_INIT_HANG_MS", 0));
    if (const char* text = env("VANDREL_STANDIN_INIT_STDOUT")) {
        // Straight to the descriptor, unbuffered, as a chatty library would.
        [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text, std::strlen(text));
    }
}

} // namespace

STEAMCLIENT_EXPORT void* CreateInterface(const char* version, int* return_code) {
    Object* object = nullptr;
    if (version != nullptr && std::strcmp(version, CLIENT_VERSION) == 0) {
        [[maybe_unused]] const ssize_t n =
            ::write(STDERR_FILENO, ANNOUNCEMENT, std::strlen(ANNOUNCEMENT));
        scripted_init_behaviour();
        if (scripted_failure() != Failure::NoClientInterface)
            object = client_object();
    }
    log_call("steamclient CreateInterface version=%s found=%d",
             version == nullptr ? "(null)" : version, object != nullptr);
    if (return_code != nullptr)
        *return_code = object == nullptr ? 1 : 0;
    return object;
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
