// Diagnostics: one line on standard error per event.
#pragma once

#include <string_view>

namespace vandrel {

inline constexpr std::string_view LOG_PREFIX = "[vandrel] ";

// Writes "[vandrel] " + message + "\n" with one write(2), so lines of the broker
// and of its child never interleave mid-line. Control characters, the
// bidirectional controls and the line and paragraph separators in the message
// are escaped (\u{1b}), so one call is always one line that shows as written.
// A failing write is ignored.
void log_line(std::string_view message);

// Writes text to standard error unprefixed, in one write(2).
void write_stderr(std::string_view text);

} // namespace vandrel
