#include "base/error.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace vandrel {
namespace {

TEST(BrokerErrorText, ArgumentAndMessageKinds) {
    EXPECT_EQ(BrokerError::missing_argument("appid").text(), "invalid args, missing \"appid\"");
    EXPECT_EQ(BrokerError::parse_failure("challenge").text(), "failed to parse \"challenge\"");
    EXPECT_EQ(BrokerError::message("frame too large").text(), "frame too large");
    EXPECT_EQ(BrokerError::owned_message("refused, result " + std::to_string(2)).text(),
              "refused, result 2");
}

TEST(BrokerErrorText, IoKinds) {
    std::string reset = std::strerror(ECONNRESET);
    EXPECT_EQ(BrokerError::io(IoError::os(104)).text(), "io error, " + reset + " (os error 104)");
    EXPECT_EQ(BrokerError::send(IoError::fixed(WRITE_ZERO_MESSAGE)).text(),
              "send error, failed to write whole buffer");
    EXPECT_EQ(BrokerError::create_socket(IoError::os(EADDRINUSE)).text(),
              "create socket error, Address already in use (os error 98)");
    EXPECT_EQ(
        BrokerError::create_socket(IoError::resolver("Name or service not known")).text(),
        "create socket error, failed to lookup address information: Name or service not known");
    EXPECT_TRUE(IoError::os(EINTR).interrupted());
    EXPECT_FALSE(IoError::os(EAGAIN).interrupted());
    EXPECT_FALSE(IoError::fixed("x").interrupted());
}

TEST(BrokerErrorText, InvalidString) {
    EXPECT_EQ(BrokerError::invalid_string({1, 1}).text(),
              "invalid string, invalid utf-8 sequence of 1 bytes from index 1");
    EXPECT_EQ(BrokerError::invalid_string({1, std::nullopt}).text(),
              "invalid string, incomplete utf-8 byte sequence from index 1");
}

TEST(BrokerErrorText, SteamInitShowsTheKindNotTheMessage) {
    using Kind = SteamAPIInitError::Kind;
    EXPECT_EQ(BrokerError::steam_init({Kind::NoSteamClient, "whatever it said"}).text(),
              "steam api error, We cannot connect to Steam, steam probably isn't running");
    EXPECT_EQ(BrokerError::steam_init({Kind::Generic, ""}).text(),
              "steam api error, Some other failure");
    EXPECT_EQ(BrokerError::steam_init({Kind::VersionMismatch, "x"}).text(),
              "steam api error, Steam client appears to be out of date");
}

TEST(SteamAPIInitErrorText, DebugQuotesTheMessage) {
    using Kind = SteamAPIInitError::Kind;
    EXPECT_EQ(SteamAPIInitError(Kind::NoSteamClient, "no steam").debug(),
              "NoSteamClient(\"no steam\")");
    EXPECT_EQ(SteamAPIInitError(Kind::Generic, "").debug(), "Generic(\"\")");
    EXPECT_EQ(SteamAPIInitError(Kind::VersionMismatch, "say \"hi\"\n").debug(),
              "VersionMismatch(\"say \\\"hi\\\"\\n\")");
}

TEST(ResultType, HoldsValueOrError) {
    Result<int> good = 7;
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 7);
    Result<int> bad = BrokerError::message("steam child exited");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().text(), "steam child exited");
    Result<void> fine;
    EXPECT_TRUE(fine.ok());
    Result<void> failed = BrokerError::message("x");
    EXPECT_FALSE(failed.ok());
}

} // namespace
} // namespace vandrel
