// A broker that serves several clients at once (`--clients N`), end to end on
// the stand-in runtime: sessions side by side, each with its own child and
// tickets and with its lines tagged by its number; the client beyond N, which
// waits; a session's end that leaves the others alone; and the broker's stop,
// by "vd_terminate" or by a signal, which ends every session's tickets.
#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

const std::string SERVER_1 = "1.2.3.4:27015";
const std::string SERVER_2 = "5.6.7.8:27015";

// "[vandrel] #K " and the line of session K.
std::string tagged(int k, std::string_view line) {
    return std::string(LOG_PREFIX) + "#" + std::to_string(k) + " " + std::string(line);
}

// A broker on the stand-in that serves `clients` clients at once.
class ManyBroker {
  public:
    explicit ManyBroker(unsigned clients, const Env& env = {})
        : env_(standin()),
          tcp_(env_.spawn({"127.0.0.1:0", "--clients", std::to_string(clients)}, env)) {}

    Process& process() { return tcp_.process(); }
    const Broker& env() const { return env_; }

    // A connection to the broker, not yet accepted.
    Fd connect() { return connect_tcp(tcp_.port()); }
    // A connection whose session, the `k`th accepted, is open.
    Fd open(int k) {
        Fd fd = connect();
        wait_line(k, "session open on tcp 127.0.0.1:" + std::to_string(local_port(fd.get())));
        return fd;
    }
    // Waits until session `k` has written `line` for the `nth` time.
    void wait_line(int k, std::string_view line, long nth = 1) {
        const std::string want = tagged(k, line);
        while (std::count(process().lines().begin(), process().lines().end(), want) < nth)
            ASSERT_TRUE(process().next_line()) << "missing: " << want << "\n" << transcript();
    }
    // The lines read so far that session `k` wrote, without its tag.
    std::vector<std::string> lines_of(int k) {
        const std::string tag = tagged(k, "");
        std::vector<std::string> out;
        for (const std::string& line : process().lines())
            if (line.starts_with(tag))
                out.push_back(line.substr(tag.size()));
        return out;
    }
    std::string transcript() {
        std::string out;
        for (const std::string& line : process().lines())
            out += "  " + line + "\n";
        return out;
    }

  private:
    Broker env_;
    TcpBroker tcp_;
};

// Sends one command.
void send(const Fd& client, std::string_view payload) {
    write_bytes(client.get(), frame_of(payload));
}
// Sends one command and reads its reply.
std::optional<Bytes> ask(const Fd& client, std::string_view payload) {
    send(client, payload);
    return read_frame(client.get());
}
// Session `k` on `client` activates cstrike and waits for its child.
void activate(ManyBroker& broker, const Fd& client, int k, long nth = 1) {
    send(client, "vd_gamedir cstrike");
    broker.wait_line(k, ready_line(10), nth);
}
// "vd_connect" for `server` with challenge `challenge`.
std::string connect_to(const std::string& server, int challenge) {
    return "vd_connect " + server + " 1 1 " + std::to_string(challenge);
}

// B gets a ticket while A holds an idle session, then A gets its own; each
// from a child of its own, even for the same game. Each session's lines, its
// child's included, carry its number; the broker's own lines carry none.
TEST(ManyClients, TwoSessionsAreServedAtOnceEachWithItsOwnChildAndTag) {
    ManyBroker broker(2);
    Fd a = broker.open(1);
    const std::string a_peer = "127.0.0.1:" + std::to_string(local_port(a.get()));
    activate(broker, a, 1);
    Fd b = broker.open(2);
    const std::string b_peer = "127.0.0.1:" + std::to_string(local_port(b.get()));
    activate(broker, b, 2);
    EXPECT_EQ(ask(b, connect_to(SERVER_2, 22)), expected_reply(22, IP_5_6_7_8, 27015, 1));
    EXPECT_EQ(ask(a, connect_to(SERVER_1, 11)), expected_reply(11, IP_1_2_3_4, 27015, 1));
    EXPECT_EQ(child_pids(broker.process().pid()).size(), 2u);
    a.reset();
    broker.wait_line(1, reaped_line(10));
    EXPECT_EQ(ask(b, connect_to(SERVER_2, 23)), expected_reply(23, IP_5_6_7_8, 27015, 1));
    b.reset();
    broker.wait_line(2, reaped_line(10));

    // Each session's story, in its own lines.
    auto story = [&](int k) {
        std::vector<std::string> out;
        for (const std::string& l : broker.lines_of(k))
            if (l.starts_with("accepted") || l.starts_with("child: initiate_game_connection") ||
                l.starts_with("-> ticket") || l.starts_with("session ended"))
                out.push_back(l.substr(0, l.find(" sid=")));
        return out;
    };
    const std::string initiate_1 = "child: initiate_game_connection " + SERVER_1;
    const std::string initiate_2 = "child: initiate_game_connection " + SERVER_2;
    const std::string ended = "session ended, awaiting next connection";
    EXPECT_EQ(story(1), (std::vector<std::string>{"accepted " + a_peer, initiate_1,
                                                  "-> ticket 240 bytes for challenge 11", ended}))
        << broker.transcript();
    EXPECT_EQ(story(2),
              (std::vector<std::string>{"accepted " + b_peer, initiate_2,
                                        "-> ticket 240 bytes for challenge 22", initiate_2,
                                        "-> ticket 240 bytes for challenge 23", ended}))
        << broker.transcript();
    for (const std::string& line : broker.process().lines()) {
        const bool session = line.starts_with(tagged(1, "")) || line.starts_with(tagged(2, ""));
        const bool broker_wide = line.starts_with("[vandrel] listening on ");
        // The rest is the runtime's own ("libsteam_api stand-in: ...").
        EXPECT_TRUE(session || broker_wide || !line.starts_with(LOG_PREFIX)) << line;
    }
}

// With both places taken, the third client waits in the listen backlog: it is
// not accepted while the others are served, and its session opens, with the
// next number, once one of them has ended.
TEST(ManyClients, TheClientBeyondTheLimitWaitsUntilASessionEnds) {
    ManyBroker broker(2);
    Fd a = broker.open(1);
    Fd b = broker.open(2);
    Fd c = broker.connect();
    ASSERT_TRUE(c.valid());
    send(c, "vd_status 3");
    // A round trip of each session after the third client connected.
    for (const Fd* client : {&a, &b})
        EXPECT_TRUE(ask(*client, "vd_status 1")) << broker.transcript();
    broker.wait_line(2, "-> status for challenge 1");
    EXPECT_TRUE(broker.lines_of(3).empty()) << broker.transcript();

    b.reset();
    broker.wait_line(2, "session ended, awaiting next connection");
    std::optional<Bytes> status = read_frame(c.get());
    ASSERT_TRUE(status) << broker.transcript();
    EXPECT_TRUE(as_chars(*status).starts_with("vd_status\n"));
    broker.wait_line(3, "session open on tcp 127.0.0.1:" + std::to_string(local_port(c.get())));
}

// One session's child killed from outside: the other session's child and
// tickets go on working, and the first session starts a fresh child.
TEST(ManyClients, AChildKilledInOneSessionLeavesTheOtherSessionAlone) {
    ManyBroker broker(2);
    Fd a = broker.open(1);
    activate(broker, a, 1);
    const std::vector<pid_t> a_child = child_pids(broker.process().pid());
    ASSERT_EQ(a_child.size(), 1u);
    Fd b = broker.open(2);
    activate(broker, b, 2);
    EXPECT_EQ(ask(b, connect_to(SERVER_2, 1)), expected_reply(1, IP_5_6_7_8, 27015, 1));

    ASSERT_EQ(::kill(a_child[0], SIGKILL), 0);
    ASSERT_TRUE(wait_dead(a_child[0], LINE_TIMEOUT));
    EXPECT_EQ(ask(b, connect_to(SERVER_2, 2)), expected_reply(2, IP_5_6_7_8, 27015, 1));
    activate(broker, a, 1, 2);
    EXPECT_EQ(ask(a, connect_to(SERVER_1, 3)), expected_reply(3, IP_1_2_3_4, 27015, 1));
    EXPECT_EQ(child_pids(broker.process().pid()).size(), 2u);
}

constexpr std::string_view CANCEL = "SteamAPI_ISteamUser_CancelAuthTicket ";

// Two sessions that hold tickets: A a game connection to SERVER_1 and a
// session ticket, B a game connection to SERVER_2. Their children's pids.
std::vector<pid_t> hold_tickets(ManyBroker& broker, Fd& a, Fd& b) {
    a = broker.open(1);
    activate(broker, a, 1);
    b = broker.open(2);
    activate(broker, b, 2);
    EXPECT_EQ(ask(a, connect_to(SERVER_1, 1)), expected_reply(1, IP_1_2_3_4, 27015, 1));
    std::optional<Bytes> session_ticket = ask(a, "vd_ticket session - 2");
    EXPECT_TRUE(session_ticket && as_chars(*session_ticket).starts_with("vd_ticket\n"));
    EXPECT_EQ(ask(b, connect_to(SERVER_2, 3)), expected_reply(3, IP_5_6_7_8, 27015, 1));
    return child_pids(broker.process().pid());
}

// What a broker that stopped with A's and B's tickets held has done: each
// session logged its own end, Steam heard of every ended game connection and
// the cancelled session ticket, and no child or scratch directory is left.
void expect_every_ticket_ended(ManyBroker& broker, const std::vector<pid_t>& children) {
    const std::string stops = "the broker stops, ending the session";
    EXPECT_TRUE(
        in_order(broker.lines_of(1), {stops, "cleaning up dangling ticket for " + SERVER_1,
                                      "cancelling dangling auth ticket 1", reaped_line(10)}))
        << broker.transcript();
    EXPECT_TRUE(in_order(broker.lines_of(2),
                         {stops, "cleaning up dangling ticket for " + SERVER_2, reaped_line(10)}))
        << broker.transcript();
    std::vector<std::string> ended = broker.env().calls(TERMINATE);
    std::sort(ended.begin(), ended.end());
    EXPECT_EQ(ended, (std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015),
                                               terminate_call(IP_5_6_7_8, 27015)}));
    EXPECT_EQ(broker.env().calls(CANCEL).size(), 1u);
    EXPECT_EQ(scratch_dirs(broker.env().tmpdir()), std::vector<std::string>{});
    EXPECT_EQ(children.size(), 2u);
    for (pid_t child : children)
        EXPECT_FALSE(process_exists(child)) << "child " << child << " outlived the broker";
}

// "vd_terminate" from a third session stops the broker: the other two end as
// if their clients had gone, then the broker exits 0.
TEST(ManyClients, TerminateFromOneSessionEndsTheOthersCleanly) {
    ManyBroker broker(3);
    Fd a, b;
    const std::vector<pid_t> children = hold_tickets(broker, a, b);
    Fd c = broker.open(3);
    send(c, "vd_terminate");
    EXPECT_EQ(broker.process().wait_exit(), 0);
    (void)broker.process().rest_of_lines();
    for (int k : {1, 2})
        EXPECT_TRUE(in_order(broker.process().lines(),
                             {tagged(3, "<- vd_terminate"), "[vandrel] vd_terminate \u2014 exiting",
                              tagged(k, reaped_line(10))}))
            << broker.transcript();
    expect_every_ticket_ended(broker, children);
}

// SIGTERM to a broker with two sessions, and SIGHUP to a stdio broker: every
// ticket ends before the broker ends by the signal, after one line that says
// why.
TEST(ManyClients, AStopSignalEndsEveryTicketFirst) {
    {
        ManyBroker broker(2);
        Fd a, b;
        const std::vector<pid_t> children = hold_tickets(broker, a, b);
        ASSERT_EQ(::kill(broker.process().pid(), SIGTERM), 0);
        EXPECT_EQ(broker.process().wait_exit(), 128 + SIGTERM);
        (void)broker.process().rest_of_lines();
        EXPECT_TRUE(
            in_order(broker.process().lines(), {"[vandrel] stopping on SIGTERM",
                                                tagged(1, "the broker stops, ending the session")}))
            << broker.transcript();
        expect_every_ticket_ended(broker, children);
        EXPECT_TRUE(reads_eof(a.get(), LINE_TIMEOUT) && reads_eof(b.get(), LINE_TIMEOUT));
    }
    auto c = Client::stdio(standin());
    c->activate_cstrike();
    c->command(connect_to(SERVER_1, 77), {"-> ticket 240 bytes for challenge 77"});
    ASSERT_TRUE(c->reply());
    ASSERT_EQ(::kill(c->process().pid(), SIGHUP), 0);
    c->expect({"stopping on SIGHUP", "the broker stops, ending the session",
               "cleaning up dangling ticket for " + SERVER_1, reaped_line(10)});
    EXPECT_EQ(c->process().wait_exit(), 128 + SIGHUP);
    EXPECT_EQ(c->broker().calls(TERMINATE),
              std::vector<std::string>{terminate_call(IP_1_2_3_4, 27015)});
    EXPECT_EQ(scratch_dirs(c->broker().tmpdir()), std::vector<std::string>{});
}

// "--clients" is for a listening broker, from 1 to 64.
TEST(ManyClients, TheClientsOptionOnlyWhereItApplies) {
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const std::string unparsed = "[vandrel] fatal: failed to parse \"clients\"";
    const std::vector<Case> cases = {
        {{"--stdio", "--clients", "2"},
         "[vandrel] fatal: --clients applies only to a listening broker, not to --stdio"},
        {{"--clients", "2", "--child", "10"},
         "[vandrel] fatal: --clients applies only to a listening broker, not to --child"},
        {{"127.0.0.1:0", "--clients", "0"}, unparsed},
        {{"127.0.0.1:0", "--clients", "65"}, unparsed},
        {{"127.0.0.1:0", "--clients", "+2"}, unparsed},
        {{"127.0.0.1:0", "--clients"}, unparsed},
    };
    Broker env(standin());
    for (const Case& c : cases) {
        Process p(env.spawn(c.args, {}));
        p.close_stdin();
        EXPECT_EQ(p.rest_of_lines(), std::vector<std::string>{c.line}) << c.args[1];
        EXPECT_EQ(p.wait_exit(), 1) << c.args[1];
    }
    Process most(env.spawn({"127.0.0.1:0", "--clients", "64"}, {}));
    EXPECT_TRUE(most.wait_for_prefix("[vandrel] listening on 127.0.0.1:"));
}

} // namespace
} // namespace vandrel::test
