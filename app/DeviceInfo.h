// What discovery learned about one module.
#pragma once

#include <cstdint>
#include <string>

#include "linkSpec.h"

struct DeviceInfo {
    linkSpec spec{};               // how to reach it; some fields overwritten from its own answers
    uint16_t network_address = 0;  // router-network (I2C) address of a routed module, else 0
    uint32_t build = 0;            // 0 when it could not be read
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint32_t version_patch = 0;
    std::string model_label;
    std::string device_name;       // only from firmware 2.10.4 on
    int32_t error = 0;             // 0, or the first qErr met while interrogating it
};
