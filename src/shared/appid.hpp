// The fixed table from a client's game directory name to its Steam AppID.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vandrel {

// The AppID of the game directory `name`, matched exactly against the built-in
// table after folding ASCII letters to lowercase (nothing else is folded,
// trimmed or read as a path); none for a name the table lacks. Allocates nothing.
std::optional<std::uint32_t> appid_for_gamedir(std::string_view name);

} // namespace vandrel
