// The user object ("SteamUser023"): the Steam ID and game-connection tickets.
//
// Tickets follow the stand-in runtime's rules, so that one test runs against
// either: the same deterministic bytes, the same VANDREL_STANDIN_TICKET_*
// variables, and the stand-in's call-log lines for InitiateGameConnection and
// TerminateGameConnection, which the runtime forwards unchanged.
#include "calllog.hpp"
#include "interfaces.hpp"
#include "script.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace vandrel::steamclient {
namespace {

constexpr std::size_t SLOT_GET_HSTEAM_USER = 0;
constexpr std::size_t SLOT_LOGGED_ON = 1;
constexpr std::size_t SLOT_GET_STEAM_ID = 2;
constexpr std::size_t SLOT_INITIATE_GAME_CONNECTION = 3;
constexpr std::size_t SLOT_TERMINATE_GAME_CONNECTION = 4;

constexpr long long DEFAULT_TICKET_LEN = 240;
// The calling convention leaves the bits above a bool or a 16-bit argument
// unspecified, so they are taken as full registers and cut here.
constexpr std::uint32_t PORT_MASK = 0xFFFF;
constexpr std::uint32_t BOOL_MASK = 0xFF;

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint8_t ticket_byte(std::uint32_t ip, std::uint32_t port, std::uint64_t sid, std::size_t i) {
    const std::uint64_t seed = sid ^ ((std::uint64_t{ip} << 16) | port);
    return static_cast<std::uint8_t>(mix(seed + (i + 1) * 0x9E3779B97F4A7C15ULL) >> 56);
}

bool all_zero(const std::uint8_t* p, std::size_t len) {
    return std::all_of(p, p + len, [](std::uint8_t c) { return c == 0; });
}

// The delay before ticket call `call` (from 0 since the pipe opened): that entry
// of VANDREL_STANDIN_TICKET_DELAYS_MS, or its last one, when the list is set;
// else VANDREL_STANDIN_TICKET_DELAY_MS.
long long ticket_delay_ms(std::size_t call) {
    const char* list = env("VANDREL_STANDIN_TICKET_DELAYS_MS");
    if (list == nullptr)
        return env_int("VANDREL_STANDIN_TICKET_DELAY_MS", 0);
    const char* p = list;
    for (std::size_t i = 0;; ++i) {
        char* end = nullptr;
        errno = 0;
        const long long delay = std::strtoll(p, &end, 10);
        if (end == p || errno != 0 || (*end != ',' && *end != '\0')) {
            report_error("bad delay list \"%s\"", list);
            return 0;
        }
        if (i == call || *end == '\0')
            return delay;
        p = end + 1;
    }
}

std::int32_t get_hsteam_user(Object*) {
    return connection().user;
}

bool logged_on(Object*) {
    return connection().user != 0;
}

std::uint64_t get_steam_id(Object*) {
    const std::uint64_t id = connection().steam_id;
    log_call("steamclient GetSteamID steamid=%llu", static_cast<unsigned long long>(id));
    return id;
}

int initiate_game_connection(Object*, void* blob, int max_blob, std::uint64_t server_steam_id,
                             std::uint32_t server_ip, std::uint32_t port_arg,
                             std::uint32_t secure_arg) {
    const char* call = "SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED";
    const std::uint32_t port = port_arg & PORT_MASK;
    const bool secure = (secure_arg & BOOL_MASK) != 0;
    auto* out = static_cast<std::uint8_t*>(blob);
    const bool zeroed =
        out == nullptr || max_blob <= 0 || all_zero(out, static_cast<std::size_t>(max_blob));
    sleep_ms(std::max(ticket_delay_ms(connection().ticket_calls++), 0LL));

    const long long ticket_len =
        std::max(env_int("VANDREL_STANDIN_TICKET_LEN", DEFAULT_TICKET_LEN), 0LL);
    const long long limit =
        out == nullptr ? 0 : std::min<long long>(std::max(max_blob, 0), ticket_len);
    long long result = limit;
    long long written = limit;
    if (env_flag("VANDREL_STANDIN_REFUSE")) {
        result = written = 0;
    } else if (env("VANDREL_STANDIN_TICKET_RESULT") != nullptr) {
        result = env_int("VANDREL_STANDIN_TICKET_RESULT", 0);
        written = result == 0 ? 0 : result > 0 ? std::min(result, limit) : limit;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(written); ++i)
        out[i] = ticket_byte(server_ip, port, server_steam_id, i);
    log_call("%s max=%d zeroed=%d sid=%llu ip=%u port=%u secure=%d written=%lld result=%lld", call,
             max_blob, zeroed, static_cast<unsigned long long>(server_steam_id), server_ip, port,
             secure, written, result);
    return static_cast<int>(result);
}

void terminate_game_connection(Object*, std::uint32_t server_ip, std::uint32_t port_arg) {
    log_call("SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ip=%u port=%u", server_ip,
             port_arg & PORT_MASK);
}

} // namespace

Object* user_object() {
    static SlotTable table;
    static Object object = [] {
        fill_zero_slots(table);
        table[SLOT_GET_HSTEAM_USER] = slot(get_hsteam_user);
        table[SLOT_LOGGED_ON] = slot(logged_on);
        table[SLOT_GET_STEAM_ID] = slot(get_steam_id);
        table[SLOT_INITIATE_GAME_CONNECTION] = slot(initiate_game_connection);
        table[SLOT_TERMINATE_GAME_CONNECTION] = slot(terminate_game_connection);
        return Object{table, USER_VERSION};
    }();
    return &object;
}

} // namespace vandrel::steamclient
