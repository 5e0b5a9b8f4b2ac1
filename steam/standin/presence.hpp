// Whether "Steam" runs, for the stand-in runtime and the simulated Steam
// client library alike, so that a test can play a Steam that quits in the
// middle of a session and comes back: VANDREL_STANDIN_RUNNING_FILE names a
// file whose presence means that Steam runs.
#pragma once

#include <cstdint>

namespace vandrel::standin {

// How Steam's real runtime reports an initialisation while Steam does not
// run: its result code and message.
inline constexpr int NOT_RUNNING_RESULT = 2;
inline constexpr const char* NOT_RUNNING_MESSAGE =
    "Cannot create IPC pipe to Steam client process.  Steam is probably not running.";

// True when Steam runs just now: always while VANDREL_STANDIN_RUNNING_FILE is
// unset, else while the file it names exists.
bool steam_running();
// The logged-in user's Steam ID: the decimal number the running file holds,
// if it holds one (the user Steam came back with); else
// VANDREL_STANDIN_STEAM_ID; else `fallback`.
std::uint64_t steam_user(std::uint64_t fallback);

// An initialisation begins, with Steam there.
void presence_start();
// Called at every frame of the caller's dispatch: the first frame that finds
// Steam gone queues SteamShutdown_t (704) and logs it; from then on
// steam_gone() is true until the next initialisation, as a process whose
// Steam has gone stays without it.
void presence_frame();
// True once this initialisation has seen Steam go: every call that needs
// Steam then fails.
bool steam_gone();

} // namespace vandrel::standin
