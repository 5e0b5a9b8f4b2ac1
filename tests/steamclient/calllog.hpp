// The simulated client's record of what the runtime forwarded to it: the
// stand-in runtime's call log and error lines (steam/standin/calllog.hpp),
// under the name "steamclient simulation", and traces of its own.
#pragma once

#include "steam/standin/calllog.hpp"

namespace vandrel::steamclient {

// Writes "steamclient simulation: " and the text to standard error when
// VANDREL_STEAMCLIENT_TRACE is set; for calls that nothing else records.
[[gnu::format(printf, 1, 2)]] void trace(const char* format, ...);

} // namespace vandrel::steamclient
