#include "calllog.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace vandrel::steamclient {
namespace {

constexpr const char* CALL_LOG_VAR = "VANDREL_STANDIN_CALL_LOG";
constexpr const char* TRACE_VAR = "VANDREL_STEAMCLIENT_TRACE";
constexpr std::string_view ERROR_PREFIX = "steamclient simulation: error: ";
constexpr std::string_view TRACE_PREFIX = "steamclient simulation: ";
// Longer lines are cut; no call logs anything near this long.
constexpr std::size_t LINE_CAPACITY = 1024;

// A line built in a fixed buffer: the library allocates nothing, so the
// caller's allocation counts stay its own.
class Line {
  public:
    explicit Line(std::string_view prefix) { append(prefix); }

    void append(std::string_view text) {
        const std::size_t n = std::min(text.size(), sizeof text_ - 1 - len_);
        std::memcpy(text_ + len_, text.data(), n);
        len_ += n;
    }
    [[gnu::format(printf, 2, 0)]] void vappend(const char* format, va_list args) {
        const std::size_t room = sizeof text_ - 1 - len_; // one byte stays for the line feed
        const int n = std::vsnprintf(text_ + len_, room + 1, format, args);
        if (n > 0)
            len_ += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    }
    std::string_view text() const { return {text_, len_}; }
    // Ends the line and writes it to `fd` whole, keeping the caller's errno.
    void write_to(int fd) {
        text_[len_] = '\n';
        const int saved_errno = errno;
        const char* p = text_;
        std::size_t left = len_ + 1;
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        errno = saved_errno;
    }

  private:
    char text_[LINE_CAPACITY];
    std::size_t len_ = 0;
};

void append_to_call_log(Line& line) {
    const char* path = std::getenv(CALL_LOG_VAR);
    if (path == nullptr || *path == '\0')
        return;
    const int saved_errno = errno;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    errno = saved_errno;
    if (fd < 0)
        return;
    line.write_to(fd);
    ::close(fd);
    errno = saved_errno;
}

} // namespace

void log_call(const char* format, ...) {
    Line line("");
    va_list args;
    va_start(args, format);
    line.vappend(format, args);
    va_end(args);
    append_to_call_log(line);
}

void report_error(const char* format, ...) {
    Line message("");
    va_list args;
    va_start(args, format);
    message.vappend(format, args);
    va_end(args);
    Line logged("ERROR ");
    logged.append(message.text());
    append_to_call_log(logged);
    Line shown(ERROR_PREFIX);
    shown.append(message.text());
    shown.write_to(STDERR_FILENO);
}

void trace(const char* format, ...) {
    if (std::getenv(TRACE_VAR) == nullptr)
        return;
    Line line(TRACE_PREFIX);
    va_list args;
    va_start(args, format);
    line.vappend(format, args);
    va_end(args);
    line.write_to(STDERR_FILENO);
}

} // namespace vandrel::steamclient
