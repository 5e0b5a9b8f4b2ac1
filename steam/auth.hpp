// Auth tickets that Steam confirms later: session tickets (callback 163), web
// API tickets (callback 168) and encrypted app tickets (call result 154). Each
// request waits for its own confirmation while it keeps the callbacks flowing.
#pragma once

#include "base/result.hpp"
#include "steam/client.hpp"
#include "steam/flat.hpp"
#include "steam/user.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vandrel::steam {

// How long a request waits for Steam to confirm its ticket.
inline constexpr auto CONFIRM_TIMEOUT = std::chrono::seconds(5);
// The largest auth ticket: a web API ticket.
inline constexpr std::size_t MAX_AUTH_TICKET_LEN = flat::WEB_API_TICKET_CAPACITY;
// How often the callback queue is pumped while a request waits.
inline constexpr auto CONFIRM_POLL_INTERVAL = std::chrono::milliseconds(1);

// A confirmed ticket: its handle (0 for an app ticket, which has none) and bytes.
struct AuthTicket {
    std::uint32_t handle = 0;
    std::vector<std::uint8_t> bytes;
};

// Why no ticket came. An issued handle has been cancelled already.
struct AuthFailure {
    enum class Kind {
        BadIdentity, // the runtime cannot parse the identity text
        Refused,     // no handle, or a result other than OK (then in `result`)
        Unconfirmed, // no confirmation within the wait
    };
    Kind kind = Kind::Refused;
    std::optional<std::int32_t> result;
};

using AuthResult = Result<AuthTicket, AuthFailure>;

// The user's auth tickets, each request waiting for its confirmation with the
// client's dispatch. Callbacks for other handles or calls are passed over.
class AuthTickets {
  public:
    AuthTickets(Client client, User user,
                std::chrono::steady_clock::duration confirm_timeout = CONFIRM_TIMEOUT)
        : client_(std::move(client)), user_(std::move(user)), confirm_timeout_(confirm_timeout) {}

    // A session ticket for `identity` in Steam's textual form, or for nobody
    // (a null identity) when none is given.
    AuthResult session(std::optional<std::string_view> identity) const;
    // A web API ticket for `identity` as it stands, or a null identity.
    AuthResult web_api(std::optional<std::string_view> identity) const;
    // An encrypted app ticket carrying `data` (may be empty).
    AuthResult app(std::span<const std::uint8_t> data) const;
    // Ends a session or web API ticket.
    void cancel(std::uint32_t handle) const;

  private:
    Client client_;
    User user_;
    std::chrono::steady_clock::duration confirm_timeout_;
};

} // namespace vandrel::steam
