#include "shared/child_protocol.hpp"

#include "base/text.hpp"
#include "shared/args.hpp"

namespace vandrel {
namespace {

constexpr std::string_view INIT_FAILED_WORD = "err steam init failed: ";
constexpr std::size_t TICKET_LEN_LEN = TICKET_HEADER_LEN - TICKET_LEN_AT;
constexpr std::size_t U32_LEN = 4;

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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

std::string auth_ticket_request(std::string_view kind, std::string_view argument) {
    std::string out(AUTH_TICKET_WORD);
    out.append(" ").append(kind).append(" ").append(argument);
    return out;
}

std::string cancel_request(std::uint32_t handle) {
    return std::string(CANCEL_WORD) + " " + std::to_string(handle);
}

std::optional<Bytes> app_data_of(std::string_view argument) {
    if (argument == NO_ARGUMENT)
        return Bytes{};
    if (argument.empty() || argument.size() % 2 != 0 || argument.size() / 2 > MAX_APP_DATA_LEN)
        return std::nullopt;
    Bytes out;
    out.reserve(argument.size() / 2);
    for (std::size_t i = 0; i < argument.size(); i += 2) {
        const int high = hex_value(argument[i]);
        const int low = hex_value(argument[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

Bytes auth_ticket_answer(std::uint64_t steam_id, std::uint32_t handle,
                         std::span<const std::uint8_t> ticket) {
    Bytes out;
    out.reserve(AUTH_HEADER_LEN + ticket.size());
    out.assign(TICKET_OK_WORD.begin(), TICKET_OK_WORD.end());
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
    if (!is_ticket_answer(answer))
        return BrokerError::message("steam refused to issue auth ticket");
    if (answer.size() < AUTH_HEADER_LEN)
        return BrokerError::message("short ticket response from child");
    const auto n = static_cast<std::uint32_t>(load_le(answer.subspan(AUTH_LEN_AT, U32_LEN)));
    if (AUTH_HEADER_LEN + std::uint64_t{n} > answer.size())
        return BrokerError::message("truncated ticket");
    return AuthTicketAnswer{
        answer.subspan(TICKET_STEAM_ID_AT, STEAM_ID_LEN),
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
    out.assign(TICKET_OK_WORD.begin(), TICKET_OK_WORD.end());
    append_le(out, status.steam_id, STEAM_ID_LEN);
    out.push_back(status.logged_on ? 1 : 0);
    out.push_back(status.standin ? 1 : 0);
    out.insert(out.end(), path.begin(), path.end());
    return out;
}

Result<ChildStatus> read_status_answer(std::span<const std::uint8_t> answer) {
    if (!is_ticket_answer(answer))
        return BrokerError::message("steam child refused the status request");
    if (answer.size() < STATUS_PATH_AT)
        return BrokerError::message("short status response from child");
    ChildStatus status;
    status.steam_id = load_le(answer.subspan(TICKET_STEAM_ID_AT, STEAM_ID_LEN));
    status.logged_on = answer[STATUS_LOGGED_ON_AT] != 0;
    status.standin = answer[STATUS_STANDIN_AT] != 0;
    const std::string_view path = as_chars(answer.subspan(STATUS_PATH_AT));
    status.runtime = path.substr(0, MAX_RUNTIME_PATH_LEN);
    return status;
}

} // namespace vandrel
