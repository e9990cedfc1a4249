#include "LauncherOptions.h"

#include <cerrno>
#include <cstdlib>

namespace usb_testbed {

namespace {

// Options of the virtual-module program that describe how it is served, not the module: the bus
// serves it, and --module names its serial number.
constexpr const char* kTransportOptions[] = {
    "--serial", "--tcp", "--pty", "--discovery", "--trace", "--exit-on-stdin-close", "--help",
};

std::optional<unsigned long> parse_number(const std::string& text, int base, unsigned long maximum) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || value > maximum) return std::nullopt;
    return value;
}

// "--name=TEXT" names the option "--name".
std::string option_name(const std::string& argument) { return argument.substr(0, argument.find('=')); }

}  // namespace

ParseResult parse_launch_options(int argc, char** argv) {
    LaunchOptions options;
    int index = 1;
    auto next_value = [&]() -> std::optional<std::string> {
        if (index + 1 >= argc) return std::nullopt;
        return std::string(argv[++index]);
    };
    bool program_follows = false;
    for (; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--") {
            program_follows = true;
            ++index;
            break;
        }
        if (argument == "--help") return ShowUsage{};
        if (argument == "--trace") {
            options.trace = true;
            continue;
        }
        if (argument == "--module") {
            const std::optional<std::string> text = next_value();
            const std::optional<unsigned long> serial = text ? parse_number(*text, 16, 0xFFFFFFFFul) : std::nullopt;
            if (!serial || *serial == 0 || text->size() > 8) {
                return UsageError{"--module needs a serial number of 1 to 8 hexadecimal digits, not 0"};
            }
            options.modules.push_back(ModuleSpec{});
            options.modules.back().serial_number = static_cast<uint32_t>(*serial);
            continue;
        }
        if (options.modules.empty()) {
            return UsageError{argument.rfind("--", 0) == 0 ? argument + " describes a module: put it after --module"
                                                          : "put -- before the program to run"};
        }
        ModuleSpec& module = options.modules.back();
        if (argument == "--product-id") {
            const std::optional<std::string> text = next_value();
            const std::optional<unsigned long> product = text ? parse_number(*text, 0, 0xFFFF) : std::nullopt;
            if (!product) return UsageError{"--product-id needs a number from 0 to 0xFFFF"};
            module.product_id = static_cast<uint16_t>(*product);
        } else if (argument == "--serial-string") {
            const std::optional<std::string> text = next_value();
            if (!text) return UsageError{"--serial-string needs a text"};
            module.serial_text = *text;
        } else if (argument == "--busy") {
            module.faults.refuse_claim_as_busy = true;
        } else if (argument == "--echo") {
            module.echo = true;
        } else if (argument == "--dump-flash") {
            const std::optional<std::string> path = next_value();
            if (!path || path->empty()) return UsageError{"--dump-flash needs a file name"};
            module.dump_flash = *path;
        } else {
            for (const char* transport : kTransportOptions) {
                if (option_name(argument) == transport) return UsageError{argument + " is not for a module on the bus"};
            }
            module.module_arguments.push_back(argument);
        }
    }
    if (!program_follows) return UsageError{"put -- before the program to run"};
    for (; index < argc; ++index) options.command.emplace_back(argv[index]);
    if (options.command.empty()) return UsageError{"no program to run"};
    return options;
}

const char* launcher_usage_text() {
    return "Usage: usb-testbed [--trace] [--module SERIAL [MODULE OPTION]...]... -- PROGRAM [ARGUMENT]...\n"
           "Runs PROGRAM on an emulated USB bus that holds the virtual modules described before it.\n"
           "\n"
           "  --module SERIAL          a module with this serial number (hexadecimal)\n"
           "  --trace                  print every packet of every module on standard error\n"
           "  --help                   print this text\n"
           "Module options (for the last --module):\n"
           "  --product-id N           report this USB product ID instead of the model code\n"
           "  --serial-string TEXT     report this USB serial string instead of SERIAL as %08X\n"
           "  --busy                   refuse every claim of the link interface as busy\n"
           "  --dump-flash FILE        write the module's memory to FILE after every restart and\n"
           "                           at the end, as virtual-module does\n"
           "  --echo                   send every byte back instead of answering as a module\n"
           "  any other option of virtual-module that describes the module: --model, --address,\n"
           "  --firmware-version, --build, --name, --heartbeat-ms, --restart-ms, --routed,\n"
           "  the loader's settings and the fault switches\n"
           "\n"
           "Exit status: PROGRAM's; 2 for a bad command line, 125 when the bus cannot be set up,\n"
           "126 when PROGRAM cannot be run, 127 when it is not found.\n";
}

}  // namespace usb_testbed
