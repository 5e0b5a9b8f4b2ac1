// Who owns a broker's end of a connection, as the client library looks it up:
// an end that is not yet a socket of a user's never passes for root's, and a
// broker that closes a local client's connection (as one that cannot check
// its peers does) is a closed link to the client, never another user's
// broker, whether it closed before the client looked up its owner or after.
#include "common/peer.h"
#include "e2e.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vandrel::test {
namespace {

// A listener on 127.0.0.1 with a port of the system's choice.
Fd listen_loopback(std::uint16_t& port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd.get(), 4) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fd();
    port = ntohs(addr.sin_port);
    return fd;
}

// Waits until `fd` shows `events`.
bool wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, static_cast<int>(LINE_TIMEOUT / 1ms)) == 1;
}

// The owner of the other end of `client`, looked up as the client library
// does, once the other end is no longer a full socket of a user: its close
// is acknowledged, so only a time-wait entry or nothing stands for it.
vd_peer_owner owner_once_gone(int client) {
    const auto deadline = Clock::now() + LINE_TIMEOUT;
    vd_peer_owner owner = vd_peer_lookup(client, 1);
    while (owner.result == VD_PEER_FOUND && Clock::now() < deadline) {
        ::usleep(1000);
        owner = vd_peer_lookup(client, 1);
    }
    return owner;
}

// A listener that defers accepting until data comes keeps its end of a new
// connection a half-open request, which the table lists with uid 0: it is
// nobody's, and certainly not root's, however long the client waits.
TEST(PeerLookup, AHalfOpenEndIsNobodys) {
    std::uint16_t port = 0;
    Fd listener = listen_loopback(port);
    ASSERT_TRUE(listener.valid());
    const int defer_seconds = 30;
    ASSERT_EQ(::setsockopt(listener.get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_seconds,
                           sizeof defer_seconds),
              0);
    Fd client = connect_tcp(port);
    ASSERT_TRUE(client.valid());
    const vd_peer_owner owner = vd_peer_lookup(client.get(), 1);
    EXPECT_EQ(owner.result, VD_PEER_GONE) << "uid " << owner.uid;
}

// The broker's end closed, by an orderly close or by a reset, before the
// client looks up who owns it: the connection is closed, not a stranger's.
TEST(PeerLookup, AnEndClosedBeforeTheLookupIsAClosedConnection) {
    std::uint16_t port = 0;
    Fd listener = listen_loopback(port);
    ASSERT_TRUE(listener.valid());
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        Fd client = connect_tcp(port);
        ASSERT_TRUE(client.valid());
        {
            Fd broker(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ASSERT_TRUE(broker.valid());
            ASSERT_EQ(vd_peer_lookup(client.get(), 1).result, VD_PEER_FOUND) << "while it is open";
            EXPECT_EQ(vd_peer_lookup(client.get(), 1).uid, ::getuid());
            if (reset) {
                linger now{1, 0};
                ASSERT_EQ(::setsockopt(broker.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now), 0);
            }
        }
        ASSERT_TRUE(wait_for(client.get(), POLLRDHUP)) << "the close did not arrive";
        EXPECT_EQ(owner_once_gone(client.get()).result, VD_PEER_CLOSED);
    }
}

// The broker closes the link after the check, while a ticket is asked for:
// vandrel-ticket says the link closed, with the hint that the broker's log
// confirms, and exits with the link's status.
TEST(PeerLookup, VandrelTicketHintsWhyABrokerClosesTheLink) {
    std::uint16_t port = 0;
    Fd listener = listen_loopback(port);
    ASSERT_TRUE(listener.valid());
    std::thread broker([&] {
        Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        // Everything the tool sends is read, up to its ticket request, so
        // that the close is an orderly one and not a reset.
        std::string got;
        char buf[512];
        while (conn.valid() && got.find("vd_connect") == std::string::npos) {
            const ssize_t n = ::read(conn.get(), buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    Spawn tool;
    tool.args = {"--broker",  "127.0.0.1:" + std::to_string(port),
                 "--gamedir", "cstrike",
                 "--server",  "1.2.3.4:27015"};
    tool.pipe_stdin = false;
    Process ticket(build_dir() + "/bin/vandrel-ticket", tool);
    EXPECT_EQ(ticket.wait_exit(), 5);
    broker.join();
    EXPECT_EQ(ticket.rest_of_lines(),
              (std::vector<std::string>{
                  "vandrel-ticket: no ticket: the broker closed the link",
                  "vandrel-ticket: hint: a broker that cannot tell which user a client runs as "
                  "closes every local connection (its log says so in a WARNING line when it "
                  "starts); connect to its Unix socket, or start it with "
                  "--allow-unchecked-peers"}));
}

} // namespace
} // namespace vandrel::test
