#include "broker/refusal_log.hpp"

namespace vandrel {

std::optional<std::string> RefusalLog::line_for(std::string_view who, std::string line,
                                                Clock::time_point now) {
    auto found = kinds_.find(who);
    if (found == kinds_.end()) {
        kinds_.emplace(std::string(who), Kind{now, 0});
        return line;
    }
    Kind& kind = found->second;
    const auto since = now - kind.last_line;
    if (since < REFUSAL_LOG_INTERVAL) {
        ++kind.unlogged;
        return std::nullopt;
    }
    const std::uint64_t unlogged = kind.unlogged;
    kind = Kind{now, 0};
    // A quiet interval ends the count: this refusal is shown as a first one.
    if (unlogged == 0)
        return line;
    // The window is as long as it was: the refusal that closes it may come
    // long after the interval.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since).count();
    return "refused " + std::to_string(unlogged + 1) + " more connections " + std::string(who) +
           " in the last " + std::to_string(seconds) + " s";
}

} // namespace vandrel
