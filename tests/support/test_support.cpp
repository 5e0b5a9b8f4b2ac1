#include "test_support.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vandrel::test {
namespace {

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Waits until `fd` is readable (or hung up) before `deadline`.
bool wait_readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int rc = ::poll(&p, 1, remaining_ms(deadline));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

// How long the processes that a program started may take to end by themselves
// once the program is gone, and then once they are killed.
constexpr auto GROUP_END_LIMIT = 5s;

// True when a process of group `pgid` is still running (a zombie has ended).
bool group_is_running(pid_t pgid) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // "pid (comm) state ppid pgrp ...": the command may hold blanks and ')'.
        const std::string stat = read_file("/proc/" + name + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        pid_t ppid = 0;
        pid_t pgrp = 0;
        if (fields >> state >> ppid >> pgrp && pgrp == pgid && state != 'Z')
            return true;
    }
    return false;
}

bool wait_group_ended(pid_t pgid, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (group_is_running(pgid)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace

std::string broker_path() {
    return VANDREL_BINARY;
}
std::string build_dir() {
    return VANDREL_BUILD_DIR;
}

Bytes bytes_of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes frame_of(const Bytes& payload) {
    Result<Bytes> frame = encode_frame(payload);
    EXPECT_TRUE(frame.ok());
    return frame ? *frame : Bytes{};
}

Bytes frame_of(std::string_view payload) {
    return frame_of(bytes_of(payload));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::optional<Bytes> read_exact(int fd, std::size_t n, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    Bytes out(n);
    std::size_t got = 0;
    while (got < n) {
        if (!wait_readable(fd, deadline))
            return std::nullopt;
        ssize_t r = ::read(fd, out.data() + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return std::nullopt;
        got += static_cast<std::size_t>(r);
    }
    return out;
}

std::optional<Bytes> read_frame(int fd, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    auto header = read_exact(fd, FRAME_HEADER_LEN, limit);
    if (!header)
        return std::nullopt;
    EXPECT_TRUE(std::equal(std::begin(FRAME_MAGIC), std::end(FRAME_MAGIC), header->begin()));
    std::size_t len = std::size_t{(*header)[4]} | (std::size_t{(*header)[5]} << 8);
    if (len == 0)
        return Bytes{};
    return read_exact(fd, len, deadline - Clock::now());
}

bool reads_eof(int fd, Clock::duration limit) {
    if (!wait_readable(fd, Clock::now() + limit))
        return false;
    char c;
    ssize_t r;
    do {
        r = ::read(fd, &c, 1);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

void write_bytes(int fd, const Bytes& bytes) {
    IoResult<std::size_t> done = write_all_fd(fd, bytes);
    ASSERT_TRUE(done.ok());
}

std::string text_of(const IoError& error) {
    std::string out;
    error.write_text(out);
    return out;
}

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}

TempDir::TempDir(const std::string& parent) {
    std::string templ = parent + "/vandrel-test-XXXXXX";
    char* made = ::mkdtemp(templ.data());
    if (made == nullptr)
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    // Something still writing into the directory makes the removal fail and
    // would leave it behind: say so instead.
    if (ec)
        ADD_FAILURE() << "cannot remove " << path_ << ": " << ec.message();
}

namespace {

// Makes this process `uid` with group `uid` and no supplementary groups.
bool drop_to(uid_t uid) {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 &&
           ::setresuid(uid, uid, uid) == 0;
}

// Installs a seccomp filter under which socket() of a family not in `allowed`
// fails with EAFNOSUPPORT; inherited by every process started after it.
bool restrict_families(const std::vector<int>& allowed) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
    };
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        auto to_allow = static_cast<std::uint8_t>(allowed.size() - i);
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(allowed[i]),
                                  to_allow, 0));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace

std::string second_user_unavailable() {
    if (::geteuid() != 0)
        return "needs root to run a process as a second user (uid " + std::to_string(OTHER_UID) +
               ")";
    return {};
}

int run_as_other_user(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(drop_to(OTHER_UID) ? body() : 125);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {

// Copies `from` to `to` with mode `mode`, making the directories on the way
// with mode 0755 under `root`; false with `why` set on failure.
bool copy_for_all(const std::string& from, const std::string& root, const std::string& to,
                  std::filesystem::perms mode, std::string& why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::path dir = fs::path(to).parent_path(); !ec && dir.string().size() > root.size();
         dir = dir.parent_path()) {
        fs::create_directories(dir, ec);
        if (!ec)
            fs::permissions(dir, fs::perms(0755), ec);
    }
    if (!ec)
        fs::copy_file(from, to, ec);
    if (!ec)
        fs::permissions(to, mode, ec);
    if (ec)
        why = "cannot copy " + from + " to " + to + ": " + ec.message();
    return !ec;
}

} // namespace

OtherUserCopy::OtherUserCopy(const std::string& build, const std::string& parent)
    : dir_(parent), program_(dir_.path() + "/bin/vandrel") {
    namespace fs = std::filesystem;
    const std::string runtime = "/lib/vandrel/libsteam_api.so";
    std::error_code ec;
    fs::permissions(dir_.path(), fs::perms(0755), ec); // mkdtemp made it 0700
    if (ec) {
        problem_ = "cannot open " + dir_.path() + " to uid " + std::to_string(OTHER_UID) + ": " +
                   ec.message();
        return;
    }
    if (!copy_for_all(build + "/bin/vandrel", dir_.path(), program_, fs::perms(0755), problem_) ||
        !copy_for_all(build + runtime, dir_.path(), dir_.path() + runtime, fs::perms(0644),
                      problem_))
        return;

    // ThreadSanitizer reads its suppressions file as the user it runs as, and
    // fails the program when it cannot.
    const std::string key = "suppressions=";
    if (const char* tsan = std::getenv("TSAN_OPTIONS")) {
        std::string options = tsan;
        if (auto at = options.find(key); at != std::string::npos) {
            auto from = at + key.size();
            auto end = options.find(':', from);
            const std::string copy = dir_.path() + "/tsan.supp";
            if (!copy_for_all(options.substr(from, end - from), dir_.path(), copy, fs::perms(0644),
                              problem_))
                return;
            env_["TSAN_OPTIONS"] = options.replace(from, end - from, copy);
        }
    }

    const std::string hint = ": the second-user tests need " + parent +
                             " to let that user enter it and run programs there (not mounted "
                             "noexec)";
    if (run_as_other_user([&] { return ::access((dir_.path() + runtime).c_str(), R_OK); }) != 0) {
        problem_ =
            "uid " + std::to_string(OTHER_UID) + " cannot read " + dir_.path() + runtime + hint;
        return;
    }
    Spawn version;
    version.args = {"--version"};
    version.pipe_stdin = false;
    version.pipe_stdout = false;
    Process run(program_, as_other_user(version));
    if (std::optional<int> status = run.wait_exit(); status != 0)
        problem_ = "uid " + std::to_string(OTHER_UID) + " cannot run " + program_ + " (status " +
                   (status ? std::to_string(*status) : "none in time") + ")" + hint;
}

Spawn OtherUserCopy::as_other_user(Spawn options) const {
    options.user = OTHER_UID;
    for (const auto& [name, value] : env_)
        options.env[name] = value;
    return options;
}

std::vector<std::string> environment_of(const Spawn& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& name : options.unset_env)
        env.erase(name);
    for (const auto& [k, v] : options.env)
        env[k] = v;
    std::vector<std::string> out;
    out.reserve(env.size());
    for (const auto& [k, v] : env)
        out.push_back(std::string(k).append("=").append(v));
    return out;
}

std::vector<std::string> scripting_variables() {
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry = *e;
        if (entry.starts_with("VANDREL_STANDIN_") || entry.starts_with("VANDREL_STEAMCLIENT_"))
            names.emplace_back(entry.substr(0, entry.find('=')));
    }
    return names;
}

void unset_scripting_variables() {
    for (const std::string& name : scripting_variables())
        ::unsetenv(name.c_str());
}

Process::Process(const std::string& program, const Spawn& options) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.pipe_stdin && ::pipe2(in, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe2";
    if (options.pipe_stdout && ::pipe2(out, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe2";
    if (::pipe2(err, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe2";

    std::vector<std::string> env = environment_of(options);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = options.args;
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t runner = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // A group of its own holds the program and whatever it starts; and if
        // the test runner dies without cleaning up, the program goes with it.
        ::setpgid(0, 0);
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != runner)
            ::_exit(125);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(options.pipe_stdin ? in[0] : devnull, 0);
        ::dup2(options.pipe_stdout ? out[1] : devnull, 1);
        ::dup2(err[1], 2);
        // The program starts with its three standard streams only, whatever
        // the test runner itself inherited, and the descriptors it is given.
        unsigned first = 3;
        std::vector<int> keep = options.inherit_fds;
        std::sort(keep.begin(), keep.end());
        for (int fd : keep) {
            if (fd < static_cast<int>(first))
                continue;
            ::close_range(first, static_cast<unsigned>(fd) - 1, 0);
            ::fcntl(fd, F_SETFD, 0);
            first = static_cast<unsigned>(fd) + 1;
        }
        ::close_range(first, ~0U, 0);
        for (int fd : options.closed)
            ::close(fd);
        if (options.user && !drop_to(*options.user))
            ::_exit(125);
        if (!options.socket_families.empty() && !restrict_families(options.socket_families))
            ::_exit(125);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
            ::_exit(126);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid_ > 0)
        ::setpgid(pid_, pid_); // also here: the group exists once the constructor returns
    if (options.pipe_stdin) {
        ::close(in[0]);
        in_.reset(in[1]);
    }
    if (options.pipe_stdout) {
        ::close(out[1]);
        out_.reset(out[0]);
    }
    ::close(err[1]);
    err_.reset(err[0]);
}

Process::~Process() {
    if (!reaped_) {
        kill_now();
    }
    // What the program started (a broker's Steam child) outlives it, and
    // would go on writing into directories that the test removes next: let it
    // end by itself, as it does when its parent is gone, then kill the rest.
    if (pid_ > 0 && !wait_group_ended(pid_, GROUP_END_LIMIT)) {
        ::kill(-pid_, SIGKILL);
        wait_group_ended(pid_, GROUP_END_LIMIT);
    }
}

void Process::kill_now() {
    if (reaped_ || pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<std::string> Process::next_line(Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto nl = err_buf_.find('\n');
        if (nl != std::string::npos) {
            std::string line = err_buf_.substr(0, nl);
            err_buf_.erase(0, nl + 1);
            lines_.push_back(line);
            return line;
        }
        if (err_eof_ || !wait_readable(err_.get(), deadline))
            return std::nullopt;
        char buf[4096];
        ssize_t r = ::read(err_.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            err_eof_ = true;
            continue;
        }
        err_buf_.append(buf, static_cast<std::size_t>(r));
    }
}

bool Process::wait_for_line(std::string_view line, Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (auto next = next_line(deadline - Clock::now()))
        if (*next == line)
            return true;
    return false;
}

std::optional<std::string> Process::wait_for_prefix(std::string_view prefix,
                                                    Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (auto next = next_line(deadline - Clock::now()))
        if (next->starts_with(prefix))
            return next;
    return std::nullopt;
}

std::vector<std::string> Process::rest_of_lines(Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    std::vector<std::string> out;
    while (auto next = next_line(deadline - Clock::now()))
        out.push_back(*next);
    return out;
}

std::optional<int> Process::wait_exit(Clock::duration limit) {
    if (reaped_)
        return status_;
    auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

TcpBroker::TcpBroker(Spawn options, const std::string& program)
    : process_([&] {
          if (options.args.empty())
              options.args = {"127.0.0.1:0"};
          options.pipe_stdin = false;
          return Process(program, options);
      }()) {}

std::uint16_t TcpBroker::port() {
    if (port_ == 0) {
        auto line = process_.wait_for_prefix("[vandrel] listening on 127.0.0.1:");
        EXPECT_TRUE(line.has_value()) << "broker did not listen";
        if (line)
            port_ = static_cast<std::uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)));
    }
    return port_;
}

Fd TcpBroker::connect() {
    if (port() == 0)
        return Fd();
    Fd fd = connect_tcp(port_);
    EXPECT_TRUE(fd.valid());
    std::string expected = "[vandrel] accepted 127.0.0.1:" + std::to_string(local_port(fd.get()));
    EXPECT_EQ(process_.next_line(), expected);
    return fd;
}

std::uint16_t free_port() {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return 0;
    return local_port(fd.get());
}

Fd connect_tcp(std::uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Fd();
    return fd;
}

std::uint16_t local_port(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

std::vector<pid_t> child_pids(pid_t pid) {
    // Each thread's file lists the children that thread started: a broker
    // starts them from its sessions' threads.
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::istringstream in(read_file(task.path().string() + "/children"));
        pid_t child;
        while (in >> child)
            out.push_back(child);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool stop_process(pid_t pid, Clock::duration limit) {
    if (::kill(pid, SIGSTOP) != 0)
        return false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        bool all_stopped = true;
        std::error_code ec;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
            std::string stat = read_file(task.path().string() + "/stat");
            auto close = stat.rfind(')');
            const bool known = close != std::string::npos && close + 2 < stat.size();
            const char state = known ? stat[close + 2] : '?';
            if (state != 'T' && state != 't')
                all_stopped = false;
        }
        if (all_stopped && !ec)
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

std::vector<std::string> open_fds(pid_t pid) {
    std::vector<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::error_code link_ec;
        auto target = std::filesystem::read_symlink(entry.path(), link_ec);
        out.push_back(entry.path().filename().string() + " -> " + target.string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> broker_usage() {
    return {
        "usage:",
        "  vandrel --stdio",
        "  vandrel [--allow-unchecked-peers] [--clients <n>] [listen-addr]   (default "
        "127.0.0.1:27420)",
        "  vandrel [--allow-unchecked-peers] [--clients <n>] --exit-idle <seconds>   (with "
        "sockets passed by the service manager)",
        "  vandrel --child <appid>",
        "  vandrel -h | --help",
        "  vandrel --version",
    };
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string read_to_end(int fd, Clock::duration limit) {
    std::string out;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) < 0 && errno != EINTR)
            break;
        if ((p.revents & (POLLIN | POLLHUP)) == 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool is_child_line(std::string_view line) {
    return line.starts_with("[vandrel] child: ") || line == "libsteam_api stand-in: not Steam" ||
           // Steam's real runtime as it initialises, and the simulated Steam
           // client library that the tests give it.
           line.starts_with("[S_API] ") || line.starts_with("Setting breakpad minidump AppID = ") ||
           line.starts_with("SteamInternal_SetMinidumpSteamID: ") ||
           line == "steamclient simulation: not Steam";
}

std::optional<std::string> next_line_skipping(Process& p, bool (*skip)(std::string_view),
                                              Clock::duration limit) {
    auto deadline = Clock::now() + limit;
    while (auto next = p.next_line(deadline - Clock::now()))
        if (!skip(*next))
            return next;
    return std::nullopt;
}

std::vector<std::string> file_lines(const std::string& path, std::string_view prefix) {
    std::vector<std::string> out;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix))
            out.push_back(line);
    return out;
}

Bytes standin_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t len) {
    auto mix = [](std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    };
    const std::uint64_t seed = sid ^ ((std::uint64_t{ip} << 16) | port);
    Bytes out;
    for (std::size_t i = 0; i < len; ++i)
        out.push_back(static_cast<std::uint8_t>(mix(seed + (i + 1) * 0x9E3779B97F4A7C15ULL) >> 56));
    return out;
}

} // namespace vandrel::test
