// The broker's own Unix socket: the `unix:/absolute/path` listen address, the
// checks on the directory that keeps it private, the replacement of a stale
// socket file, and the removal of the file when the broker exits.
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

// True for a listen address of the Unix form ("unix:" and a path).
bool is_unix_address(std::string_view text);

// The socket file the broker made. Destroying it removes the file, and so
// does a SIGTERM, SIGINT or SIGHUP that ends the broker; either only while
// the path still names this very file, so that a broker that has replaced it
// keeps its own. One at a time per process.
class SocketFile {
  public:
    SocketFile() = default;
    SocketFile(std::string path, dev_t dev, ino_t ino);
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
};

struct UnixListener {
    Fd socket;        // listening, close-on-exec
    SocketFile file;  // removed with the listener
    std::string path; // the socket file's path
};

// Makes the listening socket for "unix:PATH". PATH must be absolute; its
// directory must be owned by the broker's user and writable by nobody else,
// so that no other user can put a file in its place. A socket file already
// there is replaced only when nothing answers on it; the new file has mode
// UNIX_SOCKET_MODE from the start. Errors are CreateSocket errors that name
// the path or directory and the reason.
Result<UnixListener> create_unix_listener(std::string_view text);

} // namespace vandrel
