// The simulated client's scripted behaviour: reading its environment variables.
// Each is read when the call that uses it runs.
#pragma once

#include <cstdint>

namespace vandrel::steamclient {

// The variable's value, or null when it is not set.
const char* env(const char* name);
// The variable as a signed decimal integer; `fallback` when it is unset, and
// also (reported as an error) when it is not a number.
long long env_int(const char* name, long long fallback);
// The variable as an unsigned 64-bit decimal integer, like env_int.
std::uint64_t env_u64(const char* name, std::uint64_t fallback);
// True when the variable is set to anything but "" or "0".
bool env_flag(const char* name);
// True when the variable is set to exactly `value`.
bool env_is(const char* name, const char* value);

// Sleeps `ms` milliseconds, resuming after signals; a negative `ms` sleeps for
// ever.
void sleep_ms(long long ms);

} // namespace vandrel::steamclient
