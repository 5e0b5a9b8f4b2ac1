// The client library and vandrel-ticket: against the real broker with the
// stand-in Steam runtime (over TCP and over a spawned stdio broker), and
// against a scripted peer on a socket pair for the replies a real broker never
// sends.
#include "e2e.hpp"
#include "vandrel/client.h"

#include <algorithm>
#include <array>
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
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace vandrel::test {
namespace {

constexpr int READY_WAIT_MS = VANDREL_FIRST_TICKET_TIMEOUT_MS;

std::string tool_path() {
    return build_dir() + "/bin/vandrel-ticket";
}

// The stand-in's ticket of the default length for a server.
Bytes ticket_for(std::uint32_t ip, std::uint16_t port, std::uint64_t server_steam_id) {
    return standin_ticket(ip, port, server_steam_id, DEFAULT_TICKET_LEN);
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// The environment of one broker on the stand-in, as the shared harness makes
// it, also as a whole for vandrel_spawn.
class BrokerEnv {
  public:
    explicit BrokerEnv(const Env& extra = {})
        : options_(broker_.spawn({}, extra)), strings_(environment_of(options_)) {
        for (auto& s : strings_)
            envp_.push_back(s.data());
        envp_.push_back(nullptr);
    }
    BrokerEnv(const BrokerEnv&) = delete;
    BrokerEnv& operator=(const BrokerEnv&) = delete;

    // Options for a process that runs with this environment.
    Spawn spawn(std::vector<std::string> args) const {
        Spawn options = options_;
        options.args = std::move(args);
        return options;
    }
    // The whole environment, for vandrel_spawn.
    char* const* envp() const { return envp_.data(); }
    // The Steam runtime's call log.
    std::string call_log() const { return broker_.call_log(); }

  private:
    Broker broker_{standin()};
    Spawn options_;
    std::vector<std::string> strings_;
    std::vector<char*> envp_;
};

// A vandrel_client that is closed when the test ends.
struct Client {
    vandrel_client* c = nullptr;
    Client() = default;
    ~Client() { vandrel_close(c); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    vandrel_client* get() { return c; }
    // Where an open function stores the client; the one held is closed first.
    vandrel_client** out() {
        vandrel_close(std::exchange(c, nullptr));
        return &c;
    }
    // Closes and releases the client: it is gone afterwards.
    vandrel_status close() { return vandrel_close(std::exchange(c, nullptr)); }
};

// A ticket buffer and its vandrel_ticket.
struct TicketBuf {
    std::array<std::uint8_t, VANDREL_MAX_FRAME_PAYLOAD> buf{};
    vandrel_ticket t{};
    explicit TicketBuf(std::size_t capacity = VANDREL_MAX_FRAME_PAYLOAD) {
        t.data = buf.data();
        t.capacity = capacity;
    }
    Bytes bytes() const { return Bytes(buf.begin(), buf.begin() + static_cast<long>(t.len)); }
};

vandrel_ticket_request request_for(const char* server, std::uint64_t sid, std::int32_t secure,
                                   std::int32_t challenge) {
    vandrel_ticket_request r{};
    r.server = server;
    r.server_steam_id = sid;
    r.secure = secure;
    r.challenge = challenge;
    return r;
}

// The process's open descriptors, without the one that listed them.
std::set<int> open_fd_numbers() {
    std::set<int> listed;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        listed.insert(std::stoi(entry.path().filename().string()));
    std::set<int> out;
    for (int fd : listed)
        if (::fcntl(fd, F_GETFD) >= 0)
            out.insert(fd);
    return out;
}

// The descriptors opened since `before`.
std::vector<int> fds_opened_since(const std::set<int>& before) {
    std::vector<int> out;
    for (int fd : open_fd_numbers())
        if (before.count(fd) == 0)
            out.push_back(fd);
    return out;
}

bool is_cloexec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

std::string fd_target(pid_t pid, int fd) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec);
    return target.string();
}

std::int64_t elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
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

// All of `fd` up to end of input.
std::string read_all(int fd, Clock::duration limit = LINE_TIMEOUT) {
    std::string out;
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return out;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
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
    Client client_;
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

TEST(ClientConnect, FailuresLeaveTheClientClosed) {
    // A port that nobody listens on: bound, then released.
    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    std::set<int> before = open_fd_numbers();
    Client client;
    std::string addr = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(vandrel_connect(client.out(), addr.c_str(), 2000), VANDREL_ERR_CONNECT);
    EXPECT_EQ(vandrel_os_error(client.get()), ECONNREFUSED);
    EXPECT_TRUE(fds_opened_since(before).empty()) << "the failed socket is closed";
    EXPECT_EQ(vandrel_activate_gamedir(client.get(), "cstrike"), VANDREL_ERR_NOT_OPEN);

    const std::string long_path = "unix:/" + std::string(200, 'x');
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", ":27420", "[::1]27420",
                            "127.0.0.1:27a", "[]:1", "unix:", long_path.c_str()}) {
        EXPECT_EQ(vandrel_connect(client.out(), bad, 1000), VANDREL_ERR_ARGUMENT) << bad;
        ASSERT_NE(client.get(), nullptr) << "a failed open still gives a client to close";
    }
    EXPECT_EQ(vandrel_connect(nullptr, nullptr, 1000), VANDREL_ERR_ARGUMENT);

    TempDir dir;
    EXPECT_EQ(vandrel_connect(client.out(), ("unix:" + dir.path() + "/none").c_str(), 1000),
              VANDREL_ERR_CONNECT);
    EXPECT_EQ(vandrel_os_error(client.get()), ENOENT);
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

    Client client;
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
// Against a private broker that the library starts.

TEST(ClientSpawn, TicketFromPrivateBroker) {
    BrokerEnv env;
    std::vector<pid_t> children_before = my_children();
    std::set<int> before = open_fd_numbers();
    Client client;
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

// The stand-in's auth ticket for `seed`: the handle of a session ticket,
// 2^32 + the handle of a web API ticket, 2^33 + the length of an app ticket's data.
Bytes auth_ticket_for(std::uint64_t seed) {
    return standin_ticket(0, 0, seed, DEFAULT_TICKET_LEN);
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
    Client client;
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
    Client client;
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
    Client client;
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
    Client client;
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
    Client client;
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

// ---------------------------------------------------------------------------
// Against a scripted peer: what is sent, and how replies are checked.

// A socket pair: the client on one end, the test as the broker on the other.
class Peer : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mine_.reset(fds[0]);
        theirs_.reset(fds[1]);
        ASSERT_EQ(vandrel_attach(client_.out(), theirs_.get(), theirs_.get(), 0), VANDREL_OK);
        // Every open asks for error replies first. The peer plays a broker
        // without them (it never answers a failure) unless a test sends one.
        ASSERT_EQ(sent(), bytes_of("vd_errors on"));
    }
    // True when the client has sent nothing.
    bool nothing_sent() {
        char c;
        return ::recv(mine_.get(), &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    std::optional<Bytes> sent() { return read_frame(mine_.get(), 2s); }
    void reply(const Bytes& bytes) { write_bytes(mine_.get(), bytes); }
    vandrel_status request(std::int32_t challenge, int timeout_ms, TicketBuf& ticket) {
        auto r = request_for("1.2.3.4:27015", 9, 1, challenge);
        return vandrel_request_ticket(client_.get(), &r, timeout_ms, &ticket.t);
    }

    Fd mine_;
    Fd theirs_;
    Client client_;
};

TEST_F(Peer, BadArgumentsAreRejectedBeforeAnythingIsSent) {
    const std::string longest(VANDREL_MAX_GAMEDIR_LEN, 'a');
    const std::string too_long(VANDREL_MAX_GAMEDIR_LEN + 1, 'a');
    for (const char* bad : {static_cast<const char*>(nullptr), "", "cs strike", "cs\tstrike",
                            "cstrike\n", "caf\xC3\xA9", "a\x7F",
                            "a\x0B"
                            "b",
                            too_long.c_str()}) {
        EXPECT_EQ(vandrel_activate_gamedir(client_.get(), bad), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_check_gamedir(bad), VANDREL_ERR_ARGUMENT) << (bad ? bad : "NULL");
    }
    TicketBuf ticket;
    for (const char* bad : {static_cast<const char*>(nullptr),
                            "",
                            "1.2.3.4",
                            "1.2.3.4:",
                            "1.2.3.4:65536",
                            "256.0.0.1:1",
                            "01.2.3.4:1",
                            "1.2.3.04:1",
                            "1.2.3:1",
                            "1.2.3.4.5:1",
                            "1.2.3.4:80x",
                            " 1.2.3.4:1",
                            "1.2.3.4:1 ",
                            "1.2.3.4:1\n",
                            "localhost:27015",
                            "[::1]:27015",
                            "1.2.3.4:+80",
                            "-1.2.3.4:1",
                            "1.2.3.4:99999999999999999999",
                            "1.2.3.4:-1",
                            "1111.2.3.4:1"}) {
        auto r = request_for(bad, 1, 1, 1);
        EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_end_ticket(client_.get(), bad, 1), VANDREL_ERR_ARGUMENT)
            << (bad ? bad : "NULL");
        EXPECT_EQ(vandrel_check_server(bad), VANDREL_ERR_ARGUMENT) << (bad ? bad : "NULL");
    }
    auto good = request_for("1.2.3.4:27015", 1, 1, 1);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), nullptr, 0, &ticket.t), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &good, 0, nullptr), VANDREL_ERR_ARGUMENT);
    vandrel_ticket no_buffer{nullptr, 16, 0, 0};
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &good, 0, &no_buffer), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_activate_gamedir(nullptr, "cstrike"), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(vandrel_terminate(nullptr), VANDREL_ERR_ARGUMENT);
    EXPECT_TRUE(nothing_sent());

    // The edges that are accepted go out as they were given.
    ASSERT_EQ(vandrel_activate_gamedir(client_.get(), longest.c_str()), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_gamedir " + longest));
    ASSERT_EQ(vandrel_end_ticket(client_.get(), "1.2.3.4:00080", 0), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_disconnect 1.2.3.4:00080 0"));
    for (const char* edge : {"0.0.0.0:0", "255.255.255.255:65535"})
        EXPECT_EQ(vandrel_check_server(edge), VANDREL_OK) << edge;
    EXPECT_TRUE(nothing_sent());
}

TEST_F(Peer, CommandsGoOutAsOneFrameEach) {
    ASSERT_EQ(vandrel_activate_gamedir(client_.get(), "cstrike"), VANDREL_OK);
    auto raw = read_exact(mine_.get(), 6 + 18, 2s);
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(*raw, concat({Bytes{0x56, 0x44, 0x52, 0x4C, 18, 0}, bytes_of("vd_gamedir cstrike")}));

    TicketBuf ticket;
    auto r = request_for("1.2.3.4:27015", 76561197960287930ULL, 1, -5);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_TIMEOUT);
    EXPECT_EQ(sent(), bytes_of("vd_connect 1.2.3.4:27015 76561197960287930 1 -5"));
    r = request_for("10.0.0.1:1", UINT64_MAX, -7, INT32_MIN);
    EXPECT_EQ(vandrel_request_ticket(client_.get(), &r, 0, &ticket.t), VANDREL_ERR_TIMEOUT);
    EXPECT_EQ(sent(), bytes_of("vd_connect 10.0.0.1:1 18446744073709551615 -7 -2147483648"));
    ASSERT_EQ(vandrel_end_ticket(client_.get(), "1.2.3.4:27015", -5), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_disconnect 1.2.3.4:27015 -5"));
    ASSERT_EQ(vandrel_terminate(client_.get()), VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_terminate"));
    EXPECT_TRUE(nothing_sent());

    // An attached pair stays the caller's: closing the client leaves it open.
    EXPECT_EQ(client_.close(), VANDREL_OK);
    EXPECT_GE(::fcntl(theirs_.get(), F_GETFD), 0);
    EXPECT_EQ(vandrel_terminate(client_.get()), VANDREL_ERR_ARGUMENT) << "the client is gone";
}

TEST_F(Peer, ReplyIsMatchedByChallenge) {
    Bytes wanted = {1, 2, 3, 4, 5};
    // A stale reply and the wanted one arrive together; the stale one is dropped.
    reply(concat({frame_of(connect_reply(6, 1, {9, 9, 9})),
                  frame_of(connect_reply(-2, 0x0102030405060708ULL, wanted))}));
    TicketBuf ticket;
    ASSERT_EQ(request(-2, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), wanted);
    EXPECT_EQ(ticket.t.steam_id, 0x0102030405060708ULL);

    // Nothing but stale replies: a time-out, not one of them.
    reply(frame_of(connect_reply(41, 1, {7})));
    EXPECT_EQ(request(42, 300, ticket), VANDREL_ERR_TIMEOUT);
}

TEST_F(Peer, PartialReplyKeepsItsPlaceAcrossATimeout) {
    Bytes late = frame_of(connect_reply(5, 1, Bytes(100, 0x55)));
    Bytes next = frame_of(connect_reply(6, 2, Bytes(50, 0x66)));
    reply(Bytes(late.begin(), late.begin() + 10));
    TicketBuf ticket;
    EXPECT_EQ(request(5, 200, ticket), VANDREL_ERR_TIMEOUT);
    reply(concat({Bytes(late.begin() + 10, late.end()), next}));
    ASSERT_EQ(request(6, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), Bytes(50, 0x66));
    EXPECT_EQ(ticket.t.steam_id, 2u);
}

TEST_F(Peer, TicketSizes) {
    // Larger than the buffer: reported with its length; the next reply is fine.
    reply(frame_of(connect_reply(1, 1, Bytes(100, 0xAB))));
    TicketBuf small(99);
    EXPECT_EQ(request(1, 2000, small), VANDREL_ERR_TICKET_TOO_LARGE);
    EXPECT_EQ(small.t.len, 100u);
    EXPECT_EQ(small.buf[0], 0) << "nothing copied";

    // Exactly the buffer's size, and bytes after the ticket left out.
    reply(frame_of(concat({connect_reply(2, 1, Bytes(99, 0xCD)), Bytes{0xEE, 0xEE}})));
    ASSERT_EQ(request(2, 2000, small), VANDREL_OK);
    EXPECT_EQ(small.bytes(), Bytes(99, 0xCD));

    // An empty ticket, into no buffer at all.
    reply(frame_of(connect_reply(3, 7, {})));
    TicketBuf none(0);
    none.t.data = nullptr;
    ASSERT_EQ(request(3, 2000, none), VANDREL_OK);
    EXPECT_EQ(none.t.len, 0u);
    EXPECT_EQ(none.t.steam_id, 7u);

    // The largest ticket a frame can carry.
    Bytes biggest(VANDREL_MAX_FRAME_PAYLOAD - VANDREL_TICKET_REPLY_HEADER_LEN, 0x11);
    reply(frame_of(connect_reply(4, 1, biggest)));
    TicketBuf full;
    ASSERT_EQ(request(4, 2000, full), VANDREL_OK);
    EXPECT_EQ(full.bytes(), biggest);
}

TEST_F(Peer, MalformedRepliesAreProtocolErrors) {
    TicketBuf ticket;
    Bytes good = connect_reply(1, 1, {1, 2, 3});
    struct Case {
        const char* what;
        Bytes payload;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"26 bytes", Bytes(good.begin(), good.begin() + 26)},
        {"other prefix", concat({bytes_of("vd_connecT\n"), Bytes(good.begin() + 11, good.end())})},
        {"no line feed", concat({bytes_of("vd_connect "), Bytes(good.begin() + 11, good.end())})},
        {"announces more than it holds", connect_reply(1, 1, {1, 2, 3}, 4)},
        {"announces 2^32-1", connect_reply(1, 1, {1, 2, 3}, 0xFFFFFFFFu)},
    };
    for (const auto& c : cases) {
        reply(frame_of(c.payload));
        EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL) << c.what;
    }
    // Each malformed frame was consumed whole: the link is still in step.
    reply(frame_of(good));
    ASSERT_EQ(request(1, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), (Bytes{1, 2, 3}));
}

TEST_F(Peer, ErrorReplyEndsItsOwnRequestOnly) {
    TicketBuf ticket;
    // The late failure of another request, and vandrel_end_ticket's failure,
    // are passed over.
    reply(concat({frame_of(error_reply(6, "vd_connect: steam child timed out")),
                  frame_of(error_reply(0, "vd_disconnect: no ticket requested"))}));
    reply(frame_of(connect_reply(7, 1, {1, 2})));
    ASSERT_EQ(request(7, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), (Bytes{1, 2}));
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "");

    reply(frame_of(error_reply(-8, "vd_connect: steam refused to issue auth ticket")));
    auto start = Clock::now();
    EXPECT_EQ(request(-8, 5000, ticket), VANDREL_ERR_BROKER);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_STREQ(vandrel_broker_error(client_.get()),
                 "vd_connect: steam refused to issue auth ticket");

    // A text longer than the buffer stops before the character that does not fit.
    std::string long_text = "vd_connect: ";
    while (long_text.size() < 600)
        long_text += "\xC3\xA9";
    reply(frame_of(error_reply(9, long_text)));
    EXPECT_EQ(request(9, 2000, ticket), VANDREL_ERR_BROKER);
    EXPECT_EQ(std::string(vandrel_broker_error(client_.get())), long_text.substr(0, 510));
}

// The status request takes only its own reply: late replies of every kind
// before it are passed over; a broker that does not know the word ends it
// with its reason; a buffer that may not hold every status is refused.
TEST_F(Peer, StatusReplyIsMatchedByChallengeAmongLateReplies) {
    std::array<char, VANDREL_STATUS_TEXT_SIZE> text{};
    Bytes late_status = bytes_of("vd_status\n");
    append_le(late_status, 4, 4);
    Bytes mine = bytes_of("vd_status\n");
    append_le(mine, static_cast<std::uint32_t>(-5), 4);
    const std::string lines = "version 1.2.3\nuid 1000\nappid none\n";
    mine.insert(mine.end(), lines.begin(), lines.end());
    reply(concat({frame_of(connect_reply(3, 1, {1})), frame_of(late_status),
                  frame_of(error_reply(2, "vd_ticket: steam did not confirm the ticket")),
                  frame_of(mine)}));
    ASSERT_EQ(vandrel_request_broker_status(client_.get(), -5, 2000, text.data(), text.size()),
              VANDREL_OK);
    EXPECT_EQ(sent(), bytes_of("vd_status -5"));
    EXPECT_STREQ(text.data(), lines.c_str());

    reply(frame_of(error_reply(0, "vd_status: unknown command")));
    EXPECT_EQ(vandrel_request_broker_status(client_.get(), 6, 2000, text.data(), text.size()),
              VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "vd_status: unknown command");
    EXPECT_EQ(sent(), bytes_of("vd_status 6"));

    EXPECT_EQ(vandrel_request_broker_status(client_.get(), 7, 2000, text.data(), text.size() - 1),
              VANDREL_ERR_ARGUMENT);
    EXPECT_TRUE(nothing_sent());
}

TEST_F(Peer, ActivationFailureEndsTheNextRequest) {
    TicketBuf ticket;
    reply(frame_of(error_reply(0, "vd_gamedir: steam child failed to initialise")));
    auto start = Clock::now();
    EXPECT_EQ(request(10, 5000, ticket), VANDREL_ERR_BROKER);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_STREQ(vandrel_broker_error(client_.get()),
                 "vd_gamedir: steam child failed to initialise");

    // That request is still answered, without a challenge; for the next
    // request it is a late answer.
    reply(concat({frame_of(error_reply(0, "vd_connect: session not active")),
                  frame_of(connect_reply(11, 1, {5}))}));
    ASSERT_EQ(request(11, 2000, ticket), VANDREL_OK);
    EXPECT_EQ(ticket.bytes(), Bytes{5});
    // With no answer owed before it, the failure without a challenge is the
    // request's own.
    reply(frame_of(error_reply(0, "vd_connect: session not active")));
    EXPECT_EQ(request(12, 2000, ticket), VANDREL_ERR_BROKER);
    EXPECT_STREQ(vandrel_broker_error(client_.get()), "vd_connect: session not active");
}

TEST_F(Peer, BrokenFramingStaysBroken) {
    TicketBuf ticket;
    reply(concat({bytes_of("VDRX"), Bytes{3, 0, 'a', 'b', 'c'}}));
    reply(frame_of(connect_reply(1, 1, {1})));
    EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL);
    EXPECT_EQ(request(1, 2000, ticket), VANDREL_ERR_PROTOCOL) << "no resynchronising";
}

TEST(PeerFraming, OversizedFrameIsRejectedFromItsHeader) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd mine(fds[0]);
    Client client;
    ASSERT_EQ(vandrel_attach(client.out(), fds[1], fds[1], 1), VANDREL_OK);
    // 4097 announced; no payload follows, so waiting for it would time out.
    write_bytes(mine.get(), Bytes{0x56, 0x44, 0x52, 0x4C, 0x01, 0x10});
    TicketBuf ticket;
    auto r = request_for("1.2.3.4:1", 1, 1, 1);
    auto start = Clock::now();
    EXPECT_EQ(vandrel_request_ticket(client.get(), &r, 5000, &ticket.t), VANDREL_ERR_PROTOCOL);
    EXPECT_LT(elapsed_ms(start), 2000);
    // An owned pair is closed with the client.
    EXPECT_EQ(client.close(), VANDREL_OK);
    EXPECT_LT(::fcntl(fds[1], F_GETFD), 0);
}

TEST_F(Peer, BrokerClosingIsReported) {
    TicketBuf ticket;
    Bytes whole = frame_of(connect_reply(1, 1, {1, 2, 3}));
    reply(Bytes(whole.begin(), whole.begin() + 20));
    mine_.reset();
    auto start = Clock::now();
    EXPECT_EQ(request(1, 5000, ticket), VANDREL_ERR_CLOSED) << "closed inside a frame";
    EXPECT_EQ(request(1, 5000, ticket), VANDREL_ERR_CLOSED);
    EXPECT_LT(elapsed_ms(start), 2000);
}

TEST(ClientStatus, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int s = VANDREL_OK; s <= VANDREL_ERR_NO_MEMORY; ++s) {
        const char* text = vandrel_status_text(static_cast<vandrel_status>(s));
        ASSERT_NE(text, nullptr);
        EXPECT_NE(std::string(text), "unknown status") << s;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(VANDREL_ERR_NO_MEMORY) + 1);
    EXPECT_STREQ(vandrel_status_text(static_cast<vandrel_status>(999)), "unknown status");
}

// ---------------------------------------------------------------------------
// vandrel-ticket, run as a program.

struct ToolRun {
    int status = -1;
    std::string out;
    std::vector<std::string> err;
};

ToolRun run_tool(const BrokerEnv& env, std::vector<std::string> args) {
    Process tool(tool_path(), env.spawn(std::move(args)));
    ToolRun run;
    run.out = read_all(tool.stdout_fd(), 40s);
    run.err = tool.rest_of_lines(40s);
    run.status = tool.wait_exit(10s).value_or(-1);
    return run;
}

bool has_line(const ToolRun& run, std::string_view line) {
    return std::find(run.err.begin(), run.err.end(), line) != run.err.end();
}

TEST(VandrelTicket, PrintsTheTicketOfASpawnedBroker) {
    BrokerEnv env;
    Bytes expected = ticket_for(0x0A000005, 27015, 123);
    ToolRun run = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--server",
                                 "10.0.0.5:27015", "--server-steamid", "123", "--challenge", "9"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "steamid " + std::to_string(USER_STEAM_ID) + "\nticket " + hex(expected) + "\n");
    EXPECT_TRUE(has_line(run, "[vandrel] -> ticket 240 bytes for challenge 9"));

    run = run_tool(env, {"--spawn=" + broker_path(), "--gamedir=cstrike", "--server=10.0.0.5:27015",
                         "--server-steamid=123", "--raw"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(has_line(run, "steamid " + std::to_string(USER_STEAM_ID)));
}

TEST(VandrelTicket, PrintsTheHandleBeforeEachAuthTicket) {
    BrokerEnv env;
    const std::string steamid = "steamid " + std::to_string(USER_STEAM_ID) + "\n";
    ToolRun session = run_tool(env, {"--spawn", broker_path(), "--appid", "480", "--kind",
                                     "session", "--identity", "steamid:76561197960287931"});
    EXPECT_EQ(session.status, 0);
    EXPECT_EQ(session.out, steamid + "handle 1\nticket " + hex(auth_ticket_for(1)) + "\n");
    ToolRun web = run_tool(env, {"--spawn", broker_path(), "--appid", "480", "--kind", "webapi",
                                 "--identity", "api.example.com"});
    EXPECT_EQ(web.status, 0);
    EXPECT_EQ(web.out,
              steamid + "handle 1\nticket " + hex(auth_ticket_for((1ULL << 32) + 1)) + "\n");
    ToolRun app = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--kind", "app",
                                 "--data", "00ABff", "--raw"});
    EXPECT_EQ(app.status, 0);
    const Bytes app_ticket = auth_ticket_for((1ULL << 33) + 3);
    EXPECT_EQ(app.out, std::string(app_ticket.begin(), app_ticket.end()));
    EXPECT_TRUE(has_line(app, "handle 0"));
    // Each tool's broker cancelled the ticket it still held when the tool went.
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_CancelAuthTicket ").size(), 2u);
    EXPECT_EQ(file_lines(env.call_log(), "SteamAPI_ISteamUser_GetAuthTicketForWebApi "),
              std::vector<std::string>{
                  "SteamAPI_ISteamUser_GetAuthTicketForWebApi identity=api.example.com handle=1"});
}

TEST(VandrelTicket, HelpUsageErrorsAndFailures) {
    BrokerEnv env(Env{{"VANDREL_STANDIN_TICKET_RESULT", "0"}});
    ToolRun help = run_tool(env, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: vandrel-ticket")) << help.out;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    EXPECT_NE(help.out.find("6 the broker reported why"), std::string::npos);

    // Usage errors end with 2 before any broker is started: the path given
    // to --spawn does not exist, which would be status 3.
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{}, "vandrel-ticket: --gamedir or --appid is required"},
        {{"--gamedir", "cstrike", "--appid", "10"},
         "vandrel-ticket: --gamedir and --appid exclude each other"},
        {{"--appid", "4294967296"}, "vandrel-ticket: invalid --appid: 4294967296"},
        {{"--appid", "480", "--kind", "ticket"}, "vandrel-ticket: invalid --kind: ticket"},
        {{"--appid", "480", "--kind", "app", "--data", "abc"},
         "vandrel-ticket: invalid --data: abc"},
        {{"--appid", "480", "--kind", "app", "--identity", "x"},
         "vandrel-ticket: --identity is for --kind session or webapi"},
        {{"--appid", "480", "--server", "1.2.3.4:1", "--data", "00"},
         "vandrel-ticket: --data is for --kind app"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike"},
         "vandrel-ticket: --server is required"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4"},
         "vandrel-ticket: invalid --server: 1.2.3.4"},
        {{"--spawn", "/nonexistent", "--gamedir", "cs strike", "--server", "1.2.3.4:1"},
         "vandrel-ticket: invalid --gamedir: cs strike"},
        {{"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4:1", "--challenge",
          "2147483648"},
         "vandrel-ticket: invalid --challenge: 2147483648"},
        {{"--bogus", "x"}, "vandrel-ticket: unknown option: --bogus"},
        {{"--gamedir"}, "vandrel-ticket: missing value for: --gamedir"},
        {{"--broker", "127.0.0.1:1", "--spawn", "/nonexistent", "--gamedir", "cstrike", "--server",
          "1.2.3.4:1"},
         "vandrel-ticket: --broker and --spawn exclude each other"},
    };
    for (const auto& c : cases) {
        ToolRun run = run_tool(env, c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_TRUE(has_line(run, c.message)) << c.message;
        EXPECT_TRUE(run.out.empty()) << c.message;
    }

    // No broker: the reason is said once.
    ToolRun missing =
        run_tool(env, {"--spawn", "/nonexistent", "--gamedir", "cstrike", "--server", "1.2.3.4:1"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err,
              std::vector<std::string>{
                  "vandrel-ticket: cannot start the broker (No such file or directory)"});
    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    ToolRun refused_connection = run_tool(env, {"--broker", "127.0.0.1:" + std::to_string(port),
                                                "--gamedir", "cstrike", "--server", "1.2.3.4:1"});
    EXPECT_EQ(refused_connection.status, 3);
    EXPECT_EQ(refused_connection.err,
              std::vector<std::string>{
                  "vandrel-ticket: cannot connect to the broker (Connection refused)"});

    // Steam refuses the ticket: the broker says so, and the tool prints why.
    ToolRun refused = run_tool(env, {"--spawn", broker_path(), "--gamedir", "cstrike", "--server",
                                     "1.2.3.4:1", "--timeout-ms", "3000"});
    EXPECT_EQ(refused.status, 6);
    EXPECT_TRUE(has_line(refused, "vandrel-ticket: no ticket: the broker reported an error: "
                                  "vd_connect: steam refused to issue auth ticket"));
    EXPECT_TRUE(refused.out.empty());
}

// The tool gives up at the first error reply, with the reply to its ticket
// request still on the way: it reads that before closing, and the broker sees
// an orderly end instead of a reset connection.
TEST(VandrelTicket, FailedRunEndsTheSessionInOrder) {
    BrokerEnv env;
    TcpBroker broker(env.spawn({"127.0.0.1:0"}));
    ToolRun run = run_tool(env, {"--broker", "127.0.0.1:" + std::to_string(broker.port()),
                                 "--gamedir", "nosuchgame", "--server", "1.2.3.4:1"});
    EXPECT_EQ(run.status, 6);
    EXPECT_TRUE(has_line(run, "vandrel-ticket: no ticket: the broker reported an error: "
                              "vd_gamedir: no Steam AppID known for this gamedir"));
    ASSERT_TRUE(broker.process().wait_for_line("[vandrel] command error: session not active"));
    EXPECT_EQ(broker.process().next_line(), "[vandrel] peer closed the connection");
    EXPECT_EQ(broker.process().next_line(), "[vandrel] session ended, awaiting next connection");
}

} // namespace
} // namespace vandrel::test
