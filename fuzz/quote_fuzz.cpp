// The quoted form: it never emits a raw control byte, and unescaping it gives
// back the text it was made from.
#include "base/text.hpp"
#include "utf8_encode.hpp"

#include <cstdlib>
#include <string>

namespace {

// The text between the quotes with every escape undone; aborts on anything
// the quoted form may not contain.
std::string unquote(std::string_view q) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"')
        std::abort();
    q = q.substr(1, q.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < q.size(); ++i) {
        char c = q[i];
        if (c == '"')
            std::abort(); // an unescaped quote inside
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= q.size())
            std::abort();
        switch (q[i]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case '0':
            out += '\0';
            break;
        case 'u': {
            std::size_t close = q.find('}', i);
            if (i + 1 >= q.size() || q[i + 1] != '{' || close == std::string_view::npos)
                std::abort();
            std::string hex(q.substr(i + 2, close - i - 2));
            if (hex.empty() || hex.size() > 6 || hex[0] == '0' ||
                hex.find_first_not_of("0123456789abcdef") != std::string::npos)
                std::abort();
            out +=
                vandrel::test::utf8(static_cast<char32_t>(std::strtoul(hex.c_str(), nullptr, 16)));
            i = close;
            break;
        }
        default:
            std::abort();
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text = vandrel::decode_lossy({data, size});
    std::string q;
    vandrel::append_quoted(q, text);
    for (std::size_t i = 0; i < q.size(); ++i) {
        auto c = static_cast<unsigned char>(q[i]);
        auto next = i + 1 < q.size() ? static_cast<unsigned char>(q[i + 1]) : 0;
        // C0 controls and DEL as bytes, C1 controls as C2 80..C2 9F.
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F))
            std::abort();
    }
    if (unquote(q) != text)
        std::abort();
    // Printable ASCII other than the two escaped characters stands as it is.
    bool plain = true;
    for (unsigned char c : text)
        plain = plain && c >= 0x20 && c < 0x7F && c != '\\' && c != '"';
    if (plain && q != "\"" + text + "\"")
        std::abort();
    return 0;
}
