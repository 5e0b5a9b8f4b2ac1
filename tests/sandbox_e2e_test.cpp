// A game in a sandbox: vandrel-ticket run by bubblewrap with every namespace
// unshared, seeing nothing of the host but itself, its libraries (read-only)
// and the broker's socket directory at $XDG_RUNTIME_DIR/vandrel, gets its
// ticket, and the broker's peer check still names the user who runs it.
#include "e2e.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace vandrel::test {
namespace {

// Where the sandbox has the tool.
constexpr std::string_view TOOL_INSIDE = "/usr/bin/vandrel-ticket";
constexpr std::uint64_t SERVER_STEAM_ID = 90123;

// The path of `name` in PATH, or empty.
std::string in_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir;
        candidate.append("/").append(name);
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// The shared libraries `program` loads, as ldd names them, or empty with
// `why` set.
std::vector<std::string> libraries_of(const std::string& program, std::string& why) {
    Spawn ldd;
    ldd.args = {program};
    ldd.pipe_stdin = false;
    Process run("/usr/bin/ldd", ldd);
    std::istringstream lines(read_to_end(run.stdout_fd(), LINE_TIMEOUT));
    if (run.wait_exit() != 0) {
        why = "ldd " + program + " failed";
        return {};
    }
    std::vector<std::string> libraries;
    for (std::string line; std::getline(lines, line);) {
        // "\tlibc.so.6 => /lib/.../libc.so.6 (0x...)" or "\t/lib64/ld-linux... (0x...)"
        auto from = line.find("=> ");
        from = from == std::string::npos ? line.find('/') : from + 3;
        if (from == std::string::npos || line.compare(from, 1, "/") != 0)
            continue; // the vDSO, which is no file
        libraries.push_back(line.substr(from, line.find(" (", from) - from));
    }
    return libraries;
}

// Why bubblewrap cannot make a sandbox with every namespace unshared for
// `user` here (not installed, user namespaces not allowed), or empty.
std::string sandbox_unavailable(const std::string& bwrap, std::optional<uid_t> user) {
    if (bwrap.empty())
        return "bubblewrap (bwrap) is not installed: Debian's bubblewrap, which "
               "scripts/ensure-deps installs";
    Spawn probe;
    probe.args = {"--unshare-all", "--ro-bind", "/", "/", "--", "/bin/true"};
    probe.pipe_stdin = false;
    probe.user = user;
    Process run(bwrap, probe);
    if (run.wait_exit() == 0)
        return {};
    auto said = run.next_line();
    return "bwrap cannot unshare every namespace for uid " +
           std::to_string(user.value_or(::getuid())) +
           " here (user namespaces not allowed?): " + said.value_or("no message");
}

// The bwrap command line that runs `tool` in a sandbox for `uid`, the
// socket directory `sockets` bound at $XDG_RUNTIME_DIR/vandrel, and asks for
// a ticket for 1.2.3.4:27015 by the default address order.
std::vector<std::string> sandboxed_ticket(const std::string& tool,
                                          const std::vector<std::string>& libraries,
                                          const std::string& sockets, uid_t uid) {
    const std::string runtime_dir = "/run/user/" + std::to_string(uid);
    // A sandbox's own /proc and /dev, as every Flatpak app has: the sanitizer
    // runtimes of the instrumented builds read /proc.
    std::vector<std::string> args = {"--unshare-all",
                                     "--die-with-parent",
                                     "--clearenv",
                                     "--setenv",
                                     "XDG_RUNTIME_DIR",
                                     runtime_dir,
                                     "--proc",
                                     "/proc",
                                     "--dev",
                                     "/dev",
                                     "--ro-bind",
                                     tool,
                                     std::string(TOOL_INSIDE)};
    for (const std::string& library : libraries)
        args.insert(args.end(), {"--ro-bind", library, library});
    args.insert(args.end(),
                {"--ro-bind", sockets, runtime_dir + "/vandrel", "--", std::string(TOOL_INSIDE),
                 "--gamedir", "cstrike", "--server", "1.2.3.4:27015", "--server-steamid",
                 std::to_string(SERVER_STEAM_ID), "--secure", "1", "--challenge", "77"});
    return args;
}

std::string hex(const Bytes& bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += DIGITS[static_cast<unsigned>(b) >> 4];
        out += DIGITS[static_cast<unsigned>(b) & 0xFU];
    }
    return out;
}

// The broker accepted a client of `uid`, sent it the ticket, and ended the
// session: its child is gone before the directories go.
void expect_served(Process& broker, uid_t uid) {
    auto accepted = broker.wait_for_prefix("[vandrel] accepted pid ");
    ASSERT_TRUE(accepted) << ::testing::PrintToString(broker.lines());
    EXPECT_TRUE(accepted->ends_with(" uid " + std::to_string(uid))) << *accepted;
    EXPECT_TRUE(broker.wait_for_line("[vandrel] -> ticket 240 bytes for challenge 77"));
    EXPECT_TRUE(broker.wait_for_line("[vandrel] " + reaped_line(10)));
}

// Runs the sandboxed tool as `user` (this process's own user when empty)
// against `broker`, which listens in `sockets`: it prints the stand-in's
// ticket, and the broker accepted the client as `uid`.
void expect_sandboxed_ticket(Process& broker, const std::string& bwrap, const std::string& tool,
                             const std::string& sockets, std::optional<uid_t> user) {
    const uid_t uid = user.value_or(::getuid());
    std::string why;
    std::vector<std::string> libraries = libraries_of(tool, why);
    ASSERT_TRUE(why.empty()) << why;

    Spawn client;
    client.args = sandboxed_ticket(tool, libraries, sockets, uid);
    client.pipe_stdin = false;
    client.user = user;
    Process sandboxed(bwrap, client);
    const std::string expected =
        "steamid " + std::to_string(USER_STEAM_ID) + "\nticket " +
        hex(standin_ticket(IP_1_2_3_4, 27015, SERVER_STEAM_ID, DEFAULT_TICKET_LEN)) + "\n";
    EXPECT_EQ(read_to_end(sandboxed.stdout_fd(), LINE_TIMEOUT), expected);
    EXPECT_EQ(sandboxed.wait_exit(), 0) << ::testing::PrintToString(sandboxed.rest_of_lines());

    expect_served(broker, uid);
}

TEST(Sandbox, AClientWithOnlyTheSocketGetsItsTicket) {
    const std::string bwrap = in_path("bwrap");
    if (auto why = sandbox_unavailable(bwrap, std::nullopt); !why.empty())
        GTEST_SKIP() << why;
    Broker env(standin());
    TempDir sockets;
    Spawn options = env.spawn({"unix:" + sockets.path() + "/socket"}, {});
    options.pipe_stdin = false;
    Process broker(options);
    ASSERT_TRUE(broker.wait_for_prefix("[vandrel] listening on unix:"));
    expect_sandboxed_ticket(broker, bwrap, build_dir() + "/bin/vandrel-ticket", sockets.path(),
                            std::nullopt);
}

// Unprivileged, bubblewrap needs a user namespace of its own; the broker
// runs as the same second user.
TEST(Sandbox, AnotherUsersSandboxedClientIsNamedByItsUid) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const std::string bwrap = in_path("bwrap");
    if (auto why = sandbox_unavailable(bwrap, OTHER_UID); !why.empty())
        GTEST_SKIP() << why;
    // The build tree may be out of that user's reach: the broker, the tool
    // and the runtime are copied where it may go.
    OtherUserCopy copy;
    if (!copy.problem().empty())
        GTEST_SKIP() << copy.problem();
    namespace fs = std::filesystem;
    const std::string tool = fs::path(copy.program()).parent_path() / "vandrel-ticket";
    fs::copy_file(build_dir() + "/bin/vandrel-ticket", tool);
    fs::permissions(tool, fs::perms(0755));

    Broker env(standin());
    TempDir sockets(std::string{SHARED_TMP});
    TempDir work(std::string{SHARED_TMP}); // the children's scratch and call log
    for (const TempDir* dir : {&sockets, &work})
        ASSERT_EQ(::chown(dir->path().c_str(), OTHER_UID, OTHER_UID), 0);
    Spawn options = copy.as_other_user(env.spawn({"unix:" + sockets.path() + "/socket"}, {}));
    options.env["TMPDIR"] = work.path();
    options.env["VANDREL_STANDIN_CALL_LOG"] = work.path() + "/calls.log";
    options.pipe_stdin = false;
    Process broker(copy.program(), options);
    ASSERT_TRUE(broker.wait_for_prefix("[vandrel] listening on unix:"));
    expect_sandboxed_ticket(broker, bwrap, tool, sockets.path(), OTHER_UID);
}

} // namespace
} // namespace vandrel::test
