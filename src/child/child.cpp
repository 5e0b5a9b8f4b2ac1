#include "child/child.hpp"

#include "base/channel.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "base/thread.hpp"
#include "shared/args.hpp"
#include "shared/child_protocol.hpp"
#include "shared/scratch.hpp"
#include "steam/client.hpp"
#include "steam/user.hpp"
#include "vandrel/wire.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace vandrel::child {
namespace {

// The client library's limits (vandrel/wire.h) are what Steam's calls take.
static_assert(steam::MAX_TICKET_LEN == VANDREL_MAX_TICKET_LEN &&
              steam::MAX_AUTH_TICKET_LEN == VANDREL_MAX_AUTH_TICKET_LEN &&
              steam::CONFIRM_TIMEOUT == std::chrono::milliseconds(VANDREL_BROKER_CONFIRM_MS));

Bytes reply(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes conn(Args& args, SteamPort& steam) {
    std::optional<std::string_view> addr_token = args.next_token();
    std::optional<SocketAddrV4> server = addr_token ? to_socket_addr_v4(*addr_token) : std::nullopt;
    if (!server)
        return reply(BAD_ADDRESS_ANSWER);
    std::optional<std::string_view> sid_token = args.next_token();
    std::uint64_t server_steam_id = sid_token ? leading_steam_id(*sid_token) : 0;
    std::optional<std::string_view> secure_token = args.next_token();
    bool secure = secure_token && *secure_token != "0";

    log_line("child: initiate_game_connection " + server->to_string() +
             " sid=" + std::to_string(server_steam_id) + " secure=" + (secure ? "true" : "false"));
    std::optional<Bytes> ticket = steam.initiate_game_connection(server_steam_id, *server, secure);
    if (!ticket)
        return reply(REFUSED_ANSWER);
    log_line("child: ticket " + std::to_string(ticket->size()) + " bytes");
    return conn_answer(steam.steam_id(), *ticket);
}

Bytes term(Args& args, SteamPort& steam) {
    std::optional<std::string_view> addr_token = args.next_token();
    std::optional<SocketAddrV4> server = addr_token ? to_socket_addr_v4(*addr_token) : std::nullopt;
    if (server) {
        log_line("child: terminate_game_connection " + server->to_string());
        steam.terminate_game_connection(*server);
    }
    return reply(ACK_ANSWER);
}

// "-", or the argument itself.
std::optional<std::string_view> unless_none(std::string_view argument) {
    if (argument == NO_ARGUMENT)
        return std::nullopt;
    return argument;
}

Bytes auth_answer(const steam::AuthResult& result, SteamPort& steam) {
    using Kind = steam::AuthFailure::Kind;
    if (result) {
        log_line("child: auth ticket " + std::to_string(result->bytes.size()) + " bytes, handle " +
                 std::to_string(result->handle));
        return auth_ticket_answer(steam.steam_id(), result->handle, result->bytes);
    }
    switch (result.error().kind) {
    case Kind::BadIdentity:
        return reply(BAD_IDENTITY_ANSWER);
    case Kind::Unconfirmed:
        return reply(UNCONFIRMED_ANSWER);
    case Kind::Refused:
        break;
    }
    return refused_answer(result.error().result);
}

// "ticket {kind} {identity}": a missing identity counts as "-".
Bytes auth_ticket(Args& args, SteamPort& steam) {
    std::string_view kind = args.next_token().value_or("");
    std::string_view identity = args.next_token().value_or(NO_ARGUMENT);
    if (kind == SESSION_KIND) {
        log_line("child: get_auth_session_ticket identity=" + std::string(identity));
        return auth_answer(steam.session_ticket(unless_none(identity)), steam);
    }
    if (kind == WEB_API_KIND) {
        log_line("child: get_auth_ticket_for_web_api identity=" + std::string(identity));
        return auth_answer(steam.web_api_ticket(unless_none(identity)), steam);
    }
    return reply(BAD_KIND_ANSWER);
}

// "appticket" and the data, as bytes.
Bytes app_ticket(std::span<const std::uint8_t> data, SteamPort& steam) {
    if (data.size() > MAX_APP_DATA_LEN)
        return reply(BAD_DATA_ANSWER);
    log_line("child: request_encrypted_app_ticket " + std::to_string(data.size()) + " bytes");
    return auth_answer(steam.app_ticket(data), steam);
}

// "cancel {handle}": answered "ok" whether or not the handle is a number.
Bytes cancel(Args& args, SteamPort& steam) {
    std::optional<std::string_view> token = args.next_token();
    std::optional<std::uint32_t> handle = token ? to_u32(*token) : std::nullopt;
    if (handle) {
        log_line("child: cancel_auth_ticket " + std::to_string(*handle));
        steam.cancel_auth_ticket(*handle);
    }
    return reply(ACK_ANSWER);
}

// "status": the user, whether Steam has them logged on, and the runtime.
Bytes status(Args& /*args*/, SteamPort& steam) {
    steam::RuntimeIdentity runtime = steam.runtime();
    return status_answer(
        {steam.steam_id(), steam.logged_on(), runtime.standin, std::move(runtime.path)});
}

// The text requests, by their word; the app ticket request, whose data are
// bytes, is told apart before the text is checked.
struct TextRequest {
    std::string_view word;
    Bytes (*handler)(Args& args, SteamPort& steam);
};
constexpr TextRequest TEXT_REQUESTS[] = {
    {CONN_WORD, conn},     {TERM_WORD, term},     {AUTH_TICKET_WORD, auth_ticket},
    {CANCEL_WORD, cancel}, {STATUS_WORD, status},
};

// The Steam user of the running child behind the handler's interface.
class UserPort final : public SteamPort {
  public:
    UserPort(const steam::Client& client, steam::User user)
        : user_(user), auth_(client, std::move(user)) {}
    std::uint64_t steam_id() override { return user_.steam_id(); }
    std::optional<Bytes> initiate_game_connection(std::uint64_t server_steam_id,
                                                  SocketAddrV4 server, bool secure) override {
        return user_.initiate_game_connection(server_steam_id, server, secure);
    }
    void terminate_game_connection(SocketAddrV4 server) override {
        user_.terminate_game_connection(server);
    }
    steam::AuthResult session_ticket(std::optional<std::string_view> identity) override {
        return auth_.session(identity);
    }
    steam::AuthResult web_api_ticket(std::optional<std::string_view> identity) override {
        return auth_.web_api(identity);
    }
    steam::AuthResult app_ticket(std::span<const std::uint8_t> data) override {
        return auth_.app(data);
    }
    void cancel_auth_ticket(std::uint32_t handle) override { auth_.cancel(handle); }
    bool logged_on() override { return user_.logged_on(); }
    steam::RuntimeIdentity runtime() override { return steam::runtime_identity(); }

  private:
    steam::User user_;
    steam::AuthTickets auth_;
};

Result<void> write_appid_file(const std::string& appid_text) {
    Fd file(::open("steam_appid.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid())
        return BrokerError::io(IoError::last_os());
    IoResult<std::size_t> written = write_all_fd(file.get(), as_bytes(appid_text));
    if (!written)
        return BrokerError::io(std::move(written).error());
    return {};
}

// Frames must own the original standard output: the Steam runtime and the
// client library it loads may print to descriptor 1, which would corrupt the
// frame stream. Keep a private duplicate for frames and send descriptor 1 to
// standard error, where anything printed lands in the log.
Result<Fd> take_frame_output() {
    Fd frames(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (!frames.valid() || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return BrokerError::io(IoError::last_os());
    return frames;
}

// Starts the detached stdin reader: it cuts standard input into request
// frames and ends, dropping the sender, at end of input or a malformed frame.
void start_stdin_reader(Sender<Bytes> requests) {
    spawn_detached([requests = std::move(requests)]() mutable {
        read_frames(STDIN_FILENO, [&](Bytes payload) { return requests.send(std::move(payload)); });
    });
}

// Blocks until the request pipe on `fd` has no writer left, without reading
// from it; false if it cannot be watched. Requests still queued in the pipe do
// not hide the hang-up.
bool wait_for_hangup(int fd) {
    for (;;) {
        pollfd watch{fd, 0, 0}; // no events asked: only hang-up and errors wake it
        if (::poll(&watch, 1, -1) > 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Starts the detached watch that ends the child when its broker is gone
// and the main thread, held up in Steam (a hung initialisation or ticket call,
// a slow shutdown), has not ended it within CHILD_ORPHAN_GRACE. The scratch
// directory goes first, as it would in the orderly exit. The orderly exit
// stays the rule: an idle child has ended long before the grace is over.
void start_orphan_watch(std::string scratch_path) {
    spawn_detached([scratch = std::move(scratch_path)] {
        if (!wait_for_hangup(STDIN_FILENO))
            return;
        std::this_thread::sleep_for(CHILD_ORPHAN_GRACE);
        log_line("child: parent closed the pipe while Steam is busy, exiting");
        remove_scratch_tree(scratch);
        std::_Exit(EXIT_SUCCESS);
    });
}

// True, after the one line that says so, once Steam has told this process
// that it has gone: the child can serve nothing more, and ends so that its
// broker starts a new one, which reaches Steam if it is back.
bool steam_went_away(const steam::Client& client) {
    const std::optional<steam::SteamLoss> lost = client.steam_lost();
    if (!lost)
        return false;
    log_line(std::string("child: steam went away (") +
             (*lost == steam::SteamLoss::Shutdown ? "shutdown" : "IPC failure") + "), exiting");
    return true;
}

Result<void> serve(const steam::Client& client, SteamPort& steam, Framed& framed) {
    auto [sender, requests] = make_channel<Bytes>();
    start_stdin_reader(std::move(sender));
    for (;;) {
        client.run_callbacks();
        if (steam_went_away(client))
            return {};
        Received<Bytes> next = requests.receive_for(CHILD_POLL_INTERVAL);
        if (next.status == Received<Bytes>::Status::TimedOut)
            continue;
        if (next.status == Received<Bytes>::Status::Disconnected) {
            log_line("child: parent closed the pipe, exiting");
            return {};
        }
        // Steam's signals that came during the wait are seen before the
        // request is taken, and those that came while it was handled before
        // its answer goes: nothing is answered by a Steam that has gone. The
        // broker sees the child end with the request unanswered, and asks a
        // new one.
        client.run_callbacks();
        if (steam_went_away(client))
            return {};
        Bytes answer = handle(*next.value, steam);
        if (steam_went_away(client))
            return {};
        if (Result<void> sent = framed.send(answer); !sent)
            return sent;
    }
}

} // namespace

std::uint64_t leading_steam_id(std::string_view token) {
    std::uint64_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            break;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

Bytes handle(std::span<const std::uint8_t> request, SteamPort& steam) {
    if (std::optional<std::span<const std::uint8_t>> data = app_ticket_data(request))
        return app_ticket(*data, steam);
    Result<std::string_view, Utf8Error> text = check_utf8(request);
    if (!text)
        return reply(NOT_TEXT_ANSWER);
    Args args(*text);
    std::optional<std::string_view> word = args.next_token();
    for (const TextRequest& known : TEXT_REQUESTS)
        if (word == known.word)
            return known.handler(args, steam);
    std::string out(UNKNOWN_REQUEST_ANSWER);
    append_quoted(out, word.value_or(""));
    return reply(out);
}

Result<void> run(std::uint32_t appid, std::optional<std::string_view> scratch_name) {
    Result<Fd> frame_out = take_frame_output();
    if (!frame_out)
        return std::move(frame_out).error();
    // The frame channel stays open until the process ends: closing it when
    // `run` returns would let the broker see the end of our output, kill
    // us and lose the "fatal: " line that the entry point writes after it.
    int frames = frame_out->release();
    std::string appid_text = std::to_string(appid);

    // Locals are released in reverse order of declaration, which is the exit
    // order: the request channel (inside serve), the user, the client and so
    // Steam, the reply codec, and last the scratch directory.
    // A broker names the directory before it starts us, so that it can
    // remove it however we end; it is made exactly as one we name ourselves.
    if (scratch_name && !is_scratch_dir_name(*scratch_name, appid_text))
        return BrokerError::parse_failure("scratch");
    Result<ScratchDir> scratch =
        scratch_name ? ScratchDir::create_named(*scratch_name) : ScratchDir::create(appid_text);
    if (!scratch)
        return std::move(scratch).error();
    if (::chdir(scratch->path().c_str()) != 0)
        return BrokerError::io(IoError::last_os());
    Framed framed(std::make_unique<StdioTransport>(STDIN_FILENO, frames));
    // From here on the child may be held up in Steam, out of reach of its
    // request loop.
    start_orphan_watch(scratch->path());
    if (Result<void> written = write_appid_file(appid_text); !written)
        return written;
    log_line("child: appid " + appid_text + ", scratch " + scratch->path());

    Result<steam::Client, SteamAPIInitError> client = steam::Client::init();
    if (!client) {
        (void)framed.send(init_failed_message(client.error()));
        return BrokerError::steam_init(std::move(client).error());
    }
    UserPort user(*client, client->user());
    std::uint64_t steam_id = user.steam_id();
    steam::AppId running = client->utils().app_id();
    log_line("child: steam up, appid " + running.debug() + ", steamid " + std::to_string(steam_id));

    if (Result<void> sent = framed.send(ready_message(steam_id)); !sent)
        return sent;
    return serve(*client, user, framed);
}

} // namespace vandrel::child
