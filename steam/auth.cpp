#include "steam/auth.hpp"

#include "base/bytes.hpp"
#include "steam/runtime.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <thread>

namespace vandrel::steam {
namespace {

using Kind = AuthFailure::Kind;

constexpr std::size_t U32_LEN = 4;
constexpr std::size_t WEB_API_TICKET_AT = offsetof(flat::GetTicketForWebApiResponse, ticket);

std::int32_t load_i32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(load_le(bytes.subspan(at, U32_LEN))));
}

// Waits for the one callback or call result that confirms a request; every
// other one that arrives meanwhile is left to pass.
class Confirmation final : public CallbackSink {
  public:
    // For a ticket handle, confirmed by callback `id`.
    Confirmation(std::int32_t id, flat::HAuthTicket handle) : id_(id), handle_(handle) {}
    // For an API call, whose result is callback `id`.
    Confirmation(std::int32_t id, flat::SteamAPICall call) : id_(id), call_(call) {}

    bool seen() const { return seen_; }
    std::int32_t result() const { return result_; }
    bool fetched() const { return fetched_; }
    std::vector<std::uint8_t>& ticket() { return ticket_; }

    void on_callback(std::int32_t id, std::span<const std::uint8_t> param) override {
        // The records start with the handle and the result.
        if (seen_ || call_ != 0 || id != id_ || param.size() < 2 * U32_LEN)
            return;
        if (static_cast<flat::HAuthTicket>(load_i32(param, 0)) != handle_)
            return;
        seen_ = true;
        result_ = load_i32(param, U32_LEN);
        if (id == flat::CALLBACK_GET_TICKET_FOR_WEB_API_RESPONSE)
            keep_web_api_ticket(param);
    }

    void on_call_result(std::uint64_t call, std::int32_t id, std::span<const std::uint8_t> result,
                        bool fetched) override {
        if (seen_ || call_ == 0 || call != call_ || id != id_)
            return;
        seen_ = true;
        fetched_ = fetched && result.size() >= sizeof(flat::EncryptedAppTicketResponse);
        if (fetched_)
            result_ = load_i32(result, 0);
    }

  private:
    // The ticket is as long as the record says, but never past the record's
    // bytes or its ticket field.
    void keep_web_api_ticket(std::span<const std::uint8_t> param) {
        const std::size_t len_at = 2 * U32_LEN;
        if (param.size() < WEB_API_TICKET_AT)
            return;
        const std::int32_t announced = load_i32(param, len_at);
        const std::size_t room =
            std::min(param.size() - WEB_API_TICKET_AT, flat::WEB_API_TICKET_CAPACITY);
        const std::size_t len = std::min(static_cast<std::size_t>(std::max(announced, 0)), room);
        auto bytes = param.subspan(WEB_API_TICKET_AT, len);
        ticket_.assign(bytes.begin(), bytes.end());
    }

    std::int32_t id_;
    flat::HAuthTicket handle_ = 0;
    flat::SteamAPICall call_ = 0;
    bool seen_ = false;
    bool fetched_ = false;
    std::int32_t result_ = 0;
    std::vector<std::uint8_t> ticket_;
};

// Pumps callbacks until `confirmation` has been seen, `timeout` has passed or
// Steam has gone (it confirms nothing more).
bool wait_for(const Client& client, Confirmation& confirmation,
              std::chrono::steady_clock::duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        client.run_callbacks(&confirmation);
        if (confirmation.seen())
            return true;
        if (std::chrono::steady_clock::now() >= deadline || client.steam_lost())
            return false;
        std::this_thread::sleep_for(CONFIRM_POLL_INTERVAL);
    }
}

AuthFailure refused(std::optional<std::int32_t> result = std::nullopt) {
    return AuthFailure{Kind::Refused, result};
}

// Waits for the confirmation of ticket `handle`. A ticket that is refused or
// never confirmed is cancelled, so that Steam keeps no ticket nobody received.
std::optional<AuthFailure> confirm(const AuthTickets& tickets, const Client& client,
                                   std::chrono::steady_clock::duration timeout,
                                   Confirmation& confirmation, flat::HAuthTicket handle) {
    if (!wait_for(client, confirmation, timeout)) {
        tickets.cancel(handle);
        return AuthFailure{Kind::Unconfirmed, std::nullopt};
    }
    if (confirmation.result() != flat::RESULT_OK) {
        tickets.cancel(handle);
        return refused(confirmation.result());
    }
    return std::nullopt;
}

} // namespace

AuthResult AuthTickets::session(std::optional<std::string_view> identity) const {
    const FlatApi& api = runtime();
    flat::SteamNetworkingIdentity parsed{};
    const flat::SteamNetworkingIdentity* for_whom = nullptr;
    if (identity) {
        const std::string text(*identity); // the parser wants a terminated string
        if (!api.SteamAPI_SteamNetworkingIdentity_ParseString(&parsed, text.c_str()))
            return AuthFailure{Kind::BadIdentity, std::nullopt};
        for_whom = &parsed;
    }
    std::vector<std::uint8_t> ticket(MAX_TICKET_LEN); // zero-filled
    std::uint32_t len = 0;
    const flat::HAuthTicket handle = api.SteamAPI_ISteamUser_GetAuthSessionTicket(
        user_.handle_, ticket.data(), static_cast<int>(ticket.size()), &len, for_whom);
    if (handle == 0)
        return refused();
    Confirmation confirmation(flat::CALLBACK_GET_AUTH_SESSION_TICKET_RESPONSE, handle);
    if (auto failed = confirm(*this, client_, confirm_timeout_, confirmation, handle))
        return *failed;
    // The length is trusted only as far as the buffer goes.
    ticket.resize(std::min<std::size_t>(len, ticket.size()));
    return AuthTicket{handle, std::move(ticket)};
}

AuthResult AuthTickets::web_api(std::optional<std::string_view> identity) const {
    const std::string text(identity.value_or(""));
    const flat::HAuthTicket handle = runtime().SteamAPI_ISteamUser_GetAuthTicketForWebApi(
        user_.handle_, identity ? text.c_str() : nullptr);
    if (handle == 0)
        return refused();
    Confirmation confirmation(flat::CALLBACK_GET_TICKET_FOR_WEB_API_RESPONSE, handle);
    if (auto failed = confirm(*this, client_, confirm_timeout_, confirmation, handle))
        return *failed;
    return AuthTicket{handle, std::move(confirmation.ticket())};
}

AuthResult AuthTickets::app(std::span<const std::uint8_t> data) const {
    const FlatApi& api = runtime();
    // The call takes a mutable pointer; it gets a copy of its own.
    std::vector<std::uint8_t> included(data.begin(), data.end());
    const flat::SteamAPICall call = api.SteamAPI_ISteamUser_RequestEncryptedAppTicket(
        user_.handle_, included.empty() ? nullptr : included.data(),
        static_cast<int>(included.size()));
    if (call == 0)
        return refused();
    Confirmation confirmation(flat::CALLBACK_ENCRYPTED_APP_TICKET_RESPONSE, call);
    if (!wait_for(client_, confirmation, confirm_timeout_))
        return AuthFailure{Kind::Unconfirmed, std::nullopt};
    if (!confirmation.fetched())
        return refused();
    if (confirmation.result() != flat::RESULT_OK)
        return refused(confirmation.result());
    std::vector<std::uint8_t> ticket(MAX_TICKET_LEN); // zero-filled
    std::uint32_t len = 0;
    if (!api.SteamAPI_ISteamUser_GetEncryptedAppTicket(user_.handle_, ticket.data(),
                                                       static_cast<int>(ticket.size()), &len))
        return refused();
    ticket.resize(std::min<std::size_t>(len, ticket.size()));
    return AuthTicket{0, std::move(ticket)};
}

void AuthTickets::cancel(std::uint32_t handle) const {
    runtime().SteamAPI_ISteamUser_CancelAuthTicket(user_.handle_, handle);
}

} // namespace vandrel::steam
