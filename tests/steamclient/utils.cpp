// The utilities object ("SteamUtils010"): the AppID and the per-frame call.
#include "calllog.hpp"
#include "interfaces.hpp"
#include "steam/standin/presence.hpp"

#include <cstdint>

namespace vandrel::steamclient {

using standin::log_call;

namespace {

constexpr std::size_t SLOT_GET_APP_ID = 9;
// Called by every SteamAPI_ManualDispatch_RunFrame.
constexpr std::size_t SLOT_RUN_FRAME = 14;

std::uint32_t get_app_id(Object*) {
    const std::uint32_t id = connection().app_id;
    log_call("steamclient GetAppID appid=%u", id);
    return id;
}

void run_frame(Object*) {
    log_call("steamclient RunFrame");
    standin::presence_frame();
}

} // namespace

Object* utils_object() {
    static SlotTable table;
    static Object object =
        make_object(table, {{SLOT_GET_APP_ID, slot(get_app_id)}, {SLOT_RUN_FRAME, slot(run_frame)}},
                    UTILS_VERSION);
    return &object;
}

} // namespace vandrel::steamclient
