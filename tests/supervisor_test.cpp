// The session's reading of a child's answer to a conn request, and the reply
// built from it: the answer shapes a real child does not produce; and the
// error reply around a command word too long for a frame.
#include "supervisor.hpp"
#include "text.hpp"

#include <gtest/gtest.h>

namespace vandrel {
namespace {

// "ok ", Steam ID 0x0102030405060708, the length field `n`, then `ticket`.
Bytes answer(std::uint32_t n, const Bytes& ticket) {
    Bytes out = {'o', 'k', ' ', 8, 7, 6, 5, 4, 3, 2, 1};
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

std::string length_error(const Bytes& a) {
    Result<std::uint32_t> n = ticket_length(a);
    return n ? "N=" + std::to_string(*n) : n.error().text();
}

TEST(TicketAnswer, RefusalsAreAnythingNotStartingWithOkSpace) {
    for (std::string text :
         {"", "o", "ok", "okx and more bytes", "err steam refused to issue an auth ticket"})
        EXPECT_FALSE(is_ticket_answer(Bytes(text.begin(), text.end()))) << text;
    Bytes no_space = answer(0, {});
    no_space[2] = 'x';
    EXPECT_FALSE(is_ticket_answer(no_space)) << "ok and 13 more bytes without the blank";
    EXPECT_TRUE(is_ticket_answer(Bytes{'o', 'k', ' '}));
}

TEST(TicketAnswer, ShortAndTruncated) {
    Bytes fourteen = answer(0, {});
    fourteen.pop_back();
    EXPECT_EQ(length_error(fourteen), "short ticket response from child");
    EXPECT_EQ(length_error(answer(0, {})), "N=0");
    EXPECT_EQ(length_error(answer(3, {1, 2, 3})), "N=3");
    EXPECT_EQ(length_error(answer(4, {1, 2, 3})), "truncated ticket");
    EXPECT_EQ(length_error(answer(0xFFFFFFFF, {1})), "truncated ticket") << "15 + N must not wrap";
}

TEST(TicketReply, LayoutAndExtraBytesLeftOut) {
    Bytes empty = ticket_reply(-1, answer(0, {}), 0);
    Bytes expected = {'v',  'd', '_', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0xFF, 0xFF, 0xFF,
                      0xFF, 8,   7,   6,   5,   4,   3,   2,   1,   0,   0,    0,    0};
    EXPECT_EQ(empty, expected) << "an empty ticket is a 27-byte reply";

    Bytes with_extra = answer(2, {0xAA, 0xBB, 0xCC, 0xDD});
    Bytes reply = ticket_reply(77, with_extra, 2);
    ASSERT_EQ(reply.size(), 29u);
    EXPECT_EQ(reply[11], 77);
    EXPECT_EQ(reply[23], 2);
    EXPECT_EQ(reply[27], 0xAA);
    EXPECT_EQ(reply[28], 0xBB);
}

TEST(ErrorReply, LongWordIsCutAtACharacterToFitAFrame) {
    EXPECT_EQ(error_reply(-1, "vd_x", "oops"),
              (Bytes{'v',  'd', '_', 'e', 'r', 'r', 'o', 'r', '\n', 0xFF, 0xFF, 0xFF,
                     0xFF, 'v', 'd', '_', 'x', ':', ' ', 'o', 'o',  'p',  's'}));

    // 13 fixed bytes, ": " and the text leave 4096 - 13 - 2 - 15 = 4066 bytes
    // for the word; a two-byte character would straddle that limit.
    std::string word = "a";
    while (word.size() < 4100)
        word += "\xC3\xA9";
    Bytes reply = error_reply(0, word, "unknown command");
    ASSERT_EQ(reply.size(), 4095u);
    EXPECT_EQ(as_chars(reply).substr(13, 4065), word.substr(0, 4065));
    EXPECT_EQ(as_chars(reply).substr(13 + 4065), ": unknown command");
}

} // namespace
} // namespace vandrel
