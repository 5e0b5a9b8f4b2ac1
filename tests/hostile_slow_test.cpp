// The built broker against a Steam runtime that hangs in its initialisation:
// the start of the child times out after its full time limit, the hung
// process is killed and reaped, and the broker goes on serving. It waits out
// the real 20-second limit.
#include "test_support.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>

extern char** environ;

namespace vandrel::test {
namespace {

// Longer than the readiness time limit, so a missing line fails rather than
// hangs, and a late one is not mistaken for a missing one.
constexpr auto SLOW_LINE = 30s;

Spawn hanging_broker(const TempDir& dir) {
    Spawn options;
    options.args = {"127.0.0.1:0"};
    options.env = {{"TMPDIR", dir.path()}, {"VANDREL_STANDIN_INIT_HANG_MS", "forever"}};
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry = *e;
        if (entry.starts_with("VANDREL_STANDIN_"))
            options.unset_env.emplace_back(entry.substr(0, entry.find('=')));
    }
    return options;
}

void expect(Process& p, const std::vector<std::string>& lines,
            Clock::duration limit = LINE_TIMEOUT) {
    for (const auto& line : lines) {
        auto got = next_line_skipping(p, is_child_line, limit);
        ASSERT_TRUE(got.has_value()) << "missing line: " << line;
        ASSERT_EQ(*got, "[vandrel] " + line);
    }
}

// The one child of `pid` once it has been started, or -1.
pid_t started_child(pid_t pid) {
    auto deadline = Clock::now() + LINE_TIMEOUT;
    while (Clock::now() < deadline) {
        std::vector<pid_t> children = child_pids(pid);
        if (children.size() == 1)
            return children[0];
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

TEST(HostileSlow, HungInitialisationIsKilledAndTheBrokerServesOn) {
    TempDir dir;
    TcpBroker broker(hanging_broker(dir));
    Process& p = broker.process();
    Fd client = broker.connect();
    expect(p, {"session open on tcp 127.0.0.1:" + std::to_string(local_port(client.get()))});
    write_bytes(client.get(), frame_of("vd_gamedir cstrike"));
    expect(p, {"<- vd_gamedir", "activating gamedir \"cstrike\" (appid 10)"});
    pid_t hung = started_child(p.pid());
    ASSERT_GT(hung, 0);
    auto start = Clock::now();
    // The reaped line comes before the command's own error line.
    expect(p, {"child for appid 10 reaped"}, SLOW_LINE);
    EXPECT_GE(Clock::now() - start, 19s);
    expect(p, {"command error: steam child timed out"});
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(hung)))
        << "the hung child is killed and reaped";
    EXPECT_TRUE(child_pids(p.pid()).empty());

    // The session is as before the failed start, and the next client is served.
    write_bytes(client.get(), frame_of("vd_connect 1.2.3.4:27015 1 1 77"));
    expect(p, {"<- vd_connect", "command error: session not active"});
    ::shutdown(client.get(), SHUT_WR);
    expect(p, {"peer closed the connection", "session ended, awaiting next connection"});
    Fd next = broker.connect();
    expect(p, {"session open on tcp 127.0.0.1:" + std::to_string(local_port(next.get()))});
    write_bytes(next.get(), frame_of("vd_terminate"));
    expect(p, {"<- vd_terminate", "vd_terminate \xE2\x80\x94 exiting"});
    EXPECT_EQ(p.wait_exit(), 0);
}

} // namespace
} // namespace vandrel::test
