#include "SystemEntity.h"

#include <algorithm>
#include <type_traits>

#include "CommandBytes.h"
#include "Module.h"

namespace virtual_module {

namespace {

constexpr uint8_t kModuleOption = 1;
constexpr uint8_t kRouterOption = 2;
constexpr uint8_t kHeartbeatIntervalOption = 3;
constexpr uint8_t kLedOption = 4;
constexpr uint8_t kBootSlotOption = 6;
constexpr uint8_t kVersionOption = 7;
constexpr uint8_t kModelOption = 8;
constexpr uint8_t kSerialNumberOption = 9;
constexpr uint8_t kSaveOption = 10;
constexpr uint8_t kResetOption = 11;
constexpr uint8_t kInputVoltageOption = 12;
constexpr uint8_t kHardwareOffsetOption = 13;
constexpr uint8_t kBaseAddressOption = 14;
constexpr uint8_t kSoftwareOffsetOption = 15;
constexpr uint8_t kRouterAddressSettingOption = 16;
constexpr uint8_t kRouteToMeOption = 20;
constexpr uint8_t kInputCurrentOption = 21;
constexpr uint8_t kUptimeOption = 22;
constexpr uint8_t kMaximumTemperatureOption = 23;
constexpr uint8_t kLogEventsOption = 24;
constexpr uint8_t kUnregulatedVoltageOption = 25;
constexpr uint8_t kUnregulatedCurrentOption = 26;
constexpr uint8_t kTemperatureOption = 27;
constexpr uint8_t kMinimumTemperatureOption = 28;
constexpr uint8_t kInputPowerSourceOption = 29;
constexpr uint8_t kInputPowerBehaviorOption = 30;
constexpr uint8_t kInputPowerBehaviorConfigOption = 31;
constexpr uint8_t kNameOption = 32;
constexpr uint8_t kPowerLimitOption = 33;
constexpr uint8_t kPowerLimitMaxOption = 34;
constexpr uint8_t kPowerLimitStateOption = 35;
constexpr uint8_t kResetEntityToFactoryDefaultsOption = 36;
constexpr uint8_t kResetDeviceToFactoryDefaultsOption = 37;
constexpr uint8_t kLinkInterfaceOption = 38;
constexpr uint8_t kUniqueIdentifierOption = 39;
constexpr uint8_t kHardwareVersionOption = 40;
constexpr uint8_t kErrorsOption = 41;
constexpr uint8_t kLedMaxBrightnessOption = 42;
constexpr uint8_t kBuildOption = 43;
constexpr uint8_t kProtocolFeaturesOption = 45;

constexpr uint8_t kSystemInstances = 1;
// The heartbeat interval option counts tenths of a second.
constexpr std::chrono::milliseconds kHeartbeatIntervalUnit{100};
constexpr uint32_t kMaxEightBitValue = 0xFF;
constexpr size_t kPowerBehaviorConfigCapacity = 64;  // sixteen 32-bit words
constexpr size_t kWordLength = 4;

// What the simulated supply and sensors read: fixed, and signed where a value can go below zero.
constexpr uint32_t kInputVoltageMicrovolts = 5000000;
constexpr uint32_t kInputCurrentMicroamps = 250000;
constexpr int32_t kUnregulatedVoltageMicrovolts = 12000000;
constexpr int32_t kUnregulatedCurrentMicroamps = -1500;
constexpr int32_t kTemperatureMillidegrees = 31500;
constexpr int32_t kMaximumTemperatureMillidegrees = 45000;
constexpr int32_t kMinimumTemperatureMillidegrees = -5000;
constexpr uint8_t kInputPowerSource = 1;
constexpr uint32_t kPowerLimitState = 0;
constexpr uint32_t kHardwareVersion = 0x00010000;
constexpr uint32_t kErrors = 0;
constexpr uint8_t kHardwareOffset = 0;
constexpr uint32_t kUniqueIdentifierMark = 0x564D0000;
constexpr uint32_t kUniqueIdentifierMix = 0xA5A5A5A5;

using Settings = ModuleSettings;

ModuleSettings& settings_of(LinkContext& context) { return context.module.settings(); }

UeiGetter constant(uint32_t value) {
    return [value](LinkContext&, UeiAddress, uint32_t& out) {
        out = value;
        return ModuleError::None;
    };
}

UeiGetter signed_constant(int32_t value) { return constant(static_cast<uint32_t>(value)); }

UeiGetter identity_value(uint32_t (*read)(const ModuleIdentity&)) {
    return [read](LinkContext& context, UeiAddress, uint32_t& out) {
        out = read(context.module.identity());
        return ModuleError::None;
    };
}

// Which values a setting takes; anything else is refused as a bad parameter.
using SettingCheck = bool (*)(uint32_t value);

bool any_value(uint32_t) { return true; }
bool module_address(uint32_t value) { return value != 0 && value % 2 == 0; }  // even, never 0
bool whole_words(uint32_t length) { return length % kWordLength == 0; }

template <auto Field>
UeiGetter setting_value() {
    return [](LinkContext& context, UeiAddress, uint32_t& out) {
        out = settings_of(context).*Field;
        return ModuleError::None;
    };
}

// A setting of one fixed width, read and written as it is.
template <auto Field>
UeiOption setting(uint8_t code, ValueKind kind, SettingCheck check = any_value) {
    return read_write(code, kind, setting_value<Field>(), [check](LinkContext& context, UeiAddress, uint32_t value) {
        if (!check(value)) return ModuleError::Param;
        using Value = std::remove_reference_t<decltype(settings_of(context).*Field)>;
        settings_of(context).*Field = static_cast<Value>(value);
        return ModuleError::None;
    });
}

// A setting held as a byte array, whose length the check is given.
template <std::vector<uint8_t> Settings::*Field>
UeiOption bytes_setting(uint8_t code, size_t capacity, SettingCheck check_length = any_value) {
    return byte_array(
        code, capacity,
        [](LinkContext& context, uint8_t, std::vector<uint8_t>& bytes) {
            bytes = settings_of(context).*Field;
            return ModuleError::None;
        },
        [check_length](LinkContext& context, uint8_t, const std::vector<uint8_t>& bytes) {
            if (!check_length(static_cast<uint32_t>(bytes.size()))) return ModuleError::Size;
            settings_of(context).*Field = bytes;
            return ModuleError::None;
        });
}

UeiOption heartbeat_interval_option() {
    return read_write(
        kHeartbeatIntervalOption, ValueKind::Byte,
        [](LinkContext& context, UeiAddress, uint32_t& out) {
            auto interval = settings_of(context).heartbeat_interval;
            auto units = (interval + kHeartbeatIntervalUnit - std::chrono::milliseconds{1}) / kHeartbeatIntervalUnit;
            out = static_cast<uint32_t>(std::min<int64_t>(units, kMaxEightBitValue));
            return ModuleError::None;
        },
        [](LinkContext& context, UeiAddress, uint32_t value) {
            settings_of(context).heartbeat_interval = kHeartbeatIntervalUnit * value;
            return ModuleError::None;
        });
}

UeiOption unique_identifier_option() {
    UeiOption option = read_only(kUniqueIdentifierOption, ValueKind::Int,
                                 [](LinkContext& context, UeiAddress address, uint32_t& out) {
                                     const ModuleIdentity& identity = context.module.identity();
                                     const uint32_t words[kUniqueIdentifierWords] = {
                                         kUniqueIdentifierMark | identity.model, context.module.serial_number(),
                                         identity.build, context.module.serial_number() ^ kUniqueIdentifierMix};
                                     out = words[address.subindex];
                                     return ModuleError::None;
                                 });
    option.subindex_count = kUniqueIdentifierWords;
    return option;
}

UeiSetter does_nothing() {
    return [](LinkContext&, UeiAddress, uint32_t) { return ModuleError::None; };
}

UeiSetter restores_factory_settings() {
    return [](LinkContext& context, UeiAddress, uint32_t) {
        context.module.restore_factory_settings();
        return ModuleError::None;
    };
}

}  // namespace

UeiEntity make_system_entity() {
    std::vector<UeiOption> options = {
        read_only(kModuleOption, ValueKind::Byte, identity_value([](const ModuleIdentity& id) -> uint32_t { return id.address; })),
        setting<&Settings::router>(kRouterOption, ValueKind::Byte, module_address),
        heartbeat_interval_option(),
        setting<&Settings::led>(kLedOption, ValueKind::Byte),
        setting<&Settings::boot_slot>(kBootSlotOption, ValueKind::Byte),
        read_only(kVersionOption, ValueKind::Int,
                  identity_value([](const ModuleIdentity& id) -> uint32_t { return id.firmware_version; })),
        read_only(kModelOption, ValueKind::Byte, identity_value([](const ModuleIdentity& id) -> uint32_t { return id.model; })),
        read_only(kSerialNumberOption, ValueKind::Int,
                  [](LinkContext& context, UeiAddress, uint32_t& out) {
                      out = context.module.serial_number();
                      return ModuleError::None;
                  }),
        call(kSaveOption,
             [](LinkContext& context, UeiAddress, uint32_t) {
                 context.module.save_settings();
                 return ModuleError::None;
             }),
        call(kResetOption,
             [](LinkContext& context, UeiAddress, uint32_t) {
                 context.note("reset: the module restarts");
                 context.module.restart(context.now, RestartReason::Reset);
                 return ModuleError::None;
             }),
        read_only(kInputVoltageOption, ValueKind::Int, constant(kInputVoltageMicrovolts)),
        read_only(kHardwareOffsetOption, ValueKind::Byte, constant(kHardwareOffset)),
        read_only(kBaseAddressOption, ValueKind::Byte,
                  identity_value([](const ModuleIdentity& id) -> uint32_t { return id.address; })),
        setting<&Settings::software_offset>(kSoftwareOffsetOption, ValueKind::Byte),
        read_only(kRouterAddressSettingOption, ValueKind::Byte, setting_value<&Settings::router>()),
        write_only(kRouteToMeOption, ValueKind::Byte,
                   [](LinkContext& context, UeiAddress, uint32_t value) {
                       context.module.set_route_value(static_cast<uint8_t>(value));
                       return ModuleError::None;
                   }),
        read_only(kInputCurrentOption, ValueKind::Int, constant(kInputCurrentMicroamps)),
        read_only(kUptimeOption, ValueKind::Int,
                  [](LinkContext& context, UeiAddress, uint32_t& out) {
                      auto uptime = std::chrono::duration_cast<std::chrono::seconds>(context.now - context.module.started());
                      out = static_cast<uint32_t>(std::max<int64_t>(uptime.count(), 0));
                      return ModuleError::None;
                  }),
        read_only(kMaximumTemperatureOption, ValueKind::Int, signed_constant(kMaximumTemperatureMillidegrees)),
        call(kLogEventsOption, does_nothing()),
        read_only(kUnregulatedVoltageOption, ValueKind::Int, signed_constant(kUnregulatedVoltageMicrovolts)),
        read_only(kUnregulatedCurrentOption, ValueKind::Int, signed_constant(kUnregulatedCurrentMicroamps)),
        read_only(kTemperatureOption, ValueKind::Int, signed_constant(kTemperatureMillidegrees)),
        read_only(kMinimumTemperatureOption, ValueKind::Int, signed_constant(kMinimumTemperatureMillidegrees)),
        read_only(kInputPowerSourceOption, ValueKind::Byte, constant(kInputPowerSource)),
        setting<&Settings::input_power_behavior>(kInputPowerBehaviorOption, ValueKind::Byte),
        bytes_setting<&Settings::input_power_behavior_config>(kInputPowerBehaviorConfigOption,
                                                              kPowerBehaviorConfigCapacity, whole_words),
        bytes_setting<&Settings::name>(kNameOption, kNameCapacity),
        read_only(kPowerLimitOption, ValueKind::Int, setting_value<&Settings::power_limit_max>()),
        setting<&Settings::power_limit_max>(kPowerLimitMaxOption, ValueKind::Int),
        read_only(kPowerLimitStateOption, ValueKind::Int, constant(kPowerLimitState)),
        call(kResetEntityToFactoryDefaultsOption, restores_factory_settings()),
        call(kResetDeviceToFactoryDefaultsOption, restores_factory_settings()),
        setting<&Settings::link_interface>(kLinkInterfaceOption, ValueKind::Byte),
        unique_identifier_option(),
        read_only(kHardwareVersionOption, ValueKind::Int, constant(kHardwareVersion)),
        read_only(kErrorsOption, ValueKind::Int, constant(kErrors)),
        setting<&Settings::led_max_brightness>(kLedMaxBrightnessOption, ValueKind::Byte),
        read_only(kBuildOption, ValueKind::Int, identity_value([](const ModuleIdentity& id) -> uint32_t { return id.build; })),
        read_only(kProtocolFeaturesOption, ValueKind::Int,
                  identity_value([](const ModuleIdentity& id) -> uint32_t { return id.protocol_features; })),
    };
    return UeiEntity(kSystemCommand, kSystemInstances, std::move(options));
}

}  // namespace virtual_module
