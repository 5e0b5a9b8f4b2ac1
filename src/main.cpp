// The entry point: picks the run mode, runs it, and turns its outcome into
// log lines and the exit status. Only this file decides when the process ends.
#include "args.hpp"
#include "child.hpp"
#include "exit_status.hpp"
#include "listen.hpp"
#include "log.hpp"
#include "refusal_log.hpp"
#include "supervisor.hpp"
#include "thread.hpp"
#include "transport.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vandrel {
namespace {

// The project's version, given by the build.
constexpr std::string_view VERSION = VANDREL_VERSION;

int fatal(const BrokerError& error) {
    log_line("fatal: " + error.text());
    return EXIT_FATAL;
}

// Serve local clients whose user cannot be told: where the kernel's socket
// table cannot be asked, every local user may then use the broker.
constexpr std::string_view ALLOW_UNCHECKED_OPTION = "--allow-unchecked-peers";

int print_usage() {
    std::string usage = "usage:\n  vandrel --stdio\n  vandrel [";
    usage.append(ALLOW_UNCHECKED_OPTION).append("] [listen-addr]   (default ");
    usage.append(DEFAULT_LISTEN_ADDR).append(")\n  vandrel --child <appid>\n  vandrel --version\n");
    write_stderr(usage);
    return EXIT_OK;
}

// The version goes to standard output, where `vandrel --version` is read
// from; no mode that carries frames on it is running.
int print_version() {
    std::string line = std::string("vandrel ").append(VERSION).append("\n");
    if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        return fatal(BrokerError::io(IoError::last_os()));
    return EXIT_OK;
}

int child_mode(const std::vector<std::string_view>& args) {
    std::optional<std::uint32_t> appid = args.size() > 1 ? parse_appid(args[1]) : std::nullopt;
    if (!appid)
        return fatal(BrokerError::missing_argument("appid"));
    Result<void> done = child::run(*appid);
    int status = done ? EXIT_OK : fatal(done.error());
    // The child's stdin reader thread is detached and may still be blocked in
    // a read: end the process without running static destructors under it.
    std::_Exit(status);
}

int stdio_mode() {
    log_line("starting in stdio mode");
    Result<SessionEnd> outcome = [] {
        Session session(Framed(std::make_unique<StdioTransport>()));
        return session.run();
    }();
    if (!outcome)
        return fatal(outcome.error());
    return EXIT_OK;
}

int tcp_mode(std::string_view listen_text, bool allow_unchecked) {
    Result<Fd> listener = create_listener(listen_text);
    if (!listener)
        return fatal(listener.error());
    Result<std::string> local = local_address_text(listener->get());
    if (!local) {
        listener->reset();
        return fatal(local.error());
    }
    // Said before any client is accepted: whether local clients will be
    // refused, or served unchecked, because their users cannot be told.
    bool warned_unchecked = false;
    if (Result<void> owners = check_owner_lookup(listener->get()); !owners) {
        warned_unchecked = allow_unchecked;
        log_line(
            std::string(allow_unchecked ? UNCHECKED_SERVED_WARNING : UNCHECKED_REFUSED_WARNING) +
            ": " + owners.error().text());
    }
    log_line("listening on " + *local);
    if (!is_loopback_text(listen_text))
        log_line("WARNING: listening on a non-loopback address with no authentication");

    RefusalLog refusals;
    for (;;) {
        Result<Accepted> accepted = accept_connection(listener->get());
        if (!accepted) {
            listener->reset();
            return fatal(accepted.error());
        }
        PeerCheck peer = check_peer(*accepted, allow_unchecked);
        if (peer.verdict == PeerVerdict::Refused) {
            // The refusal names the peer; a flood of them is counted instead.
            if (std::optional<std::string> line =
                    refusals.line_for(peer.who, std::move(peer.text), RefusalLog::Clock::now()))
                log_line(*line);
            continue; // the connection closes with `accepted`
        }
        log_line("accepted " + accepted->peer);
        if (peer.verdict == PeerVerdict::Unchecked && !std::exchange(warned_unchecked, true))
            log_line(peer.text);
        // The session, its connection and its child are destroyed at the end
        // of each turn, after the outcome line and before the next accept.
        Session session(Framed(std::make_unique<TcpTransport>(std::move(accepted->socket))));
        Result<SessionEnd> outcome = session.run();
        if (!outcome) {
            log_line("session error: " + outcome.error().text());
        } else if (*outcome == SessionEnd::TerminateRequested) {
            log_line("vd_terminate \u2014 exiting");
            return EXIT_OK; // the session goes, then the listener
        } else {
            log_line("session ended, awaiting next connection");
        }
    }
}

// Opens every one of descriptors 0, 1 and 2 that is not open on /dev/null, so
// that no socket or pipe of the program can take a standard descriptor's
// number: the listener on descriptor 1 would get the log, and a client
// connection on descriptor 2 the frames of a stdio session.
bool open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is `fd` itself: the ones below it are open.
        int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

int run(const std::vector<std::string_view>& args) {
    if (!open_standard_descriptors()) {
        log_line("fatal abort: cannot open /dev/null for a closed standard descriptor");
        return EXIT_ABORT;
    }
    // A write to a vanished client or child then fails with EPIPE instead of
    // killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    // The option of TCP mode may stand before or after the listen address;
    // a child's arguments are its supervisor's, never an option.
    std::vector<std::string_view> rest;
    bool allow_unchecked = false;
    for (std::string_view arg : args) {
        if (arg == ALLOW_UNCHECKED_OPTION && (rest.empty() || rest[0] != "--child"))
            allow_unchecked = true;
        else
            rest.push_back(arg);
    }
    if (rest.empty())
        return tcp_mode(DEFAULT_LISTEN_ADDR, allow_unchecked);
    std::string_view mode = rest[0];
    if (mode == "-h" || mode == "--help")
        return print_usage();
    if (mode == "--version")
        return print_version();
    if (mode == "--stdio")
        return stdio_mode();
    if (mode == "--child")
        return child_mode(rest);
    return tcp_mode(mode, allow_unchecked);
}

} // namespace
} // namespace vandrel

namespace {

// Nothing is meant to throw across the program's modules; whatever does (an
// allocation that fails) ends it as a fatal abort with its status, not with
// SIGABRT. The line is built without allocating.
int abort_on_exception(const char* what) noexcept {
    std::array<char, 256> line{};
    int n = std::snprintf(line.data(), line.size(), "%.*sfatal abort: %s\n",
                          static_cast<int>(vandrel::LOG_PREFIX.size()), vandrel::LOG_PREFIX.data(),
                          what);
    if (n > 0)
        vandrel::write_stderr(
            {line.data(), std::min(static_cast<std::size_t>(n), line.size() - 1)});
    return vandrel::EXIT_ABORT;
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string_view> args(argv + 1, argv + argc);
        return vandrel::run(args);
    } catch (const std::exception& e) {
        return abort_on_exception(e.what());
    } catch (...) {
        return abort_on_exception("unknown exception");
    }
}
