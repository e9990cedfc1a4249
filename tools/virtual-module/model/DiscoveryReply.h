// The answer an Ethernet module gives to a discovery request: 16 bytes with its module address,
// TCP port, serial number and model code. Multi-byte fields are in the order the hosts read them,
// least significant byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace virtual_module {

constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr uint8_t kDiscoveryRequestMarker = 1;  // first byte of a request
constexpr size_t kDiscoveryReplyLength = 16;

struct DiscoveryAnswer {
    uint8_t module_address = 0;
    uint16_t tcp_port = 0;
    uint32_t serial_number = 0;
    uint8_t model = 0;
};

bool is_discovery_request(const uint8_t* bytes, size_t length);
std::array<uint8_t, kDiscoveryReplyLength> discovery_reply(const DiscoveryAnswer& answer);

}  // namespace virtual_module
