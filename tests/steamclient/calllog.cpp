#include "calllog.hpp"

#include <cstdarg>
#include <cstdlib>

namespace vandrel::standin {

const std::string_view LIBRARY_NAME = "steamclient simulation";

} // namespace vandrel::standin

namespace vandrel::steamclient {
namespace {

constexpr const char* TRACE_VAR = "VANDREL_STEAMCLIENT_TRACE";

} // namespace

void trace(const char* format, ...) {
    if (std::getenv(TRACE_VAR) == nullptr)
        return;
    va_list args;
    va_start(args, format);
    standin::vsay(format, args);
    va_end(args);
}

} // namespace vandrel::steamclient
