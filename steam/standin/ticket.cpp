#include "steam/standin/ticket.hpp"

#include "steam/standin/calllog.hpp"
#include "steam/standin/script.hpp"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vandrel::standin {
namespace {

constexpr long long DEFAULT_TICKET_LEN = 240;

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The delay before ticket call `call` (from 0): that entry of
// VANDREL_STANDIN_TICKET_DELAYS_MS when the list is set; else
// VANDREL_STANDIN_TICKET_DELAY_MS.
long long ticket_delay_ms(std::size_t call) {
    return listed_ms("VANDREL_STANDIN_TICKET_DELAYS_MS", call,
                     env_int("VANDREL_STANDIN_TICKET_DELAY_MS", 0));
}

// Closes every descriptor that writes into a pipe other than the one standard
// error writes into. In a Steam child that is its frame output, so its
// broker sees the child's output end while the child is still busy.
void close_pipe_outputs() {
    constexpr int HIGHEST_FD = 1023;
    struct stat err {};
    const bool err_known = ::fstat(STDERR_FILENO, &err) == 0;
    for (int fd = 0; fd <= HIGHEST_FD; ++fd) {
        const int flags = ::fcntl(fd, F_GETFL);
        struct stat st {};
        if (fd == STDERR_FILENO || flags < 0 || (flags & O_ACCMODE) != O_WRONLY ||
            ::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
            continue;
        if (err_known && st.st_dev == err.st_dev && st.st_ino == err.st_ino)
            continue;
        ::close(fd);
    }
}

} // namespace

std::uint8_t ticket_byte(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t i) {
    const std::uint64_t seed = sid ^ ((std::uint64_t{ip} << 16) | port);
    return static_cast<std::uint8_t>(mix(seed + (i + 1) * 0x9E3779B97F4A7C15ULL) >> 56);
}

int issue_ticket(const TicketRequest& request, std::size_t index, bool refused) {
    auto* out = static_cast<std::uint8_t*>(request.blob);
    const int max_blob = request.max_blob;
    const bool zeroed =
        out == nullptr || max_blob <= 0 || all_zero(out, static_cast<std::size_t>(max_blob));
    if (env("VANDREL_STANDIN_TICKET_CLOSE_OUTPUT") != nullptr)
        close_pipe_outputs();
    sleep_ms(std::max(ticket_delay_ms(index), 0LL));

    const long long ticket_len =
        std::max(env_int("VANDREL_STANDIN_TICKET_LEN", DEFAULT_TICKET_LEN), 0LL);
    const long long limit =
        out == nullptr ? 0 : std::min<long long>(std::max(max_blob, 0), ticket_len);
    long long result = limit;
    long long written = limit;
    if (env("VANDREL_STANDIN_TICKET_RESULT") != nullptr) {
        result = env_int("VANDREL_STANDIN_TICKET_RESULT", 0);
        written = result == 0 ? 0 : result > 0 ? std::min(result, limit) : limit;
    }
    if (refused)
        result = written = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(written); ++i)
        out[i] = ticket_byte(request.server_ip, request.server_port, request.server_steam_id, i);
    log_call("SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED max=%d zeroed=%d sid=%llu "
             "ip=%u port=%u secure=%d written=%lld result=%lld",
             max_blob, zeroed, static_cast<unsigned long long>(request.server_steam_id),
             request.server_ip, unsigned{request.server_port}, request.secure, written, result);
    return static_cast<int>(result);
}

} // namespace vandrel::standin
