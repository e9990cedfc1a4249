#include "DiscoveryReply.h"

namespace virtual_module {

namespace {

constexpr size_t kReplyMarkerOffset = 0;
constexpr size_t kAddressOffset = 1;
constexpr size_t kPortOffset = 2;
constexpr size_t kSerialNumberOffset = 4;
constexpr size_t kModelOffset = 12;
constexpr uint8_t kReplyMarker = 2;  // not read by hosts; tells a reply from a request on the wire

void store_little_endian(uint8_t* out, uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool is_discovery_request(const uint8_t* bytes, size_t length) {
    return length > 0 && bytes[0] == kDiscoveryRequestMarker;
}

std::array<uint8_t, kDiscoveryReplyLength> discovery_reply(const DiscoveryAnswer& answer) {
    std::array<uint8_t, kDiscoveryReplyLength> reply{};
    reply[kReplyMarkerOffset] = kReplyMarker;
    reply[kAddressOffset] = answer.module_address;
    store_little_endian(&reply[kPortOffset], answer.tcp_port, 2);
    store_little_endian(&reply[kSerialNumberOffset], answer.serial_number, 4);
    reply[kModelOffset] = answer.model;
    return reply;
}

}  // namespace virtual_module
