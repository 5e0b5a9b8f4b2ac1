// One client session: its frame loop, its commands and its state.
#pragma once

#include "base/addr.hpp"
#include "base/error.hpp"
#include "broker/child_port.hpp"
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
};

// No game directory activated yet; a game directory active with no ticket;
// or an outstanding ticket.
struct Inactive {};
struct Active {};
using SessionState = std::variant<Inactive, Active, ActiveTicket>;

// The client's reply: "vd_connect\n", the challenge, then the answer's Steam
// ID, N and the N ticket bytes (anything after them is left out); 27 + N bytes.
Bytes ticket_reply(std::int32_t challenge, std::span<const std::uint8_t> answer, std::uint32_t n);
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
    // Carries out one command; TerminateRequested for "vd_terminate",
    // nothing for every other command.
    Result<std::optional<SessionEnd>> execute(std::string_view word, std::string_view args);
    Result<void> gamedir(std::string_view text);
    // "vd_appid APPID": like "vd_gamedir" for any AppID.
    Result<void> appid(std::string_view text);
    // Starts the child for `appid` unless it runs already; `named` is how the
    // lines name what the client asked for ('gamedir "cstrike"', 'appid 480').
    Result<void> activate(std::uint32_t appid, const std::string& named);
    // "vd_ticket KIND ARG CHALLENGE": a session, web API or app ticket.
    Result<void> auth_ticket(std::string_view text);
    // "vd_cancel HANDLE": ends a session or web API ticket this session holds.
    Result<void> cancel(std::string_view text);
    Result<void> connect(std::string_view text);
    Result<void> disconnect(std::string_view text);
    // "vd_status CHALLENGE": the broker's version, user and game, and what
    // its ready child runs on.
    Result<void> status(std::string_view text);
    // The status lines of the session's child, asked of it now.
    Result<std::string> child_status_lines();
    // "vd_errors on|off": whether failed commands are answered.
    Result<void> errors(std::string_view text);
    // Logs a failed command and, when the client asked for them, sends it
    // the error reply with the same text.
    void report_command_error(std::string_view word, const BrokerError& error);
    // Ends the recorded ticket, if any, with a term request to the child.
    void cleanup_active_ticket();
    // Cancels every session and web API ticket still held, one line and one
    // cancel request each, while there is a child to send them to.
    void cancel_auth_tickets();
    // Both of the above: the session ends, or its child is about to go.
    void cleanup_all_tickets();
    // Sends one request to the child. A child whose input a cut-off request
    // left unusable is destroyed at once, so later requests find no child
    // and the next "vd_gamedir" starts a fresh one.
    Result<Bytes> ask_child(const std::string& request);

    ChildStarter& children_;
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
    // The challenge argument of the command being carried out, once parsed;
    // 0 before that and for commands without one.
    std::int32_t challenge_ = 0;
};

} // namespace vandrel
