// The questions the commands put to the update server: which builds it offers a device (-B), the
// device's JWT (-J), and whether it offers one particular build (before a download).
#include <string>

#include "BuildNumber.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "Updater.h"

bool _ping_server(UpdaterDisplayInterface& display, const std::string& server_url) {
    if (UpdateServerRequest::ping(server_url.c_str())) return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", server_url.c_str());
    return false;
}

BuildList Updater::Get_BuildList(unsigned serial) {
    BuildList builds;
    if (!_ping_server(display, server_url)) return builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve builds for %08X", serial);
        builds.clear();
    }
    return builds;
}

std::string Updater::Get_JWT(unsigned serial) {
    std::string token;
    if (!_ping_server(display, server_url)) return token;
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X", serial);
        token.clear();
    }
    return token;
}

bool _valid_build(unsigned serial, unsigned build, const char* server_url) {
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url)) return false;
    for (const auto& [listed, version] : builds) {
        unsigned number = 0;
        if (!ParseBuildNumber(listed, number)) {
            Log::log(DEBUG_APP, "Error: Could not convert %s to int.\n", listed.c_str());
        }
        if (number == build) return true;
    }
    return false;
}
