// What the client library's tests share: a broker's environment on the
// stand-in, a client and a ticket buffer that clean up after themselves, the
// requests, the tickets the stand-in issues, and the descriptors a call opened.
#pragma once

#include "e2e.hpp"
#include "vandrel/client.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vandrel::test {

// The environment of one broker on the stand-in, as the shared harness makes
// it, also as a whole for vandrel_spawn.
class BrokerEnv {
  public:
    explicit BrokerEnv(const Env& extra = {})
        : options_(broker_.spawn({}, extra)), strings_(environment_of(options_)) {
        for (auto& s : strings_)
            envp_.push_back(s.data());
        envp_.push_back(nullptr);
    }
    BrokerEnv(const BrokerEnv&) = delete;
    BrokerEnv& operator=(const BrokerEnv&) = delete;

    // Options for a process that runs with this environment.
    Spawn spawn(std::vector<std::string> args) const {
        Spawn options = options_;
        options.args = std::move(args);
        return options;
    }
    // The whole environment, for vandrel_spawn.
    char* const* envp() const { return envp_.data(); }
    // The Steam runtime's call log.
    std::string call_log() const { return broker_.call_log(); }

  private:
    Broker broker_{standin()};
    Spawn options_;
    std::vector<std::string> strings_;
    std::vector<char*> envp_;
};

// A vandrel_client that is closed when the test ends.
struct LibClient {
    vandrel_client* c = nullptr;
    LibClient() = default;
    ~LibClient() { vandrel_close(c); }
    LibClient(const LibClient&) = delete;
    LibClient& operator=(const LibClient&) = delete;
    vandrel_client* get() { return c; }
    // Where an open function stores the client; the one held is closed first.
    vandrel_client** out() {
        vandrel_close(std::exchange(c, nullptr));
        return &c;
    }
    // Closes and releases the client: it is gone afterwards.
    vandrel_status close() { return vandrel_close(std::exchange(c, nullptr)); }
};

// A ticket buffer and its vandrel_ticket.
struct TicketBuf {
    std::array<std::uint8_t, VANDREL_MAX_FRAME_PAYLOAD> buf{};
    vandrel_ticket t{};
    explicit TicketBuf(std::size_t capacity = VANDREL_MAX_FRAME_PAYLOAD) {
        t.data = buf.data();
        t.capacity = capacity;
    }
    Bytes bytes() const { return Bytes(buf.begin(), buf.begin() + static_cast<long>(t.len)); }
};

vandrel_ticket_request request_for(const char* server, std::uint64_t sid, std::int32_t secure,
                                   std::int32_t challenge);

// The stand-in's ticket of the default length for a server.
Bytes ticket_for(std::uint32_t ip, std::uint16_t port, std::uint64_t server_steam_id);
// The stand-in's auth ticket for `seed`: the handle of a session ticket,
// 2^32 + the handle of a web API ticket, 2^33 + the length of an app ticket's data.
Bytes auth_ticket_for(std::uint64_t seed);

// The process's open descriptors, without the one that listed them.
std::set<int> open_fd_numbers();
// The descriptors opened since `before`.
std::vector<int> fds_opened_since(const std::set<int>& before);

// Milliseconds since `since`.
std::int64_t elapsed_ms(Clock::time_point since);

} // namespace vandrel::test
