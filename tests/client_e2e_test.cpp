// The client library against the real broker with the stand-in Steam
// runtime: over TCP, over the broker's Unix socket and the default address
// order, and over a private broker that the library starts.
#include "client_harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace vandrel::test {
namespace {

constexpr int READY_WAIT_MS = VANDREL_FIRST_TICKET_TIMEOUT_MS;

bool is_cloexec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

std::string fd_target(pid_t pid, int fd) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec);
    return target.string();
}

std::vector<pid_t> my_children() {
    return child_pids(::getpid());
}

// The one child process started since `before`, or -1.
pid_t new_child(const std::vector<pid_t>& before) {
    std::vector<pid_t> added;
    for (pid_t pid : my_children())
        if (std::find(before.begin(), before.end(), pid) == before.end())
            added.push_back(pid);
    EXPECT_EQ(added.size(), 1u);
    return added.size() == 1 ? added[0] : -1;
}

// ---------------------------------------------------------------------------
// Against the real broker over TCP.

// A TCP broker on the stand-in and a client of it.
class ClientTcp : public ::testing::Test {
  protected:
    // Starts the broker with `extra` in its environment.
    void start_broker(const Env& extra = {}) {
        env_ = std::make_unique<BrokerEnv>(extra);
        broker_ = std::make_unique<TcpBroker>(env_->spawn({"127.0.0.1:0"}));
    }
    std::string address() { return "127.0.0.1:" + std::to_string(broker_->port()); }
    Process& broker() { return broker_->process(); }
    // The client connects and activates cstrike; the broker's child is ready.
    void connect_and_activate() {
        ASSERT_EQ(vandrel_connect(client_.out(), address().c_str(), 5000), VANDREL_OK);
        activate();
    }
    void activate() {
        ASSERT_EQ(vandrel_activate_gamedir(client_.get(), "cstrike"), VANDREL_OK);
        ASSERT_TRUE(broker().wait_for_line("[vandrel] " + ready_line(10), 30s));
    }

    std::unique_ptr<BrokerEnv> env_;
    std::unique_ptr<TcpBroker> broker_;
    LibClient client_;
};

TEST_F(ClientTcp, TicketEndAndTerminate) {
    start_broker();
    std::string addr = address();
    std::set<int> before = open_fd_numbers();
    ASSERT_EQ(vandrel_connect(client_.out(), addr.c_str(), 5000), VANDREL_OK);
    std::vector<int> opened = fds_opened_since(before);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(is_cloexec(opened[0]));
    ASSERT_TRUE(broker().wait_for_prefix("[vandrel] session open on tcp 127.0.0.1:"));
    ASSERT_NO_FATAL_FAILURE(activate());

    TicketBuf ticket;
    auto first = request_for("10.0.0.5:27015", 90071992547409920ULL, 1, 77);
    ASSERT_EQ(vandrel_request_ticket(client_.get(), &first, 8000, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.t.steam_id, USER_STEAM_ID);
    EXPECT_EQ(ticket.bytes(), ticket_for(0x0A000005, 27015, 90071992547409920ULL));
    EXPECT_TRUE(broker().wait_for_line("[vandrel] -> ticket 240 bytes for challenge 77"));

    // A negative challenge travels as its two's complement and still matches.
    auto second = request_for("192.168.1.20:27016", 0, 0, -1);
    ASSERT_EQ(vandrel_request_ticket(client_.get(), &second, 8000, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), ticket_for(0xC0A80114, 27016, 0));
    EXPECT_TRUE(broker().wait_for_line("[vandrel] -> ticket 240 bytes for challenge -1"));

    ASSERT_EQ(vandrel_end_ticket(client_.get(), "192.168.1.20:27016", -1), VANDREL_OK);
    EXPECT_TRUE(
        broker().wait_for_line("[vandrel] child: terminate_game_connection 192.168.1.20:27016"));

    ASSERT_EQ(vandrel_terminate(client_.get()), VANDREL_OK);
    EXPECT_TRUE(broker().wait_for_line("[vandrel] vd_terminate \xE2\x80\x94 exiting"));
    EXPECT_EQ(broker().wait_exit(), 0);
    EXPECT_EQ(client_.close(), VANDREL_OK);
    EXPECT_EQ(vandrel_close(nullptr), VANDREL_OK) << "closing nothing does nothing";
}

TEST_F(ClientTcp, RefusedTicketIsReportedAtOnce) {
    start_broker({{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
    ASSERT_NO_FATAL_FAILURE(connect_and_activate());

    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 1, 1, 5);
    auto start = Clock::now();
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &request, 8000, &ticket.t), VANDREL_ERR_BROKER);
    EXPECT_LT(elapsed_ms(start), 4000);
    EXPECT_STREQ(vandrel_broker_error(client_.get()),
                 "vd_connect: steam refused to issue auth ticket");
    EXPECT_TRUE(
        broker().wait_for_line("[vandrel] command error: steam refused to issue auth ticket"));
}

TEST_F(ClientTcp, LateReplyIsDiscarded) {
    // Each ticket takes 1.5 s: longer than the first caller waits, shorter
    // than the broker's own limit, so the broker does send the late reply.
    start_broker({{"VANDREL_STANDIN_TICKET_DELAY_MS", "1500"}});
    ASSERT_NO_FATAL_FAILURE(connect_and_activate());

    TicketBuf ticket;
    auto given_up = request_for("10.0.0.1:1000", 11, 1, 1);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &given_up, 300, &ticket.t),
              VANDREL_ERR_TIMEOUT);

    auto fresh = request_for("10.0.0.2:2000", 22, 1, 2);
    ASSERT_EQ(vandrel_request_ticket(client_.get(), &fresh, 10000, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), ticket_for(0x0A000002, 2000, 22));
    EXPECT_NE(ticket.bytes(), ticket_for(0x0A000001, 1000, 11));
    // Both replies went out, the late one first: it was there to be mistaken.
    EXPECT_TRUE(broker().wait_for_line("[vandrel] -> ticket 240 bytes for challenge 1"));
    EXPECT_TRUE(broker().wait_for_line("[vandrel] -> ticket 240 bytes for challenge 2"));
}

TEST_F(ClientTcp, BrokerGoneIsReportedAtOnce) {
    start_broker();
    ASSERT_NO_FATAL_FAILURE(connect_and_activate());
    broker().kill_now();

    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 1, 1, 5);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto start = Clock::now();
        EXPECT_EQ(vandrel_request_ticket(client_.get(), &request, 5000, &ticket.t),
                  VANDREL_ERR_CLOSED)
            << "attempt " << attempt;
        EXPECT_LT(elapsed_ms(start), 2000) << "attempt " << attempt;
    }
}

// Sets or removes environment variables for one scope, and puts them back.
class ScopedEnv {
  public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    // `value` nullopt removes the variable.
    void set(const std::string& name, std::optional<std::string> value) {
        if (saved_.find(name) == saved_.end()) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// A listening socket on 127.0.0.1:`port`, or an invalid Fd when it is taken.
Fd listen_on(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    int one = 1;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 4) != 0)
        return Fd();
    return fd;
}

// The first frame a client sent to `listener`: each open function's first
// words, "vd_errors on", show where the client went.
std::optional<Bytes> first_frame_at(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1)
        return std::nullopt;
    Fd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return read_frame(conn.get());
}

// With no address the client tries $VANDREL_BROKER, then the broker's
// socket in $XDG_RUNTIME_DIR, then 127.0.0.1:27420.
TEST(ClientConnect, UnixSocketAndTheDefaultAddressOrder) {
    BrokerEnv env;
    TempDir runtime;
    const std::string dir = runtime.path() + "/vandrel";
    std::filesystem::create_directory(dir);
    const std::string socket = dir + "/socket";
    Process broker(env.spawn({"unix:" + socket}));
    ASSERT_EQ(broker.next_line(), "[vandrel] listening on unix:" + socket);
    const std::string own = "[vandrel] session open on unix pid " + std::to_string(::getpid()) +
                            " uid " + std::to_string(::getuid());

    LibClient client;
    ASSERT_EQ(vandrel_connect(client.out(), ("unix:" + socket).c_str(), 2000), VANDREL_OK);
    EXPECT_TRUE(broker.wait_for_line(own));
    ASSERT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_OK);
    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 123, 1, 31);
    ASSERT_EQ(vandrel_request_ticket(client.get(), &request, READY_WAIT_MS, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), ticket_for(0x0A000005, 27015, 123));
    EXPECT_EQ(client.close(), VANDREL_OK);

    ScopedEnv vars;
    vars.set("VANDREL_BROKER", std::nullopt);
    vars.set("XDG_RUNTIME_DIR", runtime.path());
    ASSERT_EQ(vandrel_connect(client.out(), nullptr, 2000), VANDREL_OK);
    EXPECT_TRUE(broker.wait_for_line(own)) << "the runtime directory's socket";
    EXPECT_EQ(client.close(), VANDREL_OK);

    const std::uint16_t port = free_port();
    Fd elsewhere = listen_on(port);
    ASSERT_TRUE(elsewhere.valid());
    vars.set("VANDREL_BROKER", "127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(vandrel_connect(client.out(), nullptr, 2000), VANDREL_OK);
    EXPECT_EQ(first_frame_at(elsewhere.get()), bytes_of("vd_errors on"))
        << "$VANDREL_BROKER comes first";
    EXPECT_EQ(client.close(), VANDREL_OK);

    vars.set("VANDREL_BROKER", "");
    vars.set("XDG_RUNTIME_DIR", dir); // holds no vandrel/socket
    Fd fallback = listen_on(27420);
    if (!fallback.valid()) {
        std::cout << "127.0.0.1:27420 is taken here: the last step is not checked\n";
        return;
    }
    ASSERT_EQ(vandrel_connect(client.out(), nullptr, 2000), VANDREL_OK);
    EXPECT_EQ(first_frame_at(fallback.get()), bytes_of("vd_errors on"))
        << "the default TCP address comes last";
}

// ---------------------------------------------------------------------------
// Without blocking: the README's game loop, built as the file it shows.

// The frames the example drew while its ticket was on its way.
long frames_drawn(const std::string& output) {
    const std::string label = "frames drawn meanwhile: ";
    std::size_t at = output.find(label);
    return at == std::string::npos ? -1 : std::stol(output.substr(at + label.size()));
}

TEST(ClientPollLoop, TheReadmesExampleDrawsWhileItsTicketComes) {
    std::istringstream example(
        read_file(std::string(VANDREL_SOURCE_DIR) + "/client/examples/poll_loop.c"));
    std::string shown; // as a Markdown code block shows it
    for (std::string line; std::getline(example, line);)
        shown += line.empty() ? "\n" : "    " + line + "\n";
    ASSERT_GT(shown.size(), 1000u);
    EXPECT_NE(read_file(std::string(VANDREL_SOURCE_DIR) + "/README.md").find(shown),
              std::string::npos)
        << "the README shows client/examples/poll_loop.c as it is";

    // Each ticket takes 300 ms, many frames' time.
    BrokerEnv env(Env{{"VANDREL_STANDIN_TICKET_DELAY_MS", "300"}});
    TcpBroker broker(env.spawn({"127.0.0.1:0"}));
    Spawn options = env.spawn({});
    options.env["VANDREL_BROKER"] = "127.0.0.1:" + std::to_string(broker.port());
    Process game(VANDREL_POLL_LOOP_EXAMPLE, options);
    const std::string output = read_to_end(game.stdout_fd(), 30s);
    EXPECT_EQ(game.wait_exit(30s), 0) << output;
    std::cout << output;
    EXPECT_TRUE(
        output.starts_with("ticket: 240 bytes for steamid " + std::to_string(USER_STEAM_ID) + "\n"))
        << output;
    EXPECT_GT(frames_drawn(output), 1) << "the loop went on while the broker worked";
    EXPECT_TRUE(broker.process().wait_for_line("[vandrel] -> ticket 240 bytes for challenge 77"));
    // Queued after the ticket came, and written by vandrel_close.
    EXPECT_TRUE(broker.process().wait_for_line(
        "[vandrel] child: terminate_game_connection 10.0.0.5:27015"));
    EXPECT_TRUE(broker.process().wait_for_line("[vandrel] peer closed the connection"));
}

// ---------------------------------------------------------------------------
// Against a private broker that the library starts.

TEST(ClientSpawn, TicketFromPrivateBroker) {
    BrokerEnv env;
    std::vector<pid_t> children_before = my_children();
    std::set<int> before = open_fd_numbers();
    LibClient client;
    ASSERT_EQ(vandrel_spawn(client.out(), broker_path().c_str(), env.envp()), VANDREL_OK);

    std::vector<int> opened = fds_opened_since(before);
    ASSERT_EQ(opened.size(), 2u);
    for (int fd : opened)
        EXPECT_TRUE(is_cloexec(fd)) << fd;
    pid_t pid = new_child(children_before);
    ASSERT_GT(pid, 0);

    // The broker holds one end of each pipe, on 0 and 1, and nothing else of ours.
    std::set<std::string> ours;
    for (int fd : opened)
        ours.insert(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string());
    for (const auto& line : open_fds(pid)) {
        int fd = std::stoi(line.substr(0, line.find(' ')));
        if (ours.count(fd_target(pid, fd)) != 0) {
            EXPECT_TRUE(fd == 0 || fd == 1) << "broker inherited " << line;
        }
    }

    ASSERT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_OK);
    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 90071992547409920ULL, 1, 123456);
    ASSERT_EQ(vandrel_request_ticket(client.get(), &request, READY_WAIT_MS, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.t.steam_id, USER_STEAM_ID);
    EXPECT_EQ(ticket.bytes(), ticket_for(0x0A000005, 27015, 90071992547409920ULL));
    EXPECT_EQ(vandrel_end_ticket(client.get(), "10.0.0.5:27015", 123456), VANDREL_OK);

    EXPECT_EQ(client.close(), VANDREL_OK);
    EXPECT_EQ(my_children(), children_before) << "the broker is reaped";
}

vandrel_auth_request auth_request(vandrel_ticket_kind kind, const char* identity,
                                  std::int32_t challenge) {
    vandrel_auth_request r{};
    r.kind = kind;
    r.identity = identity;
    r.challenge = challenge;
    return r;
}

TEST(ClientSpawn, AuthTicketsOfEveryKind) {
    BrokerEnv env;
    LibClient client;
    ASSERT_EQ(vandrel_spawn(client.out(), broker_path().c_str(), env.envp()), VANDREL_OK);
    EXPECT_EQ(vandrel_activate_appid(client.get(), 0), VANDREL_ERR_ARGUMENT);
    ASSERT_EQ(vandrel_activate_appid(client.get(), 480), VANDREL_OK);

    TicketBuf ticket;
    std::uint32_t handle = 99;
    auto session = auth_request(VANDREL_TICKET_SESSION, "steamid:76561197960287931", 1);
    ASSERT_EQ(
        vandrel_request_auth_ticket(client.get(), &session, READY_WAIT_MS, &ticket.t, &handle),
        VANDREL_OK);
    EXPECT_EQ(handle, 1u);
    EXPECT_EQ(ticket.t.steam_id, USER_STEAM_ID);
    EXPECT_EQ(ticket.bytes(), auth_ticket_for(1));

    auto web = auth_request(VANDREL_TICKET_WEBAPI, nullptr, -2);
    ASSERT_EQ(vandrel_request_auth_ticket(client.get(), &web, 8000, &ticket.t, &handle),
              VANDREL_OK);
    EXPECT_EQ(handle, 2u);
    EXPECT_EQ(ticket.bytes(), auth_ticket_for((1ULL << 32) + 2));

    const unsigned char data[] = {0x00, 0xAB, 0xFF};
    auto app = auth_request(VANDREL_TICKET_APP, nullptr, 3);
    app.data = data;
    app.data_len = sizeof data;
    ASSERT_EQ(vandrel_request_auth_ticket(client.get(), &app, 8000, &ticket.t, &handle),
              VANDREL_OK);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(ticket.bytes(), auth_ticket_for((1ULL << 33) + 3));

    EXPECT_EQ(vandrel_cancel_ticket(client.get(), 2), VANDREL_OK);
    // The cancel was carried out before the next request, which fails at once.
    auto refused = auth_request(VANDREL_TICKET_SESSION, "nobody", 4);
    EXPECT_EQ(vandrel_request_auth_ticket(client.get(), &refused, 8000, &ticket.t, &handle),
              VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client.get()), "vd_ticket: failed to parse \"identity\"");
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_CancelAuthTicket "),
              std::vector<std::string>{"SteamAPI_ISteamUser_CancelAuthTicket handle=2 known=1"});
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_RequestEncryptedAppTicket ")
                  .at(0)
                  .find("len=3 data=00abff "),
              std::string("SteamAPI_ISteamUser_RequestEncryptedAppTicket ").size());

    // Malformed requests are refused before anything is sent.
    auto spaced = auth_request(VANDREL_TICKET_WEBAPI, "a b", 5);
    EXPECT_EQ(vandrel_request_auth_ticket(client.get(), &spaced, 8000, &ticket.t, &handle),
              VANDREL_ERR_ARGUMENT);
    auto unknown = auth_request(static_cast<vandrel_ticket_kind>(0), nullptr, 6);
    EXPECT_EQ(vandrel_request_auth_ticket(client.get(), &unknown, 8000, &ticket.t, &handle),
              VANDREL_ERR_ARGUMENT);
    app.data_len = VANDREL_MAX_APP_DATA_LEN + 1;
    EXPECT_EQ(vandrel_request_auth_ticket(client.get(), &app, 8000, &ticket.t, &handle),
              VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(client.close(), VANDREL_OK);
}

TEST(ClientSpawn, SteamThatCannotStartEndsTheRequestAtOnce) {
    BrokerEnv env(Env{{"VANDREL_STANDIN_INIT_RESULT", "1"}});
    LibClient client;
    ASSERT_EQ(vandrel_spawn(client.out(), broker_path().c_str(), env.envp()), VANDREL_OK);
    ASSERT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_OK);
    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 1, 1, 5);
    auto start = Clock::now();
    EXPECT_EQ(vandrel_request_ticket(client.get(), &request, READY_WAIT_MS, &ticket.t),
              VANDREL_ERR_BROKER);
    std::int64_t took = elapsed_ms(start);
    std::printf("[ figure   ] request to failure, Steam cannot start: %lld ms (limit %d ms)\n",
                static_cast<long long>(took), READY_WAIT_MS);
    EXPECT_LT(took, 1000);
    EXPECT_STREQ(vandrel_broker_error(client.get()),
                 "vd_gamedir: steam child failed to initialise");
    EXPECT_EQ(client.close(), VANDREL_OK);
}

TEST(ClientSpawn, RetryAfterFailedActivationGetsItsTicket) {
    // The first child cannot make its scratch directory; the second can.
    TempDir keep;
    const std::string scratch = keep.path() + "/scratch";
    BrokerEnv env(Env{{"TMPDIR", scratch}});
    LibClient client;
    ASSERT_EQ(vandrel_spawn(client.out(), broker_path().c_str(), env.envp()), VANDREL_OK);
    ASSERT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_OK);
    TicketBuf ticket;
    auto first = request_for("10.0.0.5:27015", 1, 1, 5);
    ASSERT_EQ(vandrel_request_ticket(client.get(), &first, READY_WAIT_MS, &ticket.t),
              VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client.get()), "vd_gamedir: steam child exited");

    // The broker still answers the first request, "session not active"
    // without a challenge; the retry must not take that for its own answer.
    ASSERT_TRUE(std::filesystem::create_directory(scratch));
    ASSERT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_OK);
    auto retry = request_for("10.0.0.5:27015", 1, 1, 6);
    ASSERT_EQ(vandrel_request_ticket(client.get(), &retry, READY_WAIT_MS, &ticket.t), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), ticket_for(0x0A000005, 27015, 1));
    EXPECT_STREQ(vandrel_broker_error(client.get()), "");
}

TEST(ClientSpawn, BrokerGoneRaisesNoSigpipe) {
    // SIGPIPE at its default: if the library let it through, this test
    // process would die.
    auto old = ::signal(SIGPIPE, SIG_DFL);
    BrokerEnv env;
    std::vector<pid_t> children_before = my_children();
    LibClient client;
    ASSERT_EQ(vandrel_spawn(client.out(), broker_path().c_str(), env.envp()), VANDREL_OK);
    pid_t pid = new_child(children_before);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(vandrel_terminate(client.get()), VANDREL_OK);
    ASSERT_TRUE(wait_dead(pid, 10s));

    EXPECT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_ERR_CLOSED);
    EXPECT_EQ(vandrel_os_error(client.get()), EPIPE);
    TicketBuf ticket;
    auto request = request_for("10.0.0.5:27015", 1, 1, 5);
    EXPECT_EQ(vandrel_request_ticket(client.get(), &request, 5000, &ticket.t), VANDREL_ERR_CLOSED);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << "no SIGPIPE left pending";

    EXPECT_EQ(client.close(), VANDREL_OK) << "the broker exited with status 0";
    EXPECT_EQ(my_children(), children_before);
    ::signal(SIGPIPE, old);
}

TEST(ClientSpawn, StartFailuresAndFailedBrokers) {
    std::vector<pid_t> children_before = my_children();
    std::set<int> before = open_fd_numbers();
    LibClient client;
    EXPECT_EQ(vandrel_spawn(client.out(), "/nonexistent/vandrel", nullptr), VANDREL_ERR_SPAWN);
    EXPECT_EQ(vandrel_os_error(client.get()), ENOENT);
    EXPECT_TRUE(fds_opened_since(before).empty()) << "the pipes are closed";
    EXPECT_EQ(my_children(), children_before);
    EXPECT_EQ(vandrel_spawn(client.out(), "", nullptr), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_spawn(client.out(), nullptr, nullptr), VANDREL_ERR_ARGUMENT);

    // A program that ends with status 1 ("false", found in PATH).
    ASSERT_EQ(vandrel_spawn(client.out(), "false", nullptr), VANDREL_OK);
    EXPECT_EQ(client.close(), VANDREL_ERR_BROKER_FAILED);
    EXPECT_EQ(my_children(), children_before);
}

} // namespace
} // namespace vandrel::test
