// Sockets passed by the service manager (socket activation): the documented
// LISTEN_PID / LISTEN_FDS protocol of sd_listen_fds, read once at start.
#pragma once

#include "base/error.hpp"
#include "base/fd.hpp"

#include <vector>

namespace vandrel {

// The first descriptor the service manager passes.
inline constexpr int LISTEN_FDS_START = 3;

// Takes the sockets passed to this process, in order, and removes LISTEN_PID,
// LISTEN_FDS and LISTEN_FDNAMES from the environment whoever they were meant
// for, so that no process the broker starts sees them. Every passed
// descriptor is made close-on-exec. None when LISTEN_PID names another
// process or is absent. A passed descriptor that is not a listening stream
// socket of IPv4, IPv6 or the Unix family, or a malformed LISTEN_FDS meant
// for this process, is a CreateSocket error. Call it before any thread starts.
Result<std::vector<Fd>> take_passed_sockets();

} // namespace vandrel
