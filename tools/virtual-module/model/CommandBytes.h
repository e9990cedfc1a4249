// Command bytes (data byte 0 of a packet) that the module gives a meaning.
#pragma once

#include <cstdint>

namespace virtual_module {

constexpr uint8_t kHeartbeatCommand = 0;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kStoreSlotCommand = 4;
constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kEchoCommand = 23;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t kUpgradeCommand = 0x5F;
// A simulated measurement entity with values of every width, plain and with sub-indices, that the
// host may set; it is what makes stream samples of every kind observable.
constexpr uint8_t kSignalCommand = 0x70;

// Commands whose packets are not UEI messages, whether or not this module handles them. A packet
// with one of these that nobody handles has no reply form, so it goes unanswered.
bool is_raw_command(uint8_t command);

}  // namespace virtual_module
