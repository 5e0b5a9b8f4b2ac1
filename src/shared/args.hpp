// Positional command arguments: tokens split at five ASCII separators, and the
// conversions of one token to an integer, an IPv4 socket address or text.
//
// Arguments have no quoting, escaping or key=value form; a token is a maximal
// non-empty run of bytes free of tab, line feed, form feed, carriage return and
// space. The vertical tab and non-ASCII white space are ordinary token content.
#pragma once

#include "base/addr.hpp"
#include "base/error.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace vandrel {

// The separator bytes as bits of one mask over the byte values below 0x21.
inline constexpr std::uint64_t TOKEN_SEPARATOR_MASK =
    (std::uint64_t{1} << 0x09) | (std::uint64_t{1} << 0x0A) | (std::uint64_t{1} << 0x0C) |
    (std::uint64_t{1} << 0x0D) | (std::uint64_t{1} << 0x20);

// True exactly for tab, line feed, form feed, carriage return and space.
constexpr bool is_token_separator(std::uint8_t byte) {
    return byte < 0x21 && ((TOKEN_SEPARATOR_MASK >> byte) & 1) != 0;
}

// The token as a signed 32-bit decimal: one optional sign, then ASCII digits
// only (leading zeros fine); none for a lone sign, any other byte or overflow.
std::optional<std::int32_t> to_i32(std::string_view token);

// The token as an unsigned 32-bit decimal: ASCII digits only (no sign,
// leading zeros fine), at most 4294967295; none for anything else.
std::optional<std::uint32_t> to_u32(std::string_view token);

// The token as exactly 'a.b.c.d:port': octets of 1 to 3 digits up to 255 with
// no leading zero, a port of 1 or more digits up to 65535 (leading zeros fine).
std::optional<SocketAddrV4> to_socket_addr_v4(std::string_view token);

// The AppID a client names ("vd_appid"): ASCII digits only (leading zeros
// fine), 1 to 4294967295; none for anything else. The same rule as the client
// library's and vandrel-ticket's.
std::optional<std::uint32_t> to_appid(std::string_view token);

// The child-mode AppID: an optional single '+', then one or more ASCII digits,
// with a value of at most 4294967295; none for anything else.
std::optional<std::uint32_t> parse_appid(std::string_view text);

// A forward-only cursor over one command's argument text. It borrows the text
// and allocates nothing; each `parse_*` call consumes exactly one token,
// whether or not it converts, and tokens nobody asks for are ignored.
class Args {
  public:
    // The cursor over text the caller has already checked.
    explicit Args(std::string_view text) : rest_(text) {}

    // The next non-empty token, or none once the text is used up.
    std::optional<std::string_view> next_token();
    // How many tokens have been taken so far.
    std::size_t taken() const { return taken_; }

    // The next token as an integer; `MissingArgument` or `ParseFailure` with
    // `name`, which must be a constant of the program.
    Result<std::int32_t> parse_i32(std::string_view name);
    // The next token as an unsigned 32-bit integer; errors as for `parse_i32`.
    Result<std::uint32_t> parse_u32(std::string_view name);
    // The next token as an IPv4 socket address; errors as for `parse_i32`.
    Result<SocketAddrV4> parse_addr(std::string_view name);
    // The next token unchanged, borrowed from the argument text;
    // `MissingArgument` with `name` when there is none.
    Result<std::string_view> parse_text(std::string_view name);

  private:
    std::string_view rest_;
    bool finished_ = false;
    std::size_t taken_ = 0;
};

} // namespace vandrel
