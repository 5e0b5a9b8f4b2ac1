#include "steam_child.hpp"

#include "log.hpp"
#include "text.hpp"
#include "thread.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace vandrel {
namespace {

constexpr std::string_view READY = "ready ";
constexpr std::size_t READY_LEN = 14;

// The child's ends of its two pipes, and ours.
struct Pipes {
    Fd child_stdin, to_child;
    Fd from_child, child_stdout;
};

Result<Pipes> make_pipes() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return BrokerError::io(IoError::last_os());
    Pipes p{Fd(in[0]), Fd(in[1]), {}, {}};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return BrokerError::io(IoError::last_os());
    p.from_child.reset(out[0]);
    p.child_stdout.reset(out[1]);
    return p;
}

// Starts the program's own executable with the pipes on the child's
// descriptors 0 and 1. Every other descriptor of the broker is close-on-exec,
// so the child inherits only those two and standard error.
Result<pid_t> start_process(std::uint32_t appid, const Pipes& pipes) {
    char self[PATH_MAX];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len < 0)
        return BrokerError::io(IoError::last_os());
    self[len] = '\0';

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipes.child_stdin.get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, pipes.child_stdout.get(), STDOUT_FILENO);
    // The broker ignores SIGPIPE; the child starts with the default and sets
    // its own disposition at start-up.
    posix_spawnattr_t attr;
    ::posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

    std::string appid_text = std::to_string(appid);
    char child_flag[] = "--child";
    char* argv[] = {self, child_flag, appid_text.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return BrokerError::io(IoError::os(rc));
    return pid;
}

} // namespace

void pump_frames(Fd from_child, Sender<Bytes> answers) {
    read_frames(from_child.get(), [&](Bytes payload) { return answers.send(std::move(payload)); });
}

Result<SteamChild> SteamChild::spawn(std::uint32_t appid) {
    Result<Pipes> pipes = make_pipes();
    if (!pipes)
        return std::move(pipes).error();
    Result<pid_t> pid = start_process(appid, *pipes);
    if (!pid)
        return std::move(pid).error();
    pipes->child_stdin.reset();
    pipes->child_stdout.reset();

    auto [sender, receiver] = make_channel<Bytes>();
    spawn_detached([from = std::move(pipes->from_child), to = std::move(sender)]() mutable {
        pump_frames(std::move(from), std::move(to));
    });
    SteamChild child(appid, *pid, std::move(pipes->to_child), std::move(receiver));

    Received<Bytes> first = child.answers_.receive_for(READY_TIMEOUT);
    switch (first.status) {
    case Received<Bytes>::Status::TimedOut:
        return BrokerError::message("steam child timed out");
    case Received<Bytes>::Status::Disconnected:
        return BrokerError::message("steam child exited");
    case Received<Bytes>::Status::Value:
        break;
    }
    const Bytes& payload = *first.value;
    if (payload.size() < READY_LEN || as_chars(payload).substr(0, READY.size()) != READY) {
        log_line("child for appid " + std::to_string(appid) + " failed: " + decode_lossy(payload));
        return BrokerError::message("steam child failed to initialise");
    }
    for (std::size_t i = 0; i < 8; ++i)
        child.steam_id_ |= std::uint64_t{payload[READY.size() + i]} << (8 * i);
    log_line("child for appid " + std::to_string(appid) + " ready, steamid " +
             std::to_string(child.steam_id_));
    return child;
}

Result<Bytes> SteamChild::request(std::span<const std::uint8_t> payload) {
    Result<Bytes> frame = encode_frame(payload);
    if (!frame)
        return std::move(frame).error();
    if (IoResult<std::size_t> sent = write_all_fd(requests_.get(), *frame); !sent)
        return BrokerError::send(std::move(sent).error());

    auto deadline = std::chrono::steady_clock::now() + REQUEST_TIMEOUT;
    for (;;) {
        Received<Bytes> next = answers_.receive_for(deadline - std::chrono::steady_clock::now());
        switch (next.status) {
        case Received<Bytes>::Status::TimedOut:
            ++owed_answers_;
            return BrokerError::message("steam child timed out");
        case Received<Bytes>::Status::Disconnected:
            return BrokerError::message("steam child exited");
        case Received<Bytes>::Status::Value:
            break;
        }
        if (owed_answers_ == 0)
            return std::move(*next.value);
        --owed_answers_;
    }
}

SteamChild::SteamChild(SteamChild&& other) noexcept
    : appid_(other.appid_), steam_id_(other.steam_id_), pid_(std::exchange(other.pid_, -1)),
      answers_(std::move(other.answers_)), requests_(std::move(other.requests_)),
      owed_answers_(other.owed_answers_) {}

SteamChild::~SteamChild() {
    if (pid_ < 0)
        return;
    (void)::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    log_line("child for appid " + std::to_string(appid_) + " reaped");
    // The members go next; the reader thread then stops at the killed
    // child's end of output.
}

} // namespace vandrel
