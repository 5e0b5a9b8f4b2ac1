// The grammars of common/ that the broker, the client library and
// vandrel-ticket share: hex, decimals, AppIDs, identities and the address
// forms. (UTF-8 decoding is tested through the broker's text module.)
#include "common/address.h"
#include "common/grammar.h"
#include "common/utf8.h"
#include "vandrel/wire.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::optional<std::vector<unsigned char>> app_data(const std::string& text) {
    std::vector<unsigned char> out(VANDREL_MAX_APP_DATA_LEN);
    std::size_t len = 0;
    if (!vd_parse_app_data(text.data(), text.size(), out.data(), &len))
        return std::nullopt;
    out.resize(len);
    return out;
}

TEST(Hex, EncodesLowercaseAndDecodesEitherCaseUpToTheFirstBadPair) {
    const unsigned char data[] = {0x00, 0xAB, 0xFF};
    char text[7];
    vd_hex_encode(data, sizeof data, text);
    EXPECT_STREQ(text, "00abff");

    unsigned char out[4] = {};
    EXPECT_EQ(vd_hex_decode("00aBFf", 6, out, sizeof out), 3u);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_EQ(vd_hex_decode("0a0gff", 6, out, sizeof out), 1u) << "stops at the bad pair";
    EXPECT_EQ(vd_hex_decode("0a0", 3, out, sizeof out), 1u) << "an odd digit is no pair";
    EXPECT_EQ(vd_hex_decode("0a0b0c0d0e", 10, out, sizeof out), 4u) << "at most the capacity";
}

TEST(Hex, AppDataIsOneTo1024BytesOfHexPairs) {
    EXPECT_EQ(app_data("00fF41"), (std::vector<unsigned char>{0x00, 0xFF, 0x41}));
    EXPECT_EQ(app_data(std::string(2 * VANDREL_MAX_APP_DATA_LEN, 'a'))->size(),
              VANDREL_MAX_APP_DATA_LEN);
    for (const std::string& bad :
         {std::string(), std::string("0"), std::string("0g"), std::string("-"), std::string(" 00"),
          std::string(2 * VANDREL_MAX_APP_DATA_LEN + 2, 'a')})
        EXPECT_EQ(app_data(bad), std::nullopt) << bad;
}

std::optional<std::uint64_t> decimal(const std::string& text, std::uint64_t max) {
    std::uint64_t value = 0;
    if (!vd_parse_decimal(text.data(), text.size(), max, &value))
        return std::nullopt;
    return value;
}

TEST(Decimal, DigitsOnlyUpToTheMaximum) {
    EXPECT_EQ(decimal("0", 9), 0u);
    EXPECT_EQ(decimal("00080", 65535), 80u) << "leading zeros";
    EXPECT_EQ(decimal(std::string(100, '0') + "7", 65535), 7u);
    EXPECT_EQ(decimal("65535", 65535), 65535u);
    EXPECT_EQ(decimal("18446744073709551615", UINT64_MAX), UINT64_MAX);
    for (std::string bad : {"", "65536", "+1", "-1", " 1", "1 ", "1_0", "0x1", "\xD9\xA1"})
        EXPECT_EQ(decimal(bad, 65535), std::nullopt) << bad;
    EXPECT_EQ(decimal("18446744073709551616", UINT64_MAX), std::nullopt);
}

std::optional<std::uint32_t> appid(const std::string& text) {
    std::uint32_t value = 0;
    if (!vd_parse_appid(text.data(), text.size(), &value))
        return std::nullopt;
    return value;
}

std::optional<std::uint32_t> child_appid(const std::string& text) {
    std::uint32_t value = 0;
    if (!vd_parse_child_appid(text.data(), text.size(), &value))
        return std::nullopt;
    return value;
}

// A client's AppID and the child's differ in '+' and 0 only.
TEST(AppId, TheClientsRuleAndTheChildsRule) {
    struct Case {
        std::string text;
        std::optional<std::uint32_t> client, child;
    };
    for (const Case& c : std::vector<Case>{
             {"480", 480, 480},
             {"000480", 480, 480},
             {"4294967295", 4294967295u, 4294967295u},
             {"+480", std::nullopt, 480},
             {"0", std::nullopt, 0},
             {"+", std::nullopt, std::nullopt},
             {"++480", std::nullopt, std::nullopt},
             {"-1", std::nullopt, std::nullopt},
             {"4294967296", std::nullopt, std::nullopt},
             {"4.8", std::nullopt, std::nullopt},
             {"", std::nullopt, std::nullopt},
         }) {
        EXPECT_EQ(appid(c.text), c.client) << c.text;
        EXPECT_EQ(child_appid(c.text), c.child) << c.text;
    }
}

bool identity(const std::string& text) {
    return vd_is_identity(text.data(), text.size());
}

// An identity is one token that Steam reads whole: UTF-8, no space, no
// control character, at most 255 bytes, and not the "none" marker.
TEST(IdentityGrammar, ReachesSteamAsWrittenOrIsRefused) {
    for (const std::string& good : {std::string("steamid:76561197960287931"),
                                    std::string("str:caf\xC3\xA9"), std::string("api.example.com"),
                                    std::string("a\xC2\xA0"
                                                "b"),
                                    std::string("--"), std::string(VANDREL_MAX_IDENTITY_LEN, 'i')})
        EXPECT_TRUE(identity(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string(VANDREL_NO_ARGUMENT), std::string("a b"),
          std::string("a\0b", 3), std::string("a\x1B[2J"), std::string("a\x01"), std::string("a\t"),
          std::string("a\x0B"), std::string("a\x7F"), std::string("a\xC2\x85"),
          std::string("a\xC2\x9F"), std::string("a\xC3"), std::string("a\xFF"),
          std::string(VANDREL_MAX_IDENTITY_LEN + 1, 'i')})
        EXPECT_FALSE(identity(bad)) << bad;
    EXPECT_FALSE(vd_is_control(0xA0));
    EXPECT_TRUE(vd_is_control(0x9F));
}

std::optional<std::string> server(const std::string& text) {
    vd_server_address a{};
    if (!vd_parse_server_address(text.data(), text.size(), &a))
        return std::nullopt;
    return std::to_string(a.octets[0]) + "." + std::to_string(a.octets[1]) + "." +
           std::to_string(a.octets[2]) + "." + std::to_string(a.octets[3]) + ":" +
           std::to_string(a.port);
}

TEST(ServerAddress, FourOctetsWithoutLeadingZerosAndAPort) {
    EXPECT_EQ(server("127.0.0.1:27015"), "127.0.0.1:27015");
    EXPECT_EQ(server("0.0.0.0:0"), "0.0.0.0:0");
    EXPECT_EQ(server("255.255.255.255:65535"), "255.255.255.255:65535");
    EXPECT_EQ(server("1.2.3.4:00080"), "1.2.3.4:80");
    for (std::string_view bad :
         {"", "1.2.3.4", "1.2.3.4:", "1.2.3.4:65536", "256.0.0.1:1", "01.2.3.4:1", "1.2.3.04:1",
          "1.2.3:1", "1.2.3.4.5:1", "1.2.3.4:80x", " 1.2.3.4:1", "1.2.3.4:1 ", "1111.2.3.4:1",
          "1.2.3.4:+80", "-1.2.3.4:1", "[::1]:1", "localhost:1"})
        EXPECT_EQ(server(std::string(bad)), std::nullopt) << bad;
}

std::optional<std::pair<std::string, std::string>> host_port(const std::string& text) {
    vd_host_port split{};
    if (!vd_split_host_port(text.data(), text.size(), &split))
        return std::nullopt;
    return std::pair{std::string(split.host, split.host_len),
                     std::string(split.port, split.port_len)};
}

std::optional<std::string> unbracketed(const std::string& host) {
    const char* inside = nullptr;
    std::size_t len = 0;
    if (!vd_unbracket(host.data(), host.size(), &inside, &len))
        return std::nullopt;
    return std::string(inside, len);
}

TEST(HostPort, SplitAtTheLastColonWithBracketsKept) {
    using Split = std::pair<std::string, std::string>;
    EXPECT_EQ(host_port("localhost:27420"), (Split{"localhost", "27420"}));
    EXPECT_EQ(host_port("[::1]:80"), (Split{"[::1]", "80"}));
    EXPECT_EQ(host_port(":80"), (Split{"", "80"}));
    EXPECT_EQ(host_port("host:"), (Split{"host", ""}));
    EXPECT_EQ(host_port("nocolon"), std::nullopt);

    EXPECT_EQ(unbracketed("[::1]"), "::1");
    EXPECT_EQ(unbracketed("[]"), "");
    for (std::string_view bad : {"::1", "[::1", "::1]", "[a]b]", "[a]]", "["})
        EXPECT_EQ(unbracketed(std::string(bad)), std::nullopt) << bad;
}

TEST(UnixAddress, PathAfterThePrefix) {
    const std::string addr = "unix:/run/user/1000/vandrel/socket";
    EXPECT_EQ(vd_unix_path(addr.data(), addr.size()), addr.data() + VD_UNIX_ADDR_PREFIX_LEN);
    EXPECT_NE(vd_unix_path("unix:", 5), nullptr) << "an empty path is the caller's to refuse";
    for (std::string_view other : {"unix", "UNIX:/x", "127.0.0.1:27420", "tcp:unix:/x"})
        EXPECT_EQ(vd_unix_path(other.data(), other.size()), nullptr) << other;
}

} // namespace
