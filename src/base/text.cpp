#include "base/text.hpp"

#include <algorithm>
#include <charconv>

namespace vandrel {
namespace {

constexpr char32_t ASCII_END = 0x80;
constexpr char32_t MAX_CODE_POINT = 0x10FFFF;
constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD"; // U+FFFD

// The outcome of decoding at one position.
enum class Step {
    CodePoint,  // a well-formed sequence: `code_point` in `len` bytes
    Invalid,    // an ill-formed sequence of `len` bytes (1 to 3)
    Incomplete, // the input ends inside a sequence that is well-formed so far
};

struct Decoded {
    Step step;
    char32_t code_point;
    std::size_t len;
};

bool is_continuation(std::uint8_t b) {
    return (b & 0xC0) == 0x80;
}

// The well-formed multi-byte sequences by lead byte (RFC 3629's table): the
// length, and the range of the second byte, which is where overlong forms,
// surrogates and values above U+10FFFF show. No other byte leads one: 80..BF
// continue a sequence, C0 and C1 only begin overlong forms, F5..FF begin
// values above U+10FFFF.
struct LeadByte {
    std::uint8_t first, last;
    std::size_t len;
    std::uint8_t second_min, second_max;
};
constexpr LeadByte LEAD_BYTES[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, // U+0080..U+07FF
    {0xE0, 0xE0, 3, 0xA0, 0xBF}, // U+0800..U+0FFF
    {0xE1, 0xEC, 3, 0x80, 0xBF}, // U+1000..U+CFFF
    {0xED, 0xED, 3, 0x80, 0x9F}, // U+D000..U+D7FF, short of the surrogates
    {0xEE, 0xEF, 3, 0x80, 0xBF}, // U+E000..U+FFFF
    {0xF0, 0xF0, 4, 0x90, 0xBF}, // U+10000..U+3FFFF
    {0xF1, 0xF3, 4, 0x80, 0xBF}, // U+40000..U+FFFFF
    {0xF4, 0xF4, 4, 0x80, 0x8F}, // U+100000..U+10FFFF
};

// Decodes the sequence that starts at `pos` (< bytes.size()). The invalid
// length counts the bytes up to the first one that cannot continue the
// sequence, so the next sequence starts at the byte that broke this one.
Decoded decode_at(std::span<const std::uint8_t> bytes, std::size_t pos) {
    const std::uint8_t lead = bytes[pos];
    if (lead < ASCII_END) {
        return {Step::CodePoint, lead, 1};
    }
    const auto* rule =
        std::find_if(std::begin(LEAD_BYTES), std::end(LEAD_BYTES),
                     [lead](const LeadByte& r) { return lead >= r.first && lead <= r.last; });
    if (rule == std::end(LEAD_BYTES)) {
        return {Step::Invalid, 0, 1};
    }
    const std::size_t len = rule->len;
    // The lead byte's bits below its length marker begin the value.
    char32_t value = lead & (0xFFU >> (len + 1));

    const std::size_t available = bytes.size() - pos;
    for (std::size_t i = 1; i < len; ++i) {
        if (i == available) {
            return {Step::Incomplete, 0, available};
        }
        const std::uint8_t b = bytes[pos + i];
        const bool fits =
            i == 1 ? b >= rule->second_min && b <= rule->second_max : is_continuation(b);
        if (!fits) {
            // A bad second byte leaves only the lead byte as the invalid sequence.
            return {Step::Invalid, 0, i};
        }
        value = (value << 6) | (b & 0x3F);
    }
    return {Step::CodePoint, value, len};
}

// The end of the run of ASCII bytes that starts at `pos`.
std::size_t skip_ascii(std::span<const std::uint8_t> bytes, std::size_t pos) {
    while (pos < bytes.size() && bytes[pos] < ASCII_END) {
        ++pos;
    }
    return pos;
}

bool in_ranges(std::span<const CodePointRange> ranges, char32_t c) {
    // The first range that does not end before `c` is the only one that can hold it.
    const auto it = std::partition_point(ranges.begin(), ranges.end(),
                                         [c](const CodePointRange& r) { return r.last < c; });
    return it != ranges.end() && it->first <= c;
}

// The characters that make a terminal or a log viewer show text other than
// what was written: the bidirectional controls reorder what follows them, and
// the line and paragraph separators break the line where no line feed is.
bool misleads_display(char32_t c) {
    switch (c) {
    case 0x061C: // ARABIC LETTER MARK
    case 0x200E: // LEFT-TO-RIGHT MARK
    case 0x200F: // RIGHT-TO-LEFT MARK
    case 0x2028: // LINE SEPARATOR
    case 0x2029: // PARAGRAPH SEPARATOR
        return true;
    default:
        // The embeddings and overrides U+202A..U+202E and the isolates
        // U+2066..U+2069.
        return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    }
}

void append_escape(std::string& out, char32_t c) {
    char hex[8];
    const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
    (void)ec; // eight digits hold every 32-bit value
    out += "\\u{";
    out.append(hex, end);
    out += '}';
}

} // namespace

Result<std::string_view, Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) {
    std::size_t pos = 0;
    while (true) {
        pos = skip_ascii(bytes, pos);
        if (pos == bytes.size()) {
            return as_chars(bytes);
        }
        const Decoded d = decode_at(bytes, pos);
        switch (d.step) {
        case Step::CodePoint:
            pos += d.len;
            break;
        case Step::Invalid:
            return Utf8Error{pos, static_cast<std::uint8_t>(d.len)};
        case Step::Incomplete:
            return Utf8Error{pos, std::nullopt};
        }
    }
}

std::string decode_lossy(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t valid_from = 0; // start of the well-formed run not yet copied
    std::size_t pos = 0;
    while (true) {
        pos = skip_ascii(bytes, pos);
        if (pos == bytes.size()) {
            break;
        }
        const Decoded d = decode_at(bytes, pos);
        if (d.step == Step::CodePoint) {
            pos += d.len;
            continue;
        }
        out += as_chars(bytes.subspan(valid_from, pos - valid_from));
        out += REPLACEMENT_CHARACTER;
        pos += d.len; // an incomplete tail runs to the end of the input
        valid_from = pos;
    }
    out += as_chars(bytes.subspan(valid_from));
    return out;
}

void append_quoted(std::string& out, std::string_view text) {
    const auto bytes = as_bytes(text);
    out += '"';
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const Decoded d = decode_at(bytes, pos);
        const std::string_view raw = text.substr(pos, d.len);
        pos += d.len;
        if (d.step != Step::CodePoint) {
            // Callers pass valid UTF-8; should a bad sequence slip through, it
            // is shown as U+FFFD so that the quoted form stays valid UTF-8.
            out += REPLACEMENT_CHARACTER;
            continue;
        }
        switch (d.code_point) {
        case U'\\':
            out += "\\\\";
            continue;
        case U'"':
            out += "\\\"";
            continue;
        case U'\t':
            out += "\\t";
            continue;
        case U'\r':
            out += "\\r";
            continue;
        case U'\n':
            out += "\\n";
            continue;
        case U'\0':
            out += "\\0";
            continue;
        default:
            break;
        }
        // A combining mark is escaped even after a base character, so that it
        // cannot merge into the quote or the character before it.
        if (!is_printable(d.code_point) || is_grapheme_extend(d.code_point)) {
            append_escape(out, d.code_point);
        } else {
            out += raw;
        }
    }
    out += '"';
}

std::string_view utf8_prefix(std::string_view text, std::size_t max_len) {
    if (text.size() <= max_len)
        return text;
    while (max_len > 0 && is_continuation(static_cast<std::uint8_t>(text[max_len])))
        --max_len;
    return text.substr(0, max_len);
}

void append_one_line(std::string& out, std::string_view text) {
    const auto bytes = as_bytes(text);
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Printable ASCII, nearly every byte of every line, goes in runs.
        std::size_t plain = pos;
        while (plain < bytes.size() && bytes[plain] >= 0x20 && bytes[plain] < 0x7F)
            ++plain;
        out.append(text.substr(pos, plain - pos));
        pos = plain;
        if (pos == bytes.size())
            break;
        const Decoded d = decode_at(bytes, pos);
        const std::string_view raw = text.substr(pos, d.len);
        pos += d.len;
        if (d.step != Step::CodePoint)
            out += REPLACEMENT_CHARACTER;
        else if (d.code_point < 0x20 || (d.code_point >= 0x7F && d.code_point <= 0x9F) ||
                 misleads_display(d.code_point))
            append_escape(out, d.code_point);
        else
            out += raw;
    }
}

bool is_white_space(char32_t c) {
    if (c < ASCII_END) {
        return (c >= U'\t' && c <= U'\r') || c == U' ';
    }
    return in_ranges(white_space_ranges(), c);
}

bool is_printable(char32_t c) {
    if (c < ASCII_END) {
        return c >= U' ' && c <= U'~';
    }
    return c <= MAX_CODE_POINT && in_ranges(printable_ranges(), c);
}

bool is_grapheme_extend(char32_t c) {
    // No ASCII character extends a grapheme.
    return c >= ASCII_END && in_ranges(grapheme_extend_ranges(), c);
}

WordSplit split_first_word(std::string_view text) {
    const auto bytes = as_bytes(text);
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const Decoded d = decode_at(bytes, pos);
        // Callers pass valid UTF-8; a bad sequence is never white space.
        if (d.step == Step::CodePoint && is_white_space(d.code_point)) {
            return {text.substr(0, pos), text.substr(pos + d.len)};
        }
        pos += d.len;
    }
    return {text, {}};
}

void Utf8Error::write_text(std::string& out) const {
    if (error_len) {
        out += "invalid utf-8 sequence of ";
        out += std::to_string(*error_len);
        out += " bytes from index ";
    } else {
        out += "incomplete utf-8 byte sequence from index ";
    }
    out += std::to_string(valid_up_to);
}

} // namespace vandrel
