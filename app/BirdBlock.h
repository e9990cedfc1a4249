// One typed block of a loaded firmware image.
#pragma once

#include <cstdint>

// A view into the body of the BirdFile it came from: valid while that image lives and has not
// been assigned to. Patches made through one copy are seen through every other copy.
struct BirdBlock {
    // Loader and firmware blocks begin with their 4-byte load address.
    static constexpr uint32_t ADDRESS_SIZE = 4;

    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;   // data bytes, the address bytes of loader and firmware blocks included
    uint32_t address = 0;  // load address of loader and firmware blocks, 0 for the others
    uint8_t* data = nullptr;

    // The bytes to be written at `address`: the data after the address. A block too short to
    // hold its address has none, so callers never compute length - 4 themselves.
    uint8_t* Payload() const { return length > ADDRESS_SIZE ? data + ADDRESS_SIZE : nullptr; }
    uint32_t PayloadLength() const { return length > ADDRESS_SIZE ? length - ADDRESS_SIZE : 0; }
};
