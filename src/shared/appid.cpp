#include "shared/appid.hpp"

#include "vandrel/wire.h"

#include <algorithm>
#include <array>

namespace vandrel {
namespace {

struct GameDir {
    std::string_view key; // lowercase ASCII
    std::uint32_t appid;
};

constexpr std::array<GameDir, 12> GAME_DIRS{{
    {"cstrike", 10},
    {"tfc", 20},
    {"dod", 30},
    {"dmc", 40},
    {"gearbox", 50},
    {"ricochet", 60},
    {"valve", 70},
    {"czero", 80},
    {"czeror", 100},
    {"bshift", 130},
    {"cstrike_beta", 150},
    {"svencoop", 225840},
}};

constexpr std::size_t MAX_KEY_LENGTH =
    std::max_element(GAME_DIRS.begin(), GAME_DIRS.end(), [](const GameDir& a, const GameDir& b) {
        return a.key.size() < b.key.size();
    })->key.size();
// The client library sends every name the table knows.
static_assert(MAX_KEY_LENGTH <= VANDREL_MAX_GAMEDIR_LEN);

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<std::uint32_t> appid_for_gamedir(std::string_view name) {
    // A name longer than every key cannot match, so the fold fits on the stack.
    if (name.empty() || name.size() > MAX_KEY_LENGTH)
        return std::nullopt;
    std::array<char, MAX_KEY_LENGTH> buf{};
    std::transform(name.begin(), name.end(), buf.begin(), ascii_lower);
    const std::string_view folded(buf.data(), name.size());
    for (const GameDir& entry : GAME_DIRS) {
        if (entry.key == folded)
            return entry.appid;
    }
    return std::nullopt;
}

} // namespace vandrel
