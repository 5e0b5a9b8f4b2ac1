// The TCP listener of the broker: address resolution, bind, accept, and the
// loopback test on the listen address text.
#pragma once

#include "error.hpp"
#include "fd.hpp"

#include <string>
#include <string_view>

namespace vandrel {

inline constexpr std::string_view DEFAULT_LISTEN_ADDR = "127.0.0.1:27420";
inline constexpr int LISTEN_BACKLOG = 128;

// Resolves `text` (a literal 'a.b.c.d:port' or '[v6]:port' directly, else
// host and port split at the last colon and looked up) and returns a bound,
// listening, close-on-exec socket for the first address that works. Errors
// are CreateSocket errors; with every attempt failed, the last one's.
Result<Fd> create_listener(std::string_view text);

// The listener's actual local address in text form, or an Io error.
Result<std::string> local_address_text(int listener);

// True when the unchanged listen text begins with "127.", "localhost" or
// "[::1]"; a test of the first characters only.
bool is_loopback_text(std::string_view text);

// An accepted connection (close-on-exec) and its peer's address text. Retries
// on EINTR; any other failure is an Io error.
struct Accepted {
    Fd socket;
    std::string peer;
};
Result<Accepted> accept_connection(int listener);

// Who may use the broker: the user it runs as, and root. A client is judged
// by the owner of its socket in this host's socket table; a client on another
// host has none and is served. A local client whose owner cannot be told is
// refused, unless the broker was told to serve such clients unchecked.
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
