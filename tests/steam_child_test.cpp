// SteamChild in process, against a real child: this test program doubles as
// the Steam child, since SteamChild starts the running executable as
// `--child <appid>`. It covers what no client of the broker can bring about:
// a request frame longer than the pipe's atomic write, cut off part-way.
// It waits out the real request time limit.
#include "base/log.hpp"
#include "broker/steam_child.hpp"
#include "child/child.hpp"
#include "e2e.hpp"
#include "shared/args.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace vandrel::test {
namespace {

constexpr std::size_t PAGE = 4096;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Continues a stopped child when the test ends, so that a failed test does
// not leave it stopped for ever.
struct ContinueAtEnd {
    pid_t pid;
    ~ContinueAtEnd() { ::kill(pid, SIGCONT); }
};

// A stopped child with room for two pages in its pipe: a whole frame of one
// page goes in and its answer times out, which leaves the input usable; the
// largest frame then fits only in part, which does not.
TEST(SteamChildSlow, OnlyAFrameCutOffPartWayLeavesTheInputUnusable) {
    TempDir tmp;
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    for (const std::string& name : scripting_variables())
        ::unsetenv(name.c_str());
    Result<SteamChild> started = SteamChild::spawn(10);
    ASSERT_TRUE(started) << started.error().text();
    std::optional<SteamChild> child(std::move(started).value());
    std::vector<pid_t> children = child_pids(::getpid());
    ASSERT_EQ(children.size(), 1u);
    const pid_t pid = children[0];
    auto dirs = [&] {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(tmp.path()))
            out.push_back(entry.path().filename().string());
        return out;
    };
    ASSERT_EQ(dirs().size(), 1u);

    ContinueAtEnd resume{pid};
    ASSERT_TRUE(stop_process(pid));
    {
        Fd pipe(::open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(),
                       O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(pipe.valid());
        ASSERT_EQ(::fcntl(pipe.get(), F_SETPIPE_SZ, static_cast<int>(2 * PAGE)),
                  static_cast<int>(2 * PAGE));
    }
    Result<Bytes> answer = child->request(Bytes(PAGE - FRAME_HEADER_LEN, 'x'));
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error().text(), "steam child timed out");
    EXPECT_FALSE(child->input_cut()) << "the frame went in whole";

    const auto start = Clock::now();
    answer = child->request(Bytes(MAX_FRAME_PAYLOAD, 'x'));
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error().text(), "steam child timed out");
    EXPECT_TRUE(child->input_cut());
    const double waited = seconds_since(start);
    EXPECT_GE(waited, 7.5);
    EXPECT_LT(waited, 10.0);

    child.reset();
    EXPECT_TRUE(wait_dead(pid, LINE_TIMEOUT));
    EXPECT_EQ(dirs(), std::vector<std::string>{}) << "the killed child's directory is removed";
}

} // namespace
} // namespace vandrel::test

// The test program, or the Steam child when started as `--child <appid>`.
int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && std::string_view(argv[1]) == "--child") {
        std::optional<std::uint32_t> appid = vandrel::parse_appid(argv[2]);
        vandrel::Result<void> done =
            appid ? vandrel::child::run(*appid) : vandrel::BrokerError::missing_argument("appid");
        if (!done)
            vandrel::log_line("fatal: " + done.error().text());
        std::_Exit(done ? EXIT_SUCCESS : EXIT_FAILURE);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
