// UTF-8 validation and lossy decoding, the quoted form of a text, and the
// Unicode white space that ends a command word.
#pragma once

#include "base/result.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vandrel {

// Why bytes are not UTF-8: how many bytes before the fault were valid, and the
// length (1 to 3) of the invalid sequence, or none when the input ended inside
// a sequence that was valid so far.
struct Utf8Error {
    std::size_t valid_up_to = 0;
    std::optional<std::uint8_t> error_len;

    void write_text(std::string& out) const;
    bool operator==(const Utf8Error&) const = default;
};

// Borrowed bytes viewed as text without a copy.
inline std::string_view as_chars(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The bytes as text when they are well-formed UTF-8 (RFC 3629), else where and
// how they are not.
Result<std::string_view, Utf8Error> check_utf8(std::span<const std::uint8_t> bytes);

// The bytes decoded as UTF-8 with each invalid sequence, and an incomplete
// tail, replaced by one U+FFFD.
std::string decode_lossy(std::span<const std::uint8_t> bytes);

// Appends `text` (valid UTF-8) between double quotes, with backslash, quote,
// \t \r \n \0 escaped and every unprintable or Grapheme_Extend character as
// \u{hex}.
void append_quoted(std::string& out, std::string_view text);

// The longest prefix of `text` (valid UTF-8) of at most `max_len` bytes that
// does not cut a character.
std::string_view utf8_prefix(std::string_view text, std::size_t max_len);

// Appends `text` as one line of valid UTF-8 that moves no terminal cursor and
// shows as written: every control character (C0, DEL, C1), bidirectional
// control (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and line
// or paragraph separator (U+2028, U+2029) as \u{hex}, as the quoted form
// writes it, and every invalid sequence as U+FFFD; the rest unchanged.
void append_one_line(std::string& out, std::string_view text);

// Unicode character properties, from the generated tables. Values above
// U+10FFFF have none of them.
// White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0 and the Unicode spaces.
bool is_white_space(char32_t c);
// Printable: assigned and not a control, format, surrogate, private-use or
// separator character, except that U+0020 is printable.
bool is_printable(char32_t c);
// Grapheme_Extend: combining marks and the other characters that extend a
// grapheme cluster.
bool is_grapheme_extend(char32_t c);

// A closed range of code points.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The generated tables behind the properties: sorted, disjoint and
// non-adjacent ranges (src/base/unicode_tables.cpp).
std::string_view unicode_version();
std::span<const CodePointRange> white_space_ranges();
std::span<const CodePointRange> printable_ranges();
std::span<const CodePointRange> grapheme_extend_ranges();

// A command line split at its first Unicode white-space character: the word
// before it and everything after that one character.
struct WordSplit {
    std::string_view word;
    std::string_view rest;
};
WordSplit split_first_word(std::string_view text);

} // namespace vandrel
