#include "broker/server.hpp"

#include "base/log.hpp"
#include "base/stop.hpp"
#include "base/thread.hpp"
#include "broker/refusal_log.hpp"
#include "broker/session.hpp"
#include "broker/steam_child.hpp"
#include "shared/transport.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vandrel {
namespace {

using Clock = std::chrono::steady_clock;

// The signals that stop the broker, and how the line that says so names them:
// systemctl stop, Ctrl-C, a closed terminal.
struct StopSignalName {
    int signal;
    std::string_view name;
};
constexpr std::array<StopSignalName, 3> STOP_SIGNALS = {
    {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}}};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const StopSignalName& s : STOP_SIGNALS)
        sigaddset(&set, s.signal);
    return set;
}

std::string stopping_line(int signal) {
    for (const StopSignalName& s : STOP_SIGNALS)
        if (s.signal == signal)
            return "stopping on " + std::string(s.name);
    return "stopping on signal " + std::to_string(signal);
}

// The signal waiting on the signal descriptor, if any.
std::optional<int> read_signal(int signals) {
    signalfd_siginfo info{};
    ssize_t n;
    do {
        n = ::read(signals, &info, sizeof info);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof info))
        return std::nullopt;
    return static_cast<int>(info.ssi_signo);
}

// Adds one to an eventfd's counter, which makes it readable.
void post(int event) {
    const std::uint64_t one = 1;
    while (::write(event, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Empties an eventfd's counter.
void drain(int event) {
    std::uint64_t count = 0;
    while (::read(event, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

// The outcome line of a listening broker's session, before the session (and
// with it its child) goes. A session that the stop ended has said so itself.
void report_outcome(const Result<SessionEnd>& outcome, const StopSignal& stop) {
    if (!outcome)
        log_line("session error: " + outcome.error().text());
    else if (*outcome == SessionEnd::Closed && !stop.requested())
        log_line("session ended, awaiting next connection");
}

// One session on a thread of its own: its lines and its child's carry its
// tag, its input and its child's answers give way to the stop, and when it
// has ended (its connection closed, its child reaped) it posts to `done`.
class SessionThread {
  public:
    // With `report`, the thread writes the outcome lines of a listening broker.
    SessionThread(std::unique_ptr<Transport> transport, std::string tag, const StopSignal& stop,
                  int done, bool report)
        : thread_(spawn_thread(
              [this, transport = std::move(transport), tag = std::move(tag), &stop, done,
               report]() mutable { run(std::move(transport), tag, stop, done, report); })) {}
    SessionThread(const SessionThread&) = delete;
    SessionThread& operator=(const SessionThread&) = delete;
    ~SessionThread() {
        if (thread_.joinable())
            thread_.join();
    }

    // True once the session has ended and released what it held.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // Waits for the thread to end; the session's outcome.
    Result<SessionEnd> join() {
        thread_.join();
        return std::move(*outcome_);
    }

  private:
    void run(std::unique_ptr<Transport> transport, const std::string& tag, const StopSignal& stop,
             int done, bool report) {
        set_log_tag(tag);
        transport->stop_on(stop);
        SteamChildStarter children(&stop);
        {
            Session session(Framed(std::move(transport)), children);
            Result<SessionEnd> outcome = session.run();
            if (report)
                report_outcome(outcome, stop);
            outcome_.emplace(std::move(outcome));
        }
        finished_.store(true, std::memory_order_release);
        post(done);
    }

    // Written by the session's thread before `finished_`, read after the join.
    std::optional<Result<SessionEnd>> outcome_;
    std::atomic<bool> finished_{false};
    std::thread thread_; // last: it starts once the rest is there
};

// The sessions running at once, the notice that one of them has ended, and
// the stop they all give way to. Destroying it stops and joins the sessions
// still running.
class Sessions {
  public:
    static Result<Sessions> create() {
        Result<std::unique_ptr<StopSignal>> stop = StopSignal::create();
        if (!stop)
            return std::move(stop).error();
        Fd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!done.valid())
            return BrokerError::io(IoError::last_os());
        return Sessions(std::move(*stop), std::move(done));
    }
    Sessions(Sessions&&) noexcept = default;
    Sessions& operator=(Sessions&&) = delete;
    Sessions(const Sessions&) = delete;
    Sessions& operator=(const Sessions&) = delete;
    ~Sessions() {
        if (stop_)
            stop_all();
    }

    void start(std::unique_ptr<Transport> transport, std::string tag, bool report) {
        running_.push_back(std::make_unique<SessionThread>(std::move(transport), std::move(tag),
                                                           *stop_, done_.get(), report));
    }
    std::size_t live() const { return running_.size(); }
    // Readable once a session has ended since the last `reap`.
    int done_fd() const { return done_.get(); }

    // Joins every session that has ended; their outcomes.
    std::vector<Result<SessionEnd>> reap() {
        drain(done_.get());
        std::vector<Result<SessionEnd>> outcomes;
        for (auto it = running_.begin(); it != running_.end();) {
            if (!(*it)->finished()) {
                ++it;
                continue;
            }
            outcomes.push_back((*it)->join());
            it = running_.erase(it);
        }
        return outcomes;
    }

    // Ends every session as if its client had gone: its input ends, what it
    // still asks of its child is over within STOP_GRACE, and its child is
    // killed and reaped. Returns once every session's thread has ended.
    void stop_all() {
        stop_->request(STOP_GRACE);
        for (auto& session : running_)
            (void)session->join();
        running_.clear();
    }

  private:
    Sessions(std::unique_ptr<StopSignal> stop, Fd done)
        : stop_(std::move(stop)), done_(std::move(done)) {}

    std::unique_ptr<StopSignal> stop_;
    Fd done_;
    std::vector<std::unique_ptr<SessionThread>> running_;
};

// The accept loop of a listening broker.
class Server {
  public:
    Server(std::span<const Listener> listeners, const ServeOptions& options, bool warned_unchecked,
           int signals, Sessions sessions)
        : listeners_(listeners), options_(options), warned_unchecked_(warned_unchecked),
          signals_(signals), sessions_(std::move(sessions)) {}

    Result<ServeEnd> run();

  private:
    // What woke the loop: a stop signal, or a listener with a client waiting;
    // neither when a session ended or the idle limit is to be looked at.
    struct Wake {
        std::optional<int> signal;
        const Listener* listener = nullptr;
    };

    // Joins the sessions that have ended; true when one of them asked the
    // broker to stop.
    bool reap();
    // Milliseconds the idle limit leaves, 0 once it has passed, -1 without
    // one or while a session runs.
    int idle_timeout() const;
    // Waits up to `timeout` ms for a signal, a session's end, or a client
    // while there is room for one: until then clients wait in the backlog.
    Result<Wake> wait(int timeout);
    // Accepts the client waiting on `listener` and starts its session, unless
    // it may not use the broker.
    Result<void> accept_from(const Listener& listener);
    // Starts a session for a client that may use the broker.
    void admit(Accepted client);

    std::span<const Listener> listeners_;
    const ServeOptions& options_;
    bool warned_unchecked_;
    int signals_;
    Sessions sessions_;
    RefusalLog refusals_;
    // Sessions started so far: the next one's number is one more.
    std::uint64_t accepted_ = 0;
    // Since when the broker has had no session; the idle limit counts from it.
    Clock::time_point idle_since_ = Clock::now();
    std::vector<pollfd> polls_;
};

bool Server::reap() {
    const bool had_sessions = sessions_.live() > 0;
    bool terminate = false;
    for (const Result<SessionEnd>& outcome : sessions_.reap())
        terminate = terminate || (outcome && *outcome == SessionEnd::TerminateRequested);
    if (had_sessions && sessions_.live() == 0)
        idle_since_ = Clock::now();
    return terminate;
}

int Server::idle_timeout() const {
    if (!options_.exit_idle || sessions_.live() > 0)
        return -1;
    return poll_timeout(idle_since_ + *options_.exit_idle);
}

Result<Server::Wake> Server::wait(int timeout) {
    polls_ = {{signals_, POLLIN, 0}, {sessions_.done_fd(), POLLIN, 0}};
    if (sessions_.live() < options_.clients)
        for (const Listener& l : listeners_)
            polls_.push_back({l.socket.get(), POLLIN, 0});
    if (::poll(polls_.data(), polls_.size(), timeout) < 0) {
        if (errno == EINTR)
            return Wake{};
        return BrokerError::io(IoError::last_os());
    }
    if (polls_[0].revents != 0)
        if (std::optional<int> signal = read_signal(signals_))
            return Wake{signal, nullptr};
    for (std::size_t i = 2; i < polls_.size(); ++i)
        if (polls_[i].revents != 0)
            return Wake{std::nullopt, &listeners_[i - 2]};
    return Wake{};
}

Result<void> Server::accept_from(const Listener& listener) {
    Result<std::optional<Accepted>> accepted = accept_ready(listener);
    if (!accepted)
        return std::move(accepted).error();
    if (*accepted)
        admit(std::move(**accepted));
    return {};
}

void Server::admit(Accepted client) {
    PeerCheck peer = check_peer(client, options_.allow_unchecked);
    if (peer.verdict == PeerVerdict::Refused) {
        // The refusal names the peer; a flood of them is counted instead.
        if (std::optional<std::string> line =
                refusals_.line_for(peer.who, std::move(peer.text), RefusalLog::Clock::now()))
            log_line(*line);
        idle_since_ = Clock::now();
        return; // the connection closes with `client`
    }
    // With one session at a time the lines are as they always were; with
    // more, each session's lines are told apart by its number.
    ++accepted_;
    std::string tag = options_.clients > 1 ? "#" + std::to_string(accepted_) : std::string();
    set_log_tag(tag);
    log_line("accepted " + client.peer);
    set_log_tag("");
    if (peer.verdict == PeerVerdict::Unchecked && !std::exchange(warned_unchecked_, true))
        log_line(peer.text);
    std::unique_ptr<Transport> transport;
    if (client.is_unix)
        transport = std::make_unique<UnixTransport>(std::move(client.socket), client.peer);
    else
        transport = std::make_unique<TcpTransport>(std::move(client.socket));
    sessions_.start(std::move(transport), std::move(tag), /*report=*/true);
}

// The sessions still running when `run` returns stop as the server goes.
Result<ServeEnd> Server::run() {
    for (;;) {
        if (reap()) {
            log_line("vd_terminate \u2014 exiting");
            sessions_.stop_all();
            return ServeEnd{ServeEnd::Why::Terminated};
        }
        const int timeout = idle_timeout();
        if (timeout == 0) {
            log_line("no client for " + std::to_string(options_.exit_idle->count()) +
                     " s, exiting");
            return ServeEnd{ServeEnd::Why::Idle};
        }
        Result<Wake> woke = wait(timeout);
        if (!woke)
            return std::move(woke).error();
        if (woke->signal) {
            log_line(stopping_line(*woke->signal));
            sessions_.stop_all();
            return ServeEnd{ServeEnd::Why::Signalled, *woke->signal};
        }
        if (woke->listener != nullptr)
            if (Result<void> accepted = accept_from(*woke->listener); !accepted)
                return std::move(accepted).error();
    }
}

} // namespace

Result<Fd> block_stop_signals() {
    const sigset_t set = stop_signal_set();
    if (const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0)
        return BrokerError::io(IoError::os(rc));
    Fd signals(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals.valid())
        return BrokerError::io(IoError::last_os());
    return signals;
}

Result<ServeEnd> serve(std::span<const Listener> listeners, const ServeOptions& options,
                       bool warned_unchecked, int signals) {
    Result<Sessions> sessions = Sessions::create();
    if (!sessions)
        return std::move(sessions).error();
    Server server(listeners, options, warned_unchecked, signals, std::move(*sessions));
    return server.run();
}

Result<ServeEnd> serve_stdio(int signals) {
    Result<Sessions> made = Sessions::create();
    if (!made)
        return std::move(made).error();
    Sessions& sessions = *made;
    sessions.start(std::make_unique<StdioTransport>(), std::string(), /*report=*/false);
    for (;;) {
        pollfd polls[] = {{signals, POLLIN, 0}, {sessions.done_fd(), POLLIN, 0}};
        if (::poll(polls, std::size(polls), -1) < 0) {
            if (errno == EINTR)
                continue;
            return BrokerError::io(IoError::last_os());
        }
        if (polls[0].revents != 0) {
            if (std::optional<int> signal = read_signal(signals)) {
                log_line(stopping_line(*signal));
                sessions.stop_all();
                return ServeEnd{ServeEnd::Why::Signalled, *signal};
            }
        }
        std::vector<Result<SessionEnd>> ended = sessions.reap();
        if (ended.empty())
            continue;
        if (!ended.front())
            return std::move(ended.front()).error();
        return ServeEnd{ServeEnd::Why::Ended};
    }
}

void end_by_signal(int signal) {
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigemptyset(&by_default.sa_mask);
    ::sigaction(signal, &by_default, nullptr);
    // Still blocked, the signal waits until it is unblocked, and then ends us.
    ::raise(signal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::_Exit(128 + signal);
}

} // namespace vandrel
