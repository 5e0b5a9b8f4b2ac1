#include "base/error.hpp"
#include "base/text.hpp"
#include "utf8_encode.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vandrel {

// Readable failure messages.
void PrintTo(const Utf8Error& e, std::ostream* os) {
    *os << "{valid_up_to " << e.valid_up_to << ", ";
    if (e.error_len) {
        *os << "len " << static_cast<int>(*e.error_len) << "}";
    } else {
        *os << "incomplete}";
    }
}

namespace {

using Bytes = std::vector<std::uint8_t>;

Result<std::string_view, Utf8Error> check(const Bytes& bytes) {
    return check_utf8(bytes);
}

// The error for `bytes`, or nullopt when they are valid.
std::optional<Utf8Error> error_of(const Bytes& bytes) {
    auto result = check_utf8(bytes);
    if (result.ok()) {
        return std::nullopt;
    }
    return result.error();
}

constexpr Utf8Error invalid(std::size_t valid_up_to, std::uint8_t len) {
    return {valid_up_to, len};
}
constexpr Utf8Error incomplete(std::size_t valid_up_to) {
    return {valid_up_to, std::nullopt};
}

std::string hex(const Bytes& bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += DIGITS[b >> 4];
        out += DIGITS[b & 0xF];
    }
    return out;
}

using test::utf8;

// The quoted form as a new string. Not named `quoted`: for a std::string
// argument, argument-dependent lookup would find std::quoted, an exact match.
std::string quoted_form(std::string_view text) {
    std::string out;
    append_quoted(out, text);
    return out;
}

std::vector<char32_t> code_points(std::initializer_list<char32_t> list) {
    return list;
}

Bytes bytes_of(std::string_view text) {
    auto b = as_bytes(text);
    return {b.begin(), b.end()};
}

std::size_t replacement_count(std::string_view text) {
    std::size_t count = 0;
    for (auto at = text.find(utf8(0xFFFD)); at != std::string_view::npos;
         at = text.find(utf8(0xFFFD), at + 1)) {
        ++count;
    }
    return count;
}

TEST(CheckUtf8, AcceptsWellFormedTextAndBorrowsIt) {
    for (char32_t c : code_points({0x0, 0x41, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD,
                                   0xFFFF, 0x10000, 0x1F600, 0x10FFFF})) {
        const std::string text = "a" + utf8(c) + "z";
        const Bytes bytes = bytes_of(text);
        auto result = check(bytes);
        ASSERT_TRUE(result.ok()) << hex(bytes);
        EXPECT_EQ(*result, text);
        EXPECT_EQ(static_cast<const void*>(result->data()), bytes.data());
    }
    EXPECT_TRUE(check({}).ok());
}

TEST(CheckUtf8, ErrorExamplesAndTheirText) {
    auto bad = error_of({0x61, 0xFF});
    ASSERT_TRUE(bad);
    EXPECT_EQ(*bad, invalid(1, 1));
    EXPECT_EQ(BrokerError::invalid_string(*bad).text(),
              "invalid string, invalid utf-8 sequence of 1 bytes from index 1");

    auto cut = error_of({0x61, 0xE2, 0x82});
    ASSERT_TRUE(cut);
    EXPECT_EQ(*cut, incomplete(1));
    EXPECT_EQ(BrokerError::invalid_string(*cut).text(),
              "invalid string, incomplete utf-8 byte sequence from index 1");
}

TEST(CheckUtf8, BytesThatNeverStartASequence) {
    for (int b : {0x80, 0x8F, 0xBF, 0xC0, 0xC1, 0xF5, 0xF8, 0xFE, 0xFF}) {
        const auto lead = static_cast<std::uint8_t>(b);
        EXPECT_EQ(error_of({lead}), invalid(0, 1)) << b;
        EXPECT_EQ(error_of({0x41, lead, 0x80, 0x80, 0x80}), invalid(1, 1)) << b;
    }
    // Every other lead byte starts a sequence, so alone it is merely incomplete.
    for (int b : {0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4}) {
        EXPECT_EQ(error_of({static_cast<std::uint8_t>(b)}), incomplete(0)) << b;
    }
}

TEST(CheckUtf8, SecondByteRangesOfTheRestrictedLeads) {
    struct Case {
        std::uint8_t lead, below, first, last, above;
        Bytes tail;
    };
    const Case cases[] = {
        {0xE0, 0x9F, 0xA0, 0xBF, 0xC0, {0x80}},       // no overlong three-byte forms
        {0xED, 0x7F, 0x80, 0x9F, 0xA0, {0x80}},       // no surrogates
        {0xF0, 0x8F, 0x90, 0xBF, 0xC0, {0x80, 0x80}}, // no overlong four-byte forms
        {0xF4, 0x7F, 0x80, 0x8F, 0x90, {0x80, 0x80}}, // nothing above U+10FFFF
        {0xE1, 0x7F, 0x80, 0xBF, 0xC0, {0x80}},       // an unrestricted lead
        {0xC2, 0x7F, 0x80, 0xBF, 0xC0, {}},
    };
    for (const Case& c : cases) {
        for (std::uint8_t second : {c.first, c.last}) {
            Bytes ok = {c.lead, second};
            ok.insert(ok.end(), c.tail.begin(), c.tail.end());
            EXPECT_TRUE(check(ok).ok()) << hex(ok);
        }
        for (std::uint8_t second : {c.below, c.above}) {
            Bytes bad = {0x7A, c.lead, second};
            bad.insert(bad.end(), c.tail.begin(), c.tail.end());
            EXPECT_EQ(error_of(bad), invalid(1, 1)) << hex(bad);
            // A wrong second byte is an error even where the input ends after it.
            EXPECT_EQ(error_of({c.lead, second}), invalid(0, 1)) << hex(bad);
        }
    }
}

TEST(CheckUtf8, OverlongsSurrogatesAndValuesBeyondUnicode) {
    EXPECT_EQ(error_of({0xC0, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xC1, 0xBF}), invalid(0, 1));
    EXPECT_EQ(error_of({0xE0, 0x80, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xE0, 0x9F, 0xBF}), invalid(0, 1));
    EXPECT_EQ(error_of({0xF0, 0x80, 0x80, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xF0, 0x8F, 0xBF, 0xBF}), invalid(0, 1));
    EXPECT_EQ(error_of({0xED, 0xA0, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xED, 0xBF, 0xBF}), invalid(0, 1));
    EXPECT_EQ(error_of({0xF4, 0x90, 0x80, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xF7, 0xBF, 0xBF, 0xBF}), invalid(0, 1));
}

TEST(CheckUtf8, LengthOfTheInvalidSequence) {
    // The second byte is not a continuation byte.
    EXPECT_EQ(error_of({0xC3, 0x41}), invalid(0, 1));
    EXPECT_EQ(error_of({0xE2, 0x41, 0x80}), invalid(0, 1));
    EXPECT_EQ(error_of({0xF0, 0xC2, 0x80}), invalid(0, 1));
    // The third byte is not.
    EXPECT_EQ(error_of({0xE2, 0x82, 0x41}), invalid(0, 2));
    EXPECT_EQ(error_of({0xE2, 0x82, 0xE2, 0x82, 0xAC}), invalid(0, 2));
    EXPECT_EQ(error_of({0xF0, 0x9F, 0x41, 0x80}), invalid(0, 2));
    // The fourth byte is not.
    EXPECT_EQ(error_of({0xF0, 0x9F, 0x98, 0x41}), invalid(0, 3));
    EXPECT_EQ(error_of({0xF4, 0x8F, 0xBF, 0xC0}), invalid(0, 3));
    // A fifth continuation byte is a sequence of its own.
    EXPECT_EQ(error_of({0xF0, 0x9F, 0x98, 0x80, 0x80}), invalid(4, 1));
}

TEST(CheckUtf8, IncompleteTails) {
    EXPECT_EQ(error_of({0xC3}), incomplete(0));
    EXPECT_EQ(error_of({0xE2}), incomplete(0));
    EXPECT_EQ(error_of({0xE2, 0x82}), incomplete(0));
    EXPECT_EQ(error_of({0xF0}), incomplete(0));
    EXPECT_EQ(error_of({0xF0, 0x9F}), incomplete(0));
    EXPECT_EQ(error_of({0xF0, 0x9F, 0x98}), incomplete(0));
    EXPECT_EQ(error_of({0xED, 0x9F}), incomplete(0));
    EXPECT_EQ(error_of({0xF4, 0x8F, 0xBF}), incomplete(0));
    // The index counts the bytes of the characters before the tail.
    EXPECT_EQ(error_of(bytes_of("h\xC3\xA9llo\xF0\x9F\x98")), incomplete(6));
}

TEST(CheckUtf8, ReportsTheFirstFault) {
    EXPECT_EQ(error_of(bytes_of("\xC3\xA9\xFF")), invalid(2, 1));
    EXPECT_EQ(error_of({0x61, 0xFF, 0xC0, 0xE2}), invalid(1, 1));
    EXPECT_EQ(error_of(bytes_of("\xE2\x82\xAC\xF0\x9F\x98\x80 \xE2\x82\x41 \xFF")), invalid(8, 2));
    // A long ASCII run before the fault.
    Bytes long_run(1000, 0x61);
    long_run.push_back(0x80);
    EXPECT_EQ(error_of(long_run), invalid(1000, 1));
}

TEST(DecodeLossy, ValidInputIsUnchanged) {
    EXPECT_EQ(decode_lossy({}), "");
    const std::string text = "ok h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    EXPECT_EQ(decode_lossy(as_bytes(text)), text);
}

TEST(DecodeLossy, OneReplacementPerInvalidSequence) {
    const std::string r = utf8(0xFFFD);
    EXPECT_EQ(decode_lossy(Bytes{0x61, 0xFF, 0x62}), "a" + r + "b");
    EXPECT_EQ(decode_lossy(Bytes{0x61, 0xE2, 0x82}), "a" + r);
    EXPECT_EQ(decode_lossy(Bytes{0xE2, 0x82, 0x41}), r + "A");
    EXPECT_EQ(decode_lossy(Bytes{0xF0, 0x9F, 0x98, 0x41}), r + "A");
    EXPECT_EQ(decode_lossy(Bytes{0xF0, 0x9F, 0x41}), r + "A");
    EXPECT_EQ(decode_lossy(Bytes{0xC3, 0x41}), r + "A");
    // The byte that broke a sequence starts the next one.
    EXPECT_EQ(decode_lossy(Bytes{0xE2, 0x82, 0xE2, 0x82, 0xAC}), r + "\xE2\x82\xAC");

    struct Case {
        Bytes bytes;
        std::size_t replacements;
    };
    const Case cases[] = {
        {{0xC0, 0x80}, 2},             // overlong: each byte on its own
        {{0xE0, 0x80, 0x80}, 3},       //
        {{0xF0, 0x80, 0x80, 0x80}, 4}, //
        {{0xED, 0xA0, 0x80}, 3},       // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, 4}, // above U+10FFFF
        {{0xF5, 0x80}, 2},             //
        {{0x80, 0xBF, 0x80}, 3},       // lone continuation bytes
        {{0xC3}, 1},                   // incomplete tails
        {{0xE2, 0x82}, 1},             //
        {{0xF0, 0x9F, 0x98}, 1},       //
        {{0xE2, 0x41, 0x80}, 2},       // bad second byte, then a lone continuation
        {{0xF0, 0x9F, 0x98, 0xF0, 0x9F, 0x98}, 2},
    };
    for (const Case& c : cases) {
        const std::string out = decode_lossy(c.bytes);
        EXPECT_EQ(replacement_count(out), c.replacements) << hex(c.bytes);
        EXPECT_TRUE(check_utf8(as_bytes(out)).ok()) << hex(c.bytes);
    }
}

TEST(Quoted, EscapesTheSpecialCharacters) {
    EXPECT_EQ(quoted_form(""), "\"\"");
    EXPECT_EQ(quoted_form("hello"), "\"hello\"");
    EXPECT_EQ(quoted_form("a\\b\"c"), "\"a\\\\b\\\"c\"");
    EXPECT_EQ(quoted_form("\t\r\n"), "\"\\t\\r\\n\"");
    EXPECT_EQ(quoted_form(std::string_view("a\0b", 3)), "\"a\\0b\"");
    EXPECT_EQ(quoted_form("it's"), "\"it's\"");
}

TEST(Quoted, EscapesUnprintableCharactersInHex) {
    EXPECT_EQ(quoted_form("a\x0B"
                          "b"),
              "\"a\\u{b}b\"");
    EXPECT_EQ(quoted_form("\x7F"), "\"\\u{7f}\"");
    EXPECT_EQ(quoted_form("\x01\x1B\x1F"), "\"\\u{1}\\u{1b}\\u{1f}\"");
    EXPECT_EQ(quoted_form(utf8(0x85)), "\"\\u{85}\"");         // C1 control
    EXPECT_EQ(quoted_form(utf8(0xA0)), "\"\\u{a0}\"");         // no-break space
    EXPECT_EQ(quoted_form(utf8(0x3000)), "\"\\u{3000}\"");     // ideographic space
    EXPECT_EQ(quoted_form(utf8(0xAD)), "\"\\u{ad}\"");         // soft hyphen, Cf
    EXPECT_EQ(quoted_form(utf8(0x200D)), "\"\\u{200d}\"");     // zero width joiner
    EXPECT_EQ(quoted_form(utf8(0xFEFF)), "\"\\u{feff}\"");     // byte order mark
    EXPECT_EQ(quoted_form(utf8(0x2028)), "\"\\u{2028}\"");     // line separator
    EXPECT_EQ(quoted_form(utf8(0x2029)), "\"\\u{2029}\"");     // paragraph separator
    EXPECT_EQ(quoted_form(utf8(0xE000)), "\"\\u{e000}\"");     // private use
    EXPECT_EQ(quoted_form(utf8(0x378)), "\"\\u{378}\"");       // unassigned
    EXPECT_EQ(quoted_form(utf8(0xFFFF)), "\"\\u{ffff}\"");     // noncharacter
    EXPECT_EQ(quoted_form(utf8(0x10FFFF)), "\"\\u{10ffff}\""); // noncharacter, last code point
}

TEST(Quoted, EscapesEveryGraphemeExtender) {
    EXPECT_EQ(quoted_form(utf8(0x301)), "\"\\u{301}\"");
    EXPECT_EQ(quoted_form("e" + utf8(0x301)), "\"e\\u{301}\"");
    EXPECT_EQ(quoted_form("e" + utf8(0x301) + utf8(0x302) + "x"), "\"e\\u{301}\\u{302}x\"");
    // Printable, yet Grapheme_Extend.
    EXPECT_EQ(quoted_form(utf8(0xFF9E)), "\"\\u{ff9e}\"");
    EXPECT_EQ(quoted_form(utf8(0x200C)), "\"\\u{200c}\"");
}

TEST(Quoted, PrintableCharactersStandAsTheyAre) {
    for (char32_t c :
         code_points({0x20, 0x7E, 0xA1, 0xE9, 0x416, 0x4E00, 0xAC00, 0xFFFD, 0x1F600, 0x20000})) {
        EXPECT_EQ(quoted_form(utf8(c)), "\"" + utf8(c) + "\"")
            << std::hex << static_cast<std::uint32_t>(c);
    }
    EXPECT_EQ(quoted_form("caf\xC3\xA9 \xE2\x82\xAC"), "\"caf\xC3\xA9 \xE2\x82\xAC\"");
}

TEST(Quoted, AppendsToWhatIsThere) {
    std::string out = "err unknown child request ";
    append_quoted(out, "hello");
    EXPECT_EQ(out, "err unknown child request \"hello\"");
}

TEST(Quoted, KeepsTheOutputValidWhenTheInputIsNot) {
    const std::string out = quoted_form("a\xFF\xE2\x82");
    EXPECT_EQ(out, "\"a" + utf8(0xFFFD) + utf8(0xFFFD) + "\"");
}

TEST(OneLine, EscapesControlsAndReplacesInvalidSequences) {
    auto one_line = [](std::string_view text) {
        std::string out = "> ";
        append_one_line(out, text);
        return out;
    };
    EXPECT_EQ(one_line("plain text, \"quoted\" \\ as is"), "> plain text, \"quoted\" \\ as is");
    EXPECT_EQ(one_line("\x1b[1A\x1b[2K\b\x7f"), "> \\u{1b}[1A\\u{1b}[2K\\u{8}\\u{7f}");
    EXPECT_EQ(one_line("a\nb\rc\td"), "> a\\u{a}b\\u{d}c\\u{9}d");
    EXPECT_EQ(one_line(std::string_view("\0", 1)), "> \\u{0}");
    // C1 controls, U+0085 (a line break to some readers) among them.
    EXPECT_EQ(one_line("\u0085\u009b\u0080"), "> \\u{85}\\u{9b}\\u{80}");
    // The bidirectional controls, which reorder what a viewer shows, and the
    // line and paragraph separators, at which some viewers break the line.
    EXPECT_EQ(one_line("\u061c\u200e\u200f\u202a\u202e\u2066\u2069\u2028\u2029"),
              "> \\u{61c}\\u{200e}\\u{200f}\\u{202a}\\u{202e}\\u{2066}\\u{2069}\\u{2028}"
              "\\u{2029}");
    // The rest of Unicode stays as it is, their neighbours too.
    EXPECT_EQ(one_line("\u00a0\u00e9\u200d\u2027\u202f\u2065\u206a\U0001F600"),
              "> \u00a0\u00e9\u200d\u2027\u202f\u2065\u206a\U0001F600");
    // A lone C1 byte is no character, so no terminal can take it for one.
    EXPECT_EQ(one_line("a\x9b"
                       "b\xc2"),
              "> a\uFFFDb\uFFFD");
}

TEST(UnicodeProperties, WhiteSpaceIsExactlyTheUnicodeSet) {
    const auto listed = [](char32_t c) {
        return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
               (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
               c == 0x205F || c == 0x3000;
    };
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        ASSERT_EQ(is_white_space(c), listed(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    EXPECT_FALSE(is_white_space(0x110000));
    EXPECT_FALSE(is_white_space(0xFFFFFFFF));
}

TEST(UnicodeProperties, PrintableByGeneralCategory) {
    for (char32_t c : code_points({0x20, 0x41, 0x7E, 0xA1, 0x377, 0x4E00, 0x9FFF, 0xAC00, 0xD7A3,
                                   0xFFFD, 0x1F600, 0x20000, 0x2A6DF, 0xE0100})) {
        EXPECT_TRUE(is_printable(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c :
         code_points({0x0,    0x1F,   0x7F,   0x80,   0x9F,    0xA0,     0xAD,     0x378,   0x1680,
                      0x2000, 0x200B, 0x2028, 0x2029, 0x202F,  0x3000,   0xD800,   0xDFFF,  0xE000,
                      0xF8FF, 0xFEFF, 0xFFFE, 0xFFFF, 0xF0000, 0x10FFFD, 0x10FFFF, 0x110000})) {
        EXPECT_FALSE(is_printable(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(UnicodeProperties, GraphemeExtend) {
    for (char32_t c :
         code_points({0x300, 0x36F, 0x483, 0x200C, 0xFE0F, 0xFF9E, 0xE0020, 0xE01EF})) {
        EXPECT_TRUE(is_grapheme_extend(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c = 0; c < 0x300; ++c) {
        EXPECT_FALSE(is_grapheme_extend(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c : code_points({0x370, 0x200D, 0xFFFD, 0xE01F0, 0x110000})) {
        EXPECT_FALSE(is_grapheme_extend(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(UnicodeProperties, TablesAreSortedDisjointRanges) {
    EXPECT_EQ(unicode_version(), "15.0.0");
    for (auto table : {white_space_ranges(), printable_ranges(), grapheme_extend_ranges()}) {
        ASSERT_FALSE(table.empty());
        for (std::size_t i = 0; i < table.size(); ++i) {
            EXPECT_LE(table[i].first, table[i].last);
            EXPECT_LE(table[i].last, char32_t{0x10FFFF});
            // Adjacent ranges would have been merged by the generator.
            if (i > 0) {
                EXPECT_GT(table[i].first, table[i - 1].last + 1);
            }
        }
    }
}

TEST(SplitFirstWord, SplitsAtTheFirstWhiteSpaceCharacter) {
    struct Case {
        std::string text, word, rest;
    };
    const Case cases[] = {
        {"vd_gamedir\tcstrike", "vd_gamedir", "cstrike"},
        {"vd_gamedir cstrike\n", "vd_gamedir", "cstrike\n"},
        {"vd_gamedir" + utf8(0xA0) + "cstrike", "vd_gamedir", "cstrike"},
        {"a\x0B"
         "b",
         "a", "b"},
        {"vd_gamedir  cstrike", "vd_gamedir", " cstrike"},
        {"vd_terminate\n", "vd_terminate", ""},
        {"caf\xC3\xA9" + utf8(0x3000) + "x", "caf\xC3\xA9", "x"},
        {"a" + utf8(0x85) + "b", "a", "b"},
        {"a" + utf8(0x2028) + "b c", "a", "b c"},
        {"a" + utf8(0x205F) + utf8(0xA0) + "b", "a", utf8(0xA0) + "b"},
        // Not White_Space: zero width space, Mongolian vowel separator, BOM.
        {"a" + utf8(0x200B) + utf8(0x180E) + utf8(0xFEFF) + "b",
         "a" + utf8(0x200B) + utf8(0x180E) + utf8(0xFEFF) + "b", ""},
        {"vd_gamedir", "vd_gamedir", ""},
        {" vd_gamedir", "", "vd_gamedir"},
        {utf8(0xA0) + "x", "", "x"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const WordSplit split = split_first_word(c.text);
        EXPECT_EQ(split.word, c.word) << hex(bytes_of(c.text));
        EXPECT_EQ(split.rest, c.rest) << hex(bytes_of(c.text));
    }
}

TEST(SplitFirstWord, BorrowsFromTheInput) {
    const std::string text = "vd_gamedir" + utf8(0x2003) + "valve";
    const WordSplit split = split_first_word(text);
    EXPECT_EQ(split.word.data(), text.data());
    EXPECT_EQ(split.rest.data(), text.data() + 13);
    EXPECT_EQ(split.rest.data() + split.rest.size(), text.data() + text.size());
}

// A reference that knows nothing of lead-byte classes: a well-formed sequence
// is the UTF-8 encoding of a code point other than a surrogate, and an invalid
// sequence is the longest start of such an encoding that the input holds
// (at least one byte).

// The length the generic bit pattern of a lead byte announces, or 0.
std::size_t announced_len(std::uint8_t lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 0;
}

// True when some well-formed encoding begins with `s` (not empty).
bool starts_an_encoding(std::span<const std::uint8_t> s) {
    static constexpr std::array<std::uint8_t, 4> LEAD_BITS = {0x7F, 0x1F, 0x0F, 0x07};
    static constexpr std::array<char32_t, 4> LOWEST = {0x0, 0x80, 0x800, 0x10000};
    static constexpr std::array<char32_t, 4> HIGHEST = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    const std::size_t len = announced_len(s[0]);
    if (len == 0 || s.size() > len) {
        return false;
    }
    // The encodings that begin with `s` hold the values from `low` to `high`.
    char32_t low = s[0] & LEAD_BITS[len - 1];
    char32_t high = low;
    for (std::size_t i = 1; i < len; ++i) {
        if (i < s.size()) {
            if ((s[i] & 0xC0) != 0x80) {
                return false;
            }
            low = (low << 6) | (s[i] & 0x3F);
            high = (high << 6) | (s[i] & 0x3F);
        } else {
            low <<= 6;
            high = (high << 6) | 0x3F;
        }
    }
    const char32_t from = std::max(low, LOWEST[len - 1]);
    const char32_t to = std::min(high, HIGHEST[len - 1]);
    return from <= to && !(from >= 0xD800 && to <= 0xDFFF);
}

struct Reference {
    std::optional<Utf8Error> error;
    std::string lossy;
};

Reference reference(std::span<const std::uint8_t> bytes) {
    Reference ref;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t len = announced_len(bytes[pos]);
        const std::size_t room = std::min(len, bytes.size() - pos);
        std::size_t good = 0;
        while (good < room && starts_an_encoding(bytes.subspan(pos, good + 1))) {
            ++good;
        }
        if (len != 0 && good == len) {
            ref.lossy += as_chars(bytes.subspan(pos, len));
            pos += len;
            continue;
        }
        const bool ran_out = good > 0 && pos + good == bytes.size();
        if (!ref.error) {
            ref.error =
                ran_out ? incomplete(pos)
                        : invalid(pos, static_cast<std::uint8_t>(std::max<std::size_t>(good, 1)));
        }
        ref.lossy += utf8(0xFFFD);
        pos += std::max<std::size_t>(good, 1);
    }
    return ref;
}

void expect_matches_reference(const Bytes& bytes, bool with_lossy) {
    const Reference ref = reference(bytes);
    ASSERT_EQ(error_of(bytes), ref.error) << hex(bytes);
    if (with_lossy) {
        ASSERT_EQ(decode_lossy(bytes), ref.lossy) << hex(bytes);
    }
}

TEST(Utf8CrossCheck, EveryInputOfUpToThreeBytes) {
    Bytes bytes;
    for (std::size_t len = 1; len <= 3; ++len) {
        bytes.assign(len, 0);
        const std::uint32_t count = std::uint32_t{1} << (8 * len);
        for (std::uint32_t n = 0; n < count; ++n) {
            for (std::size_t i = 0; i < len; ++i) {
                bytes[i] = static_cast<std::uint8_t>(n >> (8 * i));
            }
            expect_matches_reference(bytes, len < 3);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST(Utf8CrossCheck, ThreeAndFourBytesOverTheBoundaryBytes) {
    // Bytes on both sides of every boundary of the validation rules.
    const Bytes edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                         0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                         0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    Bytes bytes;
    for (std::size_t len = 3; len <= 4; ++len) {
        bytes.assign(len, 0);
        std::size_t count = 1;
        for (std::size_t i = 0; i < len; ++i) {
            count *= edges.size();
        }
        for (std::size_t n = 0; n < count; ++n) {
            std::size_t rest = n;
            for (std::size_t i = 0; i < len; ++i) {
                bytes[i] = edges[rest % edges.size()];
                rest /= edges.size();
            }
            expect_matches_reference(bytes, true);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

} // namespace
} // namespace vandrel
