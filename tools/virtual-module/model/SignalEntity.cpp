#include "SignalEntity.h"

#include "CommandBytes.h"
#include "Module.h"

namespace virtual_module {

namespace {

constexpr uint8_t kByteOption = 1;
constexpr uint8_t kShortOption = 2;
constexpr uint8_t kIntOption = 3;
constexpr uint8_t kByteWithSubindexOption = 4;
constexpr uint8_t kShortWithSubindexOption = 5;
constexpr uint8_t kIntWithSubindexOption = 6;
constexpr uint8_t kSignalInstances = 1;

// One value of SignalValues, picked by a function from the values and the sub-index.
template <typename Value>
UeiOption signal_option(uint8_t code, ValueKind kind, uint8_t subindex_count,
                        Value& (*field)(SignalValues&, uint8_t subindex)) {
    UeiOption option = read_write(
        code, kind,
        [field](LinkContext& context, UeiAddress address, uint32_t& out) {
            out = field(context.module.signals(), address.subindex);
            return ModuleError::None;
        },
        [field](LinkContext& context, UeiAddress address, uint32_t value) {
            field(context.module.signals(), address.subindex) = static_cast<Value>(value);
            return ModuleError::None;
        });
    option.subindex_count = subindex_count;
    return option;
}

}  // namespace

UeiEntity make_signal_entity() {
    std::vector<UeiOption> options = {
        signal_option<uint8_t>(kByteOption, ValueKind::Byte, 0,
                               [](SignalValues& values, uint8_t) -> uint8_t& { return values.byte_value; }),
        signal_option<uint16_t>(kShortOption, ValueKind::Short, 0,
                                [](SignalValues& values, uint8_t) -> uint16_t& { return values.short_value; }),
        signal_option<uint32_t>(kIntOption, ValueKind::Int, 0,
                                [](SignalValues& values, uint8_t) -> uint32_t& { return values.int_value; }),
        signal_option<uint8_t>(
            kByteWithSubindexOption, ValueKind::Byte, kSignalSubindexCount,
            [](SignalValues& values, uint8_t subindex) -> uint8_t& { return values.byte_values[subindex]; }),
        signal_option<uint16_t>(
            kShortWithSubindexOption, ValueKind::Short, kSignalSubindexCount,
            [](SignalValues& values, uint8_t subindex) -> uint16_t& { return values.short_values[subindex]; }),
        signal_option<uint32_t>(
            kIntWithSubindexOption, ValueKind::Int, kSignalSubindexCount,
            [](SignalValues& values, uint8_t subindex) -> uint32_t& { return values.int_values[subindex]; }),
    };
    return UeiEntity(kSignalCommand, kSignalInstances, std::move(options));
}

}  // namespace virtual_module
