// What a module is: given on the command line, fixed for the life of the simulated module (a
// restart into a loader may change the serial number it answers with; see ModuleRestart).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "LoaderSettings.h"

namespace virtual_module {

constexpr size_t kNameCapacity = 128;  // longest device name the module stores

struct ModuleIdentity {
    uint32_t serial_number = 0x4E560001;
    uint8_t model = 19;
    uint8_t address = 2;                // even, 2 to 254
    uint32_t firmware_version = 0x2F020F03;  // 2.15.3 in the current layout
    uint32_t build = 1;
    std::string name = "Virtual Module";
    std::chrono::milliseconds heartbeat_interval{1000};  // 0: no heartbeats
    uint32_t protocol_features = 0;
    uint8_t router = 0;  // address of the router a module sits behind on its I2C bus; 0: reached directly
    LoaderSettings loader;
    std::chrono::milliseconds restart_time{0};  // how long a restart keeps the module away
};

}  // namespace virtual_module
