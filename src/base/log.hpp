// Diagnostics: one line on standard error per event.
#pragma once

#include <string_view>

namespace vandrel {

inline constexpr std::string_view LOG_PREFIX = "[vandrel] ";

// The environment variable through which a broker that serves several clients
// at once gives the child it starts its session's tag; a child started by
// hand has none.
inline constexpr std::string_view LOG_TAG_ENV = "VANDREL_LOG_TAG";

// Writes "[vandrel] " + message + "\n" with one write(2), so lines of the broker
// and of its child never interleave mid-line. Control characters, the
// bidirectional controls and the line and paragraph separators in the message
// are escaped (\u{1b}), so one call is always one line that shows as written.
// With a tag in effect for the calling thread, the tag and a blank stand
// between the prefix and the message ("[vandrel] #3 <- vd_connect").
// A failing write is ignored.
void log_line(std::string_view message);

// Writes text to standard error unprefixed, in one write(2).
void write_stderr(std::string_view text);

// The lines the calling thread writes from now on carry `tag`; empty: none.
void set_log_tag(std::string_view tag);
// The lines of every thread that has not set a tag of its own carry `tag`.
// Set before any other thread starts.
void set_process_log_tag(std::string_view tag);
// The tag the calling thread's lines carry; empty for none.
std::string_view log_tag();
// True for a session's tag: "#" and 1 to 10 decimal digits.
bool is_log_tag(std::string_view tag);

} // namespace vandrel
