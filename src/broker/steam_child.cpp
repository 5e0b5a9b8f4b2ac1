#include "broker/steam_child.hpp"

#include "base/log.hpp"
#include "base/text.hpp"
#include "base/thread.hpp"
#include "shared/child_protocol.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vandrel {
namespace {

// The child's ends of its two pipes, and ours.
struct Pipes {
    Fd child_stdin, to_child;
    Fd from_child, child_stdout;
};

// A child's standard input and output, both close-on-exec until the spawn
// puts the child's ends on its descriptors 0 and 1.
Result<Pipes> make_pipes() {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return BrokerError::io(IoError::last_os());
    Pipes p{Fd(in[0]), Fd(in[1]), {}, {}};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return BrokerError::io(IoError::last_os());
    p.from_child.reset(out[0]);
    p.child_stdout.reset(out[1]);
    return p;
}

// Our end of the request pipe does not block, so that a write to a child
// that reads nothing (stopped, or hung in Steam) can give up at its deadline.
// The child's end blocks as usual.
Result<void> set_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return BrokerError::io(IoError::last_os());
    return {};
}

// The child's descriptors: the pipes on 0 and 1, standard error inherited,
// and nothing else of the broker's, whatever its close-on-exec flag (a
// descriptor the broker itself inherited may lack it).
int set_descriptors(posix_spawn_file_actions_t& actions, const Pipes& pipes) {
    if (int rc =
            ::posix_spawn_file_actions_adddup2(&actions, pipes.child_stdin.get(), STDIN_FILENO))
        return rc;
    if (int rc =
            ::posix_spawn_file_actions_adddup2(&actions, pipes.child_stdout.get(), STDOUT_FILENO))
        return rc;
    return ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

// The broker ignores SIGPIPE; the child starts with the default and sets its
// own disposition at start-up.
int set_signals(posix_spawnattr_t& attr) {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (int rc = ::posix_spawnattr_setsigdefault(&attr, &defaults))
        return rc;
    return ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
}

// The broker's environment for the child, with the calling thread's log tag
// in LOG_TAG_ENV when it has one and without the variable when it has none.
std::vector<std::string> child_environment() {
    const std::string prefix = std::string(LOG_TAG_ENV) + "=";
    std::size_t count = 0;
    while (environ[count] != nullptr)
        ++count;
    std::vector<std::string> out;
    out.reserve(count + 1);
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!std::string_view(*entry).starts_with(prefix))
            out.emplace_back(*entry);
    if (!log_tag().empty())
        out.push_back(prefix + std::string(log_tag()));
    return out;
}

// Starts the program's own executable with the pipes on the child's
// descriptors 0 and 1, telling it the name of its scratch directory.
Result<pid_t> start_process(std::uint32_t appid, const std::string& scratch, const Pipes& pipes) {
    char self[PATH_MAX];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (len < 0)
        return BrokerError::io(IoError::last_os());
    self[len] = '\0';

    posix_spawn_file_actions_t actions;
    if (int rc = ::posix_spawn_file_actions_init(&actions))
        return BrokerError::io(IoError::os(rc));
    posix_spawnattr_t attr;
    if (int rc = ::posix_spawnattr_init(&attr)) {
        ::posix_spawn_file_actions_destroy(&actions);
        return BrokerError::io(IoError::os(rc));
    }
    std::string appid_text = std::to_string(appid);
    std::string scratch_name = scratch;
    char child_flag[] = "--child";
    char* argv[] = {self, child_flag, appid_text.data(), scratch_name.data(), nullptr};
    std::vector<std::string> env = child_environment();
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = set_descriptors(actions, pipes);
    if (rc == 0)
        rc = set_signals(attr);
    if (rc == 0)
        rc = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attr, argv, envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return BrokerError::io(IoError::os(rc));
    return pid;
}

} // namespace

BoundedWrite write_before(int fd, std::span<const std::uint8_t> bytes,
                          std::chrono::steady_clock::time_point deadline) {
    BoundedWrite out;
    while (out.written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + out.written, bytes.size() - out.written);
        if (n > 0) {
            out.written += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            out.error = IoError::fixed(WRITE_ZERO_MESSAGE);
            return out;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            out.error = IoError::last_os();
            return out;
        }
        // No room: wait for the reader. A reader that has gone wakes the
        // poll, and the next write reports the broken pipe.
        pollfd room{fd, POLLOUT, 0};
        const int timeout = poll_timeout(deadline);
        if (timeout == 0)
            return out;
        if (::poll(&room, 1, timeout) < 0 && errno != EINTR) {
            out.error = IoError::last_os();
            return out;
        }
    }
    return out;
}

void pump_frames(Fd from_child, Sender<Bytes> answers) {
    read_frames(from_child.get(), [&](Bytes payload) { return answers.send(std::move(payload)); });
}

Result<SteamChild> SteamChild::spawn(std::uint32_t appid, ChildLimits limits) {
    Result<Pipes> pipes = make_pipes();
    if (!pipes)
        return std::move(pipes).error();
    // Named before the child exists, so that its directory can be removed
    // however early the child is killed.
    ChildScratch scratch = ChildScratch::choose(std::to_string(appid), scratch_random_u32());
    Result<pid_t> pid = start_process(appid, scratch.name(), *pipes);
    if (!pid)
        return std::move(pid).error();
    pipes->child_stdin.reset();
    pipes->child_stdout.reset();
    return attach(appid, *pid, ChildPipe{std::move(pipes->to_child), std::move(pipes->from_child)},
                  limits, std::move(scratch));
}

Result<SteamChild> SteamChild::attach(std::uint32_t appid, pid_t pid, ChildPipe pipe,
                                      ChildLimits limits, std::optional<ChildScratch> scratch) {
    auto [sender, receiver] = make_channel<Bytes>();
    spawn_detached([from = std::move(pipe.answers), to = std::move(sender)]() mutable {
        pump_frames(std::move(from), std::move(to));
    });
    // Built first, so that every error below kills and reaps the process.
    SteamChild child(appid, pid, std::move(pipe.requests), std::move(receiver), limits,
                     std::move(scratch));
    if (Result<void> set = set_nonblocking(child.requests_.get()); !set)
        return std::move(set).error();
    if (Result<void> ready = child.wait_ready(); !ready)
        return std::move(ready).error();
    return child;
}

Result<void> SteamChild::wait_ready() {
    const std::string tag = std::to_string(appid_);
    const auto deadline = std::chrono::steady_clock::now() + limits_.ready;
    Received<Bytes> first = receive_before(deadline);
    switch (first.status) {
    case Received<Bytes>::Status::TimedOut:
        return BrokerError::message("steam child timed out");
    case Received<Bytes>::Status::Disconnected:
        return BrokerError::message("steam child exited");
    case Received<Bytes>::Status::Value:
        break;
    }
    std::optional<std::uint64_t> steam_id = parse_ready(*first.value);
    if (!steam_id) {
        log_line("child for appid " + tag + " failed: " + decode_lossy(*first.value));
        return BrokerError::message("steam child failed to initialise");
    }
    steam_id_ = *steam_id;
    log_line("child for appid " + tag + " ready, steamid " + std::to_string(*steam_id));
    return {};
}

Received<Bytes> SteamChild::receive_before(std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    if (limits_.stop == nullptr)
        return answers_.receive_for(deadline - Clock::now());
    for (;;) {
        const bool stopping = limits_.stop->requested();
        if (stopping)
            deadline = std::min(deadline, limits_.stop->deadline());
        Received<Bytes> next =
            stopping ? answers_.receive_for(deadline - Clock::now())
                     : answers_.receive_for(deadline - Clock::now(), limits_.stop->token());
        // Woken by the stop: the wait goes on, up to the stop's deadline.
        if (next.status != Received<Bytes>::Status::TimedOut || stopping ||
            !limits_.stop->requested())
            return next;
    }
}

Result<std::unique_ptr<ChildPort>> SteamChildStarter::start(std::uint32_t appid) {
    Result<SteamChild> child = SteamChild::spawn(appid, {READY_TIMEOUT, REQUEST_TIMEOUT, stop_});
    if (!child)
        return std::move(child).error();
    return std::unique_ptr<ChildPort>(std::make_unique<SteamChild>(std::move(child).value()));
}

Result<Bytes> SteamChild::request(std::span<const std::uint8_t> payload) {
    Result<Bytes> frame = encode_frame(payload);
    if (!frame)
        return std::move(frame).error();
    // One limit for the write and the answer: a child that reads nothing
    // cannot hold the session longer than one that answers nothing.
    auto deadline = std::chrono::steady_clock::now() + limits_.request;
    if (limits_.stop != nullptr)
        deadline = std::min(deadline, limits_.stop->deadline());
    BoundedWrite sent = write_before(requests_.get(), *frame, deadline);
    if (sent.written != 0 && sent.written < frame->size())
        input_cut_ = true;
    if (sent.error) {
        // Nobody reads the child's input: the child has ended.
        ended_ = ended_ || sent.error->broken_pipe();
        return BrokerError::send(std::move(*sent.error));
    }
    if (sent.written < frame->size())
        return BrokerError::message("steam child timed out");

    // Handles that late answers carried, cancelled once this request is done:
    // a cancel written now would be answered after this request's answer,
    // and its answer then taken for this one's.
    std::vector<std::uint32_t> late;
    Result<Bytes> out = BrokerError::message("steam child timed out");
    for (bool waiting = true; waiting;) {
        Received<Bytes> next = receive_before(deadline);
        switch (next.status) {
        case Received<Bytes>::Status::TimedOut:
            ++owed_answers_;
            waiting = false;
            break;
        case Received<Bytes>::Status::Disconnected:
            ended_ = true;
            return BrokerError::message("steam child exited");
        case Received<Bytes>::Status::Value:
            if (owed_answers_ == 0) {
                out = std::move(*next.value);
                waiting = false;
            } else {
                --owed_answers_;
                if (Result<AuthTicketAnswer> ticket = read_auth_answer(*next.value);
                    ticket && ticket->handle != 0)
                    late.push_back(ticket->handle);
            }
            break;
        }
    }
    cancel_late(late, deadline);
    return out;
}

void SteamChild::cancel_late(const std::vector<std::uint32_t>& handles,
                             std::chrono::steady_clock::time_point deadline) {
    for (std::uint32_t handle : handles) {
        Result<Bytes> frame = encode_frame(as_bytes(cancel_request(handle)));
        if (!frame || input_cut_)
            return;
        log_line("cancelling late auth ticket " + std::to_string(handle));
        BoundedWrite sent = write_before(requests_.get(), *frame, deadline);
        if (sent.written == frame->size()) {
            ++owed_answers_;
            continue;
        }
        // A child that reads nothing more is left to its owner: the next
        // request finds it so.
        input_cut_ = sent.written != 0;
        return;
    }
}

bool SteamChild::exited() {
    if (ended_ || reaped_)
        return true;
    if (pid_ < 0)
        return false;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    // An error means there is nothing left to wait for either.
    reaped_ = got != 0;
    return reaped_;
}

SteamChild::SteamChild(SteamChild&& other) noexcept
    : appid_(other.appid_), pid_(other.pid_), limits_(other.limits_), steam_id_(other.steam_id_),
      owner_(std::exchange(other.owner_, false)), reaped_(other.reaped_), ended_(other.ended_),
      input_cut_(other.input_cut_), scratch_(std::move(other.scratch_)),
      answers_(std::move(other.answers_)), requests_(std::move(other.requests_)),
      owed_answers_(other.owed_answers_) {}

SteamChild::~SteamChild() {
    if (!owner_)
        return;
    if (pid_ >= 0 && !reaped_) {
        (void)::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Killed, the child could not remove its directory itself. Removed before
    // the "reaped" line, so that the line means nothing of the child is left.
    if (scratch_)
        scratch_->remove();
    if (pid_ >= 0)
        log_line("child for appid " + std::to_string(appid_) + " reaped");
    // The members go next; the reader thread then stops at the killed
    // child's end of output.
}

} // namespace vandrel
