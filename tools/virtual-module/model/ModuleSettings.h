// The module's settings: what the host can change through the system entity. A save keeps the
// current settings; a restart goes back to the saved ones; a factory reset to the identity's.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "ModuleIdentity.h"

namespace virtual_module {

struct ModuleSettings {
    uint8_t router = 0;
    std::chrono::milliseconds heartbeat_interval{0};
    uint8_t led = 0;
    uint8_t boot_slot = 0;
    uint8_t software_offset = 0;
    uint8_t input_power_behavior = 0;
    std::vector<uint8_t> input_power_behavior_config;
    std::vector<uint8_t> name;
    uint32_t power_limit_max = 15000000;  // microwatts
    uint8_t link_interface = 0;
    uint8_t led_max_brightness = 255;

    static ModuleSettings from_identity(const ModuleIdentity& identity) {
        ModuleSettings settings;
        // A module reached directly is its own router; one behind a router names that router.
        settings.router = identity.router != 0 ? identity.router : identity.address;
        settings.heartbeat_interval = identity.heartbeat_interval;
        settings.name.assign(identity.name.begin(), identity.name.end());
        return settings;
    }
};

}  // namespace virtual_module
