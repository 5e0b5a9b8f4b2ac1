// What the auth-ticket calls do, for both libraries:
//
//   VANDREL_STANDIN_AUTH_RESULT=<int>   the result the confirmations carry
//                                       (default 1, OK)
//   VANDREL_STANDIN_AUTH_CONFIRM=0      queue no confirmation at all
//   VANDREL_STANDIN_AUTH_DECOYS=1       before each confirmation, queue an
//                                       unrelated callback (id 1001) and the
//                                       same confirmation for another handle
//                                       (or call) with result 2
//   VANDREL_STANDIN_TICKET_LEN=<n>      the tickets' length (default 240)
//   VANDREL_STANDIN_AUTH_DELAYS_MS=<ms>,...
//                                       the delay of the 1st, 2nd, ... session
//                                       or web API ticket call since the
//                                       initialisation, the last repeating
//
// Handles count 1, 2, ... from each initialisation; call handles are
// 0x4000000000000000 | generation << 32 | count. Byte i of a ticket is
// ticket_byte(0, 0, seed, i): seed = the handle for a session ticket,
// 2^32 + the handle for a web API ticket, 2^33 + the data's length for an
// encrypted app ticket.
#include "steam/standin/auth.hpp"

#include "common/grammar.h"
#include "steam/flat.hpp"
#include "steam/standin/callbacks.hpp"
#include "steam/standin/calllog.hpp"
#include "steam/standin/script.hpp"
#include "steam/standin/ticket.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vandrel::standin {
namespace {

namespace flat = steam::flat;

constexpr long long DEFAULT_TICKET_LEN = 240;
constexpr std::int32_t DECOY_CALLBACK_ID = 1001;
constexpr std::int32_t DECOY_RESULT = 2;
constexpr std::uint32_t DECOY_HANDLE_OFFSET = 1000;
constexpr std::uint64_t CALL_HANDLE_MARK = 0x4000000000000000ULL;
constexpr std::uint64_t WEB_API_SEED = 1ULL << 32;
constexpr std::uint64_t APP_SEED = 1ULL << 33;

// SteamNetworkingIdentity: type (i32) at 0, size (i32) at 4, data at 8.
constexpr std::int32_t IDENTITY_IP = 1;
constexpr std::int32_t IDENTITY_STRING = 2;
constexpr std::int32_t IDENTITY_BYTES = 3;
constexpr std::int32_t IDENTITY_STEAM_ID = 16;
constexpr std::size_t IDENTITY_DATA_AT = 8;
constexpr std::size_t MAX_IDENTITY_STRING = 31;
constexpr std::size_t MAX_IDENTITY_BYTES = 32;
// An IPv4 address as ::ffff:a.b.c.d (16 bytes), then the port; 18 bytes.
constexpr std::size_t IP_MAPPED_AT = IDENTITY_DATA_AT + 10;
constexpr std::size_t IP_V4_AT = IDENTITY_DATA_AT + 12;
constexpr std::size_t IP_PORT_AT = IDENTITY_DATA_AT + 16;
constexpr std::int32_t IP_ADDR_LEN = 18;
constexpr std::size_t TEXT_CAPACITY = 300;

struct AuthState {
    std::int32_t generation = 0;
    std::uint32_t handles = 0;
    std::size_t ticket_calls = 0; // session and web API
    std::uint32_t calls = 0;
    // The ticket of the last app request that Steam answered with OK.
    bool app_ready = false;
    std::uint64_t app_seed = 0;
};

AuthState auth;

long long ticket_len() {
    return std::max(env_int("VANDREL_STANDIN_TICKET_LEN", DEFAULT_TICKET_LEN), 0LL);
}

std::int32_t confirmed_result() {
    return static_cast<std::int32_t>(env_int("VANDREL_STANDIN_AUTH_RESULT", flat::RESULT_OK));
}

bool confirms() {
    return !env_is("VANDREL_STANDIN_AUTH_CONFIRM", "0");
}

bool decoys() {
    return env_flag("VANDREL_STANDIN_AUTH_DECOYS");
}

void fill_ticket(std::uint8_t* out, std::size_t len, std::uint64_t seed) {
    for (std::size_t i = 0; i < len; ++i)
        out[i] = ticket_byte(0, 0, seed, i);
}

template <class Record>
void push_record(std::int32_t id, const Record& record) {
    push_callback(id, {reinterpret_cast<const std::uint8_t*>(&record), sizeof record});
}

void push_session_response(std::uint32_t handle, std::int32_t result) {
    push_record(flat::CALLBACK_GET_AUTH_SESSION_TICKET_RESPONSE,
                flat::GetAuthSessionTicketResponse{handle, result});
}

void push_web_api_response(std::uint32_t handle, std::int32_t result) {
    static flat::GetTicketForWebApiResponse record; // too large for the stack of some callers
    std::memset(&record, 0, sizeof record);
    record.handle = handle;
    record.result = result;
    if (result == flat::RESULT_OK) {
        const auto len = static_cast<std::size_t>(
            std::min<long long>(ticket_len(), flat::WEB_API_TICKET_CAPACITY));
        record.ticket_len = static_cast<std::int32_t>(len);
        fill_ticket(record.ticket, len, WEB_API_SEED + handle);
    }
    push_record(flat::CALLBACK_GET_TICKET_FOR_WEB_API_RESPONSE, record);
}

void push_app_response(std::uint64_t call, std::int32_t result) {
    const flat::EncryptedAppTicketResponse record{result};
    push_call_completed(call, flat::CALLBACK_ENCRYPTED_APP_TICKET_RESPONSE,
                        {reinterpret_cast<const std::uint8_t*>(&record), sizeof record});
}

// Sleeps the scripted delay of the next session or web API ticket call.
void delay_ticket_call() {
    sleep_ms(std::max(listed_ms("VANDREL_STANDIN_AUTH_DELAYS_MS", auth.ticket_calls++, 0), 0LL));
}

void push_decoy() {
    const std::uint8_t unrelated[8]{};
    push_callback(DECOY_CALLBACK_ID, unrelated);
}

// `identity` in its textual form, or "null".
void format_identity(const void* identity, char* out, std::size_t cap) {
    if (identity == nullptr) {
        std::snprintf(out, cap, "null");
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(identity);
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::memcpy(&type, bytes, sizeof type);
    std::memcpy(&size, bytes + sizeof type, sizeof size);
    const std::uint8_t* data = bytes + IDENTITY_DATA_AT;
    if (type == IDENTITY_STEAM_ID) {
        std::uint64_t id = 0;
        std::memcpy(&id, data, sizeof id);
        std::snprintf(out, cap, "steamid:%" PRIu64, id);
    } else if (type == IDENTITY_IP) {
        std::uint16_t port = 0;
        std::memcpy(&port, bytes + IP_PORT_AT, sizeof port);
        const std::uint8_t* v4 = bytes + IP_V4_AT;
        std::snprintf(out, cap, "ip:%u.%u.%u.%u:%u", v4[0], v4[1], v4[2], v4[3], unsigned{port});
    } else if (type == IDENTITY_STRING) {
        std::snprintf(out, cap, "str:%.*s", static_cast<int>(MAX_IDENTITY_STRING),
                      reinterpret_cast<const char*>(data));
    } else if (type == IDENTITY_BYTES) {
        int n = std::snprintf(out, cap, "gen:");
        for (std::int32_t i = 0; i < size && i < static_cast<std::int32_t>(MAX_IDENTITY_BYTES) &&
                                 static_cast<std::size_t>(n) + 3 < cap;
             ++i)
            n += std::snprintf(out + n, cap - static_cast<std::size_t>(n), "%02x", data[i]);
    } else {
        std::snprintf(out, cap, "type%d", type);
    }
}

bool parse_u64(const char* text, std::uint64_t& out) {
    if (*text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    out = std::strtoull(text, &end, 10);
    return *end == '\0';
}

// "a.b.c.d:port" into the identity's IP address.
bool parse_ip(const char* text, std::uint8_t* identity) {
    unsigned octets[4]{};
    unsigned port = 0;
    int used = 0;
    if (std::sscanf(text, "%3u.%3u.%3u.%3u:%5u%n", &octets[0], &octets[1], &octets[2], &octets[3],
                    &port, &used) != 5 ||
        text[used] != '\0' || port > 65535)
        return false;
    std::uint8_t v4[4]{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (octets[i] > 255)
            return false;
        v4[i] = static_cast<std::uint8_t>(octets[i]);
    }
    std::memset(identity + IP_MAPPED_AT, 0xff, 2);
    std::memcpy(identity + IP_V4_AT, v4, sizeof v4);
    const auto p = static_cast<std::uint16_t>(port);
    std::memcpy(identity + IP_PORT_AT, &p, sizeof p);
    return true;
}

bool fill_identity(std::uint8_t* identity, const char* text) {
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::uint8_t* data = identity + IDENTITY_DATA_AT;
    if (std::strncmp(text, "steamid:", 8) == 0) {
        std::uint64_t id = 0;
        if (!parse_u64(text + 8, id) || id == 0)
            return false;
        std::memcpy(data, &id, sizeof id);
        type = IDENTITY_STEAM_ID;
        size = sizeof id;
    } else if (std::strncmp(text, "ip:", 3) == 0) {
        if (!parse_ip(text + 3, identity))
            return false;
        type = IDENTITY_IP;
        size = IP_ADDR_LEN;
    } else if (std::strncmp(text, "str:", 4) == 0) {
        const std::size_t len = std::strlen(text + 4);
        if (len == 0 || len > MAX_IDENTITY_STRING)
            return false;
        std::memcpy(data, text + 4, len + 1);
        type = IDENTITY_STRING;
        size = static_cast<std::int32_t>(len + 1);
    } else if (std::strncmp(text, "gen:", 4) == 0) {
        const std::size_t digits = std::strlen(text + 4);
        if (digits == 0 || digits % 2 != 0 || digits / 2 > MAX_IDENTITY_BYTES ||
            decode_hex(text + 4, data, MAX_IDENTITY_BYTES) != digits / 2)
            return false;
        type = IDENTITY_BYTES;
        size = static_cast<std::int32_t>(digits / 2);
    } else {
        return false;
    }
    std::memcpy(identity, &type, sizeof type);
    std::memcpy(identity + sizeof type, &size, sizeof size);
    return true;
}

} // namespace

void reset_auth(std::int32_t generation) {
    auth = AuthState{};
    auth.generation = generation;
}

bool parse_identity(void* identity, const char* text) {
    bool ok = false;
    if (identity != nullptr && text != nullptr) {
        auto* bytes = static_cast<std::uint8_t*>(identity);
        std::memset(bytes, 0, flat::NETWORKING_IDENTITY_LEN);
        ok = fill_identity(bytes, text);
        if (!ok)
            std::memset(bytes, 0, flat::NETWORKING_IDENTITY_LEN);
    }
    log_call("SteamAPI_SteamNetworkingIdentity_ParseString text=%s result=%d",
             text == nullptr ? "(null)" : text, static_cast<int>(ok));
    return ok;
}

std::uint32_t session_ticket(void* ticket, int max_ticket, std::uint32_t* ticket_len_out,
                             const void* identity, bool refused) {
    delay_ticket_call();
    auto* out = static_cast<std::uint8_t*>(ticket);
    const bool zeroed =
        out == nullptr || max_ticket <= 0 || all_zero(out, static_cast<std::size_t>(max_ticket));
    char who[TEXT_CAPACITY];
    format_identity(identity, who, sizeof who);
    std::uint32_t handle = 0;
    std::size_t len = 0;
    if (!refused && out != nullptr && ticket_len_out != nullptr) {
        handle = ++auth.handles;
        len = static_cast<std::size_t>(std::min<long long>(ticket_len(), std::max(max_ticket, 0)));
        fill_ticket(out, len, handle);
        *ticket_len_out = static_cast<std::uint32_t>(len);
    }
    log_call("SteamAPI_ISteamUser_GetAuthSessionTicket max=%d zeroed=%d identity=%s handle=%u "
             "len=%zu",
             max_ticket, static_cast<int>(zeroed), who, handle, len);
    if (handle == 0 || !confirms())
        return handle;
    if (decoys()) {
        push_decoy();
        push_session_response(handle + DECOY_HANDLE_OFFSET, DECOY_RESULT);
    }
    push_session_response(handle, confirmed_result());
    return handle;
}

std::uint32_t web_api_ticket(const char* identity, bool refused) {
    delay_ticket_call();
    const std::uint32_t handle = refused ? 0 : ++auth.handles;
    log_call("SteamAPI_ISteamUser_GetAuthTicketForWebApi identity=%s handle=%u",
             identity == nullptr ? "null" : identity, handle);
    if (handle == 0 || !confirms())
        return handle;
    if (decoys()) {
        push_decoy();
        push_web_api_response(handle + DECOY_HANDLE_OFFSET, DECOY_RESULT);
    }
    push_web_api_response(handle, confirmed_result());
    return handle;
}

void cancel_ticket(std::uint32_t handle) {
    const bool known = handle != 0 && handle <= auth.handles;
    log_call("SteamAPI_ISteamUser_CancelAuthTicket handle=%u known=%d", handle,
             static_cast<int>(known));
}

std::uint64_t request_app_ticket(const void* data, int data_len, bool refused) {
    char hex[2 * 1024 + 1] = "";
    const auto n = static_cast<std::size_t>(std::clamp(data_len, 0, 1024));
    if (data != nullptr)
        vd_hex_encode(static_cast<const unsigned char*>(data), n, hex);
    std::uint64_t call = 0;
    if (!refused)
        call =
            CALL_HANDLE_MARK | (static_cast<std::uint64_t>(auth.generation) << 32) | ++auth.calls;
    log_call("SteamAPI_ISteamUser_RequestEncryptedAppTicket len=%d data=%s call=%" PRIu64, data_len,
             data == nullptr ? "null" : hex, call);
    if (call == 0 || !confirms())
        return call;
    const std::int32_t result = confirmed_result();
    auth.app_ready = result == flat::RESULT_OK;
    auth.app_seed = APP_SEED + n;
    if (decoys()) {
        push_decoy();
        push_app_response(call + DECOY_HANDLE_OFFSET, DECOY_RESULT);
    }
    push_app_response(call, result);
    return call;
}

bool app_ticket(void* ticket, int max_ticket, std::uint32_t* ticket_len_out) {
    auto* out = static_cast<std::uint8_t*>(ticket);
    const bool zeroed =
        out == nullptr || max_ticket <= 0 || all_zero(out, static_cast<std::size_t>(max_ticket));
    std::size_t len = 0;
    const bool ready = auth.app_ready && out != nullptr && ticket_len_out != nullptr;
    if (ready) {
        len = static_cast<std::size_t>(std::min<long long>(ticket_len(), std::max(max_ticket, 0)));
        fill_ticket(out, len, auth.app_seed);
        *ticket_len_out = static_cast<std::uint32_t>(len);
    }
    log_call("SteamAPI_ISteamUser_GetEncryptedAppTicket max=%d zeroed=%d len=%zu result=%d",
             max_ticket, static_cast<int>(zeroed), len, static_cast<int>(ready));
    return ready;
}

} // namespace vandrel::standin
