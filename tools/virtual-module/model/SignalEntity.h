// A simulated measurement entity: values of each width, plain and with four sub-indices, that the
// host may read and set. Setting one is a value change, so it is what exercises stream samples of
// every kind.
#pragma once

#include <array>
#include <cstdint>

#include "UeiEntity.h"

namespace virtual_module {

constexpr uint8_t kSignalSubindexCount = 4;

struct SignalValues {
    uint8_t byte_value = 0;
    uint16_t short_value = 0;
    uint32_t int_value = 0;
    std::array<uint8_t, kSignalSubindexCount> byte_values{};
    std::array<uint16_t, kSignalSubindexCount> short_values{};
    std::array<uint32_t, kSignalSubindexCount> int_values{};
};

UeiEntity make_signal_entity();

}  // namespace virtual_module
