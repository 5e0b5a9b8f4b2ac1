// Which refusals reach the log, on a clock the test moves.
#include "broker/refusal_log.hpp"

#include <gtest/gtest.h>

namespace vandrel {
namespace {

using namespace std::chrono_literals;

TEST(RefusalLog, FirstLineThenOneCountPerIntervalForEachKind) {
    RefusalLog log;
    const RefusalLog::Clock::time_point t0{};
    const std::string who = "from uid 65534";
    EXPECT_EQ(log.line_for(who, "refused a", t0), "refused a");
    // 119 more within the minute are counted, another user's refusal is not.
    for (int i = 1; i <= 119; ++i)
        EXPECT_EQ(log.line_for(who, "refused b", t0 + i * 100ms), std::nullopt) << i;
    EXPECT_EQ(log.line_for("from uid 1001", "refused c", t0 + 30s), "refused c");
    // The 120th, the first at the minute, writes the count of all of them.
    EXPECT_EQ(log.line_for(who, "refused d", t0 + 60s),
              "refused 120 more connections from uid 65534 in the last 60 s");
    // A window closed by a late refusal says how long it was.
    EXPECT_EQ(log.line_for(who, "refused e", t0 + 61s), std::nullopt);
    EXPECT_EQ(log.line_for(who, "refused f", t0 + 60s + 95500ms),
              "refused 2 more connections from uid 65534 in the last 95 s");
    // After a quiet interval a refusal is shown in full again.
    EXPECT_EQ(log.line_for(who, "refused g", t0 + 60s + 95500ms + 60s), "refused g");
    EXPECT_EQ(log.line_for(who, "refused h", t0 + 60s + 95500ms + 61s), std::nullopt);
}

} // namespace
} // namespace vandrel
