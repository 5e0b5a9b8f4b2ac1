// Owned bytes, and the little-endian integers that every frame carries.
#pragma once

#include "vandrel/wire.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vandrel {

using Bytes = std::vector<std::uint8_t>;

// Writes `value` into all of `out` (1 to 8 bytes), least significant first.
inline void store_le(std::span<std::uint8_t> out, std::uint64_t value) {
    vandrel_store_le(out.data(), out.size(), value);
}

// Appends the low `width` bytes (1 to 8) of `value`, least significant first.
inline void append_le(Bytes& out, std::uint64_t value, std::size_t width) {
    std::uint8_t le[sizeof value];
    vandrel_store_le(le, width, value);
    for (std::size_t i = 0; i < width; ++i)
        out.push_back(le[i]);
}

// The unsigned integer held little-endian in `bytes` (1 to 8 of them).
inline std::uint64_t load_le(std::span<const std::uint8_t> bytes) {
    return vandrel_load_le(bytes.data(), bytes.size());
}

} // namespace vandrel
