// The scripted behaviour of the stand-in runtime and of the simulated Steam
// client library: reading the VANDREL_STANDIN_* variables, each when the call
// that uses it runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandrel::standin {

// The variable's value, or null when it is not set.
const char* env(const char* name);
// The variable as a signed decimal integer; `fallback` when it is unset, and
// also (reported as an error) when it is not a number.
long long env_int(const char* name, long long fallback);
// The variable as an unsigned 64-bit decimal integer without a sign, like
// env_int.
std::uint64_t env_u64(const char* name, std::uint64_t fallback);
// True when the variable is set to anything but "" or "0".
bool env_flag(const char* name);
// True when the variable is set to exactly `value`.
bool env_is(const char* name, const char* value);

// Entry `index` (from 0) of the comma-separated list of integers in variable
// `name`, its last entry repeating ("9000,0": 9000, then 0 for ever);
// `fallback` when the variable is unset, and 0 (reported) when it does not
// parse.
long long listed_ms(const char* name, std::size_t index, long long fallback);

// Decodes pairs of hex digits into `out`, at most `cap` bytes; the count of
// bytes written. A bad digit or an odd count is reported and ends decoding.
std::size_t decode_hex(const char* hex, unsigned char* out, std::size_t cap);

// Sleeps `ms` milliseconds, resuming after signals; a negative `ms` sleeps for
// ever.
void sleep_ms(long long ms);

// What SteamAPI_InitFlat does first: sleeps VANDREL_STANDIN_INIT_HANG_MS
// ("forever" never returns), then writes VANDREL_STANDIN_INIT_STDOUT to
// descriptor 1.
void play_init_script();

// The AppID from steam_appid.txt in the working directory: leading blanks,
// then decimal digits. False when the file is missing or holds no AppID.
bool read_app_id(std::uint32_t& app_id);

} // namespace vandrel::standin
