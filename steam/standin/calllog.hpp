// The stand-in's record of what it was asked: the call log and error lines.
#pragma once

namespace vandrel::standin {

// Appends one formatted line to the file named by VANDREL_STANDIN_CALL_LOG, if
// set, with a single O_APPEND write, so the line is on disk when the call
// returns and lines of several processes never interleave.
[[gnu::format(printf, 1, 2)]] void log_call(const char* format, ...);

// Reports a misuse by the caller: "ERROR " and the text in the call log, and
// "libsteam_api stand-in: error: " and the text on standard error.
[[gnu::format(printf, 1, 2)]] void report_error(const char* format, ...);

} // namespace vandrel::standin
