// Args and the token conversions against a reference built on std::from_chars
// with the same rules.
#include "base/text.hpp"
#include "shared/args.hpp"

#include <charconv>
#include <cstdlib>
#include <string>

namespace {

std::optional<std::int32_t> reference_i32(std::string_view t) {
    if (t.empty() || t == "+" || t == "-")
        return std::nullopt;
    // from_chars takes a '-' but never a '+', and no second sign.
    if (t.front() == '+') {
        t.remove_prefix(1);
        if (t.front() == '-')
            return std::nullopt;
    }
    std::int32_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size())
        return std::nullopt;
    return v;
}

bool all_digits(std::string_view t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<vandrel::SocketAddrV4> reference_addr(std::string_view t) {
    vandrel::SocketAddrV4 a;
    for (std::size_t i = 0; i < 4; ++i) {
        std::size_t end = t.find(i < 3 ? '.' : ':');
        if (end == std::string_view::npos)
            return std::nullopt;
        std::string_view octet = t.substr(0, end);
        unsigned v = 256;
        if (!all_digits(octet) || octet.size() > 3 || (octet.size() > 1 && octet[0] == '0'))
            return std::nullopt;
        std::from_chars(octet.data(), octet.data() + octet.size(), v);
        if (v > 255)
            return std::nullopt;
        a.octets[i] = static_cast<std::uint8_t>(v);
        t.remove_prefix(end + 1);
    }
    if (!all_digits(t))
        return std::nullopt;
    std::size_t nz = t.find_first_not_of('0');
    std::string_view sig = nz == std::string_view::npos ? "0" : t.substr(nz);
    std::uint16_t port = 0;
    auto [end, ec] = std::from_chars(sig.data(), sig.data() + sig.size(), port);
    if (ec != std::errc() || end != sig.data() + sig.size())
        return std::nullopt;
    a.port = port;
    return a;
}

std::optional<std::uint32_t> reference_appid(std::string_view t) {
    if (!t.empty() && t.front() == '+')
        t.remove_prefix(1);
    if (!all_digits(t))
        return std::nullopt;
    std::uint32_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size())
        return std::nullopt;
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view whole(reinterpret_cast<const char*>(data), size);
    if (vandrel::parse_appid(whole) != reference_appid(whole))
        std::abort();

    auto text = vandrel::check_utf8({data, size});
    if (!text.ok())
        return 0;
    vandrel::Args args(*text);
    std::string joined;
    while (auto token = args.next_token()) {
        if (token->empty())
            std::abort();
        for (char c : *token)
            if (vandrel::is_token_separator(static_cast<std::uint8_t>(c)))
                std::abort();
        if (vandrel::to_i32(*token) != reference_i32(*token))
            std::abort();
        if (vandrel::to_socket_addr_v4(*token) != reference_addr(*token))
            std::abort();
        joined += *token;
    }
    // The tokens are exactly the input without its separators.
    std::string expected;
    for (char c : whole)
        if (!vandrel::is_token_separator(static_cast<std::uint8_t>(c)))
            expected += c;
    if (joined != expected)
        std::abort();
    return 0;
}
