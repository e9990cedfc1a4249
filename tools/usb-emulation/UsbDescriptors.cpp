#include "UsbDescriptors.h"

#include <string>

namespace usb_emulation {

namespace {

constexpr uint8_t kDeviceDescriptorLength = 18;
constexpr uint8_t kConfigurationDescriptorLength = 9;
constexpr uint8_t kInterfaceDescriptorLength = 9;
constexpr uint8_t kEndpointDescriptorLength = 7;
constexpr uint16_t kUsbVersion = 0x0200;
constexpr uint16_t kDeviceRelease = 0x0100;
constexpr uint8_t kControlPacketSize = 64;
constexpr uint8_t kBusPoweredAttributes = 0x80;
constexpr uint8_t kMaxPowerIn2mA = 50;
constexpr uint8_t kBulkTransferType = 2;
constexpr size_t kLongestStringCharacters = 126;  // a string descriptor's length byte holds 2 + 2n

void append_le16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void append_endpoint(std::vector<uint8_t>& bytes, uint8_t address, uint16_t max_packet_size) {
    bytes.push_back(kEndpointDescriptorLength);
    bytes.push_back(kEndpointDescriptorType);
    bytes.push_back(address);
    bytes.push_back(kBulkTransferType);
    append_le16(bytes, max_packet_size);
    bytes.push_back(0);  // polling interval: unused for bulk
}

std::vector<uint8_t> utf16_string(const std::string& text) {
    const size_t characters = text.size() < kLongestStringCharacters ? text.size() : kLongestStringCharacters;
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * characters), kStringDescriptorType};
    for (size_t i = 0; i < characters; ++i) append_le16(bytes, static_cast<uint8_t>(text[i]));
    return bytes;
}

}  // namespace

std::vector<uint8_t> device_descriptor(const UsbIdentity& identity) {
    std::vector<uint8_t> bytes{kDeviceDescriptorLength, kDeviceDescriptorType};
    append_le16(bytes, kUsbVersion);
    bytes.push_back(0);  // class, subclass and protocol are the interface's
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back(kControlPacketSize);
    append_le16(bytes, identity.vendor_id);
    append_le16(bytes, identity.product_id);
    append_le16(bytes, kDeviceRelease);
    bytes.push_back(kManufacturerStringIndex);
    bytes.push_back(kProductStringIndex);
    bytes.push_back(kSerialStringIndex);
    bytes.push_back(1);  // one configuration
    return bytes;
}

std::vector<uint8_t> configuration_descriptor(const UsbIdentity& identity) {
    constexpr uint16_t total_length =
        kConfigurationDescriptorLength + kInterfaceDescriptorLength + 2 * kEndpointDescriptorLength;
    std::vector<uint8_t> bytes{kConfigurationDescriptorLength, kConfigurationDescriptorType};
    append_le16(bytes, total_length);
    bytes.push_back(1);  // one interface
    bytes.push_back(kConfigurationValue);
    bytes.push_back(0);  // no configuration string
    bytes.push_back(kBusPoweredAttributes);
    bytes.push_back(kMaxPowerIn2mA);

    bytes.push_back(kInterfaceDescriptorLength);
    bytes.push_back(kInterfaceDescriptorType);
    bytes.push_back(kLinkInterfaceNumber);
    bytes.push_back(0);  // alternate setting
    bytes.push_back(2);  // endpoints
    bytes.push_back(identity.interface_class);
    bytes.push_back(identity.interface_subclass);
    bytes.push_back(identity.interface_protocol);
    bytes.push_back(0);  // no interface string

    append_endpoint(bytes, kBulkInEndpoint, identity.max_packet_size);
    append_endpoint(bytes, kBulkOutEndpoint, identity.max_packet_size);
    return bytes;
}

std::vector<uint8_t> all_descriptors(const UsbIdentity& identity) {
    std::vector<uint8_t> bytes = device_descriptor(identity);
    const std::vector<uint8_t> configuration = configuration_descriptor(identity);
    bytes.insert(bytes.end(), configuration.begin(), configuration.end());
    return bytes;
}

std::optional<std::vector<uint8_t>> string_descriptor(const UsbIdentity& identity, uint8_t index) {
    switch (index) {
    case kLanguageListIndex: {
        std::vector<uint8_t> bytes{4, kStringDescriptorType};
        append_le16(bytes, kLanguageEnglishUs);
        return bytes;
    }
    case kManufacturerStringIndex: return utf16_string(identity.manufacturer);
    case kProductStringIndex: return utf16_string(identity.product);
    case kSerialStringIndex: return utf16_string(identity.serial_text);
    default: return std::nullopt;
    }
}

}  // namespace usb_emulation
