// Reads the memory dump the virtual module writes with --dump-flash: per module, what it last
// started as its loader and what its flash holds, as runs of consecutive bytes by start address.
// Read independently of the module's own code, so a test compares the file's documented form.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ByteText.h"

namespace test_support {

using MemoryRuns = std::map<uint32_t, Bytes>;

struct ModuleMemoryDump {
    uint8_t address = 0;
    uint32_t serial_number = 0;
    MemoryRuns loader;
    MemoryRuns flash;
};

// Every module in the file, in file order; throws std::runtime_error for a line of another form.
std::vector<ModuleMemoryDump> read_flash_dump(const std::string& path);
// The module with that serial number, if the dump has it.
std::optional<ModuleMemoryDump> find_module(const std::vector<ModuleMemoryDump>& dump, uint32_t serial_number);

}  // namespace test_support
