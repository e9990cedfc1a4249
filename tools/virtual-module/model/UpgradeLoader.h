// The module's loader, driven by the host with the upgrade command (0x5F). INIT starts a session
// and answers the load base; PREPARE names where the next bytes go and answers the block size;
// DATA packets of up to 26 bytes (or one UEI byte array of option 10) bring the bytes; SUM answers
// the 32-bit sum of the bytes since the last PREPARE, SUM or WRITE and starts a new sum; WRITE
// commits the bytes since PREPARE or the last WRITE to flash and moves on past them; LOAD starts
// what was received since INIT as the new loader; REBOOT restarts into the firmware, unanswered.
// Every byte received is placed at its address in the loader's memory as it arrives, so loader
// blocks (sent without WRITE) and firmware pieces alike can be read back by address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "LinkContext.h"
#include "MemoryImage.h"
#include "Packet.h"
#include "UeiEntity.h"

namespace virtual_module {

constexpr size_t kLoaderMemoryCapacity = 16 * 1024 * 1024;
constexpr size_t kFlashCapacity = 16 * 1024 * 1024;

// What the loader holds while a transfer runs; a restart loses it.
struct LoaderState {
    bool prepared = false;        // a PREPARE was accepted since INIT or the restart
    uint8_t option = 0;           // the PREPARE's option byte (the image block's flags)
    uint32_t piece_address = 0;   // where the bytes since PREPARE or the last WRITE start
    size_t piece_length = 0;
    uint32_t sum = 0;             // of the bytes since PREPARE, SUM or WRITE, wrapping
    MemoryImage received{kLoaderMemoryCapacity};  // every byte since INIT, at its address
};

// What outlives a restart: the flash, the loader last started, and the one-time faults used up.
struct LoaderMemory {
    MemoryImage flash{kFlashCapacity};
    MemoryImage started_loader{kLoaderMemoryCapacity};
    uint64_t data_packets = 0;  // packets that carried image bytes, raw or UEI, since the program started
    bool wrong_sum_given = false;
    bool short_acknowledgement_given = false;
};

// The upgrade entity's one UEI option: 10, a byte array of image bytes, set only.
UeiEntity make_upgrade_entity();
// Answers one upgrade-command packet, raw sub-command or UEI message.
void handle_upgrade_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
