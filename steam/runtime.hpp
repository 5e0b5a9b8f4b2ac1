// The Steamworks runtime (libsteam_api.so), loaded at run time by the process
// that calls Steam, and its flat functions resolved by name. Only the Steam
// child ever loads it: the broker and `vandrel --help` run without it.
#pragma once

#include "base/error.hpp"
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
// `name` names a function and a member: it cannot be parenthesised.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define VANDREL_FLAT_POINTER(result, name, params) decltype(&flat::name) name;
    VANDREL_STEAM_FLAT_CALLS(VANDREL_FLAT_POINTER)
#undef VANDREL_FLAT_POINTER
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
