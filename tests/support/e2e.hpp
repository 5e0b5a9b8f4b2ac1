// The end-to-end harness: the built program as a Steam child over its pipes
// and as a broker over TCP and stdio, on the stand-in runtime or on Steam's
// real one, and the frames, log lines and Steam calls the tests expect of it.
#pragma once

#include "test_support.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vandrel::test {

// Variables added to a process's environment.
using Env = std::map<std::string, std::string>;

inline constexpr auto REPLY_TIMEOUT = 5s;
inline constexpr std::string_view LOG_PREFIX = "[vandrel] ";
inline constexpr std::string_view CLOSED_LINE = "[vandrel] child: parent closed the pipe, exiting";
// The ticket length of both runtimes when VANDREL_STANDIN_TICKET_LEN is unset.
inline constexpr std::size_t DEFAULT_TICKET_LEN = 240;
// The largest ticket the child hands on, and the buffer it gives Steam.
inline constexpr std::size_t TICKET_BUFFER_LEN = 2048;

// The calls that both runtimes log alike.
inline constexpr std::string_view INITIATE =
    "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED ";
inline constexpr std::string_view TERMINATE =
    "SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ";
inline constexpr std::string_view NEXT_CALLBACK = "SteamAPI_ManualDispatch_GetNextCallback ";
inline constexpr std::string_view CALL_RESULT = "SteamAPI_ManualDispatch_GetAPICallResult ";
inline constexpr std::string_view FREE_CALLBACK = "SteamAPI_ManualDispatch_FreeLastCallback ";

// --- What differs between the runtimes' call logs and standard error -------
//
// The stand-in logs each flat call under its own name. The real runtime
// forwards the ticket, term and dispatch calls one to one, which the simulated
// client logs with the stand-in's lines; everything else it logs as its own
// calls, prefixed "steamclient ", and the runtime makes some of those on its
// own.

enum class Runtime { StandIn, Real };

// "StandIn" or "Real", the names of the test instances.
std::string runtime_name(Runtime runtime);
void PrintTo(Runtime runtime, std::ostream* os);

// The start of the one line per successful initialisation.
std::string init_prefix(Runtime runtime);
// That line, naming the AppID Steam runs under.
std::string init_call(Runtime runtime, std::uint32_t appid);
// The line of one User::steam_id.
std::string steam_id_call(Runtime runtime, std::uint64_t id);
// The line of one shutdown.
std::string shutdown_call(Runtime runtime);
// The start of the line of each SteamAPI_ManualDispatch_RunFrame.
std::string run_frame_prefix(Runtime runtime);
// True for the calls that callback pumping makes on every turn of the child's
// loop, and the look-ups that the real runtime makes on its own at the first
// frame; the rest are the calls that start-up, requests and shutdown make.
bool is_background_call(Runtime runtime, std::string_view line);
// How the runtime reports a misuse on standard error.
std::string misuse_prefix(Runtime runtime);

// --- Call logs and lines ----------------------------------------------------

// The lines that start with `prefix`, in order.
std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        std::string_view prefix);
// The call-log lines that are not background calls.
std::vector<std::string> steam_calls(Runtime runtime, const std::vector<std::string>& calls);
// True when `wanted` occurs in `lines` in this order, other lines between.
bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted);
// The call-log line of one ticket request.
std::string initiate_call(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                          long long written, long long result);
// The call-log line of one term request.
std::string terminate_call(std::uint32_t ip, std::uint16_t port);
// The value of `key=` in a call-log line, up to the next blank; empty if absent.
std::string field(const std::string& line, std::string_view key);

// --- The environment of a process on one runtime ----------------------------

// Where Steam's real runtime and the simulated Steam client library are.
struct RealSteam {
    std::string runtime_dir;      // holds libsteam_api.so
    std::string simulated_client; // a steamclient.so
};

// Where the build fetches Steam's real runtime to, and the simulated client it builds.
RealSteam real_steam();
// Why the tests cannot run Steam's real runtime (it was not fetched), or empty.
std::string real_runtime_missing();
// The absolute path of the runtime a child on `runtime` loads, as the child
// names it in its status: the stand-in beside the built program, or the real
// one that LD_LIBRARY_PATH names.
std::string loaded_runtime_path(Runtime runtime);

// What a process needs to run against one runtime. For the real one: a
// sandbox HOME whose .steam holds a copy of the simulated client library and
// the pid of a live process (this test), and LD_LIBRARY_PATH naming the real
// runtime. For the stand-in: no LD_LIBRARY_PATH, so the RUNPATH finds it.
class SteamSetup {
  public:
    // The stand-in.
    SteamSetup() = default;
    // The real runtime, with its sandbox HOME made now.
    explicit SteamSetup(const RealSteam& real);

    Runtime runtime() const { return runtime_; }
    std::string home() const { return home_ ? home_->path() : ""; }
    std::string client_library() const { return home() + "/.steam/sdk64/steamclient.so"; }

    // Adds this runtime's settings to `spawn` and drops the scripting variables;
    // every symbol is bound at load, so a flat function the runtime lacks fails
    // the start instead of a later call.
    void apply(Spawn& spawn) const;
    // The lines by which a runtime shows, at each initialisation, that it was
    // the one in use.
    std::vector<std::string> announcement() const;
    // Each line of the announcement occurs at least once in `lines`: this
    // runtime, and not the other, was in use.
    void expect_in_use(const std::vector<std::string>& lines) const;
    // Each line of the announcement occurs `times` times in `lines`.
    void expect_announced(const std::vector<std::string>& lines, long times) const;

  private:
    Runtime runtime_ = Runtime::StandIn;
    std::string runtime_dir_;
    std::unique_ptr<TempDir> home_;
};

// The stand-in's setup, for tests that run on the stand-in alone.
const SteamSetup& standin();

// The runtime a test parameter names; a parameter of another type gives its
// own overload.
inline Runtime runtime_of(Runtime runtime) {
    return runtime;
}

// The name of a test instance: its runtime ("StandIn", "Real"), or the
// `name` of its case.
inline std::string instance_name(const ::testing::TestParamInfo<Runtime>& info) {
    return runtime_name(info.param);
}
template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A test against one runtime; a real-runtime test skips when the runtime
// could not be fetched (a checksum mismatch already fails the fixture test).
template <class Param>
class OnRuntime : public ::testing::TestWithParam<Param> {
  protected:
    void SetUp() override {
        if (runtime_of(this->GetParam()) == Runtime::StandIn) {
            steam_ = std::make_unique<SteamSetup>();
            return;
        }
        if (std::string why = real_runtime_missing(); !why.empty())
            GTEST_SKIP() << why;
        steam_ = std::make_unique<SteamSetup>(real_steam());
    }
    const SteamSetup& steam() const { return *steam_; }
    Runtime runtime() const { return steam_->runtime(); }

  private:
    std::unique_ptr<SteamSetup> steam_;
};

// --- Frames ------------------------------------------------------------------

// The child's readiness frame for user `id`.
Bytes ready_message(std::uint64_t id);
// The child's answer carrying `ticket` for user `id`.
Bytes ticket_reply(const Bytes& ticket, std::uint64_t id);
// The first `written` bytes of the deterministic ticket, then the zeros of
// the child's buffer up to `total`.
Bytes padded_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t written,
                    std::size_t total);
// A payload shown readably in failure messages.
std::string show(const std::optional<Bytes>& payload);

// --- The child over its pipes -----------------------------------------------

// Every byte distinct, so a byte-order mistake cannot go unnoticed.
inline constexpr std::uint64_t CHILD_STEAM_ID = 0x8877665544332211ULL;
// The server most child requests name: 10.0.0.5:27015.
inline constexpr std::uint32_t SERVER_IP = (10u << 24) | 5u;
inline constexpr std::uint16_t SERVER_PORT = 27015;

// How a child ended: its exit status and every standard-error line.
struct Ending {
    std::optional<int> status;
    std::vector<std::string> lines;
};

// One `vandrel --child` process on one runtime, with a TMPDIR and a call log
// of its own, each in a fresh temporary directory; killed at destruction if
// still running.
class Child {
  public:
    explicit Child(const SteamSetup& steam, Env env = {}, std::string appid = "480",
                   std::optional<std::string> tmpdir = std::nullopt);

    Process& process() { return process_; }
    const std::string& tmpdir() const { return tmp_.path(); }
    std::string call_log_path() const { return logs_.path() + "/calls.log"; }
    std::vector<std::string> calls() const { return file_lines(call_log_path()); }

    void send(const Bytes& payload) { write_bytes(process_.stdin_fd(), frame_of(payload)); }
    std::optional<Bytes> next_frame() { return read_frame(process_.stdout_fd(), REPLY_TIMEOUT); }
    std::optional<Bytes> ask(std::string_view payload) {
        send(bytes_of(payload));
        return next_frame();
    }
    // The next "[vandrel] " line, skipping the runtime's own lines.
    std::optional<std::string> next_log_line();
    // Closes the request pipe and collects everything up to the exit.
    Ending finish();

  private:
    Spawn options(const SteamSetup& steam, Env env, std::string appid,
                  std::optional<std::string> tmpdir);

    TempDir tmp_;
    TempDir logs_;
    Process process_; // last, so the process is gone before the directories
};

// The program's own "[vandrel] " lines among `lines`.
std::vector<std::string> log_lines(const std::vector<std::string>& lines);
// The scratch path of a "child: appid 480, scratch {dir}" line, checked to be
// `tmpdir`/vandrel-480-{8 lowercase hex digits}; empty when it is not.
std::string scratch_of(const std::optional<std::string>& line, const std::string& tmpdir);
// True when `path` is a directory with nothing in it.
bool dir_is_empty(const std::string& path);
// The names of the children's scratch directories in `tmpdir`, sorted.
std::vector<std::string> scratch_dirs(const std::string& tmpdir);
// Waits for readiness and the two start-up lines; the scratch directory's
// path, or empty after a failure (already reported).
std::string start(Child& child, std::uint64_t id = CHILD_STEAM_ID);
// The two start-up lines that `start` has read, for comparing whole logs.
std::vector<std::string> startup_lines(const std::string& dir);
// The Steam calls (background calls excluded) made since `seen`, which is
// advanced past them.
std::vector<std::string> new_steam_calls(Runtime runtime, const Child& child, std::size_t& seen);
// The child shut Steam down exactly once, as its last Steam call, and the
// runtime saw no misuse.
void expect_clean_shutdown(Runtime runtime, const std::vector<std::string>& calls);

// --- The broker over TCP and stdio, with its children -----------------------

inline constexpr std::uint64_t USER_STEAM_ID = 76561198012345678ULL;
// 1.2.3.4 and 5.6.7.8 as host-order integers, the form the Steam calls take.
inline constexpr std::uint32_t IP_1_2_3_4 = 0x01020304;
inline constexpr std::uint32_t IP_5_6_7_8 = 0x05060708;

// The broker's line when a child for `appid` is ready, without "[vandrel] ".
std::string ready_line(std::uint32_t appid);
// The broker's line when that child has been reaped.
std::string reaped_line(std::uint32_t appid);
// The call-log line of a ticket request that yields `len` bytes.
std::string broker_initiate(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                            std::size_t len = DEFAULT_TICKET_LEN);
// A ticket reply as a client reads it: "vd_connect\n", the challenge, the
// user's Steam ID, the ticket's length (or `announced` instead) and the ticket.
Bytes connect_reply(std::int32_t challenge, std::uint64_t steam_id, const Bytes& ticket,
                    std::optional<std::uint32_t> announced = std::nullopt);
// An error reply as a client reads it: "vd_error\n", the challenge, the text.
Bytes error_reply(std::int32_t challenge, std::string_view text);
// The reply a client must get for a ticket of the runtime's.
Bytes expected_reply(std::int32_t challenge, std::uint32_t ip, std::uint16_t port,
                     std::uint64_t server_sid, std::size_t len = DEFAULT_TICKET_LEN);
// A child's line, or a failing Steam child's "fatal: " line, where its place
// among the broker's lines is not what a test checks (a TCP broker writes
// none while it serves).
bool is_child_or_fatal(std::string_view line);
// True while /proc has an entry for `pid`.
bool process_exists(pid_t pid);
// Waits until every thread of `pid` has ended, so that its descriptors are
// closed: the main thread is a zombie and no other thread is left (the main
// thread turns zombie while the others may still be exiting).
bool wait_dead(pid_t pid, Clock::duration limit);

// One broker's environment on a runtime: a private TMPDIR for the children's
// scratch directories and a private call log.
class Broker {
  public:
    explicit Broker(const SteamSetup& steam) : steam_(steam) {}

    // How to start the broker with `args`, `extra` added to its environment.
    Spawn spawn(std::vector<std::string> args, const Env& extra) const;
    // The children's TMPDIR.
    const std::string& tmpdir() const { return dir_.path(); }
    std::string call_log() const { return dir_.path() + "/calls.log"; }
    // The call-log lines that start with `prefix`.
    std::vector<std::string> calls(std::string_view prefix) const {
        return file_lines(call_log(), prefix);
    }
    const SteamSetup& steam() const { return steam_; }

  private:
    const SteamSetup& steam_;
    TempDir dir_;
};

// One client session with a broker of its own, over TCP or over stdio.
class Client {
  public:
    // A TCP broker and one connection to it, its session open.
    static std::unique_ptr<Client> tcp(const SteamSetup& steam, const Env& env = {});
    // A stdio broker, its session open.
    static std::unique_ptr<Client> stdio(const SteamSetup& steam, const Env& env = {});

    Process& process() { return tcp_ ? tcp_->process() : *stdio_; }
    const Broker& broker() const { return broker_; }
    TcpBroker& tcp_broker() { return *tcp_; }
    // The TCP connection, for what a test does to the socket itself.
    Fd& socket() { return socket_; }
    // A fresh TCP connection to the same broker, its session open, takes the
    // place of this one, which is closed.
    void reconnect();

    void send(const Bytes& payload) { write_bytes(in_fd(), frame_of(payload)); }
    void send(std::string_view payload) { send(bytes_of(payload)); }
    // Sends bytes as they are, not framed.
    void send_raw(const Bytes& bytes) { write_bytes(in_fd(), bytes); }
    std::optional<Bytes> reply(Clock::duration limit = LINE_TIMEOUT) {
        return read_frame(out_fd(), limit);
    }
    // The client ends its side: the broker reads end of stream.
    void close_input();
    // True when the broker sends nothing more before closing the connection
    // (for stdio: before the broker's standard output ends).
    bool nothing_more() { return reads_eof(out_fd(), LINE_TIMEOUT); }

    // The broker's next lines, its children's own lines skipped; each expected
    // line is given without the "[vandrel] " prefix.
    // Each line may take up to `limit`.
    void expect(const std::vector<std::string>& lines,
                bool (*skip)(std::string_view) = is_child_line,
                Clock::duration limit = LINE_TIMEOUT);
    // Every standard-error line read so far, for failure messages.
    std::string transcript();
    // Sends `command` and expects its "<- " line and then `lines`.
    void command(std::string_view command, const std::vector<std::string>& lines);
    // Every earlier command has been carried out once this returns: the
    // session handles frames one at a time.
    void sync() { command("vd_sync", {"command error: unknown command"}); }
    // Activates cstrike and returns the child's process ID. The child's
    // runtime announced itself before it was ready.
    pid_t activate_cstrike();
    // The broker's one child process, or -1 when there is not exactly one.
    pid_t only_child();
    // The TCP broker serves a further client: on a fresh connection a session
    // opens, handles a command and ends normally.
    void serves_next_client();

  private:
    explicit Client(const SteamSetup& steam) : broker_(steam) {}
    // Where frames go to the broker and come back from it.
    int in_fd() const { return tcp_ ? socket_.get() : stdio_->stdin_fd(); }
    int out_fd() const { return tcp_ ? socket_.get() : stdio_->stdout_fd(); }

    Broker broker_;
    std::unique_ptr<TcpBroker> tcp_;
    std::unique_ptr<Process> stdio_;
    Fd socket_;
};

} // namespace vandrel::test
