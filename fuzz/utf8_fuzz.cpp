// UTF-8 validation and lossy decoding against a straightforward reference
// decoder that follows the table of well-formed byte sequences.
#include "base/text.hpp"

#include <cstdlib>
#include <string>

namespace {

// The length of the well-formed sequence at `i`, or 0 with `bad` set to the
// length of the maximal invalid prefix (0 meaning "input ends inside it").
std::size_t reference_sequence(const std::uint8_t* s, std::size_t n, std::size_t i,
                               std::size_t& bad) {
    std::uint8_t b = s[i];
    if (b < 0x80)
        return 1;
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0)
            lo = 0xA0;
        if (b == 0xED)
            hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0)
            lo = 0x90;
        if (b == 0xF4)
            hi = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= n) {
            bad = 0;
            return 0;
        }
        std::uint8_t c = s[i + k];
        bool ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
        if (!ok) {
            bad = k == 1 ? 1 : k;
            return 0;
        }
    }
    return len;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string lossy;
    std::optional<vandrel::Utf8Error> first;
    for (std::size_t i = 0; i < size;) {
        std::size_t bad = 0;
        std::size_t len = reference_sequence(data, size, i, bad);
        if (len != 0) {
            lossy.append(reinterpret_cast<const char*>(data + i), len);
            i += len;
            continue;
        }
        if (!first) {
            first = vandrel::Utf8Error{i, std::nullopt};
            if (bad != 0)
                first->error_len = static_cast<std::uint8_t>(bad);
        }
        lossy += "\xEF\xBF\xBD";
        i += bad == 0 ? size - i : bad;
    }

    auto checked = vandrel::check_utf8({data, size});
    if (checked.ok() != !first.has_value())
        std::abort();
    if (!checked.ok() && !(checked.error() == *first))
        std::abort();
    if (checked.ok() && checked->size() != size)
        std::abort();
    if (vandrel::decode_lossy({data, size}) != lossy)
        std::abort();
    return 0;
}
