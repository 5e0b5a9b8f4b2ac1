#include "steam/runtime.hpp"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vandrel::steam {
namespace {

// The outcome of the one load of this process.
struct Loaded {
    FlatApi api{};
    RuntimeIdentity identity;
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
    bool ok = true;
#define VANDREL_RESOLVE(result, name, params) ok = ok && resolve(library, #name, api.name, failure);
    VANDREL_STEAM_FLAT_CALLS(VANDREL_RESOLVE)
#undef VANDREL_RESOLVE
    return ok;
}

// The directories that the dynamic linker searches for the program's own
// libraries: LD_LIBRARY_PATH, then the program's RUNPATH, whose entries are
// relative to the executable ($ORIGIN). dlopen searches the RUNPATH only of
// the object that calls it, and a sanitizer's runtime library, which
// intercepts dlopen, has none: so the search is made here.
std::vector<std::string> search_dirs() {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("LD_LIBRARY_PATH")) {
        std::string_view rest = path;
        while (!rest.empty()) {
            std::size_t colon = rest.find(':');
            if (colon != 0)
                dirs.emplace_back(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
        }
    }
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        std::string_view relative = RUNPATH_DIRS;
        while (!relative.empty()) {
            std::size_t colon = relative.find(':');
            dirs.push_back((exe.parent_path() / relative.substr(0, colon)).string());
            relative = colon == std::string_view::npos ? "" : relative.substr(colon + 1);
        }
    }
    return dirs;
}

// The runtime's path in the first directory that holds one; its bare name,
// for the system's own search, when none does.
std::string runtime_path() {
    for (const std::string& dir : search_dirs()) {
        std::string candidate = dir + "/" + RUNTIME_LIBRARY;
        if (::access(candidate.c_str(), F_OK) == 0)
            return candidate;
    }
    return RUNTIME_LIBRARY;
}

// Where the loader found `library`, and whether it carries the stand-in's
// marker. The path is made absolute against the working directory of the
// load, which is where the loader resolved a relative one.
RuntimeIdentity identify(void* library) {
    RuntimeIdentity identity;
    link_map* map = nullptr;
    if (::dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        std::error_code ec;
        std::filesystem::path path = std::filesystem::absolute(map->l_name, ec);
        identity.path = ec ? std::string(map->l_name) : path.lexically_normal().string();
    }
    identity.standin = ::dlsym(library, flat::STANDIN_MARKER) != nullptr;
    return identity;
}

Loaded load() {
    Loaded out;
    // Loaded with its symbols global and bound at once, as the dynamic linker
    // used to load it for the whole program: the runtime and the Steam client
    // library it loads in turn see the process as they always did. It is never
    // unloaded, since the runtime keeps threads and state until the process
    // ends.
    void* library = ::dlopen(runtime_path().c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        const char* text = ::dlerror();
        out.failure = text != nullptr ? text : std::string(RUNTIME_LIBRARY) + ": cannot be loaded";
        return out;
    }
    if (resolve_all(library, out.api, out.failure))
        out.identity = identify(library);
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

const RuntimeIdentity& runtime_identity() {
    return loaded().identity;
}

} // namespace vandrel::steam
