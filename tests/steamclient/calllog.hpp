// The simulated client's record of what the runtime forwarded to it.
#pragma once

namespace vandrel::steamclient {

// Appends one formatted line to the file named by VANDREL_STANDIN_CALL_LOG, if
// set, with a single O_APPEND write, so the line is on disk when the call
// returns and lines of several processes never interleave.
[[gnu::format(printf, 1, 2)]] void log_call(const char* format, ...);

// Reports a misuse by the runtime or the test: "ERROR " and the text in the
// call log, and "steamclient simulation: error: " and the text on standard
// error.
[[gnu::format(printf, 1, 2)]] void report_error(const char* format, ...);

// Writes "steamclient simulation: " and the text to standard error when
// VANDREL_STEAMCLIENT_TRACE is set; for calls that nothing else records.
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...);

} // namespace vandrel::steamclient
