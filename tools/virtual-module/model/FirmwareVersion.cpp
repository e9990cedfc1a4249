#include "FirmwareVersion.h"

#include <cstdlib>

namespace virtual_module {

namespace {

constexpr unsigned kLegacyMajorLimit = 0xF;
constexpr unsigned kLegacyMinorLimit = 0xF;
constexpr unsigned kLegacyPatchLimit = 0xFFFFFF;
constexpr unsigned kCurrentFieldLimit = 0xFF;

bool uses_current_layout(unsigned major, unsigned minor) {
    return major > kFirstCurrentLayoutMajor || (major == kFirstCurrentLayoutMajor && minor >= kFirstCurrentLayoutMinor);
}

// A whole decimal or 0x-prefixed hexadecimal number, nothing before or after it.
std::optional<unsigned long> whole_number(const std::string& text, int base) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (end == text.c_str() || *end != '\0') return std::nullopt;
    return value;
}

}  // namespace

std::optional<uint32_t> pack_firmware_version(unsigned major, unsigned minor, unsigned patch) {
    if (uses_current_layout(major, minor)) {
        if (major > kCurrentFieldLimit || minor > kCurrentFieldLimit || patch > kCurrentFieldLimit) return std::nullopt;
        return (uint32_t{kCurrentLayoutMarker} << 24) | (major << 16) | (minor << 8) | patch;
    }
    if (major > kLegacyMajorLimit || minor > kLegacyMinorLimit || patch > kLegacyPatchLimit) return std::nullopt;
    return (major << 28) | (minor << 24) | patch;
}

std::optional<uint32_t> parse_firmware_version(const std::string& text) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        auto packed = whole_number(text.substr(2), 16);
        if (!packed || text.size() > 10) return std::nullopt;
        return static_cast<uint32_t>(*packed);
    }
    size_t first_dot = text.find('.');
    size_t second_dot = first_dot == std::string::npos ? first_dot : text.find('.', first_dot + 1);
    if (second_dot == std::string::npos) return std::nullopt;
    auto major = whole_number(text.substr(0, first_dot), 10);
    auto minor = whole_number(text.substr(first_dot + 1, second_dot - first_dot - 1), 10);
    auto patch = whole_number(text.substr(second_dot + 1), 10);
    if (!major || !minor || !patch || *major > 0xFFFFFFFFul || *minor > 0xFFFFFFFFul || *patch > 0xFFFFFFFFul) {
        return std::nullopt;
    }
    return pack_firmware_version(static_cast<unsigned>(*major), static_cast<unsigned>(*minor),
                                 static_cast<unsigned>(*patch));
}

}  // namespace virtual_module
