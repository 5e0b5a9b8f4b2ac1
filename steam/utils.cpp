#include "steam/utils.hpp"

#include "steam/runtime.hpp"

namespace vandrel::steam {

std::string AppId::debug() const {
    return "AppId(" + std::to_string(value) + ")";
}

AppId Utils::app_id() const {
    return AppId{runtime().SteamAPI_ISteamUtils_GetAppID(handle_)};
}

} // namespace vandrel::steam
