// The system entity (command 3) of a module: its identity, configuration and health, each one
// typed UEI operation on one option. Temperatures and the unregulated readings are signed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Tolveric::Lumenvane {

class SystemClass : public EntityClass {
public:
    ~SystemClass() override;

    void init(Module* module, uint8_t index);  // binds command 3

    qErr getModule(uint8_t* address);
    qErr getRouter(uint8_t* address);
    qErr setRouter(uint8_t address);
    qErr getHBInterval(uint8_t* interval);
    qErr setHBInterval(uint8_t interval);
    qErr getLED(uint8_t* state);
    qErr setLED(uint8_t state);
    qErr getBootSlot(uint8_t* slot);
    qErr setBootSlot(uint8_t slot);
    qErr getVersion(uint32_t* packedVersion);
    qErr getModel(uint8_t* model);
    qErr getSerialNumber(uint32_t* serialNumber);
    qErr save();
    qErr reset();
    qErr getInputVoltage(uint32_t* microvolts);
    qErr getModuleHardwareOffset(uint8_t* offset);
    qErr getModuleBaseAddress(uint8_t* address);
    qErr getModuleSoftwareOffset(uint8_t* offset);
    qErr setModuleSoftwareOffset(uint8_t offset);
    qErr getRouterAddressSetting(uint8_t* setting);
    qErr routeToMe(uint8_t on);
    qErr getInputCurrent(uint32_t* microamps);
    qErr getUptime(uint32_t* seconds);
    qErr getMaximumTemperature(int32_t* temperature);
    qErr logEvents();
    qErr getUnregulatedVoltage(int32_t* voltage);
    qErr getUnregulatedCurrent(int32_t* current);
    qErr getTemperature(int32_t* temperature);
    qErr getMinimumTemperature(int32_t* temperature);
    qErr getInputPowerSource(uint8_t* source);
    qErr getInputPowerBehavior(uint8_t* behavior);
    qErr setInputPowerBehavior(uint8_t behavior);
    // The behaviour's configuration words, in host memory order as the module keeps them.
    // `capacity` and `*count` count words; a reply that is not whole words gives qErrMemory with
    // the byte count in *count.
    qErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    qErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    // The device name as bytes (not terminated).
    qErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    qErr setName(const uint8_t* data, size_t length);
    qErr getPowerLimit(uint32_t* limit);
    qErr getPowerLimitMax(uint32_t* limit);
    qErr setPowerLimitMax(uint32_t limit);
    qErr getPowerLimitState(uint32_t* state);
    qErr resetEntityToFactoryDefaults();
    qErr resetDeviceToFactoryDefaults();
    qErr getLinkInterface(uint8_t* interface);
    qErr setLinkInterface(uint8_t interface);
    qErr getHardwareVersion(uint32_t* version);
    qErr getErrors(uint32_t* errors);
    qErr getLEDMaxBrightness(uint8_t* brightness);
    qErr setLEDMaxBrightness(uint8_t brightness);
    qErr getBuild(uint32_t* build);
    qErr getProtocolFeatures(uint32_t* features);

private:
    qErr getSigned(uint8_t option, int32_t* out);
};

}  // namespace Tolveric::Lumenvane
