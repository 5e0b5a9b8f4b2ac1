#include "broker/session.hpp"

#include "base/log.hpp"
#include "base/text.hpp"
#include "broker/listen.hpp"
#include "broker/steam_child.hpp"
#include "common/grammar.h"
#include "shared/appid.hpp"
#include "shared/args.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <unistd.h>

namespace vandrel {
namespace {

constexpr std::string_view CONNECT_REPLY_WORD = VANDREL_CONNECT_REPLY_WORD;
constexpr std::string_view ERROR_REPLY_WORD = VANDREL_ERROR_REPLY_WORD;
constexpr std::string_view ERROR_SEPARATOR = VANDREL_ERROR_REPLY_SEPARATOR;
constexpr std::size_t CHALLENGE_LEN = VANDREL_CHALLENGE_SIZE;
constexpr std::string_view AUTH_REPLY_WORD = VANDREL_AUTH_TICKET_REPLY_WORD;
constexpr std::size_t HANDLE_LEN = VANDREL_HANDLE_SIZE;
constexpr std::size_t TICKET_LEN_LEN = VANDREL_TICKET_LEN_SIZE;

// The connect reply is the word, the challenge, then the child's answer from
// its Steam ID on; the error reply is the word, the challenge, then the text.
static_assert(CONNECT_REPLY_WORD.size() == VANDREL_CONNECT_REPLY_WORD_LEN &&
              VANDREL_CONNECT_REPLY_CHALLENGE_AT == CONNECT_REPLY_WORD.size() &&
              VANDREL_CONNECT_REPLY_STEAM_ID_AT == CONNECT_REPLY_WORD.size() + CHALLENGE_LEN);
static_assert(VANDREL_CONNECT_REPLY_TICKET_LEN_AT - VANDREL_CONNECT_REPLY_STEAM_ID_AT ==
                  CONN_TICKET_LEN_AT - CONN_STEAM_ID_AT &&
              VANDREL_CONNECT_REPLY_HEADER_LEN - VANDREL_CONNECT_REPLY_STEAM_ID_AT ==
                  CONN_HEADER_LEN - CONN_STEAM_ID_AT);
static_assert(ERROR_REPLY_WORD.size() == VANDREL_ERROR_REPLY_WORD_LEN &&
              VANDREL_ERROR_REPLY_CHALLENGE_AT == ERROR_REPLY_WORD.size() &&
              VANDREL_ERROR_REPLY_TEXT_AT == ERROR_REPLY_WORD.size() + CHALLENGE_LEN);
// The auth ticket reply is the word, the challenge, the child's Steam ID, the
// handle, N and the ticket.
static_assert(AUTH_REPLY_WORD.size() == VANDREL_AUTH_TICKET_REPLY_WORD_LEN &&
              VANDREL_AUTH_TICKET_REPLY_CHALLENGE_AT == AUTH_REPLY_WORD.size() &&
              VANDREL_AUTH_TICKET_REPLY_STEAM_ID_AT == AUTH_REPLY_WORD.size() + CHALLENGE_LEN &&
              VANDREL_AUTH_TICKET_REPLY_HANDLE_AT ==
                  VANDREL_AUTH_TICKET_REPLY_STEAM_ID_AT + STEAM_ID_LEN &&
              VANDREL_AUTH_TICKET_REPLY_TICKET_LEN_AT ==
                  VANDREL_AUTH_TICKET_REPLY_HANDLE_AT + HANDLE_LEN &&
              VANDREL_AUTH_TICKET_REPLY_HEADER_LEN ==
                  VANDREL_AUTH_TICKET_REPLY_TICKET_LEN_AT + TICKET_LEN_LEN);
// Every reply that answers a request begins with the request's word, a line
// feed and the challenge (sizeof counts the line feed in the terminator's
// place); the fields or the text follow.
#define CHECK_REPLY_FORM(name, word, steam_id_at, handle_at, len_at, header_len)                   \
    static_assert(((steam_id_at) != 0 ? (steam_id_at) : (header_len)) ==                           \
                  sizeof(word) + CHALLENGE_LEN);
VANDREL_REPLY_FORMS(CHECK_REPLY_FORM)
#undef CHECK_REPLY_FORM
constexpr std::string_view STATUS_REPLY_WORD = VANDREL_STATUS_REPLY_WORD;
static_assert(STATUS_REPLY_WORD.size() == VANDREL_STATUS_REPLY_WORD_LEN &&
              VANDREL_STATUS_REPLY_CHALLENGE_AT == STATUS_REPLY_WORD.size() &&
              VANDREL_STATUS_REPLY_TEXT_AT == STATUS_REPLY_WORD.size() + CHALLENGE_LEN);
// The client library's limits and time-outs (vandrel/wire.h) are the
// broker's own.
static_assert(READY_TIMEOUT == std::chrono::milliseconds(VANDREL_BROKER_START_MS) &&
              REQUEST_TIMEOUT == std::chrono::milliseconds(VANDREL_BROKER_REQUEST_MS));
static_assert(MAX_APP_DATA_LEN == VANDREL_MAX_APP_DATA_LEN &&
              DEFAULT_LISTEN_ADDR == VANDREL_DEFAULT_BROKER_ADDR);
// The broker's version, as `vandrel --version` prints it.
constexpr std::string_view VERSION = VANDREL_VERSION;
// The one text for a command that needs the game's Steam child when there is
// none: none was started, or the last one failed or was cut off.
constexpr std::string_view NO_CHILD_MESSAGE = "no steam child";
// How a command's arguments name the challenge its error reply carries.
constexpr std::string_view CHALLENGE_ARGUMENT = "CHALLENGE";
// The runtime's path in a status line: control characters escaped, cut to a
// size that keeps the whole reply within one frame.
constexpr std::size_t MAX_RUNTIME_TEXT_LEN = 2048;

// One "key value" line of the status reply.
std::string status_line(std::string_view key, std::string_view value) {
    return std::string(key).append(" ").append(value).append("\n");
}

void append_challenge(Bytes& out, std::int32_t challenge) {
    append_le(out, static_cast<std::uint32_t>(challenge), CHALLENGE_LEN);
}

// Stateless, so one serves every session.
ChildStarter& steam_children() {
    static SteamChildStarter starter;
    return starter;
}

// The arguments of "vd_ticket", each checked and in the form it travels in:
// an identity as the client wrote it, app data decoded from its hex.
struct AuthTicketArgs {
    std::string_view kind;
    std::string_view identity; // session and web API: an identity, or NO_ARGUMENT
    Bytes data;                // app: the data the ticket carries
    std::int32_t challenge = 0;
};

// An app ticket's data: none for NO_ARGUMENT, else the decoded hex.
std::optional<Bytes> app_data_of(std::string_view argument) {
    if (argument == NO_ARGUMENT)
        return Bytes{};
    std::array<std::uint8_t, MAX_APP_DATA_LEN> data{};
    std::size_t len = 0;
    if (!vd_parse_app_data(argument.data(), argument.size(), data.data(), &len))
        return std::nullopt;
    return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(len));
}

// KIND, ARG and CHALLENGE. Whether Steam can parse a session identity is left
// to Steam, in the child; that every byte of it reaches Steam is checked here.
Result<AuthTicketArgs> read_auth_ticket_args(Args& args) {
    Result<std::string_view> kind = args.parse_text("kind");
    if (!kind)
        return std::move(kind).error();
    const bool app = *kind == APP_KIND;
    if (!app && *kind != SESSION_KIND && *kind != WEB_API_KIND)
        return BrokerError::parse_failure("kind");
    const std::string_view argument_name = app ? "data" : "identity";
    Result<std::string_view> argument = args.parse_text(argument_name);
    if (!argument)
        return std::move(argument).error();
    AuthTicketArgs out{*kind, NO_ARGUMENT, {}, 0};
    if (app) {
        std::optional<Bytes> data = app_data_of(*argument);
        if (!data)
            return BrokerError::parse_failure(argument_name);
        out.data = std::move(*data);
    } else if (*argument != NO_ARGUMENT) {
        if (!vd_is_identity(argument->data(), argument->size()))
            return BrokerError::parse_failure(argument_name);
        out.identity = *argument;
    }
    Result<std::int32_t> challenge = args.parse_i32("challenge");
    if (!challenge)
        return std::move(challenge).error();
    out.challenge = *challenge;
    return out;
}

// The challenge that the error reply of a command with `arguments` carries:
// the argument written CHALLENGE once the handler has read it, which `read`
// (the handler's cursor) has gone past; else 0.
std::int32_t failed_challenge(std::string_view arguments, std::string_view text, const Args& read) {
    Args names(arguments);
    Args values(text);
    for (std::size_t i = 0; i < read.taken(); ++i) {
        std::optional<std::string_view> name = names.next_token();
        std::optional<std::string_view> value = values.next_token();
        if (name == CHALLENGE_ARGUMENT && value)
            return to_i32(*value).value_or(0);
    }
    return 0;
}

} // namespace

Bytes connect_reply(std::int32_t challenge, std::span<const std::uint8_t> answer, std::uint32_t n) {
    // The answer's Steam ID, N and ticket follow the challenge unchanged.
    auto tail = answer.subspan(CONN_STEAM_ID_AT, CONN_HEADER_LEN - CONN_STEAM_ID_AT + n);
    Bytes out;
    out.reserve(CONNECT_REPLY_WORD.size() + CHALLENGE_LEN + tail.size());
    out.insert(out.end(), CONNECT_REPLY_WORD.begin(), CONNECT_REPLY_WORD.end());
    append_challenge(out, challenge);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

Bytes auth_ticket_reply(std::int32_t challenge, const AuthTicketAnswer& answer) {
    Bytes out;
    out.reserve(AUTH_REPLY_WORD.size() + CHALLENGE_LEN + answer.steam_id.size() + HANDLE_LEN +
                TICKET_LEN_LEN + answer.ticket.size());
    out.assign(AUTH_REPLY_WORD.begin(), AUTH_REPLY_WORD.end());
    append_challenge(out, challenge);
    out.insert(out.end(), answer.steam_id.begin(), answer.steam_id.end());
    append_le(out, answer.handle, HANDLE_LEN);
    append_le(out, answer.ticket.size(), TICKET_LEN_LEN);
    out.insert(out.end(), answer.ticket.begin(), answer.ticket.end());
    return out;
}

Bytes status_reply(std::int32_t challenge, std::string_view lines) {
    Bytes out(STATUS_REPLY_WORD.begin(), STATUS_REPLY_WORD.end());
    out.reserve(STATUS_REPLY_WORD.size() + CHALLENGE_LEN + lines.size());
    append_challenge(out, challenge);
    out.insert(out.end(), lines.begin(), lines.end());
    return out;
}

Bytes error_reply(std::int32_t challenge, std::string_view word, std::string_view text) {
    // Only a client's command word can be long enough to overflow a frame.
    std::size_t fixed =
        ERROR_REPLY_WORD.size() + CHALLENGE_LEN + ERROR_SEPARATOR.size() + text.size();
    std::size_t room = fixed < MAX_FRAME_PAYLOAD ? MAX_FRAME_PAYLOAD - fixed : 0;
    word = utf8_prefix(word, room);
    Bytes out(ERROR_REPLY_WORD.begin(), ERROR_REPLY_WORD.end());
    out.reserve(fixed + word.size());
    append_challenge(out, challenge);
    out.insert(out.end(), word.begin(), word.end());
    out.insert(out.end(), ERROR_SEPARATOR.begin(), ERROR_SEPARATOR.end());
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

// The client commands. A client that never sends a word sees nothing of its
// command.
const Session::Command Session::COMMANDS[] = {
    {VANDREL_CMD_GAMEDIR, "GAMEDIR", &Session::gamedir},
    {VANDREL_CMD_CONNECT, "ADDR SERVER_STEAM_ID SECURE CHALLENGE", &Session::connect},
    {VANDREL_CMD_DISCONNECT, "ADDR CHALLENGE", &Session::disconnect},
    {VANDREL_CMD_ERRORS, "MODE", &Session::errors},
    {VANDREL_CMD_APPID, "APPID", &Session::appid},
    {VANDREL_CMD_TICKET, "KIND ARG CHALLENGE", &Session::auth_ticket},
    {VANDREL_CMD_CANCEL, "HANDLE", &Session::cancel},
    {VANDREL_CMD_STATUS, "CHALLENGE", &Session::status},
    {VANDREL_CMD_TERMINATE, "", &Session::terminate, true},
};

Session::Session(Framed framed) : Session(std::move(framed), steam_children()) {}

Result<SessionEnd> Session::run() {
    log_line("session open on " + framed_.transport().describe());
    for (;;) {
        Result<std::optional<Bytes>> frame = framed_.next_frame();
        if (!frame) {
            // A client that went away abruptly is gone all the same: Steam
            // must hear that its game connection and tickets ended.
            cleanup_all_tickets();
            return std::move(frame).error();
        }
        if (!frame->has_value()) {
            // The broker's stop ends the input of every session: each ends as
            // if its client had gone.
            log_line(framed_.transport().stopped() ? "the broker stops, ending the session"
                                                   : "peer closed the connection");
            cleanup_all_tickets();
            return SessionEnd::Closed;
        }
        Result<std::string_view, Utf8Error> text = check_utf8(**frame);
        if (!text) {
            std::string lossy = decode_lossy(**frame);
            report_command_error(split_first_word(lossy).word, 0,
                                 BrokerError::invalid_string(text.error()));
            continue;
        }
        WordSplit line = split_first_word(*text);
        log_line(std::string("<- ").append(line.word));
        if (std::optional<SessionEnd> end = execute(line.word, line.rest))
            return *end;
    }
}

std::optional<SessionEnd> Session::execute(std::string_view word, std::string_view arguments) {
    const auto* command = std::find_if(std::begin(COMMANDS), std::end(COMMANDS),
                                       [word](const Command& c) { return c.word == word; });
    if (command == std::end(COMMANDS)) {
        report_command_error(word, 0, BrokerError::message("unknown command"));
        return std::nullopt;
    }
    Args args(arguments);
    Result<void> done = (this->*command->handler)(args);
    if (!done) {
        report_command_error(word, failed_challenge(command->arguments, arguments, args),
                             done.error());
        return std::nullopt;
    }
    if (command->ends_session)
        return SessionEnd::TerminateRequested;
    return std::nullopt;
}

Result<void> Session::gamedir(Args& args) {
    Result<std::string_view> name = args.parse_text("gamedir");
    if (!name)
        return std::move(name).error();
    std::optional<std::uint32_t> appid = appid_for_gamedir(*name);
    if (!appid)
        return BrokerError::message("no Steam AppID known for this gamedir");
    // Appended rather than `"\"" + std::string(*name)`: at -O2 g++ 12 warns
    // that the inlined insert at the front may copy overlapping bytes, which
    // it cannot (-Wrestrict, GCC bug 105329).
    return activate(*appid, std::string("gamedir \"").append(*name).append(1, '"'));
}

Result<void> Session::appid(Args& args) {
    Result<std::string_view> token = args.parse_text("appid");
    if (!token)
        return std::move(token).error();
    std::optional<std::uint32_t> appid = to_appid(*token);
    if (!appid)
        return BrokerError::parse_failure("appid");
    return activate(*appid, "appid " + std::to_string(*appid));
}

Result<void> Session::activate(std::uint32_t appid, const std::string& named) {
    const std::string appid_text = std::to_string(appid);
    const bool same = child_ && child_->appid() == appid;
    if (child_ && !same)
        log_line("switching appid " + std::to_string(child_->appid()) + " -> " + appid_text);
    // A child that has ended (Steam went away, it crashed, it was killed
    // from outside) is replaced: the game starts afresh, as if it were new.
    if (!drop_if_ended() && same) {
        log_line(named + " already active (appid " + appid_text + ")");
        game_ = Game{appid, named};
        state_ = Active{};
        return {};
    }
    if (child_) {
        // Its tickets end with the child that issued them, which is gone
        // before the new one starts.
        cancel_auth_tickets();
        child_.reset();
    }
    // The game the client named is the session's from now on, whether or
    // not its child starts: a later request tries again.
    game_ = Game{appid, named};
    if (Result<void> started = start_child(); !started)
        return started;
    state_ = Active{};
    return {};
}

Result<void> Session::start_child() {
    log_line("activating " + game_->named + " (appid " + std::to_string(game_->appid) + ")");
    Result<std::unique_ptr<ChildPort>> child = children_.start(game_->appid);
    if (!child)
        return std::move(child).error();
    child_ = std::move(child).value();
    // Steam restarted with another account: the replies carry the new user
    // from here on, and the log says why.
    const std::uint64_t user = child_->steam_id();
    if (steam_id_ && *steam_id_ != user)
        log_line("steam user changed from " + std::to_string(*steam_id_) + " to " +
                 std::to_string(user));
    steam_id_ = user;
    return {};
}

Result<void> Session::live_child() {
    if (child_ && !drop_if_ended())
        return {};
    if (!game_)
        return BrokerError::message(NO_CHILD_MESSAGE);
    return start_child();
}

Result<void> Session::connect(Args& args) {
    if (std::holds_alternative<Inactive>(state_))
        return BrokerError::message("session not active");
    Result<SocketAddrV4> server = args.parse_addr("ip addr");
    if (!server)
        return std::move(server).error();
    Result<std::string_view> steam_id = args.parse_text("steam id");
    if (!steam_id)
        return std::move(steam_id).error();
    Result<std::int32_t> secure = args.parse_i32("secure");
    if (!secure)
        return std::move(secure).error();
    Result<std::int32_t> challenge = args.parse_i32("challenge");
    if (!challenge)
        return std::move(challenge).error();

    Result<Bytes> answer = ask_live_child(as_bytes(conn_request(*server, *steam_id, *secure)));
    if (!answer)
        return std::move(answer).error();
    std::span<const std::uint8_t> got = *answer;
    if (!is_conn_answer(got)) {
        log_line(decode_lossy(got));
        return BrokerError::message("steam refused to issue auth ticket");
    }
    Result<std::uint32_t> n = conn_ticket_length(got);
    if (!n)
        return std::move(n).error();

    state_ = ActiveTicket{*server, *challenge};
    log_line("-> ticket " + std::to_string(*n) + " bytes for challenge " +
             std::to_string(*challenge));
    return framed_.send(connect_reply(*challenge, got, *n));
}

Result<void> Session::disconnect(Args& args) {
    auto* ticket = std::get_if<ActiveTicket>(&state_);
    if (ticket == nullptr)
        return BrokerError::message("no ticket requested");
    Result<SocketAddrV4> server = args.parse_addr("ip addr");
    if (!server)
        return std::move(server).error();
    Result<std::int32_t> challenge = args.parse_i32("challenge");
    if (!challenge)
        return std::move(challenge).error();
    if (*challenge != ticket->challenge)
        return BrokerError::message("challenge mismatch");
    if (child_ && !ticket->ended)
        (void)end_ticket(as_bytes(term_request(*server)));
    state_ = Active{};
    return {};
}

Result<void> Session::auth_ticket(Args& args) {
    if (std::holds_alternative<Inactive>(state_))
        return BrokerError::message("session not active");
    Result<AuthTicketArgs> ticket_args = read_auth_ticket_args(args);
    if (!ticket_args)
        return std::move(ticket_args).error();

    Result<Bytes> answer =
        ticket_args->kind == APP_KIND
            ? ask_live_child(app_ticket_request(ticket_args->data))
            : ask_live_child(
                  as_bytes(auth_ticket_request(ticket_args->kind, ticket_args->identity)));
    if (!answer)
        return std::move(answer).error();
    Result<AuthTicketAnswer> ticket = read_auth_answer(*answer);
    if (!ticket) {
        log_line(decode_lossy(*answer));
        return std::move(ticket).error();
    }
    // An app ticket has no handle and nothing to cancel.
    if (ticket->handle != 0)
        auth_tickets_.push_back(ticket->handle);
    log_line("-> " + std::string(ticket_args->kind) + " ticket " +
             std::to_string(ticket->ticket.size()) + " bytes, handle " +
             std::to_string(ticket->handle) + ", for challenge " +
             std::to_string(ticket_args->challenge));
    return framed_.send(auth_ticket_reply(ticket_args->challenge, *ticket));
}

Result<void> Session::cancel(Args& args) {
    Result<std::uint32_t> handle = args.parse_u32("handle");
    if (!handle)
        return std::move(handle).error();
    auto held = std::find(auth_tickets_.begin(), auth_tickets_.end(), *handle);
    if (held == auth_tickets_.end())
        return BrokerError::message("unknown ticket handle");
    // Every held handle is a ticket of the session's child; one that has
    // ended took them all with it.
    if (!child_ || drop_if_ended())
        return BrokerError::message(NO_CHILD_MESSAGE);
    auth_tickets_.erase(held);
    (void)end_ticket(as_bytes(cancel_request(*handle)));
    return {};
}

Result<void> Session::status(Args& args) {
    Result<std::int32_t> challenge = args.parse_i32("challenge");
    if (!challenge)
        return std::move(challenge).error();
    std::string lines = status_line(VANDREL_STATUS_VERSION, VERSION);
    lines += status_line(VANDREL_STATUS_UID, std::to_string(::getuid()));
    lines += status_line(VANDREL_STATUS_APPID,
                         child_ ? std::to_string(child_->appid()) : VANDREL_STATUS_NONE);
    // A child that has ended has no Steam to ask; the next activation replaces it.
    if (child_ && !child_->exited()) {
        Result<std::string> child_lines = child_status_lines();
        if (!child_lines)
            return std::move(child_lines).error();
        lines += *child_lines;
    }
    log_line("-> status for challenge " + std::to_string(*challenge));
    return framed_.send(status_reply(*challenge, lines));
}

Result<std::string> Session::child_status_lines() {
    Result<Bytes> answer = ask_child(as_bytes(status_request()));
    if (!answer)
        return std::move(answer).error();
    Result<ChildStatus> child = read_status_answer(*answer);
    if (!child) {
        log_line(decode_lossy(*answer));
        return std::move(child).error();
    }
    std::string runtime;
    append_one_line(runtime, child->runtime);
    std::string lines = status_line(VANDREL_STATUS_STEAMID, std::to_string(child->steam_id));
    lines += status_line(VANDREL_STATUS_LOGGED_ON,
                         child->logged_on ? VANDREL_STATUS_YES : VANDREL_STATUS_NO);
    lines += status_line(VANDREL_STATUS_RUNTIME, utf8_prefix(runtime, MAX_RUNTIME_TEXT_LEN));
    lines += status_line(VANDREL_STATUS_RUNTIME_KIND, child->standin ? VANDREL_RUNTIME_KIND_STANDIN
                                                                     : VANDREL_RUNTIME_KIND_STEAM);
    return lines;
}

Result<void> Session::errors(Args& args) {
    Result<std::string_view> mode = args.parse_text("mode");
    if (!mode)
        return std::move(mode).error();
    if (*mode == VANDREL_ERRORS_ON)
        error_replies_ = true;
    else if (*mode == VANDREL_ERRORS_OFF)
        error_replies_ = false;
    else
        return BrokerError::parse_failure("mode");
    return {};
}

Result<void> Session::terminate(Args& /*args*/) {
    cleanup_all_tickets();
    child_.reset();
    return {};
}

void Session::report_command_error(std::string_view word, std::int32_t challenge,
                                   const BrokerError& error) {
    // One text for the log line and the reply, so the two always agree.
    std::string text = error.text();
    log_line("command error: " + text);
    if (!error_replies_)
        return;
    // Like a failed ticket reply: logged, and the session goes on.
    if (Result<void> sent = framed_.send(error_reply(challenge, word, text)); !sent)
        log_line("command error: " + sent.error().text());
}

void Session::cleanup_active_ticket() {
    auto* ticket = std::get_if<ActiveTicket>(&state_);
    if (ticket == nullptr)
        return;
    if (child_ && !ticket->ended && !drop_if_ended()) {
        log_line("cleaning up dangling ticket for " + ticket->server.to_string());
        (void)end_ticket(as_bytes(term_request(ticket->server)));
    }
    state_ = Active{};
}

void Session::cancel_auth_tickets() {
    // A child that ends or is killed on the way drops the rest at once: the
    // session never waits more than one request limit on it, however many
    // tickets it holds.
    while (!auth_tickets_.empty() && child_ && !drop_if_ended()) {
        const std::uint32_t handle = auth_tickets_.front();
        auth_tickets_.erase(auth_tickets_.begin());
        log_line("cancelling dangling auth ticket " + std::to_string(handle));
        (void)end_ticket(as_bytes(cancel_request(handle)));
    }
    auth_tickets_.clear();
}

void Session::cleanup_all_tickets() {
    cleanup_active_ticket();
    cancel_auth_tickets();
}

Result<Bytes> Session::ask_child(std::span<const std::uint8_t> request) {
    Result<Bytes> answer = child_->request(request);
    if (child_->input_cut())
        kill_child();
    return answer;
}

Result<Bytes> Session::ask_live_child(std::span<const std::uint8_t> request) {
    const bool was_live = child_ && !child_->exited();
    if (Result<void> live = live_child(); !live)
        return std::move(live).error();
    Result<Bytes> answer = ask_child(request);
    // A child that ends with the request unanswered (Steam went away as the
    // request came) leaves the request its one start.
    if (answer || !was_live || !child_ || !child_->exited())
        return answer;
    if (Result<void> live = live_child(); !live)
        return std::move(live).error();
    return ask_child(request);
}

bool Session::end_ticket(std::span<const std::uint8_t> request) {
    if (drop_if_ended())
        return false;
    if (ask_child(request))
        return true;
    // Already killed for a request cut off, or ended with it in hand.
    if (!child_ || drop_if_ended())
        return false;
    kill_child();
    return false;
}

bool Session::drop_if_ended() {
    if (!child_ || !child_->exited())
        return false;
    log_line("child for appid " + std::to_string(child_->appid()) + " has ended");
    drop_child();
    return true;
}

void Session::kill_child() {
    log_line("child for appid " + std::to_string(child_->appid()) + " does not answer, killing it");
    drop_child();
}

void Session::drop_child() {
    child_.reset();
    if (auto* ticket = std::get_if<ActiveTicket>(&state_))
        ticket->ended = true;
    // Steam drops a dead process's tickets: nothing is left to cancel.
    if (const std::size_t n = auth_tickets_.size(); n != 0)
        log_line("dropped " + std::to_string(n) + (n == 1 ? " auth ticket" : " auth tickets") +
                 " that ended with the child");
    auth_tickets_.clear();
}

} // namespace vandrel
