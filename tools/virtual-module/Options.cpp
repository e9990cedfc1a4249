#include "Options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "FirmwareVersion.h"

namespace virtual_module {

namespace {

constexpr unsigned kLowestModuleAddress = 2;
constexpr unsigned kHighestModuleAddress = 254;
constexpr unsigned long long kMaxMilliseconds = 24ull * 60 * 60 * 1000;  // a day is plenty for any wait
constexpr char kRoutedSeparator = ',';
constexpr const char* kRoutedNameKey = "name";  // its value runs to the end, commas and all

enum OptionCode {
    kIdentity = 1000,  // every option that describes the module; told apart by name
    kRouted,
    kTcp,
    kPty,
    kDiscovery,
    kTrace,
    kSilentSync,
    kReplyDelay,
    kDropAfter,
    kDropAtDataPacket,
    kWrongSum,
    kShortAckOnce,
    kPrepareStatus,
    kNeverBackAfter,
    kDumpFlash,
    kExitOnStdinClose,
    kHelp,
};

const struct option kLongOptions[] = {
    {"serial", required_argument, nullptr, kIdentity},
    {"model", required_argument, nullptr, kIdentity},
    {"address", required_argument, nullptr, kIdentity},
    {"firmware-version", required_argument, nullptr, kIdentity},
    {"build", required_argument, nullptr, kIdentity},
    {"name", required_argument, nullptr, kIdentity},
    {"heartbeat-ms", required_argument, nullptr, kIdentity},
    {"protocol-features", required_argument, nullptr, kIdentity},
    {"load-base", required_argument, nullptr, kIdentity},
    {"block-size", required_argument, nullptr, kIdentity},
    {"restart-on-load", no_argument, nullptr, kIdentity},
    {"loader-serial", required_argument, nullptr, kIdentity},
    {"restart-ms", required_argument, nullptr, kIdentity},
    {"routed", required_argument, nullptr, kRouted},
    {"tcp", required_argument, nullptr, kTcp},
    {"pty", no_argument, nullptr, kPty},
    {"discovery", required_argument, nullptr, kDiscovery},
    {"trace", no_argument, nullptr, kTrace},
    {"silent-sync", no_argument, nullptr, kSilentSync},
    {"reply-delay-ms", required_argument, nullptr, kReplyDelay},
    {"drop-after", required_argument, nullptr, kDropAfter},
    {"drop-at-data-packet", required_argument, nullptr, kDropAtDataPacket},
    {"wrong-sum", required_argument, nullptr, kWrongSum},
    {"short-ack-once", no_argument, nullptr, kShortAckOnce},
    {"prepare-status", required_argument, nullptr, kPrepareStatus},
    {"never-back-after", required_argument, nullptr, kNeverBackAfter},
    {"dump-flash", required_argument, nullptr, kDumpFlash},
    {"exit-on-stdin-close", no_argument, nullptr, kExitOnStdinClose},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// The identity settings a module behind a router may be given in --routed (heartbeats belong to
// the router's link, so they are not among them).
const char* const kRoutedKeys[] = {"address", "serial", "model", "firmware-version", "build", "name",
                                   "protocol-features", "load-base", "block-size", "restart-on-load",
                                   "loader-serial", "restart-ms"};

const char kUsage[] =
    "Usage: virtual-module [OPTION]...\n"
    "Simulates one instrument module and serves it over TCP and/or a pseudo-terminal.\n"
    "\n"
    "Identity:\n"
    "  --serial HEX              serial number, up to 8 hexadecimal digits (default 4E560001)\n"
    "  --model N                 model code, 0 to 255 (default 19)\n"
    "  --address N               module address, even, 2 to 254 (default 2)\n"
    "  --firmware-version V      MAJOR.MINOR.PATCH, packed in the layout its version calls for,\n"
    "                            or an already packed word 0xXXXXXXXX (default 2.15.3)\n"
    "  --build N                 build number (default 1)\n"
    "  --name TEXT               device name, at most 128 bytes (default \"Virtual Module\")\n"
    "  --heartbeat-ms N          heartbeat interval in milliseconds, 0 for none (default 1000)\n"
    "  --protocol-features N     value of the protocol-features option; bit 31: pooled packets (default 0)\n"
    "\n"
    "Loader and restarts:\n"
    "  --load-base N             load base answered to the upgrade INIT (default 0x10000)\n"
    "  --block-size N            block size answered to PREPARE, 0 to 65535 (default 1024)\n"
    "  --restart-on-load         the upgrade LOAD restarts the module into the new loader\n"
    "  --loader-serial HEX       the serial number a loader started by LOAD answers as\n"
    "                            (default: the module's own)\n"
    "  --restart-ms N            how long a restart keeps the module away (default 0)\n"
    "\n"
    "Router:\n"
    "  --routed KEY=VALUE,...    a module behind this one on its I2C bus; repeatable. Keys:\n"
    "                            address and serial (both needed), model, firmware-version,\n"
    "                            build, protocol-features, load-base, block-size, loader-serial,\n"
    "                            restart-ms, restart-on-load (no value), and name, which comes\n"
    "                            last and runs to the end of the argument\n"
    "\n"
    "Transports (at least one of --tcp and --pty):\n"
    "  --tcp ADDRESS:PORT        listen on this IPv4 address and port; port 0 picks a free one\n"
    "  --pty                     create a pseudo-terminal\n"
    "  --discovery INTERFACE     answer Ethernet discovery requests arriving on this interface\n"
    "                            (a name or an IPv4 address); needs --tcp\n"
    "\n"
    "Faults and diagnostics:\n"
    "  --trace                   print every packet in and out on standard error\n"
    "  --silent-sync             do not answer sync requests or address queries\n"
    "  --reply-delay-ms N        hold every answer N milliseconds\n"
    "  --drop-after N            end a connection when its Nth packet arrives, unanswered\n"
    "  --drop-at-data-packet N   end the link when the module's Nth upgrade data packet arrives,\n"
    "                            unanswered; once\n"
    "  --wrong-sum once|always   answer the upgrade SUM with a wrong sum\n"
    "  --short-ack-once          acknowledge one upgrade DATA packet short, keeping none of it\n"
    "  --prepare-status N        answer every upgrade PREPARE with this error status, 1 to 255\n"
    "  --never-back-after load|reboot\n"
    "                            a restart by the upgrade LOAD or REBOOT is for good\n"
    "  --dump-flash FILE         write the modules' flash and started loaders to FILE after\n"
    "                            every restart and at the end\n"
    "  --exit-on-stdin-close     stop when standard input reaches its end\n"
    "  --help                    print this text\n"
    "\n"
    "Standard output, one line each, flushed, in this order:\n"
    "  tcp ADDRESS PORT          the TCP endpoint listened on\n"
    "  pty PATH                  the pseudo-terminal's device path\n"
    "  discovery INTERFACE PORT  the interface and UDP port of the discovery answer\n"
    "  ready                     every transport is up\n"
    "SIGTERM and SIGINT stop the module; the exit status is then 0.\n";

// A whole number, decimal or 0x-prefixed hexadecimal, within limit.
std::optional<unsigned long long> number(const std::string& text, unsigned long long limit) {
    bool hexadecimal = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    std::string digits = hexadecimal ? text.substr(2) : text;
    if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(digits.c_str(), &end, hexadecimal ? 16 : 10);
    if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
    return value;
}

std::optional<uint32_t> serial_number(const std::string& text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    auto value = number("0x" + text, std::numeric_limits<uint32_t>::max());
    if (!value) return std::nullopt;
    return static_cast<uint32_t>(*value);
}

std::optional<TcpEndpoint> tcp_endpoint(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    TcpEndpoint endpoint{text.substr(0, colon), 0};
    in_addr parsed{};
    if (inet_pton(AF_INET, endpoint.address.c_str(), &parsed) != 1) return std::nullopt;
    auto port = number(text.substr(colon + 1), std::numeric_limits<uint16_t>::max());
    if (!port) return std::nullopt;
    endpoint.port = static_cast<uint16_t>(*port);
    return endpoint;
}

std::optional<RestartReason> restart_reason(const std::string& text) {
    if (text == "load") return RestartReason::LoaderStarted;
    if (text == "reboot") return RestartReason::Rebooted;
    return std::nullopt;
}

UsageError invalid(const std::string& option, const std::string& value, const std::string& expected) {
    return UsageError{"invalid value for --" + option + ": \"" + value + "\" (" + expected + ")"};
}

// Sets one identity value by its option name. The description of what was expected when the value
// does not fit; none when it was taken.
std::optional<std::string> set_identity_value(const std::string& name, const std::string& value, ModuleIdentity& identity) {
    constexpr auto kMax32 = std::numeric_limits<uint32_t>::max();
    if (name == "serial") {
        auto serial = serial_number(value);
        if (!serial) return "up to 8 hexadecimal digits";
        identity.serial_number = *serial;
    } else if (name == "model") {
        auto model = number(value, 255);
        if (!model) return "0 to 255";
        identity.model = static_cast<uint8_t>(*model);
    } else if (name == "address") {
        auto address = number(value, kHighestModuleAddress);
        if (!address || *address < kLowestModuleAddress || *address % 2 != 0) return "an even number from 2 to 254";
        identity.address = static_cast<uint8_t>(*address);
    } else if (name == "firmware-version") {
        auto version = parse_firmware_version(value);
        if (!version) return "MAJOR.MINOR.PATCH that fits its layout, or 0xXXXXXXXX";
        identity.firmware_version = *version;
    } else if (name == "build") {
        auto build = number(value, kMax32);
        if (!build) return "a 32-bit number";
        identity.build = static_cast<uint32_t>(*build);
    } else if (name == "name") {
        if (value.size() > kNameCapacity) return "at most 128 bytes";
        identity.name = value;
    } else if (name == "heartbeat-ms") {
        auto interval = number(value, kMaxMilliseconds);
        if (!interval) return "milliseconds, 0 for none";
        identity.heartbeat_interval = std::chrono::milliseconds(*interval);
    } else if (name == "protocol-features") {
        auto features = number(value, kMax32);
        if (!features) return "a 32-bit number";
        identity.protocol_features = static_cast<uint32_t>(*features);
    } else if (name == "load-base") {
        auto base = number(value, kMax32);
        if (!base) return "a 32-bit number";
        identity.loader.load_base = static_cast<uint32_t>(*base);
    } else if (name == "block-size") {
        auto size = number(value, std::numeric_limits<uint16_t>::max());
        if (!size) return "0 to 65535";
        identity.loader.block_size = static_cast<uint16_t>(*size);
    } else if (name == "restart-on-load") {
        if (!value.empty()) return "no value";
        identity.loader.restart_on_load = true;
    } else if (name == "loader-serial") {
        auto serial = serial_number(value);
        if (!serial) return "up to 8 hexadecimal digits";
        identity.loader.loader_serial = *serial;
    } else if (name == "restart-ms") {
        auto time = number(value, kMaxMilliseconds);
        if (!time) return "milliseconds";
        identity.restart_time = std::chrono::milliseconds(*time);
    }
    return std::nullopt;
}

// One --routed argument: KEY=VALUE items separated by commas, name last.
std::variant<ModuleIdentity, UsageError> routed_identity(const std::string& text) {
    ModuleIdentity identity;
    bool has_address = false;
    bool has_serial = false;
    size_t position = 0;
    while (position < text.size()) {
        size_t equals = text.find('=', position);
        size_t comma = text.find(kRoutedSeparator, position);
        bool has_value = equals != std::string::npos && (comma == std::string::npos || equals < comma);
        std::string key = text.substr(position, (has_value ? equals : comma) - position);
        size_t end = key == kRoutedNameKey && has_value ? text.size() : std::min(comma, text.size());
        std::string value = has_value ? text.substr(equals + 1, end - equals - 1) : "";
        std::string item = text.substr(position, end - position);
        position = end + 1;

        if (std::find(std::begin(kRoutedKeys), std::end(kRoutedKeys), key) == std::end(kRoutedKeys)) {
            return invalid("routed", item, "keys: address, serial, model, firmware-version, build, protocol-features, "
                                           "load-base, block-size, loader-serial, restart-ms, restart-on-load, name");
        }
        if (!has_value && key != "restart-on-load") return invalid("routed", item, "KEY=VALUE");
        if (auto expected = set_identity_value(key, value, identity)) return invalid("routed", item, *expected);
        has_address = has_address || key == "address";
        has_serial = has_serial || key == "serial";
    }
    if (!has_address || !has_serial) return invalid("routed", text, "address= and serial= are needed");
    identity.heartbeat_interval = std::chrono::milliseconds{0};  // the router's link carries the heartbeats
    return identity;
}

// Every routed module needs an address of its own on the router's bus.
std::optional<UsageError> check_routed_addresses(const Options& options) {
    for (size_t i = 0; i < options.routed.size(); ++i) {
        uint8_t address = options.routed[i].address;
        std::string text = std::to_string(address);
        if (address == options.identity.address) return UsageError{"--routed address " + text + " is the router's own"};
        for (size_t j = 0; j < i; ++j) {
            if (options.routed[j].address == address) return UsageError{"two --routed modules at address " + text};
        }
    }
    return std::nullopt;
}

}  // namespace

const char* usage_text() { return kUsage; }

ParseResult parse_options(int argc, char** argv) {
    Options options;
    optind = 1;
    opterr = 0;
    int code;
    int index = 0;
    while ((code = getopt_long(argc, argv, "", kLongOptions, &index)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (code) {
        case kIdentity:
            if (auto expected = set_identity_value(kLongOptions[index].name, value, options.identity)) {
                return invalid(kLongOptions[index].name, value, *expected);
            }
            break;
        case kRouted: {
            auto routed = routed_identity(value);
            if (auto* error = std::get_if<UsageError>(&routed)) return *error;
            options.routed.push_back(std::get<ModuleIdentity>(routed));
            break;
        }
        case kTcp: {
            auto endpoint = tcp_endpoint(value);
            if (!endpoint) return invalid("tcp", value, "IPv4-ADDRESS:PORT");
            options.tcp = *endpoint;
            break;
        }
        case kPty:
            options.pty = true;
            break;
        case kDiscovery:
            if (value.empty()) return invalid("discovery", value, "an interface name or IPv4 address");
            options.discovery_interface = value;
            break;
        case kTrace:
            options.trace = true;
            break;
        case kSilentSync:
            options.faults.silent_to_sync = true;
            break;
        case kReplyDelay: {
            auto delay = number(value, kMaxMilliseconds);
            if (!delay) return invalid("reply-delay-ms", value, "milliseconds");
            options.faults.reply_delay = std::chrono::milliseconds(*delay);
            break;
        }
        case kDropAfter: {
            auto count = number(value, std::numeric_limits<uint32_t>::max());
            if (!count || *count == 0) return invalid("drop-after", value, "a packet count above 0");
            options.faults.drop_after_packets = *count;
            break;
        }
        case kDropAtDataPacket: {
            auto count = number(value, std::numeric_limits<uint32_t>::max());
            if (!count || *count == 0) return invalid("drop-at-data-packet", value, "a packet count above 0");
            options.loader_faults.drop_link_at_data_packet = *count;
            break;
        }
        case kWrongSum:
            if (value == "once") {
                options.loader_faults.wrong_sum = WrongSum::Once;
            } else if (value == "always") {
                options.loader_faults.wrong_sum = WrongSum::Always;
            } else {
                return invalid("wrong-sum", value, "once or always");
            }
            break;
        case kShortAckOnce:
            options.loader_faults.short_acknowledgement_once = true;
            break;
        case kPrepareStatus: {
            auto status = number(value, 255);
            if (!status || *status == 0) return invalid("prepare-status", value, "1 to 255");
            options.loader_faults.prepare_status = static_cast<uint8_t>(*status);
            break;
        }
        case kNeverBackAfter: {
            auto reason = restart_reason(value);
            if (!reason) return invalid("never-back-after", value, "load or reboot");
            options.loader_faults.never_back_after = *reason;
            break;
        }
        case kDumpFlash:
            if (value.empty()) return invalid("dump-flash", value, "a file name");
            options.dump_flash = value;
            break;
        case kExitOnStdinClose:
            options.exit_on_stdin_close = true;
            break;
        case kHelp:
            return ShowUsage{};
        default: {
            std::string offending = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
            size_t equals = offending.find('=');
            if (code == '?' && optopt != 0 && equals != std::string::npos) {
                return UsageError{offending.substr(0, equals) + " takes no value"};
            }
            if (code == ':' || (code == '?' && optopt != 0)) return UsageError{"missing value for " + offending};
            return UsageError{"unknown option " + offending};
        }
        }
    }
    if (optind < argc) return UsageError{std::string("unexpected argument ") + argv[optind]};
    if (!options.tcp && !options.pty) return UsageError{"nothing to serve: give --tcp, --pty or both"};
    if (options.discovery_interface && !options.tcp) return UsageError{"--discovery needs --tcp: the answer names the TCP port"};
    if (auto error = check_routed_addresses(options)) return *error;
    return options;
}

}  // namespace virtual_module
