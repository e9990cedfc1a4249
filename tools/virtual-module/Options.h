// The virtual module's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "LoaderSettings.h"
#include "ModuleIdentity.h"
#include "ModuleLink.h"

namespace virtual_module {

struct TcpEndpoint {
    std::string address;  // dotted IPv4
    uint16_t port = 0;    // 0: any free port
};

struct Options {
    ModuleIdentity identity;
    std::vector<ModuleIdentity> routed;  // modules behind this one on its I2C bus
    LinkFaults faults;
    LoaderFaults loader_faults;
    std::optional<std::string> dump_flash;  // where the modules' memory is written
    std::optional<TcpEndpoint> tcp;
    bool pty = false;
    std::optional<std::string> discovery_interface;  // interface name or IPv4 address
    bool trace = false;
    bool exit_on_stdin_close = false;
};

struct ShowUsage {};
struct UsageError {
    std::string message;
};

using ParseResult = std::variant<Options, ShowUsage, UsageError>;

ParseResult parse_options(int argc, char** argv);
const char* usage_text();

}  // namespace virtual_module
