#include "steam/standin/calllog.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vandrel::standin {
namespace {

constexpr const char* CALL_LOG_VAR = "VANDREL_STANDIN_CALL_LOG";
constexpr std::string_view NAME_SEPARATOR = ": ";
constexpr std::string_view ERROR_TAG = "error: ";
constexpr std::string_view LOGGED_ERROR_PREFIX = "ERROR ";
// Longer lines are cut; no call logs anything near this long.
constexpr std::size_t LINE_CAPACITY = 1024;

// A line built in a fixed buffer: the library allocates nothing, so the
// caller's allocation counts stay its own.
class Line {
  public:
    void append(std::string_view text) {
        const std::size_t n = std::min(text.size(), sizeof text_ - 1 - len_);
        std::memcpy(text_ + len_, text.data(), n);
        len_ += n;
    }
    [[gnu::format(printf, 2, 0)]] void vappend(const char* format, va_list args) {
        const std::size_t room = sizeof text_ - 1 - len_; // one byte stays for the line feed
        const int n = std::vsnprintf(text_ + len_, room + 1, format, args);
        if (n > 0)
            len_ += std::min(static_cast<std::size_t>(n), room);
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

// A line that starts with the library's name, for standard error.
Line named_line() {
    Line line;
    line.append(LIBRARY_NAME);
    line.append(NAME_SEPARATOR);
    return line;
}

} // namespace

void log_call(const char* format, ...) {
    Line line;
    va_list args;
    va_start(args, format);
    line.vappend(format, args);
    va_end(args);
    append_to_call_log(line);
}

void report_error(const char* format, ...) {
    Line message;
    va_list args;
    va_start(args, format);
    message.vappend(format, args);
    va_end(args);
    Line logged;
    logged.append(LOGGED_ERROR_PREFIX);
    logged.append(message.text());
    append_to_call_log(logged);
    Line shown = named_line();
    shown.append(ERROR_TAG);
    shown.append(message.text());
    shown.write_to(STDERR_FILENO);
}

void vsay(const char* format, va_list args) {
    Line line = named_line();
    line.vappend(format, args);
    line.write_to(STDERR_FILENO);
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsay(format, args);
    va_end(args);
}

bool all_zero(const void* buf, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(buf);
    return std::all_of(p, p + len, [](unsigned char c) { return c == 0; });
}

} // namespace vandrel::standin
