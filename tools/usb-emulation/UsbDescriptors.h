// The standard USB descriptors of an emulated module, built from its identity: what the host
// reads from sysfs when it lists the bus and through control requests once it has the device open.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "UsbIdentity.h"

namespace usb_emulation {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint8_t kEndpointDescriptorType = 5;

constexpr uint8_t kLanguageListIndex = 0;
constexpr uint8_t kManufacturerStringIndex = 1;
constexpr uint8_t kProductStringIndex = 2;
constexpr uint8_t kSerialStringIndex = 3;
constexpr uint16_t kLanguageEnglishUs = 0x0409;

constexpr uint8_t kConfigurationValue = 1;  // the only configuration
constexpr uint8_t kLinkInterfaceNumber = 0;

std::vector<uint8_t> device_descriptor(const UsbIdentity& identity);
// The configuration descriptor with its interface and endpoint descriptors behind it.
std::vector<uint8_t> configuration_descriptor(const UsbIdentity& identity);
// The device descriptor followed by the configuration: the sysfs "descriptors" attribute.
std::vector<uint8_t> all_descriptors(const UsbIdentity& identity);
// String descriptor `index` (0: the language list); nothing for an index the device does not have.
std::optional<std::vector<uint8_t>> string_descriptor(const UsbIdentity& identity, uint8_t index);

}  // namespace usb_emulation
