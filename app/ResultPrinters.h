// Printers for the results the commands show: device table, build list, JWT, fingerprint, version.
#pragma once

#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterOperations.h"
#include "linkSpec.h"

constexpr const char* APPLICATION_NAME = "Updater";
constexpr const char* APPLICATION_VERSION = "Version: 2.11.5 Oct 13 2025";

void _display_app_version(UpdaterDisplayInterface& display);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType link_type);
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, unsigned serial);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
