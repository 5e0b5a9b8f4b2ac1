// What the broker and its Steam child say to each other, one frame each way:
// the child's readiness or failure to start, the broker's requests, and the
// child's answers, each answer with a word of its own. The child builds and
// the broker reads them here, so every word and offset is written once.
#pragma once

#include "base/addr.hpp"
#include "base/bytes.hpp"
#include "base/error.hpp"
#include "vandrel/wire.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vandrel {

// --- From the child at its start -------------------------------------------

// "ready " and the user's Steam ID (u64 LE): Steam is up.
inline constexpr std::string_view READY_WORD = "ready ";
inline constexpr std::size_t STEAM_ID_LEN = 8;
inline constexpr std::size_t READY_LEN = READY_WORD.size() + STEAM_ID_LEN;
Bytes ready_message(std::uint64_t steam_id);
// The Steam ID of a readiness message; nothing for any other first frame.
std::optional<std::uint64_t> parse_ready(std::span<const std::uint8_t> message);
// "err steam init failed: " and the failure's debug text: Steam did not start.
Bytes init_failed_message(const SteamAPIInitError& error);

// --- Requests from the broker ------------------------------------------------

// "conn {addr} {server steam id as the client wrote it} {secure}".
inline constexpr std::string_view CONN_WORD = "conn";
// "term {addr}".
inline constexpr std::string_view TERM_WORD = "term";
std::string conn_request(SocketAddrV4 server, std::string_view server_steam_id,
                         std::int32_t secure);
std::string term_request(SocketAddrV4 server);

// --- The child's answers, one per request ------------------------------------

// The answer to a conn request that carries a ticket: "ok ", the user's Steam
// ID (u64 LE), the ticket's length N (u32 LE) and the N ticket bytes.
inline constexpr std::string_view CONN_ANSWER_WORD = "ok ";
inline constexpr std::size_t CONN_STEAM_ID_AT = CONN_ANSWER_WORD.size();
inline constexpr std::size_t CONN_TICKET_LEN_AT = CONN_STEAM_ID_AT + STEAM_ID_LEN;
inline constexpr std::size_t CONN_HEADER_LEN = CONN_TICKET_LEN_AT + 4;
Bytes conn_answer(std::uint64_t steam_id, std::span<const std::uint8_t> ticket);
// True when an answer to a conn request begins with "ok ", that is when Steam
// issued a ticket.
bool is_conn_answer(std::span<const std::uint8_t> answer);
// The ticket length N of such an answer, or "short ticket response from
// child" (under 15 bytes) or "truncated ticket" (under 15 + N bytes).
Result<std::uint32_t> conn_ticket_length(std::span<const std::uint8_t> answer);

// The answer to every term and cancel request.
inline constexpr std::string_view ACK_ANSWER = "ok";

// --- Auth tickets: requests and answers --------------------------------------

// "ticket {kind} {identity}": a session or web API ticket for an identity, or
// for none with NO_ARGUMENT.
inline constexpr std::string_view AUTH_TICKET_WORD = "ticket";
// The kinds and the "none" argument are the client's own words (vandrel/wire.h).
inline constexpr std::string_view SESSION_KIND = VANDREL_KIND_SESSION;
inline constexpr std::string_view WEB_API_KIND = VANDREL_KIND_WEBAPI;
inline constexpr std::string_view APP_KIND = VANDREL_KIND_APP;
inline constexpr std::string_view NO_ARGUMENT = VANDREL_NO_ARGUMENT;
std::string auth_ticket_request(std::string_view kind, std::string_view identity);

// "appticket", one blank and the data an encrypted app ticket carries, as
// bytes: the broker decoded the client's hex once.
inline constexpr std::string_view APP_TICKET_WORD = "appticket";
inline constexpr std::size_t MAX_APP_DATA_LEN = VANDREL_MAX_APP_DATA_LEN;
Bytes app_ticket_request(std::span<const std::uint8_t> data);
// The data of an app ticket request ("appticket" alone carries none);
// nothing for any other request.
std::optional<std::span<const std::uint8_t>> app_ticket_data(std::span<const std::uint8_t> request);

// "cancel {handle}": ends a session or web API ticket; acknowledged.
inline constexpr std::string_view CANCEL_WORD = "cancel";
std::string cancel_request(std::uint32_t handle);

// The answer with an auth ticket: "auth ", the user's Steam ID (u64 LE), the
// ticket's handle (u32 LE, 0 for an app ticket), N (u32 LE) and the N ticket
// bytes.
inline constexpr std::string_view AUTH_ANSWER_WORD = "auth ";
inline constexpr std::size_t AUTH_STEAM_ID_AT = AUTH_ANSWER_WORD.size();
inline constexpr std::size_t AUTH_HANDLE_AT = AUTH_STEAM_ID_AT + STEAM_ID_LEN;
inline constexpr std::size_t AUTH_TICKET_LEN_AT = AUTH_HANDLE_AT + 4;
inline constexpr std::size_t AUTH_HEADER_LEN = AUTH_TICKET_LEN_AT + 4;
Bytes auth_ticket_answer(std::uint64_t steam_id, std::uint32_t handle,
                         std::span<const std::uint8_t> ticket);
// An auth ticket answer's parts, borrowed from the answer.
struct AuthTicketAnswer {
    std::span<const std::uint8_t> steam_id; // 8 bytes, LE, as the child wrote it
    std::uint32_t handle = 0;
    std::span<const std::uint8_t> ticket;
};
// The ticket of an answer to a ticket request, or the command's error: the
// identity or data that Steam could not take, Steam's refusal (with its result
// when it gave one), a missing confirmation, or a short or truncated answer.
Result<AuthTicketAnswer> read_auth_answer(std::span<const std::uint8_t> answer);

// The failures of a ticket request.
inline constexpr std::string_view BAD_IDENTITY_ANSWER = "err bad identity";
inline constexpr std::string_view BAD_DATA_ANSWER = "err bad data";
inline constexpr std::string_view BAD_KIND_ANSWER = "err bad ticket kind";
inline constexpr std::string_view UNCONFIRMED_ANSWER = "err steam did not confirm the ticket";
// Followed by Steam's result code in decimal.
inline constexpr std::string_view REFUSED_RESULT_ANSWER = "err steam refused the ticket, result ";
Bytes refused_answer(std::optional<std::int32_t> result);

// --- Status: the child's Steam user and runtime --------------------------------

// "status": answered with the status answer.
inline constexpr std::string_view STATUS_WORD = "status";
std::string status_request();
// The status answer: "status ", the user's Steam ID (u64 LE), whether Steam
// has the user logged on (1 byte, 0 or 1), whether the runtime is our
// stand-in (1 byte, 0 or 1), then the runtime's path, at most
// MAX_RUNTIME_PATH_LEN bytes.
inline constexpr std::string_view STATUS_ANSWER_WORD = "status ";
inline constexpr std::size_t STATUS_STEAM_ID_AT = STATUS_ANSWER_WORD.size();
inline constexpr std::size_t STATUS_LOGGED_ON_AT = STATUS_STEAM_ID_AT + STEAM_ID_LEN;
inline constexpr std::size_t STATUS_STANDIN_AT = STATUS_LOGGED_ON_AT + 1;
inline constexpr std::size_t STATUS_PATH_AT = STATUS_STANDIN_AT + 1;
// Room enough for any real path, and small enough that the client's status
// reply built from it always fits one frame.
inline constexpr std::size_t MAX_RUNTIME_PATH_LEN = 2048;
// What a child reports about itself.
struct ChildStatus {
    std::uint64_t steam_id = 0;
    bool logged_on = false;
    bool standin = false;
    std::string runtime; // the path, as the loader named it; not necessarily UTF-8
};
// The answer; a longer path is cut to MAX_RUNTIME_PATH_LEN bytes.
Bytes status_answer(const ChildStatus& status);
// The status of an answer to a status request, or "short status response
// from child" for one too short, or "steam child refused the status
// request" for any other answer.
Result<ChildStatus> read_status_answer(std::span<const std::uint8_t> answer);

// --- Failures of any request ---------------------------------------------------

// The answers of failed requests; the last one is followed by the quoted word.
inline constexpr std::string_view REFUSED_ANSWER = "err steam refused to issue an auth ticket";
inline constexpr std::string_view BAD_ADDRESS_ANSWER = "err bad server address";
inline constexpr std::string_view NOT_TEXT_ANSWER = "err non-utf8 request";
inline constexpr std::string_view UNKNOWN_REQUEST_ANSWER = "err unknown child request ";

} // namespace vandrel
