// The virtual module's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "ModuleIdentity.h"
#include "ModuleLink.h"

namespace virtual_module {

struct TcpEndpoint {
    std::string address;  // dotted IPv4
    uint16_t port = 0;    // 0: any free port
};

struct Options {
    ModuleIdentity identity;
    LinkFaults faults;
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
