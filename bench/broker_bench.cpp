// End-to-end figures of the broker against the floor of the same work without
// it, measured in one run on one machine:
//   1. the floor of a ticket's road: a loopback TCP round trip to a process that
//      forwards each message over a pipe to a second process and back;
//   2. "vd_connect" request to reply through the broker with a warm child, and
//      "vd_ticket session" (a session ticket, whose confirmation the stand-in
//      queues at once, so the child's wait for it costs one more pump);
//   3. spawn-to-ready: "vd_gamedir" to the child's readiness, against starting
//      /bin/true and waiting for it;
//   4. peak resident memory (VmHWM) of the broker and of its child;
//   5. many clients at once (`--clients`): one session asking while seven
//      others hold their children, against a lone session; the tickets per
//      second of 1, 2 and 4 sessions asking at once; and what one idle
//      session costs the broker (memory, threads, descriptors).
// Usage: broker_bench PATH-TO-VANDREL [requests]
#include "base/text.hpp"
#include "shared/transport.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using vandrel::Bytes;

constexpr std::size_t WARMUP = 200;
constexpr std::size_t SPAWN_ROUNDS = 20;
// The measured requests per link: by default, and at the most.
constexpr std::size_t DEFAULT_REQUESTS = 2000;
constexpr std::size_t MAX_REQUESTS = 10'000'000;
// The sizes a ticket's road carries: the request frame, and the reply frame
// for the stand-in's 240-byte ticket.
constexpr std::size_t REQUEST_LEN = 6 + 36;
constexpr std::size_t REPLY_LEN = 6 + 27 + 240;
// The session ticket's reply frame: its fixed part is 30 bytes.
constexpr std::size_t SESSION_REPLY_LEN = 6 + 30 + 240;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "broker_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

void write_all(int fd, const void* data, std::size_t n) {
    if (!vandrel::write_all_fd(fd, {static_cast<const std::uint8_t*>(data), n}).ok())
        die("write");
}

void read_exact(int fd, void* data, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            die("read");
        p += r;
        n -= static_cast<std::size_t>(r);
    }
}

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Summary {
    double median, p99;
};

Summary summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

int listen_loopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        die("listen");
    port = ntohs(addr.sin_port);
    return fd;
}

int connect_loopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        die("connect");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The floor: client -> TCP -> forwarder -> pipe -> answerer -> pipe ->
// forwarder -> TCP -> client, with the broker's message sizes and no broker.
// Returns the client's socket; the forwarder and answerer end when it closes.
int start_floor(pid_t& forwarder) {
    std::uint16_t port = 0;
    int listener = listen_loopback(port);
    forwarder = ::fork();
    if (forwarder == 0) {
        int to_child[2], from_child[2];
        if (::pipe(to_child) != 0 || ::pipe(from_child) != 0)
            die("pipe");
        if (::fork() == 0) {
            ::close(to_child[1]);
            ::close(from_child[0]);
            // Requests arrive whole (one write of fewer than PIPE_BUF bytes).
            std::vector<std::uint8_t> buf(REPLY_LEN);
            while (::read(to_child[0], buf.data(), REQUEST_LEN) > 0)
                write_all(from_child[1], buf.data(), REPLY_LEN - 12);
            ::_exit(0);
        }
        ::close(to_child[0]);
        ::close(from_child[1]);
        int conn = ::accept(listener, nullptr, nullptr);
        int one = 1;
        ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<std::uint8_t> buf(REPLY_LEN);
        for (;;) {
            ssize_t got = ::read(conn, buf.data(), REQUEST_LEN);
            if (got <= 0)
                ::_exit(0);
            read_exact(conn, buf.data() + got, REQUEST_LEN - static_cast<std::size_t>(got));
            write_all(to_child[1], buf.data(), REQUEST_LEN);
            read_exact(from_child[0], buf.data(), REPLY_LEN - 12);
            write_all(conn, buf.data(), REPLY_LEN);
        }
    }
    ::close(listener);
    return connect_loopback(port);
}

// A broker process whose standard error a thread drains into lines, so that
// the broker never blocks on a full pipe while requests are measured.
struct Broker {
    pid_t pid = -1;
    std::mutex mutex;
    std::condition_variable more;
    std::deque<std::string> lines;
    bool ended = false;

    void drain(int fd) {
        std::string buffered;
        char buf[4096];
        for (;;) {
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r <= 0)
                break;
            buffered.append(buf, static_cast<std::size_t>(r));
            std::lock_guard lock(mutex);
            for (auto nl = buffered.find('\n'); nl != std::string::npos; nl = buffered.find('\n')) {
                lines.push_back(buffered.substr(0, nl));
                buffered.erase(0, nl + 1);
            }
            more.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex);
        ended = true;
        more.notify_all();
    }

    std::string line_starting(std::string_view prefix) {
        std::unique_lock lock(mutex);
        for (;;) {
            more.wait(lock, [&] { return !lines.empty() || ended; });
            if (lines.empty())
                die("broker's standard error ended");
            std::string l = std::move(lines.front());
            lines.pop_front();
            if (l.starts_with(prefix))
                return l;
        }
    }
};

constexpr std::string_view LISTENING = "[vandrel] listening on 127.0.0.1:";

// Starts the broker on a free loopback port, its standard error on `err`,
// serving `clients` sessions at once.
pid_t exec_broker(const char* path, const std::string& tmpdir, int err, unsigned clients = 1) {
    const std::string n = std::to_string(clients);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err, 2);
        ::setenv("TMPDIR", tmpdir.c_str(), 1);
        if (clients == 1)
            ::execl(path, path, "127.0.0.1:0", static_cast<char*>(nullptr));
        else
            ::execl(path, path, "127.0.0.1:0", "--clients", n.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// The port in the broker's "listening on" line.
std::uint16_t listening_port(const std::string& line) {
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
}

void start_broker(Broker& b, const char* path, const std::string& tmpdir) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0)
        die("pipe");
    b.pid = exec_broker(path, tmpdir, err[1]);
    ::close(err[1]);
    std::thread([&b, fd = err[0]] { b.drain(fd); }).detach();
}

void send_frame(int fd, std::string_view payload) {
    auto frame = vandrel::encode_frame(vandrel::as_bytes(payload));
    write_all(fd, frame->data(), frame->size());
}

Bytes read_frame(int fd) {
    std::uint8_t head[6];
    read_exact(fd, head, sizeof head);
    Bytes payload(std::size_t{head[4]} | (std::size_t{head[5]} << 8));
    read_exact(fd, payload.data(), payload.size());
    return payload;
}

long vm_hwm_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == "VmHWM:") {
            in >> value;
            return value;
        }
        in.ignore(1 << 20, '\n');
    }
    return value;
}

// The first child of `pid`, from any of its threads (the broker starts them
// from its sessions' threads); -1 when it has none.
pid_t child_of(pid_t pid) {
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path().string() + "/children");
        pid_t child = -1;
        if (in >> child)
            return child;
    }
    return -1;
}

double true_spawn_micros() {
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/true", "true", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::waitpid(pid, nullptr, 0);
    return micros(Clock::now() - start);
}

// The first line of the file at `path` that starts with `prefix`, waiting
// for it to be written.
std::string file_line_starting(const std::string& path, std::string_view prefix) {
    for (int tries = 0; tries < 500; ++tries) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(prefix))
                return line;
        ::usleep(10000);
    }
    die("no listening line in the broker's log file");
}

// A broker whose standard error goes to `tmpdir`/`name`.log, a regular file:
// its log writes are paid for, but no log reader competes for the CPUs while
// it is measured. Returns the port it listens on.
std::uint16_t start_logged_broker(const char* path, const std::string& tmpdir, pid_t& pid,
                                  std::string_view name, unsigned clients = 1) {
    std::string log_path = tmpdir + "/" + std::string(name) + ".log";
    int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0)
        die("open the broker's log file");
    pid = exec_broker(path, tmpdir, log, clients);
    ::close(log);
    return listening_port(file_line_starting(log_path, LISTENING));
}

// A session that has asked for cstrike; its child is warm by the first reply.
int open_session(std::uint16_t port) {
    int client = connect_loopback(port);
    send_frame(client, "vd_gamedir cstrike");
    return client;
}

// A broker logging to a file, and a client socket of a session whose child
// is already warm.
int start_file_broker(const char* path, const std::string& tmpdir, pid_t& pid,
                      std::string_view name) {
    return open_session(start_logged_broker(path, tmpdir, pid, name));
}

constexpr std::string_view CONNECT = "vd_connect 1.2.3.4:27015 90071992547409920 1 77";
constexpr std::string_view SESSION_TICKET = "vd_ticket session - 77";

// One measured link: a client socket and how a round trip runs over it.
struct Link {
    int fd;
    bool framed;                        // a broker session rather than the floor's raw chain
    std::string_view request = CONNECT; // what a broker session is asked
    std::size_t reply_len = REPLY_LEN;
    std::vector<double> samples;
};

void round_trip(Link& link, bool keep) {
    static const std::vector<std::uint8_t> raw_request(REQUEST_LEN, 'r');
    auto start = Clock::now();
    if (link.framed) {
        send_frame(link.fd, link.request);
        if (read_frame(link.fd).size() != link.reply_len - vandrel::FRAME_HEADER_LEN)
            die("unexpected reply");
    } else {
        std::uint8_t reply[REPLY_LEN];
        write_all(link.fd, raw_request.data(), raw_request.size());
        read_exact(link.fd, reply, sizeof reply);
    }
    if (keep)
        link.samples.push_back(micros(Clock::now() - start));
}

void print_row(const char* name, double value, double floor) {
    std::printf("%-38s %10.1fus %10.1fus %7.2fx\n", name, value, floor, value / floor);
}

// The count of measured requests: a whole decimal number from 1 to
// MAX_REQUESTS, or nothing, so that every figure has samples.
std::optional<std::size_t> parse_requests(std::string_view text) {
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > MAX_REQUESTS)
        return std::nullopt;
    return value;
}

// --- Many clients at once ---------------------------------------------------

constexpr unsigned MANY_SESSIONS = 8;
constexpr unsigned MAX_ASKING = 4;
// How long each throughput figure asks for tickets.
constexpr auto THROUGHPUT_TIME = std::chrono::seconds(3);

// One round trip that needs the session's child (its status), so that the
// child is ready when it returns.
void wait_for_child(int fd) {
    send_frame(fd, "vd_status 1");
    (void)read_frame(fd);
}

// A line of /proc/PID/status, in its own unit ("VmRSS:" in KiB, "Threads:").
long proc_status(pid_t pid, std::string_view key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (in >> word) {
        long value = -1;
        if (word == key && in >> value)
            return value;
        in.ignore(1 << 20, '\n');
    }
    return -1;
}

long open_descriptors(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// What the broker holds at one moment.
struct Holding {
    long rss_kib, threads, fds;
};

Holding holding(pid_t pid) {
    return {proc_status(pid, "VmRSS:"), proc_status(pid, "Threads:"), open_descriptors(pid)};
}

void print_holding(const char* name, Holding h) {
    std::printf("%-38s %6ld KiB %4ld threads %4ld fds\n", name, h.rss_kib, h.threads, h.fds);
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Tickets per second of `asking` sessions that ask at once, each on a thread
// of its own, for THROUGHPUT_TIME.
double tickets_per_second(const std::vector<int>& sessions, unsigned asking) {
    std::atomic<std::size_t> total{0};
    const auto start = Clock::now();
    const auto end = start + THROUGHPUT_TIME;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < asking; ++i)
        threads.emplace_back([&total, end, fd = sessions[i]] {
            Link link{fd, true, CONNECT, REPLY_LEN, {}};
            std::size_t n = 0;
            for (; Clock::now() < end; ++n)
                round_trip(link, false);
            total += n;
        });
    for (std::thread& t : threads)
        t.join();
    return static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count();
}

// The many-clients figures, each printed as it is taken.
void many_clients(const char* path, const std::string& tmpdir, std::size_t requests) {
    // One asking session among MANY_SESSIONS, in turn with a lone session.
    pid_t lone_broker = -1, many_broker = -1;
    Link lone{open_session(start_logged_broker(path, tmpdir, lone_broker, "lone")),
              true,
              CONNECT,
              REPLY_LEN,
              {}};
    const std::uint16_t many_port =
        start_logged_broker(path, tmpdir, many_broker, "many", MANY_SESSIONS);
    std::vector<int> sessions;
    for (unsigned i = 0; i < MANY_SESSIONS; ++i)
        sessions.push_back(open_session(many_port));
    for (int fd : sessions)
        wait_for_child(fd);
    Link busy{sessions[0], true, CONNECT, REPLY_LEN, {}};
    for (std::size_t k = 0; k < WARMUP + requests; ++k) {
        round_trip(k % 2 == 0 ? lone : busy, k >= WARMUP);
        round_trip(k % 2 == 0 ? busy : lone, k >= WARMUP);
    }
    const Summary alone = summarise(lone.samples), among = summarise(busy.samples);
    std::printf("\nmany clients at once (load average before: %s)\n", load_average().c_str());
    std::printf("%-38s %12s %12s %8s\n", "figure", "1 of 8 open", "lone", "ratio");
    print_row("vd_connect round trip, median", among.median, alone.median);
    print_row("vd_connect round trip, p99", among.p99, alone.p99);
    send_frame(lone.fd, "vd_terminate");
    ::close(lone.fd);
    ::waitpid(lone_broker, nullptr, 0);

    for (unsigned asking = 1; asking <= MAX_ASKING; asking *= 2) {
        const std::string load = load_average();
        std::printf("%-38s %10.0f/s  (load average before: %s)\n",
                    ("tickets, " + std::to_string(asking) + " asking at once").c_str(),
                    tickets_per_second(sessions, asking), load.c_str());
    }
    send_frame(sessions[0], "vd_terminate");
    for (int fd : sessions)
        ::close(fd);
    ::waitpid(many_broker, nullptr, 0);

    // What one idle session costs: without a game, and with its child.
    pid_t idle_broker = -1;
    const std::uint16_t idle_port =
        start_logged_broker(path, tmpdir, idle_broker, "idle", MANY_SESSIONS);
    const Holding none = holding(idle_broker);
    int idle = connect_loopback(idle_port);
    send_frame(idle, "vd_status 1");
    (void)read_frame(idle);
    const Holding no_game = holding(idle_broker);
    send_frame(idle, "vd_gamedir cstrike");
    wait_for_child(idle);
    const Holding with_child = holding(idle_broker);
    const long child_rss = proc_status(child_of(idle_broker), "VmRSS:");
    ::close(idle);
    (void)file_line_starting(tmpdir + "/idle.log", "[vandrel] #1 child for appid 10 reaped");
    const Holding after = holding(idle_broker);
    print_holding("broker with no client", none);
    print_holding("  one idle session, no game", no_game);
    print_holding("  one idle session with its child", with_child);
    std::printf("%-38s %6ld KiB\n", "  its child's VmRSS", child_rss);
    print_holding("  after the session ended", after);
    ::kill(idle_broker, SIGTERM);
    ::waitpid(idle_broker, nullptr, 0);
}

} // namespace

int main(int argc, char** argv) {
    // Checked before anything starts, so that a refusal leaves nothing running.
    const std::optional<std::size_t> requests = argc == 2   ? DEFAULT_REQUESTS
                                                : argc == 3 ? parse_requests(argv[2])
                                                            : std::nullopt;
    if (!requests) {
        std::fprintf(stderr,
                     "usage: broker_bench PATH-TO-VANDREL [requests]   (requests: 1 to %zu, "
                     "default %zu)\n",
                     MAX_REQUESTS, DEFAULT_REQUESTS);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    char tmp[] = "/tmp/vandrel-bench-XXXXXX";
    if (::mkdtemp(tmp) == nullptr)
        die("mkdtemp");

    Broker broker;
    start_broker(broker, argv[1], tmp);
    std::uint16_t port = listening_port(broker.line_starting(LISTENING));

    // Spawn-to-ready over fresh sessions; the last one stays for the requests.
    std::vector<double> spawn, true_spawn;
    int piped_client = -1;
    for (std::size_t i = 0; i < SPAWN_ROUNDS; ++i) {
        int client = connect_loopback(port);
        auto start = Clock::now();
        send_frame(client, "vd_gamedir cstrike");
        broker.line_starting("[vandrel] child for appid 10 ready");
        spawn.push_back(micros(Clock::now() - start));
        true_spawn.push_back(true_spawn_micros());
        if (i + 1 == SPAWN_ROUNDS) {
            piped_client = client;
            break;
        }
        ::close(client);
        broker.line_starting("[vandrel] child for appid 10 reaped");
    }

    // The request figures: the floor and three brokers take turns, one round
    // trip each per round and in a rotating order, so that whatever else the
    // machine does at a moment weighs on all of them alike.
    pid_t forwarder = -1, file_broker = -1, session_broker = -1;
    Link links[] = {
        {start_floor(forwarder), false, CONNECT, REPLY_LEN, {}},
        {start_file_broker(argv[1], tmp, file_broker, "file-broker"), true, CONNECT, REPLY_LEN, {}},
        {piped_client, true, CONNECT, REPLY_LEN, {}},
        {start_file_broker(argv[1], tmp, session_broker, "session-broker"),
         true,
         SESSION_TICKET,
         SESSION_REPLY_LEN,
         {}}};
    constexpr std::size_t LINKS = std::size(links);
    for (std::size_t k = 0; k < WARMUP + *requests; ++k)
        for (std::size_t j = 0; j < LINKS; ++j)
            round_trip(links[(k + j) % LINKS], k >= WARMUP);
    long child_hwm = vm_hwm_kib(child_of(broker.pid));
    long broker_hwm = vm_hwm_kib(broker.pid);

    Summary floor = summarise(links[0].samples);
    Summary to_file = summarise(links[1].samples);
    Summary piped = summarise(links[2].samples);
    Summary session = summarise(links[3].samples);
    Summary spawned = summarise(spawn);
    Summary trued = summarise(true_spawn);

    for (Link& link : links) {
        if (link.framed)
            send_frame(link.fd, "vd_terminate");
        ::close(link.fd);
    }
    ::waitpid(forwarder, nullptr, 0);
    ::waitpid(file_broker, nullptr, 0);
    ::waitpid(session_broker, nullptr, 0);
    ::waitpid(broker.pid, nullptr, 0);

    std::printf("%-38s %12s %12s %8s\n", "figure", "vandrel", "floor", "ratio");
    print_row("vd_connect round trip, median", to_file.median, floor.median);
    print_row("vd_connect round trip, p99", to_file.p99, floor.p99);
    print_row("  stderr read live via a pipe, median", piped.median, floor.median);
    print_row("  stderr read live via a pipe, p99", piped.p99, floor.p99);
    print_row("vd_ticket session round trip, median", session.median, floor.median);
    print_row("vd_ticket session round trip, p99", session.p99, floor.p99);
    print_row("spawn to ready, median", spawned.median, trued.median);
    std::printf("%-38s %9ld KiB\n", "broker VmHWM", broker_hwm);
    std::printf("%-38s %9ld KiB\n", "child VmHWM", child_hwm);
    std::printf("(%zu requests after %zu warm-up, in turn with the floor; %zu spawns)\n", *requests,
                WARMUP, SPAWN_ROUNDS);
    many_clients(argv[1], tmp, *requests);
    std::string cleanup = std::string("rm -rf ") + tmp;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
