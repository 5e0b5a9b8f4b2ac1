#include "base/text.hpp"
#include "shared/args.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel {
namespace {

constexpr std::string_view NAME = "challenge";

// Every token the cursor hands out, in order.
std::vector<std::string> all_tokens(std::string_view text) {
    Args args(text);
    std::vector<std::string> out;
    while (auto token = args.next_token())
        out.emplace_back(*token);
    return out;
}

std::string missing_text() {
    return BrokerError::missing_argument(NAME).text();
}
std::string parse_failure_text() {
    return BrokerError::parse_failure(NAME).text();
}

TEST(TokenSeparator, ExactlyTheFiveAsciiSeparators) {
    for (unsigned b = 0; b < 256; ++b) {
        const bool expected = b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D || b == 0x20;
        EXPECT_EQ(is_token_separator(static_cast<std::uint8_t>(b)), expected) << "byte " << b;
    }
}

TEST(Tokens, SeparatorsNeverYieldEmptyTokens) {
    using V = std::vector<std::string>;
    EXPECT_EQ(all_tokens(""), V{});
    EXPECT_EQ(all_tokens(" \t\r\n\f  "), V{});
    EXPECT_EQ(all_tokens("  42\t"), V{"42"});
    EXPECT_EQ(all_tokens("4 2"), (V{"4", "2"}));
    EXPECT_EQ(all_tokens("\ta \n\n b\r\nc"), (V{"a", "b", "c"}));
    EXPECT_EQ(all_tokens("last"), V{"last"});
}

TEST(Tokens, VerticalTabAndNonAsciiSpaceAreContent) {
    using V = std::vector<std::string>;
    EXPECT_EQ(all_tokens("1\v2"), V{"1\v2"});
    EXPECT_EQ(all_tokens("1\u00a02 3\u30004"), (V{"1\u00a02", "3\u30004"}));
}

TEST(Tokens, FinishedCursorStaysFinished) {
    Args args("x");
    EXPECT_EQ(args.next_token(), "x");
    EXPECT_EQ(args.next_token(), std::nullopt);
    EXPECT_EQ(args.next_token(), std::nullopt);
}

TEST(ToI32, SignsAndLeadingZeros) {
    EXPECT_EQ(to_i32("42"), 42);
    EXPECT_EQ(to_i32("+7"), 7);
    EXPECT_EQ(to_i32("-7"), -7);
    EXPECT_EQ(to_i32("007"), 7);
    EXPECT_EQ(to_i32("-0"), 0);
    EXPECT_EQ(to_i32("+0"), 0);
    EXPECT_EQ(to_i32("00000000002147483647"), 2147483647);
    EXPECT_EQ(to_i32("-00000000002147483648"), -2147483647 - 1);
    EXPECT_EQ(to_i32(std::string(200, '0') + "5"), 5);
}

TEST(ToI32, RangeLimits) {
    EXPECT_EQ(to_i32("2147483647"), 2147483647);
    EXPECT_EQ(to_i32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(to_i32("2147483648"), std::nullopt);
    EXPECT_EQ(to_i32("-2147483649"), std::nullopt);
    EXPECT_EQ(to_i32("4294967296"), std::nullopt);
    EXPECT_EQ(to_i32("99999999999999999999"), std::nullopt);
    // The longest unchecked and the shortest checked lengths, both signs.
    EXPECT_EQ(to_i32("9999999"), 9999999);
    EXPECT_EQ(to_i32("-9999999"), -9999999);
    EXPECT_EQ(to_i32("99999999"), 99999999);
    EXPECT_EQ(to_i32("-99999999"), -99999999);
}

TEST(ToI32, BadBytesFail) {
    for (std::string_view bad :
         {"",   "+",  "-",  "+-7",  "--7",      "++7",    "-+7", "0x10",      "1_000",     "1.5",
          "7-", " 7", "7 ", "1\v2", "1\u00a02", "\uff11", "a",   "12345678x", "-1234567a", "1e3"}) {
        EXPECT_EQ(to_i32(bad), std::nullopt) << "token '" << bad << "'";
    }
}

TEST(ToSocketAddrV4, AcceptedForms) {
    auto addr = to_socket_addr_v4("127.0.0.1:27015");
    ASSERT_TRUE(addr);
    EXPECT_EQ(addr->octets, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_EQ(addr->port, 27015);

    addr = to_socket_addr_v4("255.255.255.255:65535");
    ASSERT_TRUE(addr);
    EXPECT_EQ(addr->octets, (std::array<std::uint8_t, 4>{255, 255, 255, 255}));
    EXPECT_EQ(addr->port, 65535);

    EXPECT_EQ(to_socket_addr_v4("0.0.0.0:0"), (SocketAddrV4{{0, 0, 0, 0}, 0}));
    EXPECT_EQ(to_socket_addr_v4("1.2.3.4:00080"), (SocketAddrV4{{1, 2, 3, 4}, 80}));
    EXPECT_EQ(to_socket_addr_v4("10.20.30.40:1"), (SocketAddrV4{{10, 20, 30, 40}, 1}));
}

TEST(ToSocketAddrV4, AbsurdlyLongPortsDoNotOverflow) {
    EXPECT_EQ(to_socket_addr_v4("1.2.3.4:" + std::string(100, '0') + "80"),
              (SocketAddrV4{{1, 2, 3, 4}, 80}));
    EXPECT_EQ(to_socket_addr_v4("1.2.3.4:" + std::string(100, '9')), std::nullopt);
    // 2^32 + 80 and 2^64 + 80 would wrap to 80 in a narrow accumulator.
    EXPECT_EQ(to_socket_addr_v4("1.2.3.4:4294967376"), std::nullopt);
    EXPECT_EQ(to_socket_addr_v4("1.2.3.4:18446744073709551696"), std::nullopt);
}

TEST(ToSocketAddrV4, MalformedFail) {
    for (std::string_view bad : {
             "",
             "127.0.0.1",       // no port
             "127.0.0.1:",      // empty port
             "127.0.0.01:1",    // leading zero in an octet
             "007.0.0.1:1",     // leading zeros
             "00.0.0.1:1",      // a zero octet of two digits
             "256.0.0.1:1",     // octet above 255
             "1.2.3.1000:1",    // fourth digit
             "1.2.3.4:65536",   // port above 65535
             "1.2.3.4:80x",     // trailing garbage
             "1.2.3.4:80:80",   // second port
             "1.2.3:80",        // three octets
             "1.2.3.4.5:80",    // five octets
             "1..3.4:80",       // empty octet
             ".1.2.3:80",       // leading dot
             "1.2.3.4:+80",     // sign on the port
             "1.2.3.4:-1",      // negative port
             "+1.2.3.4:80",     // sign on an octet
             "[1.2.3.4]:80",    // brackets
             "localhost:80",    // host name
             "[::1]:80",        // IPv6
             "1.2.3.4 :80",     // blank inside
             "1.2.3.4:8\v0",    // vertical tab inside
             "\uff11.2.3.4:80", // fullwidth digit
         }) {
        EXPECT_EQ(to_socket_addr_v4(bad), std::nullopt) << "token '" << bad << "'";
    }
}

TEST(ParseAppid, AcceptedForms) {
    EXPECT_EQ(parse_appid("480"), 480u);
    EXPECT_EQ(parse_appid("+480"), 480u);
    EXPECT_EQ(parse_appid("000480"), 480u);
    EXPECT_EQ(parse_appid("0"), 0u);
    EXPECT_EQ(parse_appid("4294967295"), 4294967295u);
    EXPECT_EQ(parse_appid(std::string(100, '0') + "7"), 7u);
}

TEST(ParseAppid, RejectedForms) {
    for (std::string_view bad : {"", "+", "-", "-5", "-0", " 5", "5 ", "abc", "4294967296",
                                 "18446744073709551617", "++5", "5a", "0x10", "\uff15"}) {
        EXPECT_EQ(parse_appid(bad), std::nullopt) << "text '" << bad << "'";
    }
}

TEST(Args, ConnectArgumentsInOrder) {
    Args args("1.2.3.4:27015 76561197960287930 1 77");
    auto addr = args.parse_addr("ip addr");
    ASSERT_TRUE(addr) << addr.error().text();
    EXPECT_EQ(*addr, (SocketAddrV4{{1, 2, 3, 4}, 27015}));
    auto steam_id = args.parse_text("steam id");
    ASSERT_TRUE(steam_id);
    EXPECT_EQ(*steam_id, "76561197960287930");
    auto secure = args.parse_i32("secure");
    ASSERT_TRUE(secure);
    EXPECT_EQ(*secure, 1);
    auto challenge = args.parse_i32("challenge");
    ASSERT_TRUE(challenge);
    EXPECT_EQ(*challenge, 77);
}

TEST(Args, NothingLeftIsMissingWithTheName) {
    for (std::string_view text : {"", " ", "\t\r\n\f "}) {
        Args args(text);
        auto i = args.parse_i32(NAME);
        ASSERT_FALSE(i);
        EXPECT_EQ(i.error().text(), missing_text());
    }
    Args addr_args("  ");
    auto addr = addr_args.parse_addr("ip addr");
    ASSERT_FALSE(addr);
    EXPECT_EQ(addr.error().text(), "invalid args, missing \"ip addr\"");
    Args text_args("\n");
    auto text = text_args.parse_text("gamedir");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().text(), "invalid args, missing \"gamedir\"");
}

TEST(Args, FailedConversionConsumesItsToken) {
    Args args("x 5 1.2.3.4 1.2.3.4:9 tail");
    auto first = args.parse_i32(NAME);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().text(), parse_failure_text());
    auto second = args.parse_i32(NAME);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, 5);
    auto bad_addr = args.parse_addr("ip addr");
    ASSERT_FALSE(bad_addr);
    EXPECT_EQ(bad_addr.error().text(), "failed to parse \"ip addr\"");
    auto good_addr = args.parse_addr("ip addr");
    ASSERT_TRUE(good_addr);
    EXPECT_EQ(good_addr->port, 9);
    EXPECT_EQ(args.next_token(), "tail");
}

TEST(Args, SurplusTokensAreIgnored) {
    Args args("1.2.3.4:27015 77 surplus more");
    EXPECT_TRUE(args.parse_addr("ip addr"));
    auto challenge = args.parse_i32(NAME);
    ASSERT_TRUE(challenge);
    EXPECT_EQ(*challenge, 77);
}

TEST(Args, OtherWhiteSpaceDoesNotSplitTokens) {
    Args args("1\v2 3\u00a04");
    EXPECT_FALSE(args.parse_i32(NAME));
    EXPECT_FALSE(args.parse_i32(NAME));
    auto after = args.parse_i32(NAME);
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error().text(), missing_text());
}

TEST(Args, TextIsBorrowedUnchanged) {
    const std::string line = "  Cstrike\u00a0X  ";
    Args args(line);
    auto text = args.parse_text("gamedir");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "Cstrike\u00a0X");
    EXPECT_EQ(text->data(), line.data() + 2);
}

} // namespace
} // namespace vandrel
