// Game-connection tickets as the stand-in runtime and the simulated Steam
// client library issue them: deterministic bytes, scripted by the
// VANDREL_STANDIN_TICKET_* variables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vandrel::standin {

// The arguments of one InitiateGameConnection call.
struct TicketRequest {
    void* blob;
    int max_blob;
    std::uint64_t server_steam_id;
    std::uint32_t server_ip; // host order
    std::uint16_t server_port;
    bool secure;
};

// Byte `i` (from 0) of every ticket for that server: the top byte of
// mix(seed + (i + 1) * 0x9E3779B97F4A7C15), seed = sid ^ (ip << 16 | port),
// with mix the splitmix64 finaliser. The secure flag does not enter into it.
std::uint8_t ticket_byte(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t i);

// Answers ticket call `index` (from 0 since the initialisation): sleeps the
// scripted delay, writes the scripted number of ticket bytes into the blob,
// logs the call and returns the scripted result. A `refused` call writes
// nothing and returns 0, after reading the script all the same.
int issue_ticket(const TicketRequest& request, std::size_t index, bool refused);

} // namespace vandrel::standin
