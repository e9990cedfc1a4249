// Firmware versions packed into the 32-bit word a module reports. Versions below 2.15 use the
// legacy layout (major and minor in the top nibbles, a 24-bit patch); from 2.15 on the top byte is
// the marker 0x2F, which the legacy layout reads as 2.15, followed by major, minor and patch bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace virtual_module {

constexpr uint8_t kCurrentLayoutMarker = 0x2F;
constexpr unsigned kFirstCurrentLayoutMajor = 2;
constexpr unsigned kFirstCurrentLayoutMinor = 15;

// The packed word, or nothing when the numbers do not fit the layout their version calls for
// (a legacy minor above 15, a legacy patch above 0xFFFFFF, a current patch above 255).
std::optional<uint32_t> pack_firmware_version(unsigned major, unsigned minor, unsigned patch);

// Reads "MAJOR.MINOR.PATCH" (packed by the rules above) or an already packed word "0xXXXXXXXX".
std::optional<uint32_t> parse_firmware_version(const std::string& text);

}  // namespace virtual_module
