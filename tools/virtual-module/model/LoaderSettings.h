// How a module's loader behaves (part of what the module is) and how it misbehaves on request
// (fault switches for tests of the host's error paths).
#pragma once

#include <cstdint>
#include <optional>

#include "ModuleRestart.h"

namespace virtual_module {

struct LoaderSettings {
    uint32_t load_base = 0x00010000;  // answered to INIT
    uint16_t block_size = 1024;       // answered to PREPARE; 0 is possible, as a fault
    bool restart_on_load = false;     // LOAD restarts the module into the new loader
    std::optional<uint32_t> loader_serial;  // the serial number a loader started by LOAD answers as
};

enum class WrongSum { Never, Once, Always };

struct LoaderFaults {
    uint64_t drop_link_at_data_packet = 0;  // the link ends when this data packet arrives (0: never)
    WrongSum wrong_sum = WrongSum::Never;   // SUM answers the true sum plus one
    bool short_acknowledgement_once = false;  // one DATA packet is acknowledged short and not kept
    uint8_t prepare_status = 0;               // PREPARE answers this status (0: accepted)
    std::optional<RestartReason> never_back_after;  // a restart for this reason is for good
};

}  // namespace virtual_module
