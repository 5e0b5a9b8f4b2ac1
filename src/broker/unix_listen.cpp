#include "broker/unix_listen.hpp"

#include "base/log.hpp"
#include "broker/listen.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vandrel {
namespace {

// What a signal handler needs to remove the socket file: fixed storage, set
// before the handlers are installed and cleared before the file goes.
struct Registered {
    std::array<char, sizeof(sockaddr_un{}.sun_path)> path{};
    dev_t dev = 0;
    ino_t ino = 0;
};
Registered registered;
volatile std::sig_atomic_t file_registered = 0;

// The signals that end the broker by default and after which its socket file
// must not stay behind: systemctl stop, Ctrl-C, a closed terminal.
constexpr std::array<int, 3> ENDING_SIGNALS = {SIGTERM, SIGINT, SIGHUP};

bool names_file(const char* path, dev_t dev, ino_t ino) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
}

// Removes the file, then lets the signal end the process as it would have.
extern "C" void remove_and_reraise(int sig) {
    const int saved = errno;
    if (file_registered != 0 && names_file(registered.path.data(), registered.dev, registered.ino))
        ::unlink(registered.path.data());
    ::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = saved;
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

// A socket file already at `path` is taken over only when no process answers
// on it: a broker that crashed left it; a running one keeps it.
Result<void> clear_stale_file(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return {};
        return failure(path + ": " + os_text(errno));
    }
    if (!S_ISSOCK(st.st_mode))
        return failure(path + " exists and is not a socket");
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid())
        return failure(path + ": " + os_text(errno));
    sockaddr_un addr = unix_address(path);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
        errno == EAGAIN || errno == EINPROGRESS)
        return failure("another process answers on " + path);
    if (errno == ENOENT)
        return {}; // gone meanwhile
    if (errno != ECONNREFUSED)
        return failure(path +
                       ": cannot tell whether another process answers on it: " + os_text(errno));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failure(path + ": " + os_text(errno));
    log_line("replaced the stale socket file " + path);
    return {};
}

} // namespace

bool is_unix_address(std::string_view text) {
    return vd_unix_path(text.data(), text.size()) != nullptr;
}

SocketFile::SocketFile(std::string path, dev_t dev, ino_t ino)
    : path_(std::move(path)), dev_(dev), ino_(ino) {
    file_registered = 0;
    std::memcpy(registered.path.data(), path_.c_str(),
                std::min(path_.size() + 1, registered.path.size()));
    registered.dev = dev_;
    registered.ino = ino_;
    file_registered = 1;
    for (int sig : ENDING_SIGNALS) {
        struct sigaction action {};
        action.sa_handler = remove_and_reraise;
        sigemptyset(&action.sa_mask);
        ::sigaction(sig, &action, nullptr);
    }
}

SocketFile::SocketFile(SocketFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), dev_(other.dev_), ino_(other.ino_) {}

SocketFile& SocketFile::operator=(SocketFile&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
        dev_ = other.dev_;
        ino_ = other.ino_;
    }
    return *this;
}

SocketFile::~SocketFile() {
    remove();
}

void SocketFile::remove() {
    if (path_.empty())
        return;
    file_registered = 0;
    if (names_file(path_.c_str(), dev_, ino_))
        ::unlink(path_.c_str());
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
    SocketFile file(path, st.st_dev, st.st_ino);
    if (::listen(fd.get(), LISTEN_BACKLOG) != 0)
        return BrokerError::create_socket(IoError::last_os());
    return UnixListener{std::move(fd), std::move(file), std::move(path)};
}

} // namespace vandrel
