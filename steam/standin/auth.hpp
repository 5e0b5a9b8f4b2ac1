// Session, web API and encrypted app tickets as the stand-in runtime and the
// simulated Steam client library issue them, with the callbacks that confirm
// them, and Steam's textual identities. Scripted by the VANDREL_STANDIN_AUTH_*
// variables; the bytes are deterministic (ticket.hpp's rule, below).
#pragma once

#include <cstdint>

namespace vandrel::standin {

// Starts a fresh initialisation: handles and calls count from 1 again, and
// call handles carry `generation`.
void reset_auth(std::int32_t generation);

// SteamNetworkingIdentity_ParseString: fills the 136-byte `identity` from
// "steamid:<u64>", "ip:<a.b.c.d>:<port>", "str:<up to 31 bytes>" or
// "gen:<hex, up to 32 bytes>"; false (and an invalid identity) otherwise.
bool parse_identity(void* identity, const char* text);

// GetAuthSessionTicket: writes min(max, ticket length) bytes, stores the
// count, and queues callback 163 for the new handle. `refused` issues nothing.
std::uint32_t session_ticket(void* ticket, int max_ticket, std::uint32_t* ticket_len,
                             const void* identity, bool refused);
// GetAuthTicketForWebApi: a new handle, its ticket in the queued callback 168.
std::uint32_t web_api_ticket(const char* identity, bool refused);
// CancelAuthTicket: logged; a handle never issued is logged as unknown.
void cancel_ticket(std::uint32_t handle);
// RequestEncryptedAppTicket: a call handle whose completion (result 154) is
// queued at once.
std::uint64_t request_app_ticket(const void* data, int data_len, bool refused);
// GetEncryptedAppTicket: the ticket of the last request whose result was OK.
bool app_ticket(void* ticket, int max_ticket, std::uint32_t* ticket_len);

} // namespace vandrel::standin
