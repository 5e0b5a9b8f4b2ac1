// UTF-8 validation and lossy decoding, the quoted form of a text, and the
// Unicode white space that ends a command word.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"

namespace vandrel {

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
std::string quoted(std::string_view text);

// Unicode character properties, from the generated tables.
bool is_white_space(char32_t c);
bool is_printable(char32_t c);
bool is_grapheme_extend(char32_t c);

// A command line split at its first Unicode white-space character: the word
// before it and everything after that one character.
struct WordSplit {
    std::string_view word;
    std::string_view rest;
};
WordSplit split_first_word(std::string_view text);

} // namespace vandrel
