// What the discovery searches share among themselves; not for callers of discovery.
#pragma once

#include <bit>
#include <cstdint>

#include "discover.h"

// An IPv4 address a.b.c.d as the 32-bit value in network byte order.
constexpr uint32_t discover_IPv4Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    uint32_t big_endian = (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
    if constexpr (std::endian::native == std::endian::big) return big_endian;
    return (big_endian >> 24) | ((big_endian >> 8) & 0xFF00) | ((big_endian << 8) & 0xFF0000) | (big_endian << 24);
}

// Counts the specs a callback marked found; the unsigned 8-bit count is held at its largest
// rather than wrapping back to "nothing found".
struct DiscoverFoundCount {
    uint8_t value = 0;
    void add() {
        if (value < UINT8_MAX) ++value;
    }
};

// Hands one spec to the callback and counts it when marked found: true to go on searching.
inline bool discover_Offer(const linkSpec& spec, qDiscoveryCallback callback, void* reference,
                           DiscoverFoundCount& count) {
    bool found = false;
    bool going_on = callback(&spec, &found, reference);
    if (found) count.add();
    return going_on;
}
