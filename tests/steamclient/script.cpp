#include "script.hpp"

#include "calllog.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace vandrel::steamclient {

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

void sleep_ms(long long ms) {
    if (ms < 0) {
        for (;;)
            ::pause();
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace vandrel::steamclient
