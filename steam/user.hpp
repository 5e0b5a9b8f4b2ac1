// The logged-in user: Steam ID and game-connection auth tickets.
#pragma once

#include "base/addr.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vandrel::steam {

class Client;
class Inner;

// The largest ticket the runtime may write, and so the largest one returned.
inline constexpr std::size_t MAX_TICKET_LEN = 2048;

// The runtime's user interface. Obtained from Client::user; it holds a
// reference that keeps the runtime initialised while it lives.
class User {
  public:
    // The logged-in user's Steam ID.
    std::uint64_t steam_id() const;
    // Whether Steam has the user logged on to its servers just now; a user
    // whose Steam runs offline has a Steam ID but gets no ticket a server takes.
    bool logged_on() const;
    // Asks Steam for an auth ticket for a connection to the game server: 1 to
    // MAX_TICKET_LEN bytes, or none when Steam issues none.
    std::optional<std::vector<std::uint8_t>>
    initiate_game_connection(std::uint64_t server_steam_id, SocketAddrV4 server, bool secure) const;
    // Tells Steam that the connection to the game server has ended.
    void terminate_game_connection(SocketAddrV4 server) const;

  private:
    friend class Client;
    friend class AuthTickets;
    User(std::shared_ptr<const Inner> inner, void* handle)
        : inner_(std::move(inner)), handle_(handle) {}

    std::shared_ptr<const Inner> inner_;
    void* handle_;
};

} // namespace vandrel::steam
