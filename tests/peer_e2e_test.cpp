// Only the broker's own user and root may use a broker, and the client library
// talks only to a broker of its own user or root: the built broker, the
// library and vandrel-ticket against a second local user, over IPv4, IPv6 and
// a dual-stack listener.
#include "e2e.hpp"
#include "vandrel/client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace vandrel::test {
namespace {

// How a client that another user runs fared.
enum OtherClient : int {
    GOT_NOTHING = 0, // the connection ended before any byte came
    GOT_BYTES = 1,   // the broker sent something
    NO_CONNECTION = 2,
    STILL_OPEN = 3, // the connection stayed open without a byte
};

// The port of a "listening on {addr}" line, and the warning that a
// wildcard address brings.
std::uint16_t listening_port(Process& broker) {
    auto line = broker.wait_for_prefix("[vandrel] listening on ");
    EXPECT_TRUE(line.has_value()) << "the broker did not listen";
    if (!line)
        return 0;
    if (line->find("[::]:") != std::string::npos) {
        auto warning = broker.next_line();
        EXPECT_TRUE(warning && warning->starts_with("[vandrel] WARNING: listening on a non-"));
    }
    return static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
}

// A connection to `host` (a literal IPv4 or IPv6 address) and `port`.
Fd connect_to(const std::string& host, std::uint16_t port) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    }
    Fd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0)
        return Fd();
    return fd;
}

// As OTHER_UID: connects, asks for a ticket and for the broker's end, and
// reports what came back within a few seconds.
OtherClient other_user_asks(const std::string& host, std::uint16_t port) {
    return static_cast<OtherClient>(run_as_other_user([&] {
        Fd fd = connect_to(host, port);
        if (!fd.valid())
            return int{NO_CONNECTION};
        Bytes frames = frame_of(std::string_view("vd_gamedir cstrike"));
        for (std::string_view command : {"vd_connect 1.2.3.4:27015 1 1 77", "vd_terminate"}) {
            Bytes f = frame_of(command);
            frames.insert(frames.end(), f.begin(), f.end());
        }
        (void)::send(fd.get(), frames.data(), frames.size(), MSG_NOSIGNAL);
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return int{STILL_OPEN};
        std::uint8_t byte = 0;
        return ::recv(fd.get(), &byte, 1, 0) > 0 ? int{GOT_BYTES} : int{GOT_NOTHING};
    }));
}

bool has_ipv6_loopback() {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    return fd.valid() && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

std::string serves_uid() {
    return ", this broker serves uid " + std::to_string(::getuid());
}

// The broker's one line for a refused client: the refusal naming the peer
// and both users.
void expect_refused(Process& broker) {
    const std::string tail = ": connection from uid " + std::to_string(OTHER_UID) + serves_uid();
    auto line = broker.next_line();
    ASSERT_TRUE(line && line->starts_with("[vandrel] refused ") && line->ends_with(tail))
        << line.value_or("");
}

TEST(PeerCheck, AnotherUsersClientGetsNothingAndTheOwnUserIsServedNext) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    Broker env(standin());
    TcpBroker broker(env.spawn({"127.0.0.1:0"}, {}));

    EXPECT_EQ(other_user_asks("127.0.0.1", broker.port()), GOT_NOTHING);
    expect_refused(broker.process());
    EXPECT_TRUE(child_pids(broker.process().pid()).empty()) << "no child for a refused client";

    // Its "vd_terminate" was never read: the broker serves its own user.
    Fd own = broker.connect();
    write_bytes(own.get(), frame_of(std::string_view("vd_gamedir cstrike")));
    write_bytes(own.get(), frame_of(std::string_view("vd_connect 1.2.3.4:27015 1 1 77")));
    EXPECT_EQ(read_frame(own.get()), expected_reply(77, IP_1_2_3_4, 27015, 1));
    EXPECT_EQ(broker.process().next_line(),
              "[vandrel] session open on tcp 127.0.0.1:" + std::to_string(local_port(own.get())));
}

// The address families that the shipped systemd unit leaves to the broker.
std::vector<int> unit_families() {
    const std::map<std::string, int> known = {{"AF_INET", AF_INET},
                                              {"AF_INET6", AF_INET6},
                                              {"AF_UNIX", AF_UNIX},
                                              {"AF_NETLINK", AF_NETLINK}};
    std::vector<int> out;
    for (const std::string& line :
         file_lines(VANDREL_SOURCE_DIR "/packaging/vandrel.service", "RestrictAddressFamilies=")) {
        std::istringstream words(line.substr(line.find('=') + 1));
        for (std::string word; words >> word;) {
            auto found = known.find(word);
            EXPECT_NE(found, known.end()) << "unknown family " << word;
            if (found != known.end())
                out.push_back(found->second);
        }
    }
    return out;
}

TEST(PeerCheck, TheUnitsFamilyRestrictionKeepsTheCheckOn) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    std::vector<int> families = unit_families();
    ASSERT_FALSE(families.empty()) << "the unit restricts no address family";
    {
        Broker env(standin());
        Spawn options = env.spawn({"127.0.0.1:0"}, {});
        options.socket_families = families;
        TcpBroker broker(options);
        EXPECT_EQ(other_user_asks("127.0.0.1", broker.port()), GOT_NOTHING);
        expect_refused(broker.process());
    }
}

// Without netlink the broker cannot tell users apart. It says so before it
// listens, and refuses every local client, its own user's too, unless told
// to serve them unchecked; then it warns once, at the start.
TEST(PeerCheck, WithoutTheSocketTableLocalClientsAreRefusedUnlessAllowed) {
    std::vector<int> families = unit_families();
    ASSERT_FALSE(families.empty()) << "the unit restricts no address family";
    std::erase(families, AF_NETLINK);
    const std::string why = ": io error, Address family not supported by protocol (os error 97)";
    for (bool allow : {false, true}) {
        SCOPED_TRACE(allow ? "allowed" : "refused");
        Broker env(standin());
        Spawn options =
            env.spawn(allow ? std::vector<std::string>{"127.0.0.1:0", "--allow-unchecked-peers"}
                            : std::vector<std::string>{"127.0.0.1:0"},
                      {});
        options.socket_families = families;
        TcpBroker broker(options);
        EXPECT_EQ(broker.process().next_line(),
                  allow ? "[vandrel] WARNING: cannot tell which user a client runs as, every "
                          "local user may use this broker" +
                              why
                        : "[vandrel] WARNING: cannot tell which user a client runs as, local "
                          "clients are refused unless the broker is started with "
                          "--allow-unchecked-peers" +
                              why);
        ASSERT_NE(broker.port(), 0) << "then it listens";
        for (int i = 0; i < 2; ++i) {
            if (!allow) {
                Fd client = connect_tcp(broker.port());
                ASSERT_TRUE(client.valid());
                EXPECT_TRUE(reads_eof(client.get(), LINE_TIMEOUT));
                if (i == 0) {
                    EXPECT_EQ(
                        broker.process().next_line(),
                        "[vandrel] refused 127.0.0.1:" + std::to_string(local_port(client.get())) +
                            ": cannot tell which user the client runs as (io error, "
                            "Address family not supported by protocol (os error 97))" +
                            serves_uid());
                }
                continue;
            }
            Fd client = broker.connect();
            EXPECT_EQ(broker.process().next_line(), "[vandrel] session open on tcp 127.0.0.1:" +
                                                        std::to_string(local_port(client.get())));
            client.reset();
            EXPECT_EQ(broker.process().next_line(), "[vandrel] peer closed the connection");
            EXPECT_EQ(broker.process().next_line(),
                      "[vandrel] session ended, awaiting next connection");
        }
        EXPECT_FALSE(broker.process().next_line(300ms)) << "the second refusal is counted";
    }
}

// A client that cannot ask the table cannot tell whose broker it reached: the
// library refuses it with its own status, unless the caller opts in.
TEST(PeerCheck, ClientWithoutTheSocketTableRefusesTheBrokerUnlessOptedIn) {
    Broker env(standin());
    TcpBroker broker(env.spawn({"127.0.0.1:0"}, {}));
    const std::string addr = "127.0.0.1:" + std::to_string(broker.port());
    std::vector<int> families = unit_families();
    ASSERT_FALSE(families.empty()) << "the unit restricts no address family";
    std::erase(families, AF_NETLINK);
    for (bool opted_in : {false, true}) {
        Spawn tool;
        tool.args = {"--broker", addr, "--gamedir", "cstrike", "--server", "1.2.3.4:27015"};
        tool.socket_families = families;
        tool.unset_env = {"VANDREL_ALLOW_UNCHECKED_BROKER"};
        if (opted_in)
            tool.env["VANDREL_ALLOW_UNCHECKED_BROKER"] = "1";
        Process ticket(build_dir() + "/bin/vandrel-ticket", tool);
        if (!opted_in) {
            EXPECT_EQ(ticket.wait_exit(), 8);
            EXPECT_EQ(ticket.next_line(), std::string("vandrel-ticket: cannot connect: ") +
                                              vandrel_status_text(VANDREL_ERR_UNCHECKED));
            continue;
        }
        EXPECT_EQ(ticket.wait_exit(), 0) << ticket.next_line().value_or("");
        EXPECT_TRUE(broker.process().wait_for_prefix("[vandrel] -> ticket 240 bytes for "));
    }
    EXPECT_STREQ(vandrel_status_text(VANDREL_ERR_UNCHECKED),
                 "cannot tell which user the broker runs as (the kernel's socket table cannot be "
                 "asked); connect to its Unix socket, or set VANDREL_ALLOW_UNCHECKED_BROKER=1 to "
                 "use it all the same");
}

struct Listener {
    const char* listen;  // the broker's listen address
    const char* connect; // where the clients connect
};
// Shown by its addresses, so that the test's name stays the same from build
// to build.
void PrintTo(const Listener& l, std::ostream* os) {
    *os << l.listen << " <- " << l.connect;
}

class PeerCheckFamilies : public testing::TestWithParam<Listener> {};

TEST_P(PeerCheckFamilies, RefuseAnotherUserServeTheOwn) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    if (!has_ipv6_loopback())
        GTEST_SKIP() << "this host has no IPv6 loopback address";
    Broker env(standin());
    Process broker(env.spawn({GetParam().listen}, {}));
    std::uint16_t port = listening_port(broker);
    ASSERT_NE(port, 0);

    EXPECT_EQ(other_user_asks(GetParam().connect, port), GOT_NOTHING);
    expect_refused(broker);

    Fd own = connect_to(GetParam().connect, port);
    ASSERT_TRUE(own.valid());
    auto accepted = broker.next_line();
    ASSERT_TRUE(accepted && accepted->starts_with("[vandrel] accepted ")) << *accepted;
    EXPECT_EQ(broker.next_line(),
              "[vandrel] session open on tcp " +
                  accepted->substr(std::string_view("[vandrel] accepted ").size()));
}

INSTANTIATE_TEST_SUITE_P(Addresses, PeerCheckFamilies,
                         testing::Values(Listener{"[::1]:0", "::1"},
                                         Listener{"[::]:0", "127.0.0.1"}),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "IPv6" : "DualStackIPv4");
                         });

// A build tree where only root may go, as a clone under Debian's /root (mode
// 0700) has: the second user cannot run its program, and runs the copy that
// the tests make for it.
TEST(SecondUser, RunsACopyOfABuildOnlyRootMayEnter) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    TempDir closed; // mode 0700
    const std::string build = closed.path() + "/build";
    const std::string runtime = "/lib/vandrel/libsteam_api.so";
    std::filesystem::create_directories(build + "/bin");
    std::filesystem::create_directories(build + "/lib/vandrel");
    std::filesystem::copy_file(broker_path(), build + "/bin/vandrel");
    std::filesystem::copy_file(build_dir() + runtime, build + runtime);

    Spawn as_other;
    as_other.args = {"--version"};
    as_other.user = OTHER_UID;
    as_other.pipe_stdin = false;
    Process inside(build + "/bin/vandrel", as_other);
    EXPECT_EQ(inside.wait_exit(), 127) << "the exec as uid " << OTHER_UID << " did not fail";

    OtherUserCopy copy(build);
    ASSERT_EQ(copy.problem(), "");
    EXPECT_FALSE(copy.program().starts_with(closed.path())) << copy.program();
    Process outside(copy.program(), copy.as_other_user(as_other));
    EXPECT_TRUE(read_exact(outside.stdout_fd(), 8, LINE_TIMEOUT) == bytes_of("vandrel "));
    EXPECT_EQ(outside.wait_exit(), 0);
}

TEST(PeerCheck, ClientRefusesABrokerOfAnotherUserBeforeSendingAnything) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    // The build tree may be out of that user's reach.
    OtherUserCopy copy;
    if (!copy.problem().empty())
        GTEST_SKIP() << copy.problem();
    Broker env(standin());
    Spawn options = copy.as_other_user(env.spawn({"127.0.0.1:0"}, {}));
    TcpBroker broker(options, copy.program());
    std::string addr = "127.0.0.1:" + std::to_string(broker.port());

    vandrel_client* client = nullptr;
    EXPECT_EQ(vandrel_connect(&client, addr.c_str(), 2000), VANDREL_ERR_UNTRUSTED);
    EXPECT_EQ(vandrel_close(client), VANDREL_OK);
    EXPECT_STREQ(vandrel_status_text(VANDREL_ERR_UNTRUSTED), "the broker belongs to another user");

    Spawn tool;
    tool.args = {"--broker", addr, "--gamedir", "cstrike", "--server", "1.2.3.4:27015"};
    Process ticket(build_dir() + "/bin/vandrel-ticket", tool);
    EXPECT_EQ(ticket.wait_exit(), 7);
    EXPECT_EQ(ticket.next_line(),
              "vandrel-ticket: cannot connect: the broker belongs to another user");

    // Two connections, each closed before a command: no "<- " line. The
    // broker may see them closed already, and then refuses them as gone.
    // A connection of ours with a command comes after them.
    Fd own = connect_tcp(broker.port());
    write_bytes(own.get(), frame_of(std::string_view("vd_sync")));
    ASSERT_TRUE(broker.process().wait_for_line("[vandrel] <- vd_sync"));
    const std::vector<std::string>& lines = broker.process().lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("[vandrel] <- "); }),
              1)
        << ::testing::PrintToString(lines);
    for (const std::string& line : lines) {
        if (line.starts_with("[vandrel] refused ")) {
            EXPECT_TRUE(line.ends_with(": the client's socket is gone, this broker serves uid " +
                                       std::to_string(OTHER_UID)))
                << line;
        }
    }
}

// On a Unix socket the kernel names the broker's user: the library and the
// tool refuse another user's broker there as well.
TEST(PeerCheck, ClientRefusesAnotherUsersBrokerOnAUnixSocket) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    OtherUserCopy copy;
    if (!copy.problem().empty())
        GTEST_SKIP() << copy.problem();
    Broker env(standin());
    TempDir dir(std::string{SHARED_TMP});
    ASSERT_EQ(::chown(dir.path().c_str(), OTHER_UID, OTHER_UID), 0);
    const std::string addr = "unix:" + dir.path() + "/socket";
    Spawn options = copy.as_other_user(env.spawn({addr}, {}));
    options.pipe_stdin = false;
    Process broker(copy.program(), options);
    ASSERT_EQ(broker.next_line(), "[vandrel] listening on " + addr);

    vandrel_client* client = nullptr;
    EXPECT_EQ(vandrel_connect(&client, addr.c_str(), 2000), VANDREL_ERR_UNTRUSTED);
    EXPECT_EQ(vandrel_close(client), VANDREL_OK);
    Spawn tool;
    tool.args = {"--broker", addr, "--gamedir", "cstrike", "--server", "1.2.3.4:27015"};
    Process ticket(build_dir() + "/bin/vandrel-ticket", tool);
    EXPECT_EQ(ticket.wait_exit(), 7);
    EXPECT_EQ(ticket.next_line(),
              "vandrel-ticket: cannot connect: the broker belongs to another user");
    // Nothing was sent: the broker, which serves root, saw two sessions
    // without a command.
    EXPECT_FALSE(broker.wait_for_prefix("[vandrel] <- ", 300ms));
}

// 200 connections of another user write one line; the broker serves its own
// user next. (The count that follows a minute later: refusal_log_test.)
TEST(PeerCheck, ARefusedUsersFloodWritesOneLine) {
    if (auto why = second_user_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    constexpr int FLOOD = 200;
    Broker env(standin());
    TcpBroker broker(env.spawn({"127.0.0.1:0"}, {}));
    const std::uint16_t port = broker.port();
    const int closed = run_as_other_user([&] {
        int n = 0;
        for (int i = 0; i < FLOOD; ++i) {
            Fd fd = connect_to("127.0.0.1", port);
            n += fd.valid() && reads_eof(fd.get(), LINE_TIMEOUT) ? 1 : 0;
        }
        return n == FLOOD ? 0 : 1;
    });
    EXPECT_EQ(closed, 0) << "each connection is closed without a byte";
    expect_refused(broker.process());
    Fd own = broker.connect(); // its "accepted" line is the next
    EXPECT_EQ(broker.process().lines().size(), 3u)
        << ::testing::PrintToString(broker.process().lines());
}

} // namespace
} // namespace vandrel::test
