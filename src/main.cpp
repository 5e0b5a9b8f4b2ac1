// The entry point: picks the run mode, runs it, and turns its outcome into
// log lines and the exit status. Only this file decides when the process ends.
#include "base/exit_status.hpp"
#include "base/log.hpp"
#include "base/thread.hpp"
#include "broker/activation.hpp"
#include "broker/listen.hpp"
#include "broker/server.hpp"
#include "child/child.hpp"
#include "shared/args.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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
// Ends a broker started by the service manager after this many seconds with
// no client; the next connection starts it again.
constexpr std::string_view EXIT_IDLE_OPTION = "--exit-idle";
// The longest idle limit: a day.
constexpr std::uint32_t MAX_EXIT_IDLE_SECONDS = 86400;
// How many clients a listening broker serves at once, 1 to MAX_CLIENTS.
constexpr std::string_view CLIENTS_OPTION = "--clients";

// One line per form of the command line, as the man page's synopsis lists
// them: without arguments the broker listens.
int print_usage() {
    // The options every serving form takes, before what sets it apart.
    std::string serving = std::string("  vandrel [").append(ALLOW_UNCHECKED_OPTION);
    serving.append("] [").append(CLIENTS_OPTION).append(" <n>] ");
    std::string usage = "usage:\n  vandrel --stdio\n";
    usage.append(serving).append("[listen-addr]   (default ").append(DEFAULT_LISTEN_ADDR);
    usage.append(")\n").append(serving).append(EXIT_IDLE_OPTION);
    usage.append(" <seconds>   (with sockets passed by the service manager)\n");
    usage.append("  vandrel --child <appid>\n  vandrel -h | --help\n  vandrel --version\n");
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

// A child that a broker serving several clients at once started carries its
// session's tag on its own lines too; the variable goes no further.
void take_log_tag() {
    const char* tag = std::getenv(LOG_TAG_ENV.data());
    if (tag != nullptr && is_log_tag(tag))
        set_process_log_tag(tag);
    ::unsetenv(LOG_TAG_ENV.data());
}

int child_mode(const std::vector<std::string_view>& args) {
    take_log_tag();
    std::optional<std::uint32_t> appid = args.size() > 1 ? parse_appid(args[1]) : std::nullopt;
    if (!appid)
        return fatal(BrokerError::missing_argument("appid"));
    // The broker names the scratch directory; a child started by hand names
    // its own.
    std::optional<std::string_view> scratch =
        args.size() > 2 ? std::optional<std::string_view>(args[2]) : std::nullopt;
    Result<void> done = child::run(*appid, scratch);
    int status = done ? EXIT_OK : fatal(done.error());
    // The child's stdin reader thread is detached and may still be blocked in
    // a read: end the process without running static destructors under it.
    std::_Exit(status);
}

// The exit status of a serving mode that has released everything it made;
// a stop signal ends the process by that signal, as it did before the broker
// handled it.
int finish(const Result<ServeEnd>& end) {
    if (!end)
        return fatal(end.error());
    if (end->why == ServeEnd::Why::Signalled)
        end_by_signal(end->signal);
    return EXIT_OK;
}

int stdio_mode() {
    Result<Fd> signals = block_stop_signals();
    if (!signals)
        return fatal(signals.error());
    log_line("starting in stdio mode");
    return finish(serve_stdio(signals->get()));
}

// Says before any client is accepted how the broker listens: whether local
// TCP clients will be refused or served unchecked because their users cannot
// be told, each listener's address, and a TCP address that is not loopback
// (judged by the listen address text as given, or by a passed socket's bound
// address). Returns whether the unchecked warning has been written.
bool announce(const std::vector<Listener>& listeners, bool allow_unchecked,
              std::optional<std::string_view> listen_text) {
    bool warned_unchecked = false;
    auto tcp = std::find_if(listeners.begin(), listeners.end(),
                            [](const Listener& l) { return !l.is_unix; });
    if (tcp != listeners.end()) {
        if (Result<void> owners = check_owner_lookup(tcp->socket.get()); !owners) {
            warned_unchecked = allow_unchecked;
            log_line(std::string(allow_unchecked ? UNCHECKED_SERVED_WARNING
                                                 : UNCHECKED_REFUSED_WARNING) +
                     ": " + owners.error().text());
        }
    }
    for (const Listener& l : listeners) {
        log_line("listening on " + l.local);
        if (!l.is_unix && !is_loopback_text(listen_text.value_or(l.local)))
            log_line("WARNING: listening on a non-loopback address with no authentication");
    }
    return warned_unchecked;
}

// The listeners: the sockets the service manager passed, else the one for
// the listen address. Both at once would leave one of them unserved.
Result<std::vector<Listener>> make_listeners(std::optional<std::string_view> listen_text,
                                             std::vector<Fd> passed) {
    std::vector<Listener> out;
    if (passed.empty()) {
        Result<Listener> one = open_listener(listen_text.value_or(DEFAULT_LISTEN_ADDR));
        if (!one)
            return std::move(one).error();
        out.push_back(std::move(*one));
        return out;
    }
    if (listen_text)
        return BrokerError::create_socket(IoError::fixed(
            "a listen address was given, and sockets were passed by the service manager"));
    for (Fd& fd : passed) {
        Result<Listener> adopted = adopt_listener(std::move(fd));
        if (!adopted)
            return std::move(adopted).error();
        out.push_back(std::move(*adopted));
    }
    return out;
}

int serve_mode(std::optional<std::string_view> listen_text, std::vector<Fd> passed,
               const ServeOptions& options) {
    if (options.exit_idle && passed.empty())
        return fatal(BrokerError::message(
            "--exit-idle ends only a broker whose sockets the service manager passed"));
    Result<Fd> signals = block_stop_signals();
    if (!signals)
        return fatal(signals.error());
    // The listeners go before the outcome is acted on: a stop signal ends
    // the process, with the socket file removed.
    Result<ServeEnd> end = [&]() -> Result<ServeEnd> {
        Result<std::vector<Listener>> listeners = make_listeners(listen_text, std::move(passed));
        if (!listeners)
            return std::move(listeners).error();
        bool warned_unchecked = announce(*listeners, options.allow_unchecked, listen_text);
        return serve(*listeners, options, warned_unchecked, signals->get());
    }();
    return finish(end);
}

// A whole number from 1 to `max`, in decimal digits only.
std::optional<std::uint32_t> parse_count(std::string_view text, std::uint32_t max) {
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > max)
        return std::nullopt;
    return value;
}

// The value after the option at `args[i]`, if there is one.
std::optional<std::uint32_t> option_count(const std::vector<std::string_view>& args, std::size_t i,
                                          std::uint32_t max) {
    return i + 1 < args.size() ? parse_count(args[i + 1], max) : std::nullopt;
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

// The command line: the serving mode's options, and the other arguments in
// order.
struct CommandLine {
    std::vector<std::string_view> rest;
    ServeOptions options;
    bool clients_given = false;
};

// The options of the serving mode may stand before or after the listen
// address; a child's arguments are its broker's, never an option.
Result<CommandLine> read_command_line(const std::vector<std::string_view>& args) {
    CommandLine out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool child = !out.rest.empty() && out.rest[0] == "--child";
        if (arg == ALLOW_UNCHECKED_OPTION && !child) {
            out.options.allow_unchecked = true;
        } else if (arg == EXIT_IDLE_OPTION && !child) {
            std::optional<std::uint32_t> seconds = option_count(args, i, MAX_EXIT_IDLE_SECONDS);
            if (!seconds)
                return BrokerError::parse_failure("exit-idle");
            out.options.exit_idle = std::chrono::seconds(*seconds);
            ++i;
        } else if (arg == CLIENTS_OPTION && !child) {
            std::optional<std::uint32_t> clients = option_count(args, i, MAX_CLIENTS);
            if (!clients)
                return BrokerError::parse_failure("clients");
            out.options.clients = *clients;
            out.clients_given = true;
            ++i;
        } else {
            out.rest.push_back(arg);
        }
    }
    return out;
}

int run(const std::vector<std::string_view>& args) {
    if (!open_standard_descriptors()) {
        log_line("fatal abort: cannot open /dev/null for a closed standard descriptor");
        return EXIT_ABORT;
    }
    // A write to a vanished client or child then fails with EPIPE instead of
    // killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Sockets from the service manager are taken, and LISTEN_* removed from
    // the environment, in every mode: no child ever sees them.
    Result<std::vector<Fd>> passed = take_passed_sockets();
    if (!passed)
        return fatal(passed.error());
    Result<CommandLine> line = read_command_line(args);
    if (!line)
        return fatal(line.error());
    const std::vector<std::string_view>& rest = line->rest;
    const ServeOptions& options = line->options;
    if (rest.empty())
        return serve_mode(std::nullopt, std::move(*passed), options);
    std::string_view mode = rest[0];
    if (mode == "-h" || mode == "--help")
        return print_usage();
    if (mode == "--version")
        return print_version();
    if (line->clients_given && (mode == "--stdio" || mode == "--child"))
        return fatal(BrokerError::owned_message(
            "--clients applies only to a listening broker, not to " + std::string(mode)));
    if (mode == "--stdio")
        return stdio_mode();
    if (mode == "--child")
        return child_mode(rest);
    return serve_mode(mode, std::move(*passed), options);
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
