// The broker's listeners: the listen address forms (TCP, `unix:PATH`),
// sockets passed by the service manager, accepting a client from one of
// them, and who may use the broker.
#pragma once

#include "base/error.hpp"
#include "base/fd.hpp"
#include "broker/unix_listen.hpp"
#include "vandrel/wire.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel {

// The address a client tries last when it is given none, too.
inline constexpr std::string_view DEFAULT_LISTEN_ADDR = VANDREL_DEFAULT_BROKER_ADDR;
inline constexpr int LISTEN_BACKLOG = 128;

// Resolves `text` (a literal 'a.b.c.d:port' or '[v6]:port' directly, else
// host and port split at the last colon and looked up) and returns a bound,
// listening, close-on-exec socket for the first address that works. Errors
// are CreateSocket errors; with every attempt failed, the last one's.
Result<Fd> create_listener(std::string_view text);

// The listener's actual local address in text form ("unix:PATH" for a Unix
// socket), or an Io error.
Result<std::string> local_address_text(int listener);

// One socket the broker accepts clients on.
struct Listener {
    Fd socket;
    std::string local; // its address as the "listening on" line shows it
    bool is_unix = false;
    SocketFile file; // the broker's own socket file, if it made one
};

// The listener for a listen address text: TCP, or "unix:PATH".
Result<Listener> open_listener(std::string_view text);
// A listener for a socket the service manager passed.
Result<Listener> adopt_listener(Fd socket);

// True when the unchanged listen text begins with "127.", "localhost" or
// "[::1]"; a test of the first characters only.
bool is_loopback_text(std::string_view text);

// An accepted connection (close-on-exec) and the text that names its peer:
// the remote address for TCP, "pid P uid U" for a Unix socket.
struct Accepted {
    Fd socket;
    std::string peer;
    bool is_unix = false;
};
// Accepts one client from `listener`, which poll(2) found ready; nullopt
// when the client has gone or another process took it first (errors that
// belong to one vanished client). Any other failure is an Io error.
Result<std::optional<Accepted>> accept_ready(const Listener& listener);

// Who may use the broker: the user it runs as, and root. A TCP client is
// judged by the owner of its socket in this host's socket table; a client on
// another host has none and is served. A local client whose owner cannot be
// told is refused, unless the broker was told to serve such clients
// unchecked. A Unix socket's client is judged by the kernel's record of the
// process that connected, and refused when there is none: never unchecked.
enum class PeerVerdict {
    Allowed,   // the broker's own user, root, or another host
    Refused,   // another local user, a local socket whose owner is gone, or
               // one whose owner cannot be told
    Unchecked, // the owner cannot be told, and such clients are served
};
struct PeerCheck {
    PeerVerdict verdict;
    std::string text; // the log line of a refusal or of the warning
    std::string who;  // of a refusal: which kind of client ("from uid 65534")
};
PeerCheck check_peer(const Accepted& accepted, bool allow_unchecked);

// Whether the socket table can tell who owns a connection: it is asked for
// the listener itself. An Io error says why not.
Result<void> check_owner_lookup(int listener);

// The warning that clients whose owner cannot be told are served, and the
// line that says they are refused; each followed by ": " and why.
inline constexpr std::string_view UNCHECKED_SERVED_WARNING =
    "WARNING: cannot tell which user a client runs as, every local user may use this broker";
inline constexpr std::string_view UNCHECKED_REFUSED_WARNING =
    "WARNING: cannot tell which user a client runs as, local clients are refused unless the "
    "broker is started with --allow-unchecked-peers";

} // namespace vandrel
