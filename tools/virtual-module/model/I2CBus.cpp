#include "I2CBus.h"

#include "CommandBytes.h"
#include "Module.h"
#include "ModuleError.h"

namespace virtual_module {

namespace {

constexpr uint8_t kI2CInstances = 1;
constexpr uint8_t kReadFlag = 0x01;         // bit 0 of the address byte: a read
constexpr uint8_t kPullupAddressByte = 1;   // the pull-up request's third byte
constexpr size_t kPullupRequestLength = 4;  // command, index, 1, on or off
constexpr size_t kTransferHeaderLength = 5; // command, index, address, length, speed
constexpr size_t kMaxTransferBytes = 23;    // what fits in a reply after its five header bytes
constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kStatusErrorFlag = 0x80;
// What the bus reports when no device acknowledges its address.
constexpr ModuleError kNotAcknowledged = ModuleError::IO;
constexpr uint8_t kReadFill = 0x00;  // what a routed module gives a plain bus read

uint8_t status_byte(ModuleError error) {
    return error == ModuleError::None ? 0 : static_cast<uint8_t>(kStatusErrorFlag | error_byte(error));
}

uint8_t byte_or_zero(const std::vector<uint8_t>& data, size_t position) { return position < data.size() ? data[position] : 0; }

Packet bus_reply(const Module& module, const Packet& request, uint8_t count, ModuleError error) {
    return Packet{module.address(),
                  {kI2CCommand, byte_or_zero(request.data, 1), byte_or_zero(request.data, 2), count, status_byte(error)}};
}

bool acknowledges(const Module& module, uint8_t address, TimePoint now) {
    const Module* routed = module.routed_module(address);
    return routed != nullptr && routed->present(now);
}

ModuleError check_transfer(const Packet& request) {
    const std::vector<uint8_t>& data = request.data;
    if (data.size() < kTransferHeaderLength) return ModuleError::ShortCommand;
    if (data[1] >= kI2CInstances) return ModuleError::InvalidEntity;
    if (data[4] > kMaxSpeed) return ModuleError::Param;
    if (data[3] > kMaxTransferBytes) return ModuleError::Size;
    if ((data[2] & kReadFlag) != 0) return data.size() == kTransferHeaderLength ? ModuleError::None : ModuleError::Size;
    size_t expected = kTransferHeaderLength + data[3];
    if (data.size() < expected) return ModuleError::ShortCommand;
    if (data.size() > expected) return ModuleError::Size;
    return ModuleError::None;
}

}  // namespace

void handle_i2c_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    const Module& module = context.module;
    const std::vector<uint8_t>& data = request.data;
    if (data.size() == kPullupRequestLength && data[2] == kPullupAddressByte) {
        replies.push_back(bus_reply(module, request, 0, data[1] < kI2CInstances ? ModuleError::None : ModuleError::InvalidEntity));
        return;
    }
    ModuleError error = check_transfer(request);
    if (error == ModuleError::None && !acknowledges(module, static_cast<uint8_t>(data[2] & ~kReadFlag), context.now)) error = kNotAcknowledged;
    if (error != ModuleError::None) {
        replies.push_back(bus_reply(module, request, 0, error));
        return;
    }
    bool reading = (data[2] & kReadFlag) != 0;
    uint8_t length = data[3];
    Packet reply = bus_reply(module, request, reading ? length : 0, ModuleError::None);
    if (reading) reply.data.insert(reply.data.end(), length, kReadFill);
    replies.push_back(std::move(reply));
}

}  // namespace virtual_module
