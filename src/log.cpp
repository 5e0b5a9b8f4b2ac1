#include "log.hpp"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace vandrel {

void write_stderr(std::string_view text) {
    // A short write to a pipe only happens for lines longer than PIPE_BUF;
    // finish them, but never loop on an error.
    while (!text.empty()) {
        ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void log_line(std::string_view message) {
    std::string line;
    line.reserve(LOG_PREFIX.size() + message.size() + 1);
    line.append(LOG_PREFIX).append(message).push_back('\n');
    write_stderr(line);
}

} // namespace vandrel
