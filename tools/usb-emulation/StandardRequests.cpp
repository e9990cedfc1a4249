#include "StandardRequests.h"

#include <optional>

#include "UsbDescriptors.h"

namespace usb_emulation {

namespace {

constexpr uint8_t kDirectionToHost = 0x80;
constexpr uint8_t kRequestTypeMask = 0x60;  // standard, class or vendor
constexpr uint8_t kStandardRequestType = 0x00;

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;

uint16_t le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

std::optional<std::vector<uint8_t>> descriptor(const UsbIdentity& identity, uint8_t type, uint8_t index) {
    switch (type) {
    case kDeviceDescriptorType: return device_descriptor(identity);
    case kConfigurationDescriptorType:
        if (index != 0) return std::nullopt;
        return configuration_descriptor(identity);
    case kStringDescriptorType: return string_descriptor(identity, index);
    default: return std::nullopt;
    }
}

}  // namespace

ControlAnswer answer_standard_request(const UsbIdentity& identity, const uint8_t (&setup)[kSetupPacketLength]) {
    const uint8_t request_type = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = le16(&setup[2]);
    const uint16_t length = le16(&setup[6]);
    const bool to_host = (request_type & kDirectionToHost) != 0;

    ControlAnswer answer;
    if ((request_type & kRequestTypeMask) != kStandardRequestType) {
        answer.stall = true;
        return answer;
    }
    if (to_host) {
        std::optional<std::vector<uint8_t>> data;
        switch (request) {
        case kGetStatus: data = std::vector<uint8_t>{0, 0}; break;
        case kGetDescriptor:
            data = descriptor(identity, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF));
            break;
        case kGetConfiguration: data = std::vector<uint8_t>{kConfigurationValue}; break;
        case kGetInterface: data = std::vector<uint8_t>{0}; break;
        default: break;
        }
        if (!data) {
            answer.stall = true;
            return answer;
        }
        if (data->size() > length) data->resize(length);
        answer.data = std::move(*data);
        return answer;
    }
    switch (request) {
    case kClearFeature:
    case kSetFeature:
    case kSetInterface: return answer;
    case kSetConfiguration:
        answer.stall = value != kConfigurationValue && value != 0;
        return answer;
    default: answer.stall = true; return answer;
    }
}

}  // namespace usb_emulation
