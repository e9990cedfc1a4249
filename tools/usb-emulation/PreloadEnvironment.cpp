#include "PreloadEnvironment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace usb_emulation {

namespace {

constexpr const char* kAsanLinkOrderOption = "verify_asan_link_order=0";
// Set before re-executing, so a preload that does not take cannot make the program loop.
constexpr const char* kReexecutedMarker = "USB_EMULATION_REEXECUTED";

void prepend_to_variable(const char* name, const std::string& item, char separator) {
    const char* current = std::getenv(name);
    std::string value = item;
    if (current != nullptr && *current != '\0') {
        if (std::string(current).find(item) != std::string::npos) return;
        value += separator;
        value += current;
    }
    setenv(name, value.c_str(), 1);
}

}  // namespace

bool preload_active() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos) return true;
    }
    return false;
}

void add_preload_to_environment() {
    prepend_to_variable("LD_PRELOAD", kPreloadLibrary, ':');
    // The sanitizer's runtime wants to be the first library loaded; with the preload it cannot be.
    prepend_to_variable("ASAN_OPTIONS", kAsanLinkOrderOption, ':');
}

void ensure_running_under_preload(char** argv) {
    if (preload_active()) return;
    if (std::getenv(kReexecutedMarker) != nullptr) {
        std::fprintf(stderr, "%s did not load; the emulated USB bus is not visible\n", kPreloadLibrary);
        return;
    }
    setenv(kReexecutedMarker, "1", 1);
    add_preload_to_environment();
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "cannot start %s again under %s: %s\n", argv[0], kPreloadLibrary, std::strerror(errno));
}

}  // namespace usb_emulation
