#include "client_harness.hpp"

#include <fcntl.h>
#include <filesystem>

namespace vandrel::test {

vandrel_ticket_request request_for(const char* server, std::uint64_t sid, std::int32_t secure,
                                   std::int32_t challenge) {
    vandrel_ticket_request r{};
    r.server = server;
    r.server_steam_id = sid;
    r.secure = secure;
    r.challenge = challenge;
    return r;
}

Bytes ticket_for(std::uint32_t ip, std::uint16_t port, std::uint64_t server_steam_id) {
    return standin_ticket(ip, port, server_steam_id, DEFAULT_TICKET_LEN);
}

Bytes auth_ticket_for(std::uint64_t seed) {
    return standin_ticket(0, 0, seed, DEFAULT_TICKET_LEN);
}

std::set<int> open_fd_numbers() {
    std::set<int> listed;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        listed.insert(std::stoi(entry.path().filename().string()));
    std::set<int> out;
    for (int fd : listed)
        if (::fcntl(fd, F_GETFD) >= 0)
            out.insert(fd);
    return out;
}

std::vector<int> fds_opened_since(const std::set<int>& before) {
    std::vector<int> out;
    for (int fd : open_fd_numbers())
        if (before.count(fd) == 0)
            out.push_back(fd);
    return out;
}

std::int64_t elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

} // namespace vandrel::test
