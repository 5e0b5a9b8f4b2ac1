#include "steam/user.hpp"

#include "steam/runtime.hpp"

#include <algorithm>

namespace vandrel::steam {

std::uint64_t User::steam_id() const {
    return runtime().SteamAPI_ISteamUser_GetSteamID(handle_);
}

bool User::logged_on() const {
    return runtime().SteamAPI_ISteamUser_BLoggedOn(handle_);
}

std::optional<std::vector<std::uint8_t>>
User::initiate_game_connection(std::uint64_t server_steam_id, SocketAddrV4 server,
                               bool secure) const {
    std::vector<std::uint8_t> ticket(MAX_TICKET_LEN); // zero-filled
    const int written = runtime().SteamAPI_ISteamUser_InitiateGameConnection_DEPRECATED(
        handle_, ticket.data(), static_cast<int>(ticket.size()), server_steam_id,
        server.host_order_ip(), server.port, secure);
    if (written == 0)
        return std::nullopt;
    // The count is trusted only as far as the buffer goes: a negative count,
    // read as unsigned, is huge and keeps the whole buffer like any count
    // beyond it.
    const std::size_t len = std::min<std::size_t>(static_cast<unsigned>(written), ticket.size());
    ticket.resize(len);
    return ticket;
}

void User::terminate_game_connection(SocketAddrV4 server) const {
    runtime().SteamAPI_ISteamUser_TerminateGameConnection_DEPRECATED(
        handle_, server.host_order_ip(), server.port);
}

} // namespace vandrel::steam
