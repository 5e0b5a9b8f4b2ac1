// Which refused connections reach the log, so that another user cannot flood
// it by connecting over and over.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel {

// After a line about one kind of refused client, the next comes no sooner.
inline constexpr auto REFUSAL_LOG_INTERVAL = std::chrono::seconds(60);

// Decides what a refusal writes. The first refusal of each kind of client
// (one user, or the clients whose user is unknown) is logged in full; later
// ones are counted, and the first that comes REFUSAL_LOG_INTERVAL or more
// after the last line is logged as the count of all refused since that line.
// There is no timer: a count waits for the next refusal of its kind.
class RefusalLog {
  public:
    using Clock = std::chrono::steady_clock;

    // The line to write for a refusal at `now` of a client of kind `who`
    // ("from uid 65534"), whose own line is `line`; none while counting:
    // "refused {n} more connections {who} in the last {seconds} s", the
    // seconds being those since the last line, rounded down.
    std::optional<std::string> line_for(std::string_view who, std::string line,
                                        Clock::time_point now);

  private:
    struct Kind {
        Clock::time_point last_line;
        std::uint64_t unlogged = 0; // refused since `last_line`, not logged
    };
    // One entry per kind of client ever refused: at most one per local user.
    std::map<std::string, Kind, std::less<>> kinds_;
};

} // namespace vandrel
