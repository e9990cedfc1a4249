#include "CommandBytes.h"

#include <algorithm>
#include <iterator>

namespace virtual_module {

namespace {

// The link also reserves these for raw packets; the module has no use for them yet.
constexpr uint8_t kOtherRawCommands[] = {1, 2, 9, 24, 173, 175};

}  // namespace

bool is_raw_command(uint8_t command) {
    switch (command) {
    case kHeartbeatCommand:
    case kStoreSlotCommand:
    case kI2CCommand:
    case kEchoCommand:
    case kQueryCommand:
    case kFactoryCommand:
    case kUpgradeCommand:
        return true;
    default:
        return std::find(std::begin(kOtherRawCommands), std::end(kOtherRawCommands), command) !=
               std::end(kOtherRawCommands);
    }
}

}  // namespace virtual_module
