#include "base/text.hpp"

#include "common/utf8.h"

#include <algorithm>
#include <charconv>

namespace vandrel {
namespace {

constexpr char32_t ASCII_END = 0x80;
constexpr char32_t MAX_CODE_POINT = 0x10FFFF;
constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD"; // U+FFFD

// The UTF-8 sequence that starts at `pos` (< bytes.size()).
vd_utf8_seq decode_at(std::span<const std::uint8_t> bytes, std::size_t pos) {
    return vd_utf8_decode(bytes.data() + pos, bytes.size() - pos);
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
        const vd_utf8_seq d = decode_at(bytes, pos);
        switch (d.kind) {
        case VD_UTF8_CHAR:
            pos += d.len;
            break;
        case VD_UTF8_INVALID:
            return Utf8Error{pos, static_cast<std::uint8_t>(d.len)};
        case VD_UTF8_INCOMPLETE:
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
        const vd_utf8_seq d = decode_at(bytes, pos);
        if (d.kind == VD_UTF8_CHAR) {
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
        const vd_utf8_seq d = decode_at(bytes, pos);
        const std::string_view raw = text.substr(pos, d.len);
        pos += d.len;
        if (d.kind != VD_UTF8_CHAR) {
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
    return text.substr(0, vd_utf8_prefix_len(text.data(), text.size(), max_len));
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
        const vd_utf8_seq d = decode_at(bytes, pos);
        const std::string_view raw = text.substr(pos, d.len);
        pos += d.len;
        if (d.kind != VD_UTF8_CHAR)
            out += REPLACEMENT_CHARACTER;
        else if (vd_is_control(d.code_point) || misleads_display(d.code_point))
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
        const vd_utf8_seq d = decode_at(bytes, pos);
        // Callers pass valid UTF-8; a bad sequence is never white space.
        if (d.kind == VD_UTF8_CHAR && is_white_space(d.code_point)) {
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
