#include "base/log.hpp"

#include "base/text.hpp"

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
    // Whatever a client, the child, Steam or the environment put into the
    // message, the event stays one line that no terminal reads as commands.
    std::string line;
    line.reserve(LOG_PREFIX.size() + message.size() + 1);
    line.append(LOG_PREFIX);
    append_one_line(line, message);
    line.push_back('\n');
    write_stderr(line);
}

} // namespace vandrel
