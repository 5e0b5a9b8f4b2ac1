// The user object ("SteamUser023"): the Steam ID, game-connection tickets and
// the auth tickets (session, web API, encrypted app) of steam/standin/auth.hpp.
//
// Tickets follow the stand-in runtime's rules, so that one test runs against
// either: the same deterministic bytes, the same VANDREL_STANDIN_TICKET_*
// variables, and the stand-in's call-log lines for InitiateGameConnection and
// TerminateGameConnection, which the runtime forwards unchanged.
#include "calllog.hpp"
#include "interfaces.hpp"
#include "steam/standin/auth.hpp"
#include "steam/standin/presence.hpp"
#include "steam/standin/script.hpp"
#include "steam/standin/ticket.hpp"

#include <cstdint>

namespace vandrel::steamclient {

using namespace standin;

namespace {

constexpr std::size_t SLOT_GET_HSTEAM_USER = 0;
constexpr std::size_t SLOT_LOGGED_ON = 1;
constexpr std::size_t SLOT_GET_STEAM_ID = 2;
constexpr std::size_t SLOT_INITIATE_GAME_CONNECTION = 3;
constexpr std::size_t SLOT_TERMINATE_GAME_CONNECTION = 4;
constexpr std::size_t SLOT_GET_AUTH_SESSION_TICKET = 13;
constexpr std::size_t SLOT_GET_AUTH_TICKET_FOR_WEB_API = 14;
constexpr std::size_t SLOT_CANCEL_AUTH_TICKET = 17;
constexpr std::size_t SLOT_REQUEST_ENCRYPTED_APP_TICKET = 21;
constexpr std::size_t SLOT_GET_ENCRYPTED_APP_TICKET = 22;

// The calling convention leaves the bits above a bool or a 16-bit argument
// unspecified, so they are taken as full registers and cut here.
constexpr std::uint32_t PORT_MASK = 0xFFFF;
constexpr std::uint32_t BOOL_MASK = 0xFF;

// Every ticket is refused when the script says so, and once Steam has gone.
bool refusing() {
    return env_flag("VANDREL_STANDIN_REFUSE") || steam_gone();
}

std::int32_t get_hsteam_user(Object*) {
    return connection().user;
}

bool logged_on(Object*) {
    const bool on =
        connection().user != 0 && env_int("VANDREL_STANDIN_LOGGED_ON", 1) != 0 && !steam_gone();
    log_call("SteamAPI_ISteamUser_BLoggedOn result=%d", static_cast<int>(on));
    return on;
}

std::uint64_t get_steam_id(Object*) {
    const std::uint64_t id = connection().steam_id;
    log_call("steamclient GetSteamID steamid=%llu", static_cast<unsigned long long>(id));
    return id;
}

int initiate_game_connection(Object*, void* blob, int max_blob, std::uint64_t server_steam_id,
                             std::uint32_t server_ip, std::uint32_t port_arg,
                             std::uint32_t secure_arg) {
    const TicketRequest request{blob,
                                max_blob,
                                server_steam_id,
                                server_ip,
                                static_cast<std::uint16_t>(port_arg & PORT_MASK),
                                (secure_arg & BOOL_MASK) != 0};
    return issue_ticket(request, connection().ticket_calls++, refusing());
}

void terminate_game_connection(Object*, std::uint32_t server_ip, std::uint32_t port_arg) {
    log_call("SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED ip=%u port=%u", server_ip,
             port_arg & PORT_MASK);
}

std::uint32_t get_auth_session_ticket(Object*, void* ticket, int max_ticket,
                                      std::uint32_t* ticket_len, const void* identity) {
    return session_ticket(ticket, max_ticket, ticket_len, identity, refusing());
}

std::uint32_t get_auth_ticket_for_web_api(Object*, const char* identity) {
    return web_api_ticket(identity, refusing());
}

void cancel_auth_ticket(Object*, std::uint32_t handle) {
    cancel_ticket(handle);
}

std::uint64_t request_encrypted_app_ticket(Object*, void* data, int data_len) {
    return request_app_ticket(data, data_len, refusing());
}

bool get_encrypted_app_ticket(Object*, void* ticket, int max_ticket, std::uint32_t* ticket_len) {
    return app_ticket(ticket, max_ticket, ticket_len);
}

} // namespace

Object* user_object() {
    static SlotTable table;
    static Object object =
        make_object(table,
                    {{SLOT_GET_HSTEAM_USER, slot(get_hsteam_user)},
                     {SLOT_LOGGED_ON, slot(logged_on)},
                     {SLOT_GET_STEAM_ID, slot(get_steam_id)},
                     {SLOT_INITIATE_GAME_CONNECTION, slot(initiate_game_connection)},
                     {SLOT_TERMINATE_GAME_CONNECTION, slot(terminate_game_connection)},
                     {SLOT_GET_AUTH_SESSION_TICKET, slot(get_auth_session_ticket)},
                     {SLOT_GET_AUTH_TICKET_FOR_WEB_API, slot(get_auth_ticket_for_web_api)},
                     {SLOT_CANCEL_AUTH_TICKET, slot(cancel_auth_ticket)},
                     {SLOT_REQUEST_ENCRYPTED_APP_TICKET, slot(request_encrypted_app_ticket)},
                     {SLOT_GET_ENCRYPTED_APP_TICKET, slot(get_encrypted_app_ticket)}},
                    USER_VERSION);
    return &object;
}

} // namespace vandrel::steamclient
