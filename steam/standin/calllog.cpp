#include "calllog.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vandrel::standin {
namespace {

constexpr const char* CALL_LOG_VAR = "VANDREL_STANDIN_CALL_LOG";
constexpr const char* ERROR_PREFIX = "libsteam_api stand-in: error: ";
// Longer lines are cut; no call logs anything near this long.
constexpr std::size_t LINE_CAPACITY = 1024;
// vsnprintf's share of a line: all but the byte for the line feed.
constexpr std::size_t FORMAT_ROOM = LINE_CAPACITY - 1;

// A line formatted into a fixed buffer: the stand-in allocates nothing, so the
// caller's allocation counts stay its own.
struct Line {
    char text[LINE_CAPACITY];
    std::size_t len = 0;

    void append(const char* s) {
        const std::size_t room = sizeof text - 1 - len; // keep one byte for the line feed
        const std::size_t n = std::min(std::strlen(s), room);
        std::memcpy(text + len, s, n);
        len += n;
    }
    // Takes the result of a vsnprintf into `text` with FORMAT_ROOM: what it
    // wrote, which a cut line makes less than it wanted to.
    void formatted(int wanted) {
        len = wanted < 0 ? 0 : std::min(static_cast<std::size_t>(wanted), FORMAT_ROOM - 1);
    }
    void finish() { text[len++] = '\n'; }
};

void write_all(int fd, const Line& line) {
    const char* p = line.text;
    std::size_t left = line.len;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void append_to_call_log(const Line& line) {
    const char* path = std::getenv(CALL_LOG_VAR);
    if (path == nullptr || *path == '\0')
        return;
    const int saved_errno = errno;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        write_all(fd, line);
        ::close(fd);
    }
    errno = saved_errno;
}

} // namespace

void log_call(const char* format, ...) {
    Line line;
    va_list args;
    va_start(args, format);
    line.formatted(std::vsnprintf(line.text, FORMAT_ROOM, format, args));
    va_end(args);
    line.finish();
    append_to_call_log(line);
}

void report_error(const char* format, ...) {
    Line body;
    va_list args;
    va_start(args, format);
    body.formatted(std::vsnprintf(body.text, FORMAT_ROOM, format, args));
    va_end(args);
    body.text[body.len] = '\0';

    Line logged;
    logged.append("ERROR ");
    logged.append(body.text);
    logged.finish();
    append_to_call_log(logged);

    Line shown;
    shown.append(ERROR_PREFIX);
    shown.append(body.text);
    shown.finish();
    const int saved_errno = errno;
    write_all(STDERR_FILENO, shown);
    errno = saved_errno;
}

} // namespace vandrel::standin
