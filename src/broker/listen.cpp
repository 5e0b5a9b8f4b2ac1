#include "broker/listen.hpp"

#include "common/address.h"
#include "common/peer.h"
#include "shared/transport.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace vandrel {
namespace {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t len = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// A socket address of one family, as the storage every caller takes.
template <class SockAddr>
SocketAddress holding(const SockAddr& addr) {
    SocketAddress out;
    std::memcpy(&out.storage, &addr, sizeof addr);
    out.len = sizeof addr;
    return out;
}

BrokerError create_socket_error(std::string_view fixed) {
    return BrokerError::create_socket(IoError::fixed(fixed));
}

// A port of a literal address: digits only, as the literal forms allow.
std::optional<std::uint16_t> literal_port(std::string_view text) {
    std::uint16_t port = 0;
    if (!vd_parse_port(text.data(), text.size(), &port))
        return std::nullopt;
    return port;
}

// A port of a host:port text: one leading '+' is allowed.
std::optional<std::uint16_t> lookup_port(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    return literal_port(text);
}

std::optional<SocketAddress> literal_v4(const vd_host_port& split) {
    std::string host(split.host, split.host_len);
    auto port = literal_port({split.port, split.port_len});
    sockaddr_in v4{};
    if (!port || ::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1)
        return std::nullopt;
    v4.sin_family = AF_INET;
    v4.sin_port = htons(*port);
    return holding(v4);
}

std::optional<SocketAddress> literal_v6(const vd_host_port& split) {
    const char* inside_begin = nullptr;
    std::size_t inside_len = 0;
    if (!vd_unbracket(split.host, split.host_len, &inside_begin, &inside_len))
        return std::nullopt;
    std::string_view inside(inside_begin, inside_len);
    auto port = literal_port({split.port, split.port_len});
    if (!port)
        return std::nullopt;
    sockaddr_in6 v6{};
    std::size_t percent = inside.find('%');
    if (percent != std::string_view::npos) {
        std::string_view scope = inside.substr(percent + 1);
        std::uint32_t id = 0;
        auto [end, ec] = std::from_chars(scope.data(), scope.data() + scope.size(), id);
        if (scope.empty() || ec != std::errc() || end != scope.data() + scope.size())
            return std::nullopt;
        v6.sin6_scope_id = id;
        inside = inside.substr(0, percent);
    }
    std::string host(inside);
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1)
        return std::nullopt;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(*port);
    return holding(v6);
}

Result<std::vector<SocketAddress>> resolve(std::string_view text) {
    vd_host_port split{};
    if (!vd_split_host_port(text.data(), text.size(), &split))
        return create_socket_error("invalid socket address");
    if (auto v4 = literal_v4(split))
        return std::vector<SocketAddress>{*v4};
    if (auto v6 = literal_v6(split))
        return std::vector<SocketAddress>{*v6};

    auto port = lookup_port({split.port, split.port_len});
    if (!port)
        return create_socket_error("invalid port value");

    std::string host(split.host, split.host_len);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc == EAI_SYSTEM)
        return BrokerError::create_socket(IoError::last_os());
    if (rc != 0)
        return BrokerError::create_socket(IoError::resolver(::gai_strerror(rc)));

    std::vector<SocketAddress> out;
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        SocketAddress addr;
        std::memcpy(&addr.storage, ai->ai_addr, ai->ai_addrlen);
        addr.len = ai->ai_addrlen;
        if (ai->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&addr.storage)->sin_port = htons(*port);
        else
            reinterpret_cast<sockaddr_in6*>(&addr.storage)->sin6_port = htons(*port);
        out.push_back(addr);
    }
    ::freeaddrinfo(found);
    return out;
}

Result<Fd> bind_one(const SocketAddress& addr) {
    Fd fd(::socket(addr.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return BrokerError::create_socket(IoError::last_os());
    int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd.get(), addr.get(), addr.len) != 0 || ::listen(fd.get(), LISTEN_BACKLOG) != 0)
        return BrokerError::create_socket(IoError::last_os());
    return fd;
}

// Errors that belong to one pending connection, not to the listener: accept(2)
// reports them for a client that went away before it was accepted, and the
// next accept works. Ending the broker on them would let any client stop it.
bool connection_error(int err) {
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN: // another process took the client first, or it vanished
        return true;
    default:
        return false;
    }
}

} // namespace

Result<Fd> create_listener(std::string_view text) {
    Result<std::vector<SocketAddress>> addrs = resolve(text);
    if (!addrs)
        return std::move(addrs).error();
    std::optional<BrokerError> last;
    for (const SocketAddress& addr : *addrs) {
        Result<Fd> fd = bind_one(addr);
        if (fd)
            return fd;
        last.emplace(std::move(fd).error());
    }
    if (last)
        return std::move(*last);
    return create_socket_error("could not resolve to any addresses");
}

Result<std::string> local_address_text(int listener) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return BrokerError::io(IoError::last_os());
    if (addr.ss_family == AF_UNIX) {
        const auto* un = reinterpret_cast<const sockaddr_un*>(&addr);
        const std::size_t max =
            len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        return std::string(UNIX_ADDR_PREFIX) +
               std::string(un->sun_path, ::strnlen(un->sun_path, max));
    }
    return socket_address_text(reinterpret_cast<const sockaddr*>(&addr));
}

namespace {

// Accepting waits in poll, so that several listeners and an idle limit can be
// served; a listener that another process may empty first must not block.
Result<Listener> finish_listener(Listener listener) {
    const int flags = ::fcntl(listener.socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(listener.socket.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return BrokerError::io(IoError::last_os());
    Result<std::string> local = local_address_text(listener.socket.get());
    if (!local)
        return std::move(local).error();
    listener.local = std::move(*local);
    return listener;
}

// The text that names a Unix socket's client: its process and user.
std::string unix_peer_text(int fd) {
    vd_peer_cred cred{};
    if (vd_peer_credentials(fd, &cred) != 0)
        return "<unknown>";
    return "pid " + std::to_string(cred.pid) + " uid " + std::to_string(cred.uid);
}

} // namespace

Result<Listener> open_listener(std::string_view text) {
    Listener listener;
    if (is_unix_address(text)) {
        Result<UnixListener> made = create_unix_listener(text);
        if (!made)
            return std::move(made).error();
        listener.socket = std::move(made->socket);
        listener.file = std::move(made->file);
        listener.is_unix = true;
    } else {
        Result<Fd> made = create_listener(text);
        if (!made)
            return std::move(made).error();
        listener.socket = std::move(*made);
    }
    return finish_listener(std::move(listener));
}

Result<Listener> adopt_listener(Fd socket) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return BrokerError::io(IoError::last_os());
    Listener listener;
    listener.is_unix = addr.ss_family == AF_UNIX;
    listener.socket = std::move(socket);
    return finish_listener(std::move(listener));
}

bool is_loopback_text(std::string_view text) {
    return text.starts_with("127.") || text.starts_with("localhost") || text.starts_with("[::1]");
}

Result<std::optional<Accepted>> accept_ready(const Listener& listener) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd =
        ::accept4(listener.socket.get(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (connection_error(errno))
            return std::optional<Accepted>();
        return BrokerError::io(IoError::last_os());
    }
    Accepted accepted{Fd(fd), {}, listener.is_unix};
    accepted.peer = accepted.is_unix
                        ? unix_peer_text(fd)
                        : socket_address_text(reinterpret_cast<const sockaddr*>(&addr));
    return std::optional<Accepted>(std::move(accepted));
}

namespace {

// A Unix socket's client: the kernel recorded who connected, or nobody can
// vouch for it.
PeerCheck check_unix_peer(const Accepted& accepted, uid_t own, const std::string& serves) {
    vd_peer_cred cred{};
    if (const int err = vd_peer_credentials(accepted.socket.get(), &cred); err != 0) {
        const std::string why = BrokerError::io(IoError::os(err)).text();
        return {PeerVerdict::Refused,
                "refused " + accepted.peer + ": cannot tell which user the client runs as (" + why +
                    ")" + serves,
                "from clients whose user cannot be told"};
    }
    if (cred.uid == own || cred.uid == 0)
        return {PeerVerdict::Allowed, {}, {}};
    return {PeerVerdict::Refused,
            "refused " + accepted.peer + ": connection from uid " + std::to_string(cred.uid) +
                serves,
            "from uid " + std::to_string(cred.uid)};
}

} // namespace

PeerCheck check_peer(const Accepted& accepted, bool allow_unchecked) {
    const uid_t own = ::getuid();
    const std::string serves = ", this broker serves uid " + std::to_string(own);
    if (accepted.is_unix)
        return check_unix_peer(accepted, own, serves);
    const vd_peer_owner owner = vd_peer_lookup(accepted.socket.get(), /*accept_listener=*/0);
    switch (owner.result) {
    case VD_PEER_FOUND:
        if (owner.uid == own || owner.uid == 0)
            return {PeerVerdict::Allowed, {}, {}};
        return {PeerVerdict::Refused,
                "refused " + accepted.peer + ": connection from uid " + std::to_string(owner.uid) +
                    serves,
                "from uid " + std::to_string(owner.uid)};
    case VD_PEER_REMOTE:
        return {PeerVerdict::Allowed, {}, {}};
    case VD_PEER_CLOSED:
    case VD_PEER_GONE:
        // A local client that has already gone may still have left commands
        // in the socket ("vd_terminate", then a reset); its user is unknown.
        return {PeerVerdict::Refused,
                "refused " + accepted.peer + ": the client's socket is gone" + serves,
                "from clients whose socket was gone"};
    case VD_PEER_UNCHECKED:
        break;
    }
    const std::string why = BrokerError::io(IoError::os(owner.err)).text();
    if (allow_unchecked)
        return {PeerVerdict::Unchecked, std::string(UNCHECKED_SERVED_WARNING) + ": " + why, {}};
    return {PeerVerdict::Refused,
            "refused " + accepted.peer + ": cannot tell which user the client runs as (" + why +
                ")" + serves,
            "from clients whose user cannot be told"};
}

Result<void> check_owner_lookup(int listener) {
    const int err = vd_peer_check_listener(listener);
    if (err == 0)
        return {};
    if (err < 0)
        return BrokerError::io(IoError::fixed("the socket table does not list the listener"));
    return BrokerError::io(IoError::os(err));
}

} // namespace vandrel
