// The IPv4 socket address that commands, child requests and Steam calls carry.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vandrel {

struct SocketAddrV4 {
    std::array<std::uint8_t, 4> octets{};
    std::uint16_t port = 0;

    // The address as a 32-bit integer with the first octet most significant
    // (10.0.0.1 is 167772161), the form Steam takes.
    std::uint32_t host_order_ip() const {
        return (std::uint32_t{octets[0]} << 24) | (std::uint32_t{octets[1]} << 16) |
               (std::uint32_t{octets[2]} << 8) | std::uint32_t{octets[3]};
    }
    // Dotted form without leading zeros: '10.0.0.5:27015'.
    std::string to_string() const {
        std::string out;
        for (std::size_t i = 0; i < octets.size(); ++i) {
            if (i != 0)
                out += '.';
            out += std::to_string(octets[i]);
        }
        out += ':';
        out += std::to_string(port);
        return out;
    }
    bool operator==(const SocketAddrV4&) const = default;
};

} // namespace vandrel
