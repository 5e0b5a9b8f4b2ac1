// What the broker and its Steam child say to each other, one frame each way:
// the child's readiness or failure to start, the broker's "conn" and "term"
// requests, and the child's answers. The child builds and the supervisor reads
// them here, so every word and offset is written once.
#pragma once

#include "addr.hpp"
#include "bytes.hpp"
#include "error.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vandrel {

// --- From the child at its start -------------------------------------------

// "scratch " and the name of the child's scratch directory, sent as soon as
// the child is in it and before anything that may hold it up: the supervisor
// can then remove the directory however the child ends. Readiness or the
// failure to start follows.
inline constexpr std::string_view SCRATCH_WORD = "scratch ";
Bytes scratch_message(std::string_view dir_name);
// The directory name of a scratch message; nothing for any other frame.
std::optional<std::string_view> parse_scratch(std::span<const std::uint8_t> message);

// "ready " and the user's Steam ID (u64 LE): Steam is up.
inline constexpr std::string_view READY_WORD = "ready ";
inline constexpr std::size_t STEAM_ID_LEN = 8;
inline constexpr std::size_t READY_LEN = READY_WORD.size() + STEAM_ID_LEN;
Bytes ready_message(std::uint64_t steam_id);
// The Steam ID of a readiness message; nothing for any other first frame.
std::optional<std::uint64_t> parse_ready(std::span<const std::uint8_t> message);
// "err steam init failed: " and the failure's debug text: Steam did not start.
Bytes init_failed_message(const SteamAPIInitError& error);

// --- Requests from the supervisor -------------------------------------------

// "conn {addr} {server steam id as the client wrote it} {secure}".
inline constexpr std::string_view CONN_WORD = "conn";
// "term {addr}".
inline constexpr std::string_view TERM_WORD = "term";
std::string conn_request(SocketAddrV4 server, std::string_view server_steam_id,
                         std::int32_t secure);
std::string term_request(SocketAddrV4 server);

// --- The child's answers, one per request ------------------------------------

// The ticket answer: "ok ", the user's Steam ID (u64 LE), the ticket's length
// N (u32 LE) and the N ticket bytes.
inline constexpr std::string_view TICKET_OK_WORD = "ok ";
inline constexpr std::size_t TICKET_STEAM_ID_AT = TICKET_OK_WORD.size();
inline constexpr std::size_t TICKET_LEN_AT = TICKET_STEAM_ID_AT + STEAM_ID_LEN;
inline constexpr std::size_t TICKET_HEADER_LEN = TICKET_LEN_AT + 4;
Bytes ticket_answer(std::uint64_t steam_id, std::span<const std::uint8_t> ticket);
// True when an answer to a conn request begins with "ok ", that is when Steam
// issued a ticket.
bool is_ticket_answer(std::span<const std::uint8_t> answer);
// The ticket length N of such an answer, or "short ticket response from
// child" (under 15 bytes) or "truncated ticket" (under 15 + N bytes).
Result<std::uint32_t> ticket_length(std::span<const std::uint8_t> answer);

// The answer to every term request.
inline constexpr std::string_view TERM_OK_ANSWER = "ok";
// The answers of failed requests; the last one is followed by the quoted word.
inline constexpr std::string_view REFUSED_ANSWER = "err steam refused to issue an auth ticket";
inline constexpr std::string_view BAD_ADDRESS_ANSWER = "err bad server address";
inline constexpr std::string_view NOT_TEXT_ANSWER = "err non-utf8 request";
inline constexpr std::string_view UNKNOWN_REQUEST_ANSWER = "err unknown child request ";

} // namespace vandrel
