// Four words that identify a chip in its boot loader.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
