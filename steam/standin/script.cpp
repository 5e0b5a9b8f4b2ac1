#include "steam/standin/script.hpp"

#include "common/grammar.h"
#include "steam/standin/calllog.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace vandrel::standin {
namespace {

constexpr const char* APPID_FILE = "steam_appid.txt";

} // namespace

const char* env(const char* name) {
    return std::getenv(name);
}

long long env_int(const char* name, long long fallback) {
    const char* text = env(name);
    if (text == nullptr)
        return fallback;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0) {
        report_error("%s=\"%s\" is not a decimal integer", name, text);
        return fallback;
    }
    return value;
}

std::uint64_t env_u64(const char* name, std::uint64_t fallback) {
    const char* text = env(name);
    if (text == nullptr)
        return fallback;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    // strtoull accepts a sign and negates; a Steam ID never has one.
    if (end == text || *end != '\0' || errno != 0 || *text == '-' || *text == '+') {
        report_error("%s=\"%s\" is not an unsigned decimal integer", name, text);
        return fallback;
    }
    return value;
}

bool env_flag(const char* name) {
    const char* text = env(name);
    return text != nullptr && *text != '\0' && std::strcmp(text, "0") != 0;
}

bool env_is(const char* name, const char* value) {
    const char* text = env(name);
    return text != nullptr && std::strcmp(text, value) == 0;
}

long long listed_ms(const char* name, std::size_t index, long long fallback) {
    const char* list = env(name);
    if (list == nullptr)
        return fallback;
    const char* p = list;
    for (std::size_t i = 0;; ++i) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(p, &end, 10);
        if (end == p || errno != 0 || (*end != ',' && *end != '\0')) {
            report_error("bad list %s=\"%s\"", name, list);
            return 0;
        }
        if (i == index || *end == '\0')
            return value;
        p = end + 1;
    }
}

std::size_t decode_hex(const char* hex, unsigned char* out, std::size_t cap) {
    const std::size_t len = std::strlen(hex);
    const std::size_t n = vd_hex_decode(hex, len, out, cap);
    if (n < cap && 2 * n < len)
        report_error("bad hex digits in \"%s\"", hex + 2 * n);
    return n;
}

void sleep_ms(long long ms) {
    if (ms < 0) {
        for (;;)
            ::pause();
    }
    // A zero-length nanosleep still arms a timer, and the kernel's timer
    // slack makes it last up to 50 us: skip it.
    if (ms == 0)
        return;
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void play_init_script() {
    if (const char* hang = env("VANDREL_STANDIN_INIT_HANG_MS"))
        sleep_ms(std::strcmp(hang, "forever") == 0 ? -1
                                                   : env_int("VANDREL_STANDIN_INIT_HANG_MS", 0));
    if (const char* text = env("VANDREL_STANDIN_INIT_STDOUT")) {
        // Deliberately unbuffered and straight to the descriptor, as a chatty
        // library would.
        [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text, std::strlen(text));
    }
}

bool read_app_id(std::uint32_t& app_id) {
    const int fd = ::open(APPID_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[64]{};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    std::uint64_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value > UINT32_MAX)
            return false;
    }
    if (p == digits)
        return false;
    app_id = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace vandrel::standin
