// The built program in child mode (`vandrel --child <appid>`), run as a
// subprocess over pipes against the stand-in Steam runtime: the cases that
// only the stand-in can be scripted for. The cases that hold for either
// runtime (readiness, the request protocol, the scratch directory, failures
// and exit statuses, and what the child asked of Steam) run against both in
// realsteam_e2e_test.cpp.
#include "e2e.hpp"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace vandrel::test {
namespace {

TEST(ChildRequests, UnknownWordsAreQuotedAndBadTextIsRefused) {
    Child child(standin());
    std::string dir = start(child);
    ASSERT_FALSE(dir.empty());
    std::size_t seen = steam_calls(Runtime::StandIn, child.calls()).size();

    const std::string unknown = "err unknown child request ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"CONN 10.0.0.5:27015", unknown + "\"CONN\""},
        {"hello world", unknown + "\"hello\""},
        {"a\x0b"
         "b 10.0.0.5:27015",
         unknown + "\"a\\u{b}b\""},
        {"e\xcc\x81", unknown + "\"e\\u{301}\""},
        {"back\\slash", unknown + "\"back\\\\slash\""},
        {"say\"hi\"", unknown + "\"say\\\"hi\\\"\""},
        {"del\x7f", unknown + "\"del\\u{7f}\""},
        {std::string("nul\0", 4), unknown + "\"nul\\0\""},
        {"it's caf\xc3\xa9", unknown + "\"it's\""},
        {"caf\xc3\xa9", unknown + "\"caf\xc3\xa9\""},
        {"", unknown + "\"\""},
        {" \t\n\r\f ", unknown + "\"\""},
        {"\xff", "err non-utf8 request"},
        {"conn 10.0.0.5:27015 \xff", "err non-utf8 request"},
        {"term 10.0.0.5:27015 \xc3", "err non-utf8 request"},
        {"\xed\xa0\x80", "err non-utf8 request"},
    };
    for (const auto& [request, expected] : cases) {
        SCOPED_TRACE(show(bytes_of(request)));
        std::optional<Bytes> reply = child.ask(request);
        EXPECT_EQ(reply, bytes_of(expected)) << show(reply);
        EXPECT_EQ(new_steam_calls(Runtime::StandIn, child, seen), std::vector<std::string>{});
    }

    Ending end = child.finish();
    EXPECT_EQ(end.status, 0);
    std::vector<std::string> expected_log = startup_lines(dir);
    expected_log.emplace_back(CLOSED_LINE);
    EXPECT_EQ(log_lines(end.lines), expected_log);
}

} // namespace
} // namespace vandrel::test
