// A byte array the host is sending as a run of packets, collected until its last packet.
#pragma once

#include <cstdint>
#include <vector>

namespace virtual_module {

struct ByteArrayAssembly {
    bool active = false;
    bool discarding = false;  // the run was refused; its remaining packets are swallowed quietly
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    uint8_t next_sequence = 0;
    std::vector<uint8_t> bytes;

    void clear() { *this = ByteArrayAssembly{}; }
};

}  // namespace virtual_module
