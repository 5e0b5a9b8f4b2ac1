#include "broker/activation.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace vandrel {
namespace {

constexpr const char* LISTEN_PID = "LISTEN_PID";
constexpr const char* LISTEN_FDS = "LISTEN_FDS";
constexpr const char* LISTEN_FDNAMES = "LISTEN_FDNAMES";
// More than any unit passes; it keeps the descriptor numbers in range.
constexpr long MAX_PASSED = 1024;

// A whole decimal number in `text`, or nullopt.
std::optional<long> whole_number(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    std::string_view s(text);
    long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

BrokerError passed_error(std::string text) {
    return BrokerError::create_socket(IoError::described(std::move(text)));
}

// A passed descriptor the broker can accept clients on.
Result<void> check_listening(int fd) {
    const std::string which = "passed descriptor " + std::to_string(fd);
    int type = 0;
    int listening = 0;
    sockaddr_storage addr{};
    socklen_t len = sizeof type;
    socklen_t listening_len = sizeof listening;
    socklen_t addr_len = sizeof addr;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listening_len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0)
        return passed_error(which + " is not a socket");
    const bool family_known =
        addr.ss_family == AF_INET || addr.ss_family == AF_INET6 || addr.ss_family == AF_UNIX;
    if (type != SOCK_STREAM || listening == 0 || !family_known)
        return passed_error(which + " is not a listening stream socket (TCP or Unix)");
    return {};
}

} // namespace

Result<std::vector<Fd>> take_passed_sockets() {
    const std::optional<long> pid = whole_number(std::getenv(LISTEN_PID));
    const char* fds_text = std::getenv(LISTEN_FDS);
    const std::optional<long> count = whole_number(fds_text);
    // Read first, then removed whatever they hold: the child never sees them.
    std::string fds_copy = fds_text != nullptr ? fds_text : "";
    ::unsetenv(LISTEN_PID);
    ::unsetenv(LISTEN_FDS);
    ::unsetenv(LISTEN_FDNAMES);

    std::vector<Fd> out;
    if (!pid || *pid != static_cast<long>(::getpid()))
        return out;
    if (!count || *count < 0 || *count > MAX_PASSED)
        return passed_error("invalid LISTEN_FDS: " + fds_copy);
    // Own them all first, so that each is closed if a later one is refused.
    for (long i = 0; i < *count; ++i) {
        const int fd = LISTEN_FDS_START + static_cast<int>(i);
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return passed_error("passed descriptor " + std::to_string(fd) + " is not open");
        out.emplace_back(fd);
    }
    for (const Fd& fd : out)
        if (auto ok = check_listening(fd.get()); !ok)
            return std::move(ok).error();
    return out;
}

} // namespace vandrel
