// One client session: its frame loop, its commands and its state.
#pragma once

#include "base/addr.hpp"
#include "base/error.hpp"
#include "broker/child_port.hpp"
#include "shared/args.hpp"
#include "shared/child_protocol.hpp"
#include "shared/transport.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vandrel {

// The auth ticket a "vd_connect" obtained and the client has not ended yet.
struct ActiveTicket {
    SocketAddrV4 server;
    std::int32_t challenge = 0;
    // Its child has gone, and Steam ended the connection with it: kept for
    // the client's "vd_disconnect", but no child is asked to end it.
    bool ended = false;
};

// The game a session activated: its AppID, and how the client named it
// ('gamedir "cstrike"', 'appid 480'). The session keeps it while its child
// comes and goes, so that a request finds a child for it.
struct Game {
    std::uint32_t appid = 0;
    std::string named;
};

// No game directory activated yet; a game directory active with no ticket;
// or an outstanding ticket.
struct Inactive {};
struct Active {};
using SessionState = std::variant<Inactive, Active, ActiveTicket>;

// The reply to "vd_connect": "vd_connect\n", the challenge, then the child's
// answer's Steam ID, N and the N ticket bytes (anything after them is left
// out); 27 + N bytes.
Bytes connect_reply(std::int32_t challenge, std::span<const std::uint8_t> answer, std::uint32_t n);
// The reply to "vd_ticket": "vd_ticket\n", the challenge, then the child's
// Steam ID, the ticket's handle, N and the N ticket bytes; 30 + N bytes.
Bytes auth_ticket_reply(std::int32_t challenge, const AuthTicketAnswer& answer);
// The reply to "vd_status": "vd_status\n", the challenge, then `lines`, the
// status's "key value" lines.
Bytes status_reply(std::int32_t challenge, std::string_view lines);
// The error reply of a failed command: "vd_error\n", the challenge, then the
// command word, ": " and the error text. A word too long for one frame is
// shortened at a character boundary so that the reply still fits.
Bytes error_reply(std::int32_t challenge, std::string_view word, std::string_view text);

// How a session ended without error: the client closed the connection, or it
// asked the broker to stop with "vd_terminate". (A session that failed ends
// with its error instead.)
enum class SessionEnd { Closed, TerminateRequested };

// Serves one client connection from its first frame to its end. Destroying it
// closes the connection first and then destroys the Steam child.
class Session {
  public:
    // A session whose children are Steam child processes.
    explicit Session(Framed framed);
    // A session whose children `children` starts; it must outlive the session.
    Session(Framed framed, ChildStarter& children)
        : children_(children), framed_(std::move(framed)) {}

    // Serves frames until the client closes or sends "vd_terminate", or the broker's stop ends the
    // transport's input (Closed). A frame that cannot be read (a reset connection, a malformed
    // frame) is returned as the error. Whichever way it ends, the outstanding ticket has been
    // ended; failed commands are logged and never leave `run`.
    Result<SessionEnd> run();

  private:
    // One line of the command table, COMMANDS in session.cpp: adding a
    // client command is a line there, a handler here and a test.
    struct Command {
        std::string_view word; // VANDREL_CMD_...
        // The arguments as the client writes them. The one written CHALLENGE
        // is carried by the command's error reply once the handler has read
        // it; before that, and for commands without one, the reply carries 0.
        std::string_view arguments;
        // Carries the command out over its arguments.
        Result<void> (Session::*handler)(Args& args);
        // The session ends after it, and the broker is to stop.
        bool ends_session = false;
    };
    static const Command COMMANDS[];

    // Carries out the command `word` with the argument text `arguments`;
    // TerminateRequested once a command that ends the session is done.
    // Failures are logged and, when asked for, answered.
    std::optional<SessionEnd> execute(std::string_view word, std::string_view arguments);

    // The handlers, one per command.
    Result<void> gamedir(Args& args);
    // "vd_appid APPID": like "vd_gamedir" for any AppID.
    Result<void> appid(Args& args);
    // "vd_ticket KIND ARG CHALLENGE": a session, web API or app ticket.
    Result<void> auth_ticket(Args& args);
    // "vd_cancel HANDLE": ends a session or web API ticket this session holds.
    Result<void> cancel(Args& args);
    Result<void> connect(Args& args);
    Result<void> disconnect(Args& args);
    // "vd_status CHALLENGE": the broker's version, user and game, and what
    // its ready child runs on.
    Result<void> status(Args& args);
    // "vd_errors on|off": whether failed commands are answered.
    Result<void> errors(Args& args);
    // "vd_terminate": ends every ticket and the child.
    Result<void> terminate(Args& args);

    // Starts the child for `appid` unless it runs already; `named` is how the
    // lines name what the client asked for ('gamedir "cstrike"', 'appid 480').
    Result<void> activate(std::uint32_t appid, const std::string& named);
    // Starts a child for the session's game, with its "activating" line, and
    // says so when it reports another user than the child before it.
    Result<void> start_child();
    // A live child for the session's game: the running one, or one started
    // now in place of one that has ended (its tickets dropped).
    Result<void> live_child();
    // The status lines of the session's child, asked of it now.
    Result<std::string> child_status_lines();
    // Logs a failed command and, when the client asked for them, sends it
    // the error reply with the same text and `challenge`.
    void report_command_error(std::string_view word, std::int32_t challenge,
                              const BrokerError& error);
    // Ends the recorded ticket, if any, with a term request to the child.
    void cleanup_active_ticket();
    // Cancels every session and web API ticket still held, one line and one
    // cancel request each, while there is a child to send them to.
    void cancel_auth_tickets();
    // Both of the above: the session ends, or its child is about to go.
    void cleanup_all_tickets();
    // Sends one request to the child. A child whose input a cut-off request
    // left unusable is killed at once; the next request that needs a child
    // starts a fresh one.
    Result<Bytes> ask_child(std::span<const std::uint8_t> request);
    // Sends one request that needs a live child, starting one first where
    // the session's has ended; a child that ends with the request in hand
    // gets the one replacement this request has not used yet.
    Result<Bytes> ask_live_child(std::span<const std::uint8_t> request);
    // Sends a term or cancel request, which ends a ticket: true once it is
    // answered. A child that has ended, or does not answer within the request
    // limit and is killed, is not asked again: its tickets are dropped.
    bool end_ticket(std::span<const std::uint8_t> request);
    // True, after the line that says so, when the child has ended on its own;
    // it is dropped then.
    bool drop_if_ended();
    // Kills the child that does not answer, and drops it.
    void kill_child();
    // Destroys the child, which took its tickets with it: the held handles
    // are dropped with one line naming how many, and the recorded
    // game-connection ticket is marked ended.
    void drop_child();

    ChildStarter& children_;
    // The game the client named last, set by every activation that gets as
    // far as starting its child; kept while the child comes and goes.
    std::optional<Game> game_;
    // The user the last child reported, to notice another one.
    std::optional<std::uint64_t> steam_id_;
    // Member order is destruction order reversed: the connection closes
    // before the child is killed.
    std::unique_ptr<ChildPort> child_;
    Framed framed_;
    SessionState state_ = Inactive{};
    // The handles of the session and web API tickets issued to this client
    // and not yet cancelled, oldest first.
    std::vector<std::uint32_t> auth_tickets_;
    // Set by "vd_errors on": failed commands are answered with an error reply.
    bool error_replies_ = false;
};

} // namespace vandrel
