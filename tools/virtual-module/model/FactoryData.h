// Factory data: up to sixteen kinds of byte records written once at the factory, read and written
// with the factory command in packets of up to 26 bytes and closed with the total byte count. A
// write becomes the record only when the close confirms the count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ModuleIdentity.h"
#include "Packet.h"

namespace virtual_module {

struct LinkContext;

constexpr size_t kFactoryKindCount = 16;
constexpr size_t kFactoryCapacity = 512;

struct FactoryStore {
    std::array<std::vector<uint8_t>, kFactoryKindCount> records;
};

// Kind 0 of a new module: a short text naming serial number and model.
std::vector<uint8_t> default_factory_record(const ModuleIdentity& identity);

struct FactoryTransfer {
    enum class Direction { None, Reading, Writing };
    Direction direction = Direction::None;
    uint8_t kind = 0;
    size_t position = 0;          // bytes sent so far when reading
    std::vector<uint8_t> staged;  // bytes received so far when writing
};

// Answers one factory-command packet.
void handle_factory_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
