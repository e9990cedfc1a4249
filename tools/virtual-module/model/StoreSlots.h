// Store slots: numbered stores of numbered slots, each holding up to a fixed number of bytes, read
// and written through handles with the slot command. Slot contents belong to the module and
// outlive links; handles belong to the link that opened them, and what a link writes becomes the
// slot's contents only when it closes the handle, so a transfer cut short leaves the slot intact.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "Packet.h"

namespace virtual_module {

struct LinkContext;

constexpr uint8_t kStoreCount = 2;
constexpr uint8_t kSlotsPerStore = 8;
constexpr size_t kSlotCapacity = 1024;
constexpr size_t kMaxOpenHandles = 4;

class SlotStore {
public:
    // The slot's bytes, or none when store or slot does not exist.
    std::vector<uint8_t>* slot(uint8_t store, uint8_t slot);

private:
    std::array<std::array<std::vector<uint8_t>, kSlotsPerStore>, kStoreCount> slots_;
};

struct SlotHandle {
    uint8_t store = 0;
    uint8_t slot = 0;
    bool writing = false;
    size_t read_position = 0;
    std::vector<uint8_t> bytes;  // a snapshot to read from, or what has been written so far
};

struct SlotHandleTable {
    std::array<std::optional<SlotHandle>, kMaxOpenHandles> handles;
};

// Answers one slot-command packet.
void handle_store_slot_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
