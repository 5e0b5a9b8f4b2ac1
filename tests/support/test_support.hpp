// Helpers shared by the tests: run the built broker, frame payloads, read lines.
#pragma once

#include "base/fd.hpp"
#include "shared/transport.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vandrel::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto LINE_TIMEOUT = 10s;

// The path of the built broker.
std::string broker_path();
// The build tree's root.
std::string build_dir();

// The bytes of `text`, and a frame around a payload.
Bytes bytes_of(std::string_view text);
Bytes frame_of(std::string_view payload);
Bytes frame_of(const Bytes& payload);
// The parts one after the other.
Bytes concat(std::initializer_list<Bytes> parts);

// Reads exactly `n` bytes from `fd` within `limit`; nullopt on timeout or EOF.
std::optional<Bytes> read_exact(int fd, std::size_t n, Clock::duration limit);
// Reads one frame's payload from `fd` within `limit`.
std::optional<Bytes> read_frame(int fd, Clock::duration limit = LINE_TIMEOUT);
// True when `fd` reaches end of input within `limit` with no byte before it.
bool reads_eof(int fd, Clock::duration limit);
void write_bytes(int fd, const Bytes& bytes);
// The one-line text of an I/O error, as the broker would write it.
std::string text_of(const IoError& error);

// A temporary directory (mode 0700) removed with its contents at destruction.
class TempDir {
  public:
    // Under TMPDIR.
    TempDir();
    // Under `parent`.
    explicit TempDir(const std::string& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Options for starting a process.
struct Spawn {
    std::vector<std::string> args;          // after the program name
    std::map<std::string, std::string> env; // added or replaced
    std::vector<std::string> unset_env;     // removed
    bool pipe_stdin = true;                 // else /dev/null
    bool pipe_stdout = true;                // else /dev/null
    std::string cwd;                        // empty: inherit
    std::vector<int> closed;                // standard descriptors left closed
    std::optional<uid_t> user;              // run as this uid and gid (needs root)
    // When not empty, socket() fails with EAFNOSUPPORT for every other address
    // family, as systemd's RestrictAddressFamilies= makes it.
    std::vector<int> socket_families;
    std::vector<int> inherit_fds; // also open in the program, same numbers
};

// The environment a process started with `options` gets, as "NAME=value" entries.
std::vector<std::string> environment_of(const Spawn& options);

// The variables of this process that script the stand-in runtime or the
// simulated Steam client, so that a test can drop them and only its own
// settings count.
std::vector<std::string> scripting_variables();
// Drops them from this process's own environment.
void unset_scripting_variables();

// A process with piped standard streams; killed and reaped on destruction.
class Process {
  public:
    explicit Process(const std::string& program, const Spawn& options);
    // The broker itself.
    explicit Process(const Spawn& options) : Process(broker_path(), options) {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    int stdin_fd() const { return in_.get(); }
    int stdout_fd() const { return out_.get(); }
    void close_stdin() { in_.reset(); }
    void close_stdout() { out_.reset(); }

    // The next standard-error line without its line feed; nullopt on timeout or
    // end of output. Every line read is kept in `lines()`.
    std::optional<std::string> next_line(Clock::duration limit = LINE_TIMEOUT);
    // Reads lines until one equals `line` exactly; false on timeout/EOF.
    bool wait_for_line(std::string_view line, Clock::duration limit = LINE_TIMEOUT);
    // Reads lines until one starts with `prefix`; returns it.
    std::optional<std::string> wait_for_prefix(std::string_view prefix,
                                               Clock::duration limit = LINE_TIMEOUT);
    // All remaining standard-error lines up to end of output (the process and
    // everything that inherited its standard error must have ended).
    std::vector<std::string> rest_of_lines(Clock::duration limit = LINE_TIMEOUT);
    const std::vector<std::string>& lines() const { return lines_; }

    // The exit status (or 128 + signal) within `limit`; nullopt if still running.
    std::optional<int> wait_exit(Clock::duration limit = LINE_TIMEOUT);
    void kill_now();

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    Fd in_;
    Fd out_;
    Fd err_;
    std::string err_buf_;
    bool err_eof_ = false;
    std::vector<std::string> lines_;
};

// A broker in TCP mode on 127.0.0.1 with a port the system chose.
class TcpBroker {
  public:
    explicit TcpBroker(Spawn options = {}, const std::string& program = broker_path());
    Process& process() { return process_; }
    // The port it listens on, read from its "listening on" line at first use.
    std::uint16_t port();
    // A fresh connection to the broker, and the "accepted" line for it.
    Fd connect();

  private:
    Process process_;
    std::uint16_t port_ = 0;
};

// The uid and gid that tests which need a second local user drop a process to.
inline constexpr uid_t OTHER_UID = 65534;
// Why this test process cannot drop a process to OTHER_UID, or empty when it can.
std::string second_user_unavailable();
// Runs `body` in a forked process as OTHER_UID; its exit status is what `body`
// returns (125 when the drop failed).
int run_as_other_user(const std::function<int()>& body);

// Where OtherUserCopy puts its copies: a directory every user may enter.
inline constexpr std::string_view SHARED_TMP = "/tmp";

// The built program and the stand-in runtime copied, in the build tree's
// layout (bin/vandrel, and lib/vandrel/libsteam_api.so where the program's
// RUNPATH finds it), into a fresh directory under `parent` that OTHER_UID may
// enter: the build tree itself may lie where only its owner may go, as a
// clone under Debian's /root (mode 0700) does. Removed at destruction.
class OtherUserCopy {
  public:
    explicit OtherUserCopy(const std::string& build = build_dir(),
                           const std::string& parent = std::string(SHARED_TMP));
    const std::string& program() const { return program_; }
    // Why OTHER_UID cannot run the copy, found by running its `--version` as
    // that user, or empty when it can.
    const std::string& problem() const { return problem_; }
    // `options` made to run the copy as OTHER_UID, with the environment that
    // user needs: a sanitizer's files named from the build tree (the
    // suppressions of ThreadSanitizer) are read from the copy's own.
    Spawn as_other_user(Spawn options) const;

  private:
    TempDir dir_;
    std::string program_;
    std::string problem_;
    std::map<std::string, std::string> env_;
};

// A port on 127.0.0.1 that nothing listens on just now, or 0.
std::uint16_t free_port();
// A TCP connection to 127.0.0.1:port (close-on-exec), or an invalid Fd.
Fd connect_tcp(std::uint16_t port);
// The local port of a connected socket.
std::uint16_t local_port(int fd);
// The child processes of `pid` (from /proc).
std::vector<pid_t> child_pids(pid_t pid);
// Stops `pid` with SIGSTOP and waits until every thread of it has stopped:
// a thread already woken for input may still take it before it stops.
bool stop_process(pid_t pid, Clock::duration limit = LINE_TIMEOUT);
// The descriptors open in process `pid`, as "N -> target" texts.
std::vector<std::string> open_fds(pid_t pid);
// The lines `vandrel --help` writes.
std::vector<std::string> broker_usage();
// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);
// Everything on `fd` up to end of input, or what came within `limit`.
std::string read_to_end(int fd, Clock::duration limit);

// True for the lines a Steam child writes on the broker's standard error: its
// own "[vandrel] child: " lines, the stand-in's announcement, and the lines of
// Steam's real runtime and of the simulated Steam client as they initialise.
bool is_child_line(std::string_view line);
// The next standard-error line of `p` for which `skip` is false; the skipped
// lines stay in `p.lines()`.
std::optional<std::string> next_line_skipping(Process& p, bool (*skip)(std::string_view),
                                              Clock::duration limit = LINE_TIMEOUT);
// The lines of a file that start with `prefix`, without their line feeds.
std::vector<std::string> file_lines(const std::string& path, std::string_view prefix = "");
// The first `len` bytes of the ticket the stand-in runtime issues for a server
// at host-order address `ip`, `port` and server Steam ID `sid`.
Bytes standin_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t len);

} // namespace vandrel::test
