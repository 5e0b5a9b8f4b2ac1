// The broker's reading of the child's answers: the shapes a real child does
// not produce, and the child's failures as the commands' errors.
#include "shared/child_protocol.hpp"

#include <gtest/gtest.h>
#include <string>
#include <string_view>

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
    Result<std::uint32_t> n = conn_ticket_length(a);
    return n ? "N=" + std::to_string(*n) : n.error().text();
}

TEST(ConnAnswer, RefusalsAreAnythingNotStartingWithOkSpace) {
    for (std::string text :
         {"", "o", "ok", "okx and more bytes", "err steam refused to issue an auth ticket"})
        EXPECT_FALSE(is_conn_answer(Bytes(text.begin(), text.end()))) << text;
    Bytes no_space = answer(0, {});
    no_space[2] = 'x';
    EXPECT_FALSE(is_conn_answer(no_space)) << "ok and 13 more bytes without the blank";
    EXPECT_TRUE(is_conn_answer(Bytes{'o', 'k', ' '}));
}

TEST(ConnAnswer, ShortAndTruncated) {
    Bytes fourteen = answer(0, {});
    fourteen.pop_back();
    EXPECT_EQ(length_error(fourteen), "short ticket response from child");
    EXPECT_EQ(length_error(answer(0, {})), "N=0");
    EXPECT_EQ(length_error(answer(3, {1, 2, 3})), "N=3");
    EXPECT_EQ(length_error(answer(4, {1, 2, 3})), "truncated ticket");
    EXPECT_EQ(length_error(answer(0xFFFFFFFF, {1})), "truncated ticket") << "15 + N must not wrap";
}

std::string auth_error(std::string_view text) {
    Result<AuthTicketAnswer> got = read_auth_answer(Bytes(text.begin(), text.end()));
    return got ? "ticket" : got.error().text();
}

TEST(AuthTicketAnswer, ChildFailuresBecomeTheCommandsErrors) {
    EXPECT_EQ(auth_error("err steam refused the ticket, result 2"),
              "steam refused to issue auth ticket, result 2");
    EXPECT_EQ(auth_error("err steam refused the ticket, result -7"),
              "steam refused to issue auth ticket, result -7");
    EXPECT_EQ(auth_error("err steam refused the ticket, result x"),
              "steam refused to issue auth ticket");
    EXPECT_EQ(auth_error("err steam refused to issue an auth ticket"),
              "steam refused to issue auth ticket");
    EXPECT_EQ(auth_error("err steam did not confirm the ticket"),
              "steam did not confirm the ticket");
    EXPECT_EQ(auth_error("err bad identity"), "failed to parse \"identity\"");
    EXPECT_EQ(auth_error("err bad data"), "failed to parse \"data\"");
    EXPECT_EQ(auth_error("auth 0123456789abcde"), "short ticket response from child");
    EXPECT_EQ(auth_error("ok 0123456789abcdefghi"), "steam refused to issue auth ticket")
        << "a conn answer is not an auth ticket answer";
}

} // namespace
} // namespace vandrel
