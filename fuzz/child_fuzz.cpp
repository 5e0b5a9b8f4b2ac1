// The child's request handler over the stand-in Steam runtime: every request
// gets exactly one well-formed reply and nothing crashes.
#include "child/child.hpp"
#include "shared/child_protocol.hpp"
#include "steam/auth.hpp"
#include "steam/client.hpp"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class StandinPort final : public vandrel::child::SteamPort {
  public:
    StandinPort(const vandrel::steam::Client& client, vandrel::steam::User user)
        : user_(user), auth_(client, std::move(user)) {}
    std::uint64_t steam_id() override { return user_.steam_id(); }
    std::optional<vandrel::Bytes>
    initiate_game_connection(std::uint64_t sid, vandrel::SocketAddrV4 s, bool secure) override {
        return user_.initiate_game_connection(sid, s, secure);
    }
    void terminate_game_connection(vandrel::SocketAddrV4 s) override {
        user_.terminate_game_connection(s);
    }
    vandrel::steam::AuthResult session_ticket(std::optional<std::string_view> identity) override {
        return auth_.session(identity);
    }
    vandrel::steam::AuthResult web_api_ticket(std::optional<std::string_view> identity) override {
        return auth_.web_api(identity);
    }
    vandrel::steam::AuthResult app_ticket(std::span<const std::uint8_t> data) override {
        return auth_.app(data);
    }
    void cancel_auth_ticket(std::uint32_t handle) override { auth_.cancel(handle); }
    bool logged_on() override { return user_.logged_on(); }
    vandrel::steam::RuntimeIdentity runtime() override {
        return vandrel::steam::runtime_identity();
    }

  private:
    vandrel::steam::User user_;
    vandrel::steam::AuthTickets auth_;
};

// The little-endian u32 at `at`.
std::size_t u32_at(const vandrel::Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::size_t{b[at + 3]} << 24);
}

StandinPort* port = nullptr;

bool starts_with(const vandrel::Bytes& b, std::string_view p) {
    return b.size() >= p.size() &&
           std::string_view(reinterpret_cast<const char*>(b.data()), p.size()) == p;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The stand-in takes the AppID from steam_appid.txt in the working directory.
    char dir[] = "/tmp/vandrel-fuzz-XXXXXX";
    if (::mkdtemp(dir) == nullptr || ::chdir(dir) != 0)
        std::abort();
    FILE* f = std::fopen("steam_appid.txt", "w");
    std::fputs("480", f);
    std::fclose(f);
    auto client = vandrel::steam::Client::init();
    if (!client.ok())
        std::abort();
    // Leaked on purpose: Steam stays up for the whole run.
    port = new StandinPort(*client, client->user());
    ::unlink("steam_appid.txt");
    ::rmdir(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vandrel::Bytes reply = vandrel::child::handle({data, size}, *port);
    // Each answer by its word: a game-connection ticket (N at 11, 1 to 2048
    // bytes), an auth ticket (N at 17, at most 2560 bytes) or a status answer
    // that the broker's own readers take whole, an acknowledgement, or an
    // error.
    if (starts_with(reply, vandrel::CONN_ANSWER_WORD)) {
        const std::size_t n = reply.size() >= vandrel::CONN_HEADER_LEN
                                  ? u32_at(reply, vandrel::CONN_TICKET_LEN_AT)
                                  : 0;
        if (n < 1 || n > 2048 || reply.size() != vandrel::CONN_HEADER_LEN + n)
            std::abort();
    } else if (starts_with(reply, vandrel::AUTH_ANSWER_WORD)) {
        auto ticket = vandrel::read_auth_answer(reply);
        if (!ticket.ok() || ticket->ticket.size() > 2560 ||
            reply.size() != vandrel::AUTH_HEADER_LEN + ticket->ticket.size())
            std::abort();
    } else if (starts_with(reply, vandrel::STATUS_ANSWER_WORD)) {
        if (!vandrel::read_status_answer(reply).ok())
            std::abort();
    } else if (!(reply == vandrel::Bytes{'o', 'k'}) && !starts_with(reply, "err ")) {
        std::abort();
    }
    return 0;
}
