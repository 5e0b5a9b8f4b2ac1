// The client object ("SteamClient021"): pipes, the global user and the lookup
// of the other interfaces. Slot numbers are the positions at which the
// runtime calls these functions.
#include "calllog.hpp"
#include "interfaces.hpp"
#include "steam/standin/auth.hpp"
#include "steam/standin/callbacks.hpp"
#include "steam/standin/presence.hpp"
#include "steam/standin/script.hpp"

#include <cstdint>

namespace vandrel::steamclient {

using namespace standin;

namespace {

constexpr std::size_t SLOT_CREATE_STEAM_PIPE = 0;
constexpr std::size_t SLOT_RELEASE_STEAM_PIPE = 1;
constexpr std::size_t SLOT_CONNECT_TO_GLOBAL_USER = 2;
constexpr std::size_t SLOT_RELEASE_USER = 4;
constexpr std::size_t SLOT_GET_USER = 5;
constexpr std::size_t SLOT_GET_GENERIC_INTERFACE = 12;
constexpr std::size_t SLOT_SHUTDOWN_IF_ALL_PIPES_CLOSED = 23;
// Takes one function pointer: set at initialisation, cleared by
// SteamAPI_ManualDispatch_Init. Nothing here calls it.
constexpr std::size_t SLOT_SET_HOOK = 32;

// The handle of the one user; the pipe's number is the connection's generation.
constexpr std::int32_t GLOBAL_USER = 1;
constexpr std::uint64_t DEFAULT_STEAM_ID = 76561197960287930ULL;

std::int32_t create_steam_pipe(Object*) {
    Connection& c = connection();
    // Without a running Steam there is nobody to open a pipe to.
    if (scripted_failure() == Failure::NoPipe || !steam_running()) {
        log_call("steamclient CreateSteamPipe pipe=0");
        return 0;
    }
    if (c.pipe != 0)
        report_error("CreateSteamPipe while pipe %d is open", c.pipe);
    c.pipe = ++c.generation;
    c.ticket_calls = 0;
    presence_start();
    queue_callbacks(c.generation);
    reset_auth(c.generation);
    log_call("steamclient CreateSteamPipe pipe=%d", c.pipe);
    return c.pipe;
}

bool release_steam_pipe(Object*, std::int32_t pipe) {
    Connection& c = connection();
    // The runtime releases a pipe more than once when ConnectToGlobalUser
    // fails, so an unknown pipe is answered, not reported.
    const bool ours = pipe != 0 && pipe == c.pipe;
    log_call("steamclient BReleaseSteamPipe pipe=%d result=%d", pipe, ours);
    if (!ours)
        return false;
    c.pipe = 0;
    c.user = 0;
    clear_callbacks();
    return true;
}

std::int32_t connect_to_global_user(Object*, std::int32_t pipe) {
    Connection& c = connection();
    if (pipe == 0 || pipe != c.pipe || scripted_failure() == Failure::NoUser) {
        log_call("steamclient ConnectToGlobalUser pipe=%d user=0", pipe);
        return 0;
    }
    c.user = GLOBAL_USER;
    // 0, which the runtime takes for "no AppID", when steam_appid.txt holds none.
    c.app_id = 0;
    read_app_id(c.app_id);
    c.steam_id = steam_user(DEFAULT_STEAM_ID);
    log_call("steamclient ConnectToGlobalUser pipe=%d user=%d appid=%u", pipe, c.user, c.app_id);
    return c.user;
}

void release_user(Object*, std::int32_t pipe, std::int32_t user) {
    Connection& c = connection();
    log_call("steamclient ReleaseUser pipe=%d user=%d", pipe, user);
    if (pipe == c.pipe && user == c.user)
        c.user = 0;
}

Object* lookup(const char* call, std::int32_t user, std::int32_t pipe, const char* version) {
    Object* object = interface_object(version);
    log_call("steamclient %s user=%d pipe=%d version=%s found=%d", call, user, pipe,
             version == nullptr ? "(null)" : version, object != nullptr);
    return object;
}

Object* get_user(Object*, std::int32_t user, std::int32_t pipe, const char* version) {
    return lookup("GetISteamUser", user, pipe, version);
}

Object* get_generic_interface(Object*, std::int32_t user, std::int32_t pipe, const char* version) {
    return lookup("GetISteamGenericInterface", user, pipe, version);
}

bool shutdown_if_all_pipes_closed(Object*) {
    const bool closed = connection().pipe == 0;
    log_call("steamclient BShutdownIfAllPipesClosed result=%d", closed);
    return closed;
}

void set_hook(Object*, void (*hook)()) {
    trace("%s slot %zu hook %s", CLIENT_VERSION, SLOT_SET_HOOK,
          hook == nullptr ? "cleared" : "set");
}

} // namespace

Object* client_object() {
    static SlotTable table;
    static Object object =
        make_object(table,
                    {{SLOT_CREATE_STEAM_PIPE, slot(create_steam_pipe)},
                     {SLOT_RELEASE_STEAM_PIPE, slot(release_steam_pipe)},
                     {SLOT_CONNECT_TO_GLOBAL_USER, slot(connect_to_global_user)},
                     {SLOT_RELEASE_USER, slot(release_user)},
                     {SLOT_GET_USER, slot(get_user)},
                     {SLOT_GET_GENERIC_INTERFACE, slot(get_generic_interface)},
                     {SLOT_SHUTDOWN_IF_ALL_PIPES_CLOSED, slot(shutdown_if_all_pipes_closed)},
                     {SLOT_SET_HOOK, slot(set_hook)}},
                    CLIENT_VERSION);
    return &object;
}

} // namespace vandrel::steamclient
