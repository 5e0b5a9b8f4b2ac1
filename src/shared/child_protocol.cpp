#include "shared/child_protocol.hpp"

#include "base/text.hpp"
#include "shared/args.hpp"

namespace vandrel {
namespace {

constexpr std::string_view INIT_FAILED_WORD = "err steam init failed: ";
constexpr std::size_t U32_LEN = 4;

bool starts_with(std::span<const std::uint8_t> bytes, std::string_view word) {
    return bytes.size() >= word.size() && as_chars(bytes.first(word.size())) == word;
}

} // namespace

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

Bytes conn_answer(std::uint64_t steam_id, std::span<const std::uint8_t> ticket) {
    Bytes out;
    out.reserve(CONN_HEADER_LEN + ticket.size());
    // assign, not insert at end(): GCC 12 with ThreadSanitizer takes the
    // insert's unreachable reallocation path for an overflow (-Wstringop-overflow).
    out.assign(CONN_ANSWER_WORD.begin(), CONN_ANSWER_WORD.end());
    append_le(out, steam_id, STEAM_ID_LEN);
    append_le(out, ticket.size(), U32_LEN);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

bool is_conn_answer(std::span<const std::uint8_t> answer) {
    return starts_with(answer, CONN_ANSWER_WORD);
}

Result<std::uint32_t> conn_ticket_length(std::span<const std::uint8_t> answer) {
    if (answer.size() < CONN_HEADER_LEN)
        return BrokerError::message("short ticket response from child");
    auto n = static_cast<std::uint32_t>(load_le(answer.subspan(CONN_TICKET_LEN_AT, U32_LEN)));
    if (CONN_HEADER_LEN + std::uint64_t{n} > answer.size())
        return BrokerError::message("truncated ticket");
    return n;
}

std::string auth_ticket_request(std::string_view kind, std::string_view identity) {
    std::string out(AUTH_TICKET_WORD);
    out.append(" ").append(kind).append(" ").append(identity);
    return out;
}

Bytes app_ticket_request(std::span<const std::uint8_t> data) {
    Bytes out;
    out.reserve(APP_TICKET_WORD.size() + 1 + data.size());
    out.assign(APP_TICKET_WORD.begin(), APP_TICKET_WORD.end());
    out.push_back(' ');
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::optional<std::span<const std::uint8_t>>
app_ticket_data(std::span<const std::uint8_t> request) {
    if (!starts_with(request, APP_TICKET_WORD))
        return std::nullopt;
    std::span<const std::uint8_t> rest = request.subspan(APP_TICKET_WORD.size());
    if (rest.empty())
        return rest;
    if (rest.front() != ' ')
        return std::nullopt;
    return rest.subspan(1);
}

std::string cancel_request(std::uint32_t handle) {
    return std::string(CANCEL_WORD) + " " + std::to_string(handle);
}

Bytes auth_ticket_answer(std::uint64_t steam_id, std::uint32_t handle,
                         std::span<const std::uint8_t> ticket) {
    Bytes out;
    out.reserve(AUTH_HEADER_LEN + ticket.size());
    out.assign(AUTH_ANSWER_WORD.begin(), AUTH_ANSWER_WORD.end());
    append_le(out, steam_id, STEAM_ID_LEN);
    append_le(out, handle, U32_LEN);
    append_le(out, ticket.size(), U32_LEN);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

Result<AuthTicketAnswer> read_auth_answer(std::span<const std::uint8_t> answer) {
    const std::string_view text = as_chars(answer);
    if (text == BAD_IDENTITY_ANSWER)
        return BrokerError::parse_failure("identity");
    if (text == BAD_DATA_ANSWER)
        return BrokerError::parse_failure("data");
    if (text == UNCONFIRMED_ANSWER)
        return BrokerError::message("steam did not confirm the ticket");
    if (text.starts_with(REFUSED_RESULT_ANSWER)) {
        if (std::optional<std::int32_t> result = to_i32(text.substr(REFUSED_RESULT_ANSWER.size())))
            return BrokerError::owned_message("steam refused to issue auth ticket, result " +
                                              std::to_string(*result));
    }
    if (!starts_with(answer, AUTH_ANSWER_WORD))
        return BrokerError::message("steam refused to issue auth ticket");
    if (answer.size() < AUTH_HEADER_LEN)
        return BrokerError::message("short ticket response from child");
    const auto n = static_cast<std::uint32_t>(load_le(answer.subspan(AUTH_TICKET_LEN_AT, U32_LEN)));
    if (AUTH_HEADER_LEN + std::uint64_t{n} > answer.size())
        return BrokerError::message("truncated ticket");
    return AuthTicketAnswer{
        answer.subspan(AUTH_STEAM_ID_AT, STEAM_ID_LEN),
        static_cast<std::uint32_t>(load_le(answer.subspan(AUTH_HANDLE_AT, U32_LEN))),
        answer.subspan(AUTH_HEADER_LEN, n)};
}

Bytes refused_answer(std::optional<std::int32_t> result) {
    if (!result)
        return Bytes(REFUSED_ANSWER.begin(), REFUSED_ANSWER.end());
    std::string text(REFUSED_RESULT_ANSWER);
    text += std::to_string(*result);
    return Bytes(text.begin(), text.end());
}

std::string status_request() {
    return std::string(STATUS_WORD);
}

Bytes status_answer(const ChildStatus& status) {
    const std::string_view path = std::string_view(status.runtime).substr(0, MAX_RUNTIME_PATH_LEN);
    Bytes out;
    out.reserve(STATUS_PATH_AT + path.size());
    out.assign(STATUS_ANSWER_WORD.begin(), STATUS_ANSWER_WORD.end());
    append_le(out, status.steam_id, STEAM_ID_LEN);
    out.push_back(status.logged_on ? 1 : 0);
    out.push_back(status.standin ? 1 : 0);
    out.insert(out.end(), path.begin(), path.end());
    return out;
}

Result<ChildStatus> read_status_answer(std::span<const std::uint8_t> answer) {
    if (!starts_with(answer, STATUS_ANSWER_WORD))
        return BrokerError::message("steam child refused the status request");
    if (answer.size() < STATUS_PATH_AT)
        return BrokerError::message("short status response from child");
    ChildStatus status;
    status.steam_id = load_le(answer.subspan(STATUS_STEAM_ID_AT, STEAM_ID_LEN));
    status.logged_on = answer[STATUS_LOGGED_ON_AT] != 0;
    status.standin = answer[STATUS_STANDIN_AT] != 0;
    const std::string_view path = as_chars(answer.subspan(STATUS_PATH_AT));
    status.runtime = path.substr(0, MAX_RUNTIME_PATH_LEN);
    return status;
}

} // namespace vandrel
