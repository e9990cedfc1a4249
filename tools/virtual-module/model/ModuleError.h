// The result codes a module puts into error replies and status bytes. They travel as the link's
// numeric error codes, so the numbers are fixed; only the ones a module sends are named here.
#pragma once

#include <cstdint>

namespace virtual_module {

enum class ModuleError : uint8_t {
    None = 0,
    Param = 2,
    NotFound = 3,
    Busy = 5,
    IO = 6,
    Mode = 7,
    EndOfFile = 10,
    Size = 14,
    Overrun = 15,
    Unimplemented = 21,
    Packet = 24,
    IndexRange = 26,
    ShortCommand = 27,
    InvalidEntity = 28,
    InvalidOption = 29,
    Resource = 30,
};

inline uint8_t error_byte(ModuleError error) { return static_cast<uint8_t>(error); }

}  // namespace virtual_module
