#include "LauncherOptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace usb_testbed {

namespace {

constexpr unsigned long kLongestRestartMs = 60 * 1000;

// Options of the virtual module that a module on the bus takes over unchanged.
constexpr const char* kModuleSettingsWithValue[] = {
    "model", "address", "firmware-version", "build", "name", "heartbeat-ms", "protocol-features",
    "reply-delay-ms", "drop-after",
};
constexpr const char* kModuleSettingsWithoutValue[] = {"silent-sync"};

bool listed(const char* name, const auto& names) {
    for (const char* entry : names) {
        if (std::strcmp(entry, name) == 0) return true;
    }
    return false;
}

std::optional<unsigned long> parse_number(const std::string& text, int base, unsigned long maximum) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || text[0] == '-' || value > maximum) return std::nullopt;
    return value;
}

}  // namespace

ParseResult parse_launch_options(int argc, char** argv) {
    LaunchOptions options;
    int index = 1;
    auto next_value = [&]() -> std::optional<std::string> {
        if (index + 1 >= argc) return std::nullopt;
        return std::string(argv[++index]);
    };
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            ++index;
            break;
        }
        if (argument == "--help") return ShowUsage{};
        if (argument == "--trace") {
            options.trace = true;
            continue;
        }
        if (argument.rfind("--", 0) != 0) break;  // the program to run
        const std::string name = argument.substr(2);

        if (name == "module") {
            const std::optional<std::string> text = next_value();
            const std::optional<unsigned long> serial = text ? parse_number(*text, 16, 0xFFFFFFFFul) : std::nullopt;
            if (!serial || *serial == 0 || text->size() > 8) {
                return UsageError{"--module needs a serial number of 1 to 8 hexadecimal digits, not 0"};
            }
            options.modules.push_back(ModuleSpec{});
            options.modules.back().serial_number = static_cast<uint32_t>(*serial);
            continue;
        }
        const bool known = name == "product-id" || name == "serial-string" || name == "busy" || name == "echo" ||
                           name == "restart-ms" ||
                           listed(name.c_str(), kModuleSettingsWithValue) ||
                           listed(name.c_str(), kModuleSettingsWithoutValue);
        if (!known) return UsageError{"unknown option " + argument};
        if (options.modules.empty()) return UsageError{argument + " describes a module: put it after --module"};
        ModuleSpec& module = options.modules.back();

        if (name == "product-id") {
            const std::optional<std::string> text = next_value();
            const std::optional<unsigned long> product = text ? parse_number(*text, 0, 0xFFFF) : std::nullopt;
            if (!product) return UsageError{"--product-id needs a number from 0 to 0xFFFF"};
            module.product_id = static_cast<uint16_t>(*product);
        } else if (name == "serial-string") {
            const std::optional<std::string> text = next_value();
            if (!text) return UsageError{"--serial-string needs a text"};
            module.serial_text = *text;
        } else if (name == "busy") {
            module.faults.refuse_claim_as_busy = true;
        } else if (name == "echo") {
            module.echo = true;
        } else if (name == "restart-ms") {
            const std::optional<std::string> text = next_value();
            const std::optional<unsigned long> milliseconds = text ? parse_number(*text, 10, kLongestRestartMs) : std::nullopt;
            if (!milliseconds) return UsageError{"--restart-ms needs milliseconds, at most 60000"};
            module.restart_ms = static_cast<unsigned>(*milliseconds);
        } else if (listed(name.c_str(), kModuleSettingsWithValue)) {
            const std::optional<std::string> text = next_value();
            if (!text) return UsageError{argument + " needs a value"};
            module.module_arguments.push_back(argument);
            module.module_arguments.push_back(*text);
        } else {
            module.module_arguments.push_back(argument);
        }
    }
    for (; index < argc; ++index) options.command.emplace_back(argv[index]);
    if (options.command.empty()) return UsageError{"no program to run"};
    return options;
}

const char* launcher_usage_text() {
    return "Usage: usb-testbed [--trace] [--module SERIAL [MODULE OPTION]...]... [--] PROGRAM [ARGUMENT]...\n"
           "Runs PROGRAM on an emulated USB bus that holds the virtual modules described before it.\n"
           "\n"
           "  --module SERIAL          a module with this serial number (hexadecimal)\n"
           "  --trace                  print every packet of every module on standard error\n"
           "  --help                   print this text\n"
           "Module options (for the last --module):\n"
           "  --model N                model code, also the USB product ID (default 19)\n"
           "  --product-id N           report this USB product ID instead\n"
           "  --serial-string TEXT     report this USB serial string instead of SERIAL as %08X\n"
           "  --busy                   refuse every claim of the link interface as busy\n"
           "  --restart-ms N           time off the bus when the module restarts (default 500)\n"
           "  --echo                   send every byte back instead of answering as a module\n"
           "  --address N, --firmware-version V, --build N, --name TEXT, --heartbeat-ms N,\n"
           "  --protocol-features N, --silent-sync, --reply-delay-ms N, --drop-after N\n"
           "                           as for virtual-module\n"
           "\n"
           "Exit status: PROGRAM's; 2 for a bad command line, 125 when the bus cannot be set up,\n"
           "126 when PROGRAM cannot be run, 127 when it is not found.\n";
}

}  // namespace usb_testbed
