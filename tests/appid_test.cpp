#include "shared/appid.hpp"

#include <gtest/gtest.h>
#include <string>

namespace vandrel {
namespace {

TEST(AppidForGamedir, EveryTableEntry) {
    EXPECT_EQ(appid_for_gamedir("cstrike"), 10u);
    EXPECT_EQ(appid_for_gamedir("tfc"), 20u);
    EXPECT_EQ(appid_for_gamedir("dod"), 30u);
    EXPECT_EQ(appid_for_gamedir("dmc"), 40u);
    EXPECT_EQ(appid_for_gamedir("gearbox"), 50u);
    EXPECT_EQ(appid_for_gamedir("ricochet"), 60u);
    EXPECT_EQ(appid_for_gamedir("valve"), 70u);
    EXPECT_EQ(appid_for_gamedir("czero"), 80u);
    EXPECT_EQ(appid_for_gamedir("czeror"), 100u);
    EXPECT_EQ(appid_for_gamedir("bshift"), 130u);
    EXPECT_EQ(appid_for_gamedir("cstrike_beta"), 150u);
    EXPECT_EQ(appid_for_gamedir("svencoop"), 225840u);
}

TEST(AppidForGamedir, AsciiCaseIsFolded) {
    EXPECT_EQ(appid_for_gamedir("CStrike"), 10u);
    EXPECT_EQ(appid_for_gamedir("CSTRIKE"), 10u);
    EXPECT_EQ(appid_for_gamedir("Cstrike_Beta"), 150u);
    EXPECT_EQ(appid_for_gamedir("SVENCOOP"), 225840u);
    EXPECT_EQ(appid_for_gamedir("CzErOr"), 100u);
}

TEST(AppidForGamedir, NoAppidWithoutAnExactMatch) {
    for (std::string_view name : {
             "",
             "cstrike-beta",
             "/games/cstrike",
             "cstrike/",
             "./valve",
             " valve",
             "valve ",
             "tf",
             "mygame",
             "cstrik",
             "cstrikee",
             "czer",
             "cstrike_beta2",      // one byte longer than the longest key
             "\xef\xbd\x83strike", // fullwidth 'c' in place of the ASCII letter
             "valv\xc3\xa9",
         }) {
        EXPECT_EQ(appid_for_gamedir(name), std::nullopt) << "name '" << name << "'";
    }
    EXPECT_EQ(appid_for_gamedir(std::string_view("valve\0", 6)), std::nullopt);
    EXPECT_EQ(appid_for_gamedir(std::string(10000, 'a')), std::nullopt);
}

} // namespace
} // namespace vandrel
