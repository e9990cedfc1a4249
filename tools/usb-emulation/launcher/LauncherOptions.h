// The usb-testbed command line: the modules to put on the emulated bus, then the program to run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "UsbFaults.h"

namespace usb_testbed {

struct ModuleSpec {
    uint32_t serial_number = 0;
    std::optional<uint16_t> product_id;     // default: the model code
    std::optional<std::string> serial_text;  // default: the serial number as "%08X"
    usb_emulation::UsbFaults faults;
    bool echo = false;  // serve an echo instead of the virtual module
    std::optional<std::string> dump_flash;  // where the module's memory is written
    // The virtual module's own options for this module ("--build", "7", ...), in order; its
    // parser checks them.
    std::vector<std::string> module_arguments;
};

struct LaunchOptions {
    std::vector<ModuleSpec> modules;
    bool trace = false;  // every packet of every module on standard error
    std::vector<std::string> command;
};

struct ShowUsage {};
struct UsageError {
    std::string message;
};

using ParseResult = std::variant<LaunchOptions, ShowUsage, UsageError>;

ParseResult parse_launch_options(int argc, char** argv);
const char* launcher_usage_text();

}  // namespace usb_testbed
