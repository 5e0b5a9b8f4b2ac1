#include "shared/args.hpp"

#include <limits>

namespace vandrel {
namespace {

// Seven decimal digits stay below 10^7, far inside the 32-bit range whatever
// the sign, so shorter numbers are converted without any overflow check.
constexpr std::size_t UNCHECKED_I32_DIGITS = 7;

constexpr std::size_t MAX_OCTET_DIGITS = 3;
constexpr unsigned MAX_OCTET = 255;
constexpr unsigned MAX_PORT = 65535;

// The value of an ASCII decimal digit, or a number above 9 for any other byte.
constexpr unsigned digit_value(char c) {
    return static_cast<unsigned char>(c) - unsigned{'0'};
}

constexpr bool is_digit(char c) {
    return digit_value(c) <= 9;
}

// Reads one octet at `pos`, advancing it; none unless 1 to 3 digits, at most
// 255 and without a leading zero.
std::optional<std::uint8_t> read_octet(std::string_view text, std::size_t& pos) {
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && pos - start < MAX_OCTET_DIGITS && is_digit(text[pos])) {
        value = value * 10 + digit_value(text[pos]);
        ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > MAX_OCTET)
        return std::nullopt;
    if (digits > 1 && text[start] == '0')
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
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
    SocketAddrV4 addr;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < addr.octets.size(); ++i) {
        if (i != 0) {
            if (pos >= token.size() || token[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        const auto octet = read_octet(token, pos);
        if (!octet)
            return std::nullopt;
        addr.octets[i] = *octet;
    }
    if (pos >= token.size() || token[pos] != ':')
        return std::nullopt;
    ++pos;

    // The port may carry any number of leading zeros; stopping as soon as the
    // value passes 65535 keeps the accumulator small for any token length.
    const std::size_t start = pos;
    unsigned port = 0;
    for (; pos < token.size(); ++pos) {
        const unsigned d = digit_value(token[pos]);
        if (d > 9)
            return std::nullopt;
        port = port * 10 + d;
        if (port > MAX_PORT)
            return std::nullopt;
    }
    if (pos == start)
        return std::nullopt;
    addr.port = static_cast<std::uint16_t>(port);
    return addr;
}

std::optional<std::uint32_t> to_u32(std::string_view token) {
    if (token.empty())
        return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t value = 0;
    for (char c : token) {
        const unsigned d = digit_value(c);
        if (d > 9)
            return std::nullopt;
        value = value * 10 + d;
        if (value > max)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> parse_appid(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    return to_u32(text);
}

std::optional<std::string_view> Args::next_token() {
    while (!finished_) {
        std::size_t i = 0;
        while (i < rest_.size() && !is_token_separator(static_cast<std::uint8_t>(rest_[i])))
            ++i;
        if (i == rest_.size()) {
            finished_ = true;
            const std::string_view token = rest_;
            rest_ = {};
            if (token.empty())
                return std::nullopt;
            return token;
        }
        const std::string_view token = rest_.substr(0, i);
        rest_.remove_prefix(i + 1);
        if (!token.empty())
            return token;
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
