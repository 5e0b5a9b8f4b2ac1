#include "steam/runtime.hpp"

#include <dlfcn.h>
#include <optional>

namespace vandrel::steam {
namespace {

// The outcome of the one load of this process.
struct Loaded {
    FlatApi api{};
    std::optional<std::string> failure;
};

// Resolves `name` into `fn`; false with the loader's text in `failure` when
// the runtime lacks it.
template <class Fn>
bool resolve(void* library, const char* name, Fn& fn, std::optional<std::string>& failure) {
    ::dlerror(); // clear an older message, so the one read below is this look-up's
    void* address = ::dlsym(library, name);
    if (address == nullptr) {
        const char* text = ::dlerror();
        failure = text != nullptr ? text : std::string(name) + ": not found";
        return false;
    }
    fn = reinterpret_cast<Fn>(address);
    return true;
}

// Resolves every function, stopping at the first one the runtime lacks.
bool resolve_all(void* library, FlatApi& api, std::optional<std::string>& failure) {
#define VANDREL_RESOLVE(fn) resolve(library, #fn, api.fn, failure)
    return VANDREL_RESOLVE(SteamAPI_InitFlat) && VANDREL_RESOLVE(SteamAPI_ManualDispatch_Init) &&
           VANDREL_RESOLVE(SteamAPI_Shutdown) && VANDREL_RESOLVE(SteamAPI_GetHSteamPipe) &&
           VANDREL_RESOLVE(SteamAPI_ManualDispatch_RunFrame) &&
           VANDREL_RESOLVE(SteamAPI_ManualDispatch_GetNextCallback) &&
           VANDREL_RESOLVE(SteamAPI_ManualDispatch_GetAPICallResult) &&
           VANDREL_RESOLVE(SteamAPI_ManualDispatch_FreeLastCallback) &&
           VANDREL_RESOLVE(SteamAPI_SteamUser_v023) && VANDREL_RESOLVE(SteamAPI_SteamUtils_v010) &&
           VANDREL_RESOLVE(SteamAPI_ISteamUser_GetSteamID) &&
           VANDREL_RESOLVE(SteamAPI_ISteamUtils_GetAppID) &&
           VANDREL_RESOLVE(SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED) &&
           VANDREL_RESOLVE(SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED);
#undef VANDREL_RESOLVE
}

Loaded load() {
    Loaded out;
    // Loaded with its symbols global and bound at once, as the dynamic linker
    // used to load it for the whole program: the runtime and the Steam client
    // library it loads in turn see the process as they always did. It is never
    // unloaded, since the runtime keeps threads and state until the process
    // ends.
    void* library = ::dlopen(RUNTIME_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        const char* text = ::dlerror();
        out.failure = text != nullptr ? text : std::string(RUNTIME_LIBRARY) + ": cannot be loaded";
        return out;
    }
    resolve_all(library, out.api, out.failure);
    return out;
}

const Loaded& loaded() {
    // Initialised once, on first use, even with several threads asking.
    static const Loaded once = load();
    return once;
}

} // namespace

Result<const FlatApi*, std::string> load_runtime() {
    const Loaded& l = loaded();
    if (l.failure)
        return *l.failure;
    return &l.api;
}

const FlatApi& runtime() {
    return loaded().api;
}

} // namespace vandrel::steam
