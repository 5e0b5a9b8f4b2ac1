// The stand-in's scripted behaviour: reading the VANDREL_STANDIN_* variables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandrel::standin {

// The variable's value, or null when it is not set.
const char* env(const char* name);
// The variable as a signed decimal integer; `fallback` when it is unset, and
// also (reported as an error) when it is not a number.
long long env_int(const char* name, long long fallback);
// The variable as an unsigned 64-bit decimal integer, like env_int.
std::uint64_t env_u64(const char* name, std::uint64_t fallback);
// True when the variable is set to anything but "" or "0".
bool env_flag(const char* name);

// Decodes pairs of hex digits into `out`, at most `cap` bytes; the count of
// bytes written. A bad digit or an odd count is reported and ends decoding.
std::size_t decode_hex(const char* hex, unsigned char* out, std::size_t cap);

// Sleeps `ms` milliseconds, resuming after signals; a negative `ms` sleeps for
// ever.
void sleep_ms(long long ms);

} // namespace vandrel::standin
