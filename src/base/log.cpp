#include "base/log.hpp"

#include "base/text.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <unistd.h>

namespace vandrel {
namespace {

// The longest number a session's tag carries.
constexpr std::size_t MAX_TAG_DIGITS = 10;

// Written before any other thread starts, read by every thread after.
std::string process_tag;
thread_local std::optional<std::string> thread_tag;

} // namespace

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
    const std::string_view tag = log_tag();
    std::string line;
    line.reserve(LOG_PREFIX.size() + tag.size() + 1 + message.size() + 1);
    line.append(LOG_PREFIX);
    if (!tag.empty())
        line.append(tag).push_back(' ');
    append_one_line(line, message);
    line.push_back('\n');
    write_stderr(line);
}

void set_log_tag(std::string_view tag) {
    thread_tag.emplace(tag);
}

void set_process_log_tag(std::string_view tag) {
    process_tag.assign(tag);
}

std::string_view log_tag() {
    return thread_tag ? std::string_view(*thread_tag) : std::string_view(process_tag);
}

bool is_log_tag(std::string_view tag) {
    if (tag.size() < 2 || tag.size() > 1 + MAX_TAG_DIGITS || tag.front() != '#')
        return false;
    tag.remove_prefix(1);
    return std::all_of(tag.begin(), tag.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace vandrel
