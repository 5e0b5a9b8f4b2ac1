// Owned bytes, and the little-endian integers that every frame carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vandrel {

using Bytes = std::vector<std::uint8_t>;

// Writes `value` into all of `out` (1 to 8 bytes), least significant first.
constexpr void store_le(std::span<std::uint8_t> out, std::uint64_t value) {
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Appends the low `width` bytes (1 to 8) of `value`, least significant first.
inline void append_le(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The unsigned integer held little-endian in `bytes` (1 to 8 of them).
constexpr std::uint64_t load_le(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        value |= std::uint64_t{bytes[i]} << (8 * i);
    return value;
}

} // namespace vandrel
