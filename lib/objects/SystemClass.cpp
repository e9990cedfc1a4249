#include "SystemClass.h"

#include <cstdint>

#include "qModuleContract.h"

namespace Tolveric::Lumenvane {

namespace {

// Options of the system entity.
enum SystemOption : uint8_t {
    optMODULE = 1,
    optROUTER = 2,
    optHB_INTERVAL = 3,
    optLED = 4,
    optBOOT_SLOT = 6,
    optVERSION = 7,
    optMODEL = optSYSTEM_MODEL,
    optSERIAL_NUMBER = 9,
    optSAVE = 10,
    optRESET = 11,
    optINPUT_VOLTAGE = 12,
    optMODULE_HARDWARE_OFFSET = 13,
    optMODULE_BASE_ADDRESS = 14,
    optMODULE_SOFTWARE_OFFSET = 15,
    optROUTER_ADDRESS_SETTING = 16,
    optROUTE_TO_ME = 20,
    optINPUT_CURRENT = 21,
    optUPTIME = 22,
    optMAXIMUM_TEMPERATURE = 23,
    optLOG_EVENTS = 24,
    optUNREGULATED_VOLTAGE = 25,
    optUNREGULATED_CURRENT = 26,
    optTEMPERATURE = 27,
    optMINIMUM_TEMPERATURE = 28,
    optINPUT_POWER_SOURCE = 29,
    optINPUT_POWER_BEHAVIOR = 30,
    optINPUT_POWER_BEHAVIOR_CONFIG = 31,
    optNAME = 32,
    optPOWER_LIMIT = 33,
    optPOWER_LIMIT_MAX = 34,
    optPOWER_LIMIT_STATE = 35,
    optRESET_ENTITY_TO_FACTORY_DEFAULTS = 36,
    optRESET_DEVICE_TO_FACTORY_DEFAULTS = 37,
    optLINK_INTERFACE = 38,
    systemUniqueIdentifier = 39,  // no operation of this program reads it
    optHARDWARE_VERSION = 40,
    optERRORS = 41,
    optLED_MAX_BRIGHTNESS = 42,
    optBUILD = 43,
    optPROTOCOL_FEATURES = 45,
};

constexpr size_t WORD_BYTES = sizeof(uint32_t);

}  // namespace

SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, uint8_t index) { EntityClass::init(module, cmdSYSTEM, index); }

qErr SystemClass::getSigned(uint8_t option, int32_t* out) {
    if (out == nullptr) return qErrParam;
    uint32_t value = 0;
    qErr result = getUEI32(option, &value);
    if (result == qErrNone || result == qErrStreamStale) *out = static_cast<int32_t>(value);
    return result;
}

qErr SystemClass::getModule(uint8_t* address) { return getUEI8(optMODULE, address); }
qErr SystemClass::getRouter(uint8_t* address) { return getUEI8(optROUTER, address); }
qErr SystemClass::setRouter(uint8_t address) { return setUEI8(optROUTER, address); }
qErr SystemClass::getHBInterval(uint8_t* interval) { return getUEI8(optHB_INTERVAL, interval); }
qErr SystemClass::setHBInterval(uint8_t interval) { return setUEI8(optHB_INTERVAL, interval); }
qErr SystemClass::getLED(uint8_t* state) { return getUEI8(optLED, state); }
qErr SystemClass::setLED(uint8_t state) { return setUEI8(optLED, state); }
qErr SystemClass::getBootSlot(uint8_t* slot) { return getUEI8(optBOOT_SLOT, slot); }
qErr SystemClass::setBootSlot(uint8_t slot) { return setUEI8(optBOOT_SLOT, slot); }
qErr SystemClass::getVersion(uint32_t* packedVersion) { return getUEI32(optVERSION, packedVersion); }
qErr SystemClass::getModel(uint8_t* model) { return getUEI8(optMODEL, model); }
qErr SystemClass::getSerialNumber(uint32_t* serialNumber) { return getUEI32(optSERIAL_NUMBER, serialNumber); }
qErr SystemClass::save() { return callUEI(optSAVE); }
qErr SystemClass::reset() { return callUEI(optRESET); }
qErr SystemClass::getInputVoltage(uint32_t* microvolts) { return getUEI32(optINPUT_VOLTAGE, microvolts); }
qErr SystemClass::getModuleHardwareOffset(uint8_t* offset) { return getUEI8(optMODULE_HARDWARE_OFFSET, offset); }
qErr SystemClass::getModuleBaseAddress(uint8_t* address) { return getUEI8(optMODULE_BASE_ADDRESS, address); }
qErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) { return getUEI8(optMODULE_SOFTWARE_OFFSET, offset); }
qErr SystemClass::setModuleSoftwareOffset(uint8_t offset) { return setUEI8(optMODULE_SOFTWARE_OFFSET, offset); }
qErr SystemClass::getRouterAddressSetting(uint8_t* setting) { return getUEI8(optROUTER_ADDRESS_SETTING, setting); }
qErr SystemClass::routeToMe(uint8_t on) { return setUEI8(optROUTE_TO_ME, on); }
qErr SystemClass::getInputCurrent(uint32_t* microamps) { return getUEI32(optINPUT_CURRENT, microamps); }
qErr SystemClass::getUptime(uint32_t* seconds) { return getUEI32(optUPTIME, seconds); }
qErr SystemClass::getMaximumTemperature(int32_t* temperature) { return getSigned(optMAXIMUM_TEMPERATURE, temperature); }
qErr SystemClass::logEvents() { return callUEI(optLOG_EVENTS); }
qErr SystemClass::getUnregulatedVoltage(int32_t* voltage) { return getSigned(optUNREGULATED_VOLTAGE, voltage); }
qErr SystemClass::getUnregulatedCurrent(int32_t* current) { return getSigned(optUNREGULATED_CURRENT, current); }
qErr SystemClass::getTemperature(int32_t* temperature) { return getSigned(optTEMPERATURE, temperature); }
qErr SystemClass::getMinimumTemperature(int32_t* temperature) { return getSigned(optMINIMUM_TEMPERATURE, temperature); }
qErr SystemClass::getInputPowerSource(uint8_t* source) { return getUEI8(optINPUT_POWER_SOURCE, source); }
qErr SystemClass::getInputPowerBehavior(uint8_t* behavior) { return getUEI8(optINPUT_POWER_BEHAVIOR, behavior); }
qErr SystemClass::setInputPowerBehavior(uint8_t behavior) { return setUEI8(optINPUT_POWER_BEHAVIOR, behavior); }
qErr SystemClass::getPowerLimit(uint32_t* limit) { return getUEI32(optPOWER_LIMIT, limit); }
qErr SystemClass::getPowerLimitMax(uint32_t* limit) { return getUEI32(optPOWER_LIMIT_MAX, limit); }
qErr SystemClass::setPowerLimitMax(uint32_t limit) { return setUEI32(optPOWER_LIMIT_MAX, limit); }
qErr SystemClass::getPowerLimitState(uint32_t* state) { return getUEI32(optPOWER_LIMIT_STATE, state); }
qErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(optRESET_ENTITY_TO_FACTORY_DEFAULTS); }
qErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(optRESET_DEVICE_TO_FACTORY_DEFAULTS); }
qErr SystemClass::getLinkInterface(uint8_t* interface) { return getUEI8(optLINK_INTERFACE, interface); }
qErr SystemClass::setLinkInterface(uint8_t interface) { return setUEI8(optLINK_INTERFACE, interface); }
qErr SystemClass::getHardwareVersion(uint32_t* version) { return getUEI32(optHARDWARE_VERSION, version); }
qErr SystemClass::getErrors(uint32_t* errors) { return getUEI32(optERRORS, errors); }
qErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) { return getUEI8(optLED_MAX_BRIGHTNESS, brightness); }
qErr SystemClass::setLEDMaxBrightness(uint8_t brightness) { return setUEI8(optLED_MAX_BRIGHTNESS, brightness); }
qErr SystemClass::getBuild(uint32_t* build) { return getUEI32(optBUILD, build); }
qErr SystemClass::getProtocolFeatures(uint32_t* features) { return getUEI32(optPROTOCOL_FEATURES, features); }

qErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length) {
    return getUEIBytes(optNAME, buffer, capacity, length);
}

qErr SystemClass::setName(const uint8_t* data, size_t length) { return setUEIBytes(optNAME, data, length); }

qErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
    if (capacity > SIZE_MAX / WORD_BYTES) return qErrParam;
    qErr result = getUEIBytes(optINPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<uint8_t*>(words),
                              capacity * WORD_BYTES, count);
    if (result != qErrNone) return result;
    // A ragged byte count must not be taken for a count of words: it could exceed the buffer.
    return getUEIBytesCheck(count, WORD_BYTES);
}

qErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
    if (count > SIZE_MAX / WORD_BYTES) return qErrParam;
    return setUEIBytes(optINPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<const uint8_t*>(words), count * WORD_BYTES);
}

}  // namespace Tolveric::Lumenvane
