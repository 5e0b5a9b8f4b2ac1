// The child's request handler over the stand-in Steam runtime: every request
// gets exactly one well-formed reply and nothing crashes.
#include "child.hpp"
#include "steam/client.hpp"

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class StandinPort final : public vandrel::child::SteamPort {
  public:
    explicit StandinPort(vandrel::steam::User user) : user_(std::move(user)) {}
    std::uint64_t steam_id() override { return user_.steam_id(); }
    std::optional<vandrel::Bytes>
    initiate_game_connection(std::uint64_t sid, vandrel::SocketAddrV4 s, bool secure) override {
        return user_.initiate_game_connection(sid, s, secure);
    }
    void terminate_game_connection(vandrel::SocketAddrV4 s) override {
        user_.terminate_game_connection(s);
    }

  private:
    vandrel::steam::User user_;
};

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
    port = new StandinPort(client->user());
    ::unlink("steam_appid.txt");
    ::rmdir(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vandrel::Bytes reply = vandrel::child::handle({data, size}, *port);
    if (starts_with(reply, "ok ")) {
        if (reply.size() < 15)
            std::abort();
        std::size_t n =
            reply[11] | (reply[12] << 8) | (reply[13] << 16) | (std::size_t{reply[14]} << 24);
        if (n < 1 || n > 2048 || reply.size() != 15 + n)
            std::abort();
    } else if (!(reply == vandrel::Bytes{'o', 'k'}) && !starts_with(reply, "err ")) {
        std::abort();
    }
    return 0;
}
