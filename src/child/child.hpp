// The Steam child process, `vandrel --child <appid>`: its start-up, request
// loop and request handler.
#pragma once

#include "base/addr.hpp"
#include "base/error.hpp"
#include "shared/transport.hpp"
#include "steam/auth.hpp"
#include "steam/runtime.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vandrel::child {

// Longest wait for a request before Steam callbacks are pumped again.
inline constexpr auto CHILD_POLL_INTERVAL = std::chrono::milliseconds(50);
// How long a child whose request pipe has lost its writer (the broker has
// ended) waits for its own orderly exit, which an idle child takes within
// CHILD_POLL_INTERVAL, before it ends regardless of what Steam is doing.
inline constexpr auto CHILD_ORPHAN_GRACE = std::chrono::seconds(2);

// The Steam calls a request may need; the child passes its Steam user.
class SteamPort {
  public:
    virtual ~SteamPort() = default;
    virtual std::uint64_t steam_id() = 0;
    // The ticket (1 to 2048 bytes), or none when Steam issues none.
    virtual std::optional<Bytes> initiate_game_connection(std::uint64_t server_steam_id,
                                                          SocketAddrV4 server, bool secure) = 0;
    virtual void terminate_game_connection(SocketAddrV4 server) = 0;
    // Auth tickets, each returned once Steam has confirmed it (AuthTickets).
    virtual steam::AuthResult session_ticket(std::optional<std::string_view> identity) = 0;
    virtual steam::AuthResult web_api_ticket(std::optional<std::string_view> identity) = 0;
    virtual steam::AuthResult app_ticket(std::span<const std::uint8_t> data) = 0;
    virtual void cancel_auth_ticket(std::uint32_t handle) = 0;
    // Whether Steam has the user logged on just now.
    virtual bool logged_on() = 0;
    // The runtime this process loaded.
    virtual steam::RuntimeIdentity runtime() = 0;
};

// The reply to one request payload ("conn ...", "term ...", "ticket ...",
// "appticket ...", "cancel ...", "status" or anything else).
// Never fails: every problem with a request becomes an error reply.
Bytes handle(std::span<const std::uint8_t> request, SteamPort& steam);

// The server Steam ID of a conn request: the token's leading ASCII digits as
// an unsigned 64-bit number, 0 when there are none or they overflow.
std::uint64_t leading_steam_id(std::string_view token);

// The whole life of the child: scratch directory, Steam, readiness, then one
// reply per request until the broker's request pipe closes or Steam goes away
// (both a success). The scratch directory is `scratch_name` when the broker
// chose it (a name scratch_dir_name makes for the AppID, or the failure to
// parse "scratch"), else a name the child draws itself.
Result<void> run(std::uint32_t appid, std::optional<std::string_view> scratch_name);

} // namespace vandrel::child
