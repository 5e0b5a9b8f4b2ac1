// The process's exit statuses, for every mode.
#pragma once

namespace vandrel {

// A normal end.
inline constexpr int EXIT_OK = 0;
// An end after a "fatal: " line.
inline constexpr int EXIT_FATAL = 1;
// A fatal abort: an internal failure the program does not handle, such as a
// thread that cannot be started.
inline constexpr int EXIT_ABORT = 101;

} // namespace vandrel
