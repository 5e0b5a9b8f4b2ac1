#include "broker/unix_listen.hpp"

#include "base/log.hpp"
#include "broker/listen.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vandrel {
namespace {

// How often taking the lock starts over because the lock file it opened was
// removed meanwhile by the broker that held it: that broker has exited.
constexpr int LOCK_ATTEMPTS = 8;
// The lock file's mode, like the socket's: nobody else may open it.
constexpr mode_t LOCK_FILE_MODE = 0600;

// True while `path` names the file `dev`/`ino`, of the type `type` (S_IFSOCK,
// S_IFREG).
bool names_file(const char* path, mode_t type, dev_t dev, ino_t ino) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_dev == dev &&
           st.st_ino == ino;
}

BrokerError failure(std::string text) {
    return BrokerError::create_socket(IoError::described(std::move(text)));
}

std::string os_text(int err) {
    std::string out;
    IoError::os(err).write_text(out);
    return out;
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// The directory must keep other users out: its owner and nobody else may put
// a file at the socket's path.
Result<void> check_directory(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return failure("the socket's directory " + dir + ": " + os_text(errno));
    if (!S_ISDIR(st.st_mode))
        return failure("the socket's directory " + dir + " is not a directory");
    const uid_t own = ::geteuid();
    if (st.st_uid != own)
        return failure("the socket's directory " + dir + " is owned by uid " +
                       std::to_string(st.st_uid) + ", not by uid " + std::to_string(own));
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return failure("the socket's directory " + dir + " is writable by group or others");
    return {};
}

// The lock on `path`.lock, which one broker at a time holds while it takes
// the path over and then for its life. The kernel releases it however the
// broker ends. A lock file that its holder removed (on exit) between our open
// and our lock is not the lock any more: then the open starts over.
Result<Fd> take_lock(const std::string& path) {
    const std::string lock_path = path + std::string(UNIX_LOCK_SUFFIX);
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        Fd lock(
            ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, LOCK_FILE_MODE));
        if (!lock.valid())
            return failure(lock_path + ": " + os_text(errno));
        struct stat held {};
        if (::fstat(lock.get(), &held) != 0)
            return failure(lock_path + ": " + os_text(errno));
        if (!S_ISREG(held.st_mode))
            return failure(lock_path + " exists and is not a regular file");
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                return failure("another process answers on " + path);
            return failure(lock_path + ": " + os_text(errno));
        }
        if (names_file(lock_path.c_str(), S_IFREG, held.st_dev, held.st_ino))
            return lock;
    }
    return failure(lock_path + " is replaced again and again");
}

// What a connect to the socket at `path` from a socket of `type` ends with: 0
// or the errno.
int probe_connect(const std::string& path, int type) {
    Fd probe(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid())
        return errno;
    sockaddr_un addr = unix_address(path);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return errno;
    return 0;
}

// A socket file already at `path` is taken over only when no process has a
// socket bound to it: a broker that crashed left it; a running one keeps it,
// and so does a process that has bound it and does not listen yet.
Result<void> clear_stale_file(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return {};
        return failure(path + ": " + os_text(errno));
    }
    if (!S_ISSOCK(st.st_mode))
        return failure(path + " exists and is not a socket");
    int err = probe_connect(path, SOCK_STREAM);
    if (err == 0 || err == EAGAIN || err == EINPROGRESS)
        return failure("another process answers on " + path);
    if (err == ECONNREFUSED) {
        // A stream connect is refused alike by a file without a socket and
        // by a bound socket that does not listen. A datagram connect tells
        // them apart: only a file without a socket refuses it; a stream
        // socket bound there answers that it is of another type.
        err = probe_connect(path, SOCK_DGRAM);
        if (err != ECONNREFUSED && err != ENOENT)
            return failure("another process has bound " + path + " and does not listen on it");
    }
    if (err == ENOENT)
        return {}; // gone meanwhile
    if (err != ECONNREFUSED)
        return failure(path +
                       ": cannot tell whether another process answers on it: " + os_text(err));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failure(path + ": " + os_text(errno));
    log_line("replaced the stale socket file " + path);
    return {};
}

} // namespace

bool is_unix_address(std::string_view text) {
    return vd_unix_path(text.data(), text.size()) != nullptr;
}

SocketFile::SocketFile(std::string path, Fd lock) : path_(std::move(path)), lock_(std::move(lock)) {
    struct stat held {};
    if (::fstat(lock_.get(), &held) == 0) {
        lock_dev_ = held.st_dev;
        lock_ino_ = held.st_ino;
    }
}

void SocketFile::made(dev_t dev, ino_t ino) {
    dev_ = dev;
    ino_ = ino;
}

SocketFile::SocketFile(SocketFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), dev_(other.dev_), ino_(other.ino_),
      lock_(std::move(other.lock_)), lock_dev_(other.lock_dev_), lock_ino_(other.lock_ino_) {}

SocketFile& SocketFile::operator=(SocketFile&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        dev_ = other.dev_;
        ino_ = other.ino_;
        lock_ = std::move(other.lock_);
        lock_dev_ = other.lock_dev_;
        lock_ino_ = other.lock_ino_;
    }
    return *this;
}

SocketFile::~SocketFile() {
    remove();
}

// Removing the lock file is safe because the lock is still held: a broker
// starting meanwhile that opened the old file gets its lock only after this
// one released it, finds that the path no longer names the file it locked,
// and starts over with a fresh lock file; so no two brokers ever hold the
// lock on the file at the path.
void SocketFile::remove() {
    if (path_.empty())
        return;
    if (names_file(path_.c_str(), S_IFSOCK, dev_, ino_))
        ::unlink(path_.c_str());
    const std::string lock_path = path_ + std::string(UNIX_LOCK_SUFFIX);
    if (lock_.valid() && names_file(lock_path.c_str(), S_IFREG, lock_dev_, lock_ino_))
        ::unlink(lock_path.c_str());
    lock_.reset();
    path_.clear();
}

Result<UnixListener> create_unix_listener(std::string_view text) {
    std::string path(text.substr(UNIX_ADDR_PREFIX.size()));
    if (!path.starts_with('/'))
        return failure("a unix listen address needs an absolute path: " + path);
    if (path.size() >= sizeof(sockaddr_un{}.sun_path))
        return failure("the socket path is longer than " +
                       std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes: " + path);
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    if (auto ok = check_directory(dir); !ok)
        return std::move(ok).error();
    Result<Fd> lock = take_lock(path);
    if (!lock)
        return std::move(lock).error();
    // From here on, a failure removes the lock file again.
    SocketFile file(path, std::move(*lock));
    if (auto ok = clear_stale_file(path); !ok)
        return std::move(ok).error();

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return BrokerError::create_socket(IoError::last_os());
    sockaddr_un addr = unix_address(path);
    // The file gets its final mode as it is made, never a looser one for a
    // moment. No other thread runs yet to see the changed umask.
    const mode_t old_mask = ::umask(static_cast<mode_t>(~UNIX_SOCKET_MODE & 0777));
    const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bind_err = errno;
    ::umask(old_mask);
    if (bound != 0)
        return failure(path + ": " + os_text(bind_err));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return failure(path + ": " + os_text(errno));
    file.made(st.st_dev, st.st_ino);
    if (::listen(fd.get(), LISTEN_BACKLOG) != 0)
        return BrokerError::create_socket(IoError::last_os());
    return UnixListener{std::move(fd), std::move(file), std::move(path)};
}

} // namespace vandrel
