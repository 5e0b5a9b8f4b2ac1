#include "shared/args.hpp"

#include "common/address.h"
#include "common/grammar.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace vandrel {
namespace {

// Seven decimal digits stay below 10^7, far inside the 32-bit range whatever
// the sign, so shorter numbers are converted without any overflow check.
constexpr std::size_t UNCHECKED_I32_DIGITS = 7;

// The value of an ASCII decimal digit, or a number above 9 for any other byte.
constexpr unsigned digit_value(char c) {
    return static_cast<unsigned char>(c) - unsigned{'0'};
}

} // namespace

std::optional<std::int32_t> to_i32(std::string_view token) {
    if (token.empty() || token == "+" || token == "-")
        return std::nullopt;
    const bool negative = token.front() == '-';
    std::string_view digits = token;
    if (negative || token.front() == '+')
        digits.remove_prefix(1);

    if (digits.size() <= UNCHECKED_I32_DIGITS) {
        std::int32_t value = 0;
        for (char c : digits) {
            const unsigned d = digit_value(c);
            if (d > 9)
                return std::nullopt;
            // Building a negative number downwards reaches the minimum without
            // passing through its unrepresentable positive counterpart.
            value = negative ? value * 10 - static_cast<std::int32_t>(d)
                             : value * 10 + static_cast<std::int32_t>(d);
        }
        return value;
    }

    // Past seven digits every step is checked; a 64-bit accumulator makes the
    // check a range test, since one step from a 32-bit value cannot leave 64 bits.
    constexpr std::int64_t min = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t max = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (char c : digits) {
        const unsigned d = digit_value(c);
        if (d > 9)
            return std::nullopt;
        value = negative ? value * 10 - d : value * 10 + d;
        if (value < min || value > max)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<SocketAddrV4> to_socket_addr_v4(std::string_view token) {
    vd_server_address parsed{};
    if (!vd_parse_server_address(token.data(), token.size(), &parsed))
        return std::nullopt;
    SocketAddrV4 addr;
    std::copy(std::begin(parsed.octets), std::end(parsed.octets), addr.octets.begin());
    addr.port = parsed.port;
    return addr;
}

std::optional<std::uint32_t> to_u32(std::string_view token) {
    std::uint64_t value = 0;
    if (!vd_parse_decimal(token.data(), token.size(), std::numeric_limits<std::uint32_t>::max(),
                          &value))
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> to_appid(std::string_view token) {
    std::uint32_t appid = 0;
    if (!vd_parse_appid(token.data(), token.size(), &appid))
        return std::nullopt;
    return appid;
}

std::optional<std::uint32_t> parse_appid(std::string_view text) {
    std::uint32_t appid = 0;
    if (!vd_parse_child_appid(text.data(), text.size(), &appid))
        return std::nullopt;
    return appid;
}

std::optional<std::string_view> Args::next_token() {
    while (!finished_) {
        std::size_t i = 0;
        while (i < rest_.size() && !is_token_separator(static_cast<std::uint8_t>(rest_[i])))
            ++i;
        std::string_view token = rest_.substr(0, i);
        if (i == rest_.size()) {
            finished_ = true;
            rest_ = {};
        } else {
            rest_.remove_prefix(i + 1);
        }
        if (!token.empty()) {
            ++taken_;
            return token;
        }
    }
    return std::nullopt;
}

Result<std::int32_t> Args::parse_i32(std::string_view name) {
    const auto token = next_token();
    if (!token)
        return BrokerError::missing_argument(name);
    const auto value = to_i32(*token);
    if (!value)
        return BrokerError::parse_failure(name);
    return *value;
}

Result<std::uint32_t> Args::parse_u32(std::string_view name) {
    const auto token = next_token();
    if (!token)
        return BrokerError::missing_argument(name);
    const auto value = to_u32(*token);
    if (!value)
        return BrokerError::parse_failure(name);
    return *value;
}

Result<SocketAddrV4> Args::parse_addr(std::string_view name) {
    const auto token = next_token();
    if (!token)
        return BrokerError::missing_argument(name);
    const auto addr = to_socket_addr_v4(*token);
    if (!addr)
        return BrokerError::parse_failure(name);
    return *addr;
}

Result<std::string_view> Args::parse_text(std::string_view name) {
    const auto token = next_token();
    if (!token)
        return BrokerError::missing_argument(name);
    return *token;
}

} // namespace vandrel
