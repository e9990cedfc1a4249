#include "MemoryDump.h"

#include <cstdio>

#include "Module.h"

namespace virtual_module {

namespace {

void append_runs(const char* region, const MemoryImage& memory, std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    char address[16];
    for (const auto& [start, bytes] : memory.runs()) {
        std::snprintf(address, sizeof address, " %08X ", start);
        text += region;
        text += address;
        for (uint8_t byte : bytes) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        }
        text += '\n';
    }
}

void append_module(const Module& module, std::string& text) {
    char line[32];
    std::snprintf(line, sizeof line, "module %02X %08X\n", module.address(), module.identity().serial_number);
    text += line;
    append_runs("loader", module.loader_memory().started_loader, text);
    append_runs("flash", module.loader_memory().flash, text);
}

}  // namespace

std::string memory_dump_text(const Module& router) {
    std::string text;
    append_module(router, text);
    for (const auto& [address, routed] : router.routed_modules()) append_module(*routed, text);
    return text;
}

}  // namespace virtual_module
