// The interface objects that the simulated client hands to the runtime, and the
// state of its one connection to "Steam".
//
// The runtime calls an interface object's functions the C++ way (Itanium ABI):
// the object's first word points at a table of function pointers, and each
// entry is called with the object as its first argument. The tables here are
// plain arrays filled by hand, so nothing depends on the compiler's own class
// layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vandrel::steamclient {

// One table entry, stored type-erased; the runtime calls it with its own
// signature, which the function that the entry points at shares.
using Slot = void (*)();
// Every table has this many entries; the ones not implemented return 0.
inline constexpr std::size_t SLOT_COUNT = 64;
using SlotTable = Slot[SLOT_COUNT];

// An interface object as the runtime sees it.
struct Object {
    const Slot* vtable;  // first word, where the runtime looks
    const char* version; // the interface version it was handed out for (traces)
};

// A table entry for a function of any signature.
template <class R, class... A>
Slot slot(R (*f)(A...)) {
    return reinterpret_cast<Slot>(f);
}
// One implemented entry of a table: its slot number and the function there.
struct Entry {
    std::size_t index;
    Slot function;
};
// Fills `table` with `entries` and every other entry with a function that
// returns 0 and traces its slot number; the object for `version` that uses it.
Object make_object(SlotTable& table, std::initializer_list<Entry> entries, const char* version);

inline constexpr const char* CLIENT_VERSION = "SteamClient021";
inline constexpr const char* USER_VERSION = "SteamUser023";
inline constexpr const char* UTILS_VERSION = "SteamUtils010";
inline constexpr const char* NETWORKING_UTILS_VERSION = "SteamNetworkingUtils004";

// The client object, handed out by CreateInterface(CLIENT_VERSION).
Object* client_object();
// The user object: Steam ID and game-connection tickets.
Object* user_object();
// The utilities object: the AppID and the runtime's per-frame call.
Object* utils_object();
// The networking utilities object: Steam's parser of textual identities.
Object* networking_utils_object();
// The object for an interface version asked of the client object: the user or
// utilities object, or one whose entries all return 0 (one per version, for
// the life of the process); null when a scripted failure leaves it out.
Object* interface_object(const char* version);

// The state of the one connection the runtime makes at initialisation.
struct Connection {
    std::int32_t pipe = 0;        // 0 while no pipe is open
    std::int32_t user = 0;        // 0 while no user is connected
    std::int32_t generation = 0;  // pipes made so far; the open pipe's number
    std::uint32_t app_id = 0;     // from steam_appid.txt, read when the user connects
    std::uint64_t steam_id = 0;   // read when the user connects
    std::size_t ticket_calls = 0; // InitiateGameConnection calls on this pipe
};
Connection& connection();

// The initialisation failure that VANDREL_STEAMCLIENT_FAIL asks for, and what
// the real runtime (steamworks.js 0.4.0's libsteam_api.so) then makes of it:
// SteamAPI_InitFlat's result code and message. Observed, not documented.
//
// Without a steam_appid.txt the AppID is 0, and the runtime returns 1, "No
// appID found.  Either launch the game from Steam, or put the file
// steam_appid.txt containing the correct appID in your game folder.". Without
// $HOME/.steam/sdk64/steamclient.so it returns 1, "Failed to load module
// '<path>'". A missing steam.pid, or one naming no live process, only makes it
// warn "SteamAPI_IsSteamRunning() did not locate a running instance of Steam."
// on standard error; initialisation still succeeds.
enum class Failure {
    None,
    NoClientInterface, // "no_client_interface": no client object; 1, "No SteamClient021"
    NoPipe,            // "no_pipe": CreateSteamPipe returns 0; 2, "Cannot create IPC pipe to
                       //   Steam client process.  Steam is probably not running."
    NoUser,            // "no_user": ConnectToGlobalUser returns 0; 1, "ConnectToGlobalUser failed."
    NoUtilsInterface,  // "no_utils_interface": no "SteamUtils010"; 3, "No SteamUtils010"
    NoUserInterface,   // "no_user_interface": no "SteamUser023"; 3, "No SteamUser023"
};
Failure scripted_failure();

} // namespace vandrel::steamclient
