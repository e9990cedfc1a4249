#include "ResultPrinters.h"

#include <cstdio>

#include "UpdateServerRequest.h"
#include "qDefs.h"

namespace {

void info(UpdaterDisplayInterface& display, const char* text) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", text);
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", APPLICATION_NAME, APPLICATION_VERSION);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType link_type) {
    const char* transport = link_type == linkTypeUSB ? "USB" : link_type == linkTypeTCPIP ? "TCPIP" : "Unknown";
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Discovered Devices: (%s)", transport);
    if (devices.empty()) {
        info(display, "    No devices found.");
        return;
    }
    if (link_type == linkTypeUSB) {
        info(display, "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    } else {
        info(display,
             "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name");
    }
    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        if (device.error != 0) {
            // A module that could not be interrogated says so, whatever its transport: its other
            // fields are not its own answers.
            display.message(UpdaterDisplayInterface::LEVEL_INFO,
                            "    %08X  [Error (%d): Is someone else connected to this device?]", spec.serialNumber,
                            device.error);
        } else if (spec.type == linkTypeTCPIP) {
            // The address is stored in network order: its bytes in memory are the dotted parts in order.
            const auto* octets = reinterpret_cast<const unsigned char*>(&spec.transport.ip.address);
            char address[20];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", octets[0], octets[1], octets[2], octets[3]);
            display.message(UpdaterDisplayInterface::LEVEL_INFO,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, qDefs_GetModelName(spec.model),
                            device.version_major, device.version_minor, device.version_patch, device.build, address,
                            device.device_name.c_str());
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_INFO,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serialNumber,
                            spec.moduleAddress, spec.routerAddress, qDefs_GetModelName(spec.model),
                            device.version_major, device.version_minor, device.version_patch, device.build,
                            device.device_name.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, unsigned serial) {
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
    }
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", token.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}
