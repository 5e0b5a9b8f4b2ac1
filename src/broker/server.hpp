// Serving clients: the accept loop over the listeners with up to `--clients`
// sessions at once, each on its own thread with its own child; one session
// over standard input and output; and the broker's stop, on a signal or a
// client's "vd_terminate", which ends every session as if its client had gone.
// Nothing is shared between sessions but the log and the stop.
#pragma once

#include "base/error.hpp"
#include "base/fd.hpp"
#include "broker/listen.hpp"

#include <chrono>
#include <optional>
#include <span>

namespace vandrel {

// The most sessions `--clients` allows at once.
inline constexpr unsigned MAX_CLIENTS = 64;
// Once the broker stops, how long its sessions' children have to answer what
// the sessions still ask of them (the ends of tickets above all). Children
// that have not answered by then are killed, and the broker exits soon after.
inline constexpr auto STOP_GRACE = std::chrono::milliseconds(1500);

struct ServeOptions {
    bool allow_unchecked = false;
    std::optional<std::chrono::seconds> exit_idle;
    // Sessions served at once. With 1 the broker serves one client after the
    // other, and no line carries a session's tag.
    unsigned clients = 1;
};

// How serving ended without error: the stdio session ended, a client sent
// "vd_terminate", a stop signal came, or no client came for the idle limit.
struct ServeEnd {
    enum class Why { Ended, Terminated, Signalled, Idle };
    Why why;
    int signal = 0; // the stop signal, for Signalled
};

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread, and so in every
// thread and child process started after, and returns the descriptor they
// are received on; an Io error if it cannot be made. Called before any other
// thread starts. The children keep them blocked: a Ctrl-C in the terminal or
// a service manager's signal to the whole group reaches the broker alone,
// which ends each child's tickets before it kills the child.
Result<Fd> block_stop_signals();

// Serves clients on `listeners`, `options.clients` sessions at most at once
// (the next client waits in the listen backlog), until a client sends
// "vd_terminate", a stop signal arrives on `signals`, or no session and no
// client came for `options.exit_idle`. An accept that fails is returned as
// its error. Every session has ended, each child killed and reaped, by the
// time it returns. Writes the lines of each session's outcome and of the stop.
Result<ServeEnd> serve(std::span<const Listener> listeners, const ServeOptions& options,
                       bool warned_unchecked, int signals);

// Serves one session over standard input and output, until it ends or a stop
// signal arrives on `signals`; the session's error is returned as it is.
Result<ServeEnd> serve_stdio(int signals);

// Ends the process by `signal`, as it would have ended without the broker's
// own handling of it.
[[noreturn]] void end_by_signal(int signal);

} // namespace vandrel
