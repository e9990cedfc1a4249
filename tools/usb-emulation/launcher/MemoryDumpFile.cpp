#include "MemoryDumpFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "MemoryDump.h"

namespace usb_testbed {

namespace {

constexpr const char* kPartialSuffix = ".partial";

}  // namespace

bool write_memory_dump(const std::string& path, const virtual_module::Module& module) {
    const std::string partial = path + kPartialSuffix;
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file << virtual_module::memory_dump_text(module);
        if (!file.flush()) {
            std::fprintf(stderr, "usb-testbed: cannot write %s\n", partial.c_str());
            return false;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "usb-testbed: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace usb_testbed
