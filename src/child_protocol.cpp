#include "child_protocol.hpp"

#include "text.hpp"

namespace vandrel {
namespace {

constexpr std::string_view INIT_FAILED_WORD = "err steam init failed: ";
constexpr std::size_t TICKET_LEN_LEN = TICKET_HEADER_LEN - TICKET_LEN_AT;

bool starts_with(std::span<const std::uint8_t> bytes, std::string_view word) {
    return bytes.size() >= word.size() && as_chars(bytes.first(word.size())) == word;
}

} // namespace

Bytes scratch_message(std::string_view dir_name) {
    std::string text(SCRATCH_WORD);
    text += dir_name;
    return Bytes(text.begin(), text.end());
}

std::optional<std::string_view> parse_scratch(std::span<const std::uint8_t> message) {
    if (!starts_with(message, SCRATCH_WORD))
        return std::nullopt;
    return as_chars(message.subspan(SCRATCH_WORD.size()));
}

Bytes ready_message(std::uint64_t steam_id) {
    Bytes out(READY_WORD.begin(), READY_WORD.end());
    append_le(out, steam_id, STEAM_ID_LEN);
    return out;
}

std::optional<std::uint64_t> parse_ready(std::span<const std::uint8_t> message) {
    if (message.size() < READY_LEN || !starts_with(message, READY_WORD))
        return std::nullopt;
    return load_le(message.subspan(READY_WORD.size(), STEAM_ID_LEN));
}

Bytes init_failed_message(const SteamAPIInitError& error) {
    std::string text(INIT_FAILED_WORD);
    text += error.debug();
    return Bytes(text.begin(), text.end());
}

std::string conn_request(SocketAddrV4 server, std::string_view server_steam_id,
                         std::int32_t secure) {
    std::string out(CONN_WORD);
    out.append(" ").append(server.to_string()).append(" ").append(server_steam_id);
    out.append(" ").append(std::to_string(secure));
    return out;
}

std::string term_request(SocketAddrV4 server) {
    return std::string(TERM_WORD) + " " + server.to_string();
}

Bytes ticket_answer(std::uint64_t steam_id, std::span<const std::uint8_t> ticket) {
    Bytes out;
    out.reserve(TICKET_HEADER_LEN + ticket.size());
    // assign, not insert at end(): GCC 12 with ThreadSanitizer takes the
    // insert's unreachable reallocation path for an overflow (-Wstringop-overflow).
    out.assign(TICKET_OK_WORD.begin(), TICKET_OK_WORD.end());
    append_le(out, steam_id, STEAM_ID_LEN);
    append_le(out, ticket.size(), TICKET_LEN_LEN);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

bool is_ticket_answer(std::span<const std::uint8_t> answer) {
    return starts_with(answer, TICKET_OK_WORD);
}

Result<std::uint32_t> ticket_length(std::span<const std::uint8_t> answer) {
    if (answer.size() < TICKET_HEADER_LEN)
        return BrokerError::message("short ticket response from child");
    auto n = static_cast<std::uint32_t>(load_le(answer.subspan(TICKET_LEN_AT, TICKET_LEN_LEN)));
    if (TICKET_HEADER_LEN + std::uint64_t{n} > answer.size())
        return BrokerError::message("truncated ticket");
    return n;
}

} // namespace vandrel
