// The record of what a scripted library was asked: the call log and error
// lines. The stand-in runtime and the simulated Steam client library share it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>

namespace vandrel::standin {

// The name that starts the library's lines on standard error, such as
// "libsteam_api stand-in". Each library that compiles this module defines it.
extern const std::string_view LIBRARY_NAME;

// Appends one formatted line to the file named by VANDREL_STANDIN_CALL_LOG, if
// set, with a single O_APPEND write, so the line is on disk when the call
// returns and lines of several processes never interleave.
[[gnu::format(printf, 1, 2)]] void log_call(const char* format, ...);

// Reports a misuse by the caller: "ERROR " and the text in the call log, and
// LIBRARY_NAME, ": error: " and the text on standard error.
[[gnu::format(printf, 1, 2)]] void report_error(const char* format, ...);

// Writes LIBRARY_NAME, ": " and the text to standard error as one line.
[[gnu::format(printf, 1, 0)]] void vsay(const char* format, va_list args);
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);

// True when the `len` bytes at `buf` are all zero: the zeroed= field.
bool all_zero(const void* buf, std::size_t len);

} // namespace vandrel::standin
