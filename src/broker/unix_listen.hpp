// The broker's own Unix socket: the `unix:/absolute/path` listen address, the
// checks on the directory that keeps it private, the lock beside the socket
// file that one broker at a time holds, the replacement of a stale socket
// file, and the removal of both files when the broker exits.
#pragma once

#include "base/error.hpp"
#include "base/fd.hpp"
#include "common/address.h"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace vandrel {

inline constexpr std::string_view UNIX_ADDR_PREFIX = VD_UNIX_ADDR_PREFIX;
// The socket file's mode: only the broker's user may connect.
inline constexpr mode_t UNIX_SOCKET_MODE = 0600;
// The lock file beside the socket file is its path with this suffix.
inline constexpr std::string_view UNIX_LOCK_SUFFIX = ".lock";

// True for a listen address of the Unix form ("unix:" and a path).
bool is_unix_address(std::string_view text);

// The lock the broker holds on the lock file beside its socket's path, and
// the socket file once the broker has made it. Destroying it removes both
// files and then releases the lock; each only while its path still names this
// very file, so that a broker that has replaced it keeps its own. A SIGTERM,
// SIGINT or SIGHUP stops the broker in order, which destroys it too.
class SocketFile {
  public:
    SocketFile() = default;
    // Holds `lock`, the lock on the lock file of the socket path `path`.
    SocketFile(std::string path, Fd lock);
    // The socket file now at the path, `dev` and `ino`, is the broker's.
    void made(dev_t dev, ino_t ino);
    SocketFile(SocketFile&& other) noexcept;
    SocketFile& operator=(SocketFile&& other) noexcept;
    SocketFile(const SocketFile&) = delete;
    SocketFile& operator=(const SocketFile&) = delete;
    ~SocketFile();

  private:
    void remove();

    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    Fd lock_;
    dev_t lock_dev_ = 0;
    ino_t lock_ino_ = 0;
};

struct UnixListener {
    Fd socket;        // listening, close-on-exec
    SocketFile file;  // removed with the listener
    std::string path; // the socket file's path
};

// Makes the listening socket for "unix:PATH". PATH must be absolute; its
// directory must be owned by the broker's user and writable by nobody else,
// so that no other user can put a file in its place. The broker holds the
// lock on PATH.lock (mode 0600) from before it looks at PATH until it exits,
// so that of two brokers started together on one path one listens and the
// other ends with "another process answers on PATH". A socket file already
// there is replaced only when no process has a socket bound to it (a process
// that has bound it but does not listen yet keeps it too); the new file has
// mode UNIX_SOCKET_MODE from the start. Errors are CreateSocket errors that
// name the path or directory and the reason.
Result<UnixListener> create_unix_listener(std::string_view text);

} // namespace vandrel
