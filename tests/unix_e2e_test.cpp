// The broker on a Unix socket: its own socket file in a private directory,
// the kernel-checked peer, and sockets passed by a service manager
// (systemd-socket-activate).
#include "e2e.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vandrel::test {
namespace {

// A Unix socket connection to `path` (close-on-exec), or an invalid Fd.
Fd connect_unix(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return Fd();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Fd();
    return fd;
}

// Connects to `path` as soon as something listens there, within `limit`.
Fd connect_unix_when_there(const std::string& path, Clock::duration limit = LINE_TIMEOUT) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        Fd fd = connect_unix(path);
        if (fd.valid() || Clock::now() >= deadline)
            return fd;
        ::usleep(10'000);
    }
}

// A socket file at `path` that nothing answers on: the file a broker that
// crashed leaves behind.
void make_stale_socket(const std::string& path) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// One ticket over `fd`, the broker's lines for it checked on the way.
void expect_ticket(Process& broker, int fd, std::int32_t challenge) {
    write_bytes(fd, frame_of(std::string_view("vd_gamedir cstrike")));
    write_bytes(fd, frame_of("vd_connect 1.2.3.4:27015 1 1 " + std::to_string(challenge)));
    EXPECT_EQ(read_frame(fd), expected_reply(challenge, IP_1_2_3_4, 27015, 1));
    EXPECT_TRUE(broker.wait_for_prefix("[vandrel] -> ticket 240 bytes for challenge " +
                                       std::to_string(challenge)));
}

std::string own_peer() {
    return "pid " + std::to_string(::getpid()) + " uid " + std::to_string(::getuid());
}

TEST(UnixSocket, ServesASessionOnAPrivateFileRemovedAtExit) {
    Broker env(standin());
    TempDir dir;
    const std::string path = dir.path() + "/socket";
    Process broker(env.spawn({"unix:" + path}, {}));
    EXPECT_EQ(broker.next_line(), "[vandrel] listening on unix:" + path);

    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    Fd client = connect_unix(path);
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(broker.next_line(), "[vandrel] accepted " + own_peer());
    EXPECT_EQ(broker.next_line(), "[vandrel] session open on unix " + own_peer());
    expect_ticket(broker, client.get(), 77);
    write_bytes(client.get(), frame_of(std::string_view("vd_terminate")));
    EXPECT_EQ(broker.wait_exit(), 0);
    EXPECT_FALSE(exists(path)) << "the broker left its socket file";
    EXPECT_FALSE(exists(path + ".lock")) << "the broker left its lock file";
}

TEST(UnixSocket, AStaleFileIsReplacedALiveOneIsNot) {
    Broker env(standin());
    TempDir dir;
    const std::string path = dir.path() + "/socket";
    // A process holds a socket there, listening or only bound (a broker
    // between its bind and its listen): the broker leaves it alone.
    for (bool listening : {true, false}) {
        Fd live(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::bind(live.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (listening) {
            ASSERT_EQ(::listen(live.get(), 1), 0);
        }
        Process refused(env.spawn({"unix:" + path}, {}));
        EXPECT_EQ(refused.next_line(),
                  "[vandrel] fatal: create socket error, another process " +
                      (listening ? "answers on " + path
                                 : "has bound " + path + " and does not listen on it"));
        EXPECT_EQ(refused.wait_exit(), 1);
        EXPECT_TRUE(exists(path));
        EXPECT_FALSE(exists(path + ".lock")) << "the refused broker left its lock file";
        ASSERT_EQ(::unlink(path.c_str()), 0);
    }
    make_stale_socket(path);
    Process broker(env.spawn({"unix:" + path}, {}));
    EXPECT_EQ(broker.next_line(), "[vandrel] replaced the stale socket file " + path);
    EXPECT_EQ(broker.next_line(), "[vandrel] listening on unix:" + path);
    Fd client = connect_unix(path);
    ASSERT_TRUE(client.valid());
    expect_ticket(broker, client.get(), 5);
    // Ended as `systemctl stop` ends it, the broker still removes its file.
    ASSERT_EQ(::kill(broker.pid(), SIGTERM), 0);
    EXPECT_EQ(broker.wait_exit(), 128 + SIGTERM);
    EXPECT_FALSE(exists(path)) << "the broker left its socket file";
    EXPECT_FALSE(exists(path + ".lock")) << "the broker left its lock file";
}

// Two brokers started together on one path, with no file there before: one
// listens, the other ends with the line for a path another process answers
// on, and the socket file is the one that answers. The window between a
// broker's bind and its listen is short, so the start is repeated.
TEST(UnixSocket, OfTwoBrokersStartedTogetherOneListens) {
    constexpr int ROUNDS = 40;
    Broker env(standin());
    TempDir dir;
    const std::string path = dir.path() + "/socket";
    const std::string listening = "[vandrel] listening on unix:" + path;
    const std::string lost =
        "[vandrel] fatal: create socket error, another process answers on " + path;
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::array<Process, 2> brokers{Process(env.spawn({"unix:" + path}, {})),
                                       Process(env.spawn({"unix:" + path}, {}))};
        std::vector<Process*> winners;
        for (Process& broker : brokers) {
            std::optional<std::string> line = broker.next_line();
            if (line == listening) {
                winners.push_back(&broker);
                continue;
            }
            EXPECT_EQ(line, lost);
            EXPECT_EQ(broker.wait_exit(), 1);
        }
        ASSERT_EQ(winners.size(), 1u);
        Process& winner = *winners.front();
        Fd client = connect_unix(path);
        ASSERT_TRUE(client.valid()) << "nobody answers on the socket file";
        EXPECT_EQ(winner.next_line(), "[vandrel] accepted " + own_peer());
        ASSERT_EQ(::kill(winner.pid(), SIGTERM), 0);
        EXPECT_EQ(winner.wait_exit(), 128 + SIGTERM);
        ASSERT_FALSE(exists(path));
        ASSERT_FALSE(exists(path + ".lock"));
    }
}

TEST(UnixSocket, StartRefusesADirectoryOthersCouldWriteTo) {
    Broker env(standin());
    TempDir dir;
    struct Case {
        mode_t mode;
        std::optional<uid_t> owner;
        std::string why;
    };
    std::vector<Case> cases = {
        {0777, std::nullopt, " is writable by group or others"},
        {0770, std::nullopt, " is writable by group or others"},
    };
    if (::geteuid() == 0)
        cases.push_back(
            {0700, OTHER_UID, " is owned by uid " + std::to_string(OTHER_UID) + ", not by uid 0"});
    for (const Case& c : cases) {
        const std::string sub = dir.path() + "/d";
        std::filesystem::create_directory(sub);
        ASSERT_EQ(::chmod(sub.c_str(), c.mode), 0);
        if (c.owner) {
            ASSERT_EQ(::chown(sub.c_str(), *c.owner, *c.owner), 0);
        }
        Process broker(env.spawn({"unix:" + sub + "/socket"}, {}));
        EXPECT_EQ(broker.next_line(),
                  "[vandrel] fatal: create socket error, the socket's directory " + sub + c.why);
        EXPECT_EQ(broker.wait_exit(), 1);
        EXPECT_FALSE(exists(sub + "/socket"));
        std::filesystem::remove_all(sub);
    }
    Process relative(env.spawn({"unix:socket"}, {}));
    EXPECT_EQ(relative.next_line(), "[vandrel] fatal: create socket error, a unix listen address "
                                    "needs an absolute path: socket");
    EXPECT_EQ(relative.wait_exit(), 1);
}

// Another user who can reach the file (mode widened by hand, an ACL) is still
// refused, by the kernel's record of who connected, before a byte is read.
TEST(UnixSocket, AnotherUserIsRefusedBeforeAByteIsRead) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    Broker env(standin());
    TempDir dir(std::string{SHARED_TMP});
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    const std::string path = dir.path() + "/socket";
    Process broker(env.spawn({"unix:" + path}, {}));
    ASSERT_EQ(broker.next_line(), "[vandrel] listening on unix:" + path);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);

    int got = run_as_other_user([&] {
        Fd fd = connect_unix(path);
        if (!fd.valid())
            return 2;
        Bytes frames = concat({frame_of(std::string_view("vd_gamedir cstrike")),
                               frame_of(std::string_view("vd_terminate"))});
        (void)::send(fd.get(), frames.data(), frames.size(), MSG_NOSIGNAL);
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return 3;
        std::uint8_t byte = 0;
        return ::recv(fd.get(), &byte, 1, 0) > 0 ? 1 : 0;
    });
    EXPECT_EQ(got, 0) << "1: bytes came, 2: no connection, 3: left open";
    auto line = broker.next_line();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(line->starts_with("[vandrel] refused pid ")) << *line;
    EXPECT_TRUE(line->ends_with(" uid " + std::to_string(OTHER_UID) + ": connection from uid " +
                                std::to_string(OTHER_UID) + ", this broker serves uid 0"))
        << *line;
    EXPECT_TRUE(child_pids(broker.pid()).empty()) << "no child for a refused client";

    // Its "vd_terminate" was never read: the broker serves its own user.
    Fd own = connect_unix(path);
    ASSERT_TRUE(own.valid());
    EXPECT_EQ(broker.next_line(), "[vandrel] accepted " + own_peer());
    expect_ticket(broker, own.get(), 9);
}

// --- Sockets passed by the service manager ---------------------------------

std::string socket_activate_missing() {
    if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        return "systemd-socket-activate (Debian's systemd package) is not installed";
    return {};
}

// The broker under systemd-socket-activate on `listen` addresses, with the
// broker's own environment passed through.
Process activated(const Broker& env, const std::vector<std::string>& listen,
                  const std::vector<std::string>& broker_args = {}) {
    Spawn broker = env.spawn(broker_args, {});
    Spawn options;
    for (const std::string& l : listen)
        options.args.push_back("--listen=" + l);
    for (const auto& [k, v] : broker.env)
        options.args.push_back("--setenv=" + k + "=" + v);
    options.args.push_back(broker_path());
    options.args.insert(options.args.end(), broker_args.begin(), broker_args.end());
    options.env = broker.env;
    options.pipe_stdin = false;
    return Process("/usr/bin/systemd-socket-activate", options);
}

// The variables of a process's environment whose names start with `prefix`.
std::vector<std::string> environment_starting(pid_t pid, std::string_view prefix) {
    std::string all = read_file("/proc/" + std::to_string(pid) + "/environ");
    std::vector<std::string> out;
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find('\0', at);
        if (end == std::string::npos)
            end = all.size();
        std::string entry = all.substr(at, end - at);
        if (entry.starts_with(prefix))
            out.push_back(entry);
        at = end + 1;
    }
    return out;
}

TEST(SocketActivation, ServesEveryPassedSocketAndHidesThemFromTheChild) {
    if (auto why = socket_activate_missing(); !why.empty())
        GTEST_SKIP() << why;
    Broker env(standin());
    TempDir dir;
    const std::string path = dir.path() + "/socket";
    const std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    const std::string tcp = "127.0.0.1:" + std::to_string(port);
    Process broker = activated(env, {path, tcp});

    Fd over_unix = connect_unix_when_there(path);
    ASSERT_TRUE(over_unix.valid());
    EXPECT_TRUE(broker.wait_for_line("[vandrel] listening on unix:" + path));
    EXPECT_EQ(broker.next_line(), "[vandrel] listening on " + tcp);
    EXPECT_EQ(broker.next_line(), "[vandrel] accepted " + own_peer());
    expect_ticket(broker, over_unix.get(), 41);
    std::vector<pid_t> children = child_pids(broker.pid());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(environment_starting(children[0], "LISTEN_"), std::vector<std::string>{});
    EXPECT_EQ(environment_starting(children[0], "TMPDIR=").size(), 1u)
        << "the child's environment could not be read";
    over_unix.reset();
    EXPECT_TRUE(broker.wait_for_line("[vandrel] session ended, awaiting next connection"));

    Fd over_tcp = connect_tcp(port);
    ASSERT_TRUE(over_tcp.valid());
    expect_ticket(broker, over_tcp.get(), 42);
    write_bytes(over_tcp.get(), frame_of(std::string_view("vd_terminate")));
    EXPECT_EQ(broker.wait_exit(), 0);
    EXPECT_TRUE(exists(path)) << "the service manager's socket file is the service manager's";
}

TEST(SocketActivation, ExitIdleEndsTheBrokerBetweenClients) {
    if (auto why = socket_activate_missing(); !why.empty())
        GTEST_SKIP() << why;
    Broker env(standin());
    TempDir dir;
    const std::string path = dir.path() + "/socket";
    Process broker = activated(env, {path}, {"--exit-idle", "1"});
    Fd client = connect_unix_when_there(path);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(broker.wait_for_line("[vandrel] accepted " + own_peer()));
    // A session longer than the limit is not cut: the limit counts idle time.
    ::usleep(1'500'000);
    expect_ticket(broker, client.get(), 7);
    client.reset();
    EXPECT_TRUE(broker.wait_for_line("[vandrel] session ended, awaiting next connection"));
    EXPECT_TRUE(broker.wait_for_line("[vandrel] no client for 1 s, exiting"));
    EXPECT_EQ(broker.wait_exit(), 0);

    // Without sockets from a service manager, nothing would start it again.
    Process alone(env.spawn({"unix:" + path, "--exit-idle", "1"}, {}));
    EXPECT_EQ(alone.next_line(), "[vandrel] fatal: --exit-idle ends only a broker whose sockets "
                                 "the service manager passed");
    EXPECT_EQ(alone.wait_exit(), 1);
}

} // namespace
} // namespace vandrel::test
