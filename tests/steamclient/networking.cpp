// The networking utilities object ("SteamNetworkingUtils004"). The runtime's
// SteamAPI_SteamNetworkingIdentity_ParseString does not parse by itself: it
// asks the client library for this object and calls its slot 24 with the
// identity and the text, so the parser answers here, with the stand-in's
// rules and its call-log line.
#include "interfaces.hpp"
#include "steam/standin/auth.hpp"

namespace vandrel::steamclient {
namespace {

constexpr std::size_t SLOT_PARSE_IDENTITY = 24;

bool parse_identity_string(Object*, void* identity, const char* text) {
    return standin::parse_identity(identity, text);
}

} // namespace

Object* networking_utils_object() {
    static SlotTable table;
    static Object object = make_object(table, {{SLOT_PARSE_IDENTITY, slot(parse_identity_string)}},
                                       NETWORKING_UTILS_VERSION);
    return &object;
}

} // namespace vandrel::steamclient
