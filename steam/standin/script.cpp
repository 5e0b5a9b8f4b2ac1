#include "script.hpp"

#include "calllog.hpp"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace vandrel::standin {

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
    if (end == text || *end != '\0' || errno != 0 || *text == '-') {
        report_error("%s=\"%s\" is not an unsigned decimal integer", name, text);
        return fallback;
    }
    return value;
}

bool env_flag(const char* name) {
    const char* text = env(name);
    return text != nullptr && *text != '\0' && !(text[0] == '0' && text[1] == '\0');
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::size_t decode_hex(const char* hex, unsigned char* out, std::size_t cap) {
    std::size_t n = 0;
    for (; hex[0] != '\0' && n < cap; hex += 2) {
        const int high = hex_digit(hex[0]);
        const int low = hex[1] == '\0' ? -1 : hex_digit(hex[1]);
        if (high < 0 || low < 0) {
            report_error("bad hex digits in \"%s\"", hex);
            break;
        }
        out[n++] = static_cast<unsigned char>(high * 16 + low);
    }
    return n;
}

void sleep_ms(long long ms) {
    if (ms < 0) {
        for (;;)
            ::pause();
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace vandrel::standin
