#include "steam/standin/presence.hpp"

#include "steam/flat.hpp"
#include "steam/standin/callbacks.hpp"
#include "steam/standin/calllog.hpp"
#include "steam/standin/script.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace vandrel::standin {
namespace {

constexpr const char* RUNNING_FILE_VAR = "VANDREL_STANDIN_RUNNING_FILE";
// Room for a Steam ID and some blanks.
constexpr std::size_t USER_TEXT_CAPACITY = 64;

bool gone = false;

// The Steam ID the running file holds; false when it holds none.
bool user_in_running_file(std::uint64_t& id) {
    const char* path = env(RUNNING_FILE_VAR);
    if (path == nullptr)
        return false;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[USER_TEXT_CAPACITY]{};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0 || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    id = std::strtoull(text, &end, 10);
    return errno == 0;
}

} // namespace

bool steam_running() {
    const char* path = env(RUNNING_FILE_VAR);
    return path == nullptr || ::access(path, F_OK) == 0;
}

std::uint64_t steam_user(std::uint64_t fallback) {
    std::uint64_t id = 0;
    if (user_in_running_file(id))
        return id;
    return env_u64("VANDREL_STANDIN_STEAM_ID", fallback);
}

void presence_start() {
    gone = false;
}

void presence_frame() {
    if (gone || steam_running())
        return;
    gone = true;
    // SteamShutdown_t is an empty record: one byte.
    const std::uint8_t empty[1]{};
    push_callback(steam::flat::CALLBACK_STEAM_SHUTDOWN, empty);
    log_call("steam quit: the running file is gone, SteamShutdown_t queued");
}

bool steam_gone() {
    return gone;
}

} // namespace vandrel::standin
