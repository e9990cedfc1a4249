#include "Options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "FirmwareVersion.h"

namespace virtual_module {

namespace {

constexpr unsigned kLowestModuleAddress = 2;
constexpr unsigned kHighestModuleAddress = 254;
constexpr unsigned long long kMaxMilliseconds = 24ull * 60 * 60 * 1000;  // a day is plenty for any wait

enum OptionCode {
    kSerial = 1000,
    kModel,
    kAddress,
    kFirmwareVersion,
    kBuild,
    kName,
    kHeartbeat,
    kProtocolFeatures,
    kTcp,
    kPty,
    kDiscovery,
    kTrace,
    kSilentSync,
    kReplyDelay,
    kDropAfter,
    kExitOnStdinClose,
    kHelp,
};

const struct option kLongOptions[] = {
    {"serial", required_argument, nullptr, kSerial},
    {"model", required_argument, nullptr, kModel},
    {"address", required_argument, nullptr, kAddress},
    {"firmware-version", required_argument, nullptr, kFirmwareVersion},
    {"build", required_argument, nullptr, kBuild},
    {"name", required_argument, nullptr, kName},
    {"heartbeat-ms", required_argument, nullptr, kHeartbeat},
    {"protocol-features", required_argument, nullptr, kProtocolFeatures},
    {"tcp", required_argument, nullptr, kTcp},
    {"pty", no_argument, nullptr, kPty},
    {"discovery", required_argument, nullptr, kDiscovery},
    {"trace", no_argument, nullptr, kTrace},
    {"silent-sync", no_argument, nullptr, kSilentSync},
    {"reply-delay-ms", required_argument, nullptr, kReplyDelay},
    {"drop-after", required_argument, nullptr, kDropAfter},
    {"exit-on-stdin-close", no_argument, nullptr, kExitOnStdinClose},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

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
    "  --protocol-features N     value of the protocol-features option (default 0)\n"
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

UsageError invalid(const char* option, const std::string& value, const char* expected) {
    return UsageError{std::string("invalid value for --") + option + ": \"" + value + "\" (" + expected + ")"};
}

}  // namespace

const char* usage_text() { return kUsage; }

ParseResult parse_options(int argc, char** argv) {
    Options options;
    optind = 1;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (code) {
        case kSerial: {
            auto serial = serial_number(value);
            if (!serial) return invalid("serial", value, "up to 8 hexadecimal digits");
            options.identity.serial_number = *serial;
            break;
        }
        case kModel: {
            auto model = number(value, 255);
            if (!model) return invalid("model", value, "0 to 255");
            options.identity.model = static_cast<uint8_t>(*model);
            break;
        }
        case kAddress: {
            auto address = number(value, kHighestModuleAddress);
            if (!address || *address < kLowestModuleAddress || *address % 2 != 0) {
                return invalid("address", value, "an even number from 2 to 254");
            }
            options.identity.address = static_cast<uint8_t>(*address);
            break;
        }
        case kFirmwareVersion: {
            auto version = parse_firmware_version(value);
            if (!version) return invalid("firmware-version", value, "MAJOR.MINOR.PATCH that fits its layout, or 0xXXXXXXXX");
            options.identity.firmware_version = *version;
            break;
        }
        case kBuild: {
            auto build = number(value, std::numeric_limits<uint32_t>::max());
            if (!build) return invalid("build", value, "a 32-bit number");
            options.identity.build = static_cast<uint32_t>(*build);
            break;
        }
        case kName:
            if (value.size() > kNameCapacity) return invalid("name", value, "at most 128 bytes");
            options.identity.name = value;
            break;
        case kHeartbeat: {
            auto interval = number(value, kMaxMilliseconds);
            if (!interval) return invalid("heartbeat-ms", value, "milliseconds, 0 for none");
            options.identity.heartbeat_interval = std::chrono::milliseconds(*interval);
            break;
        }
        case kProtocolFeatures: {
            auto features = number(value, std::numeric_limits<uint32_t>::max());
            if (!features) return invalid("protocol-features", value, "a 32-bit number");
            options.identity.protocol_features = static_cast<uint32_t>(*features);
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
        case kExitOnStdinClose:
            options.exit_on_stdin_close = true;
            break;
        case kHelp:
            return ShowUsage{};
        default: {
            std::string offending = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
            if (code == ':' || (code == '?' && optopt != 0)) return UsageError{"missing value for " + offending};
            return UsageError{"unknown option " + offending};
        }
        }
    }
    if (optind < argc) return UsageError{std::string("unexpected argument ") + argv[optind]};
    if (!options.tcp && !options.pty) return UsageError{"nothing to serve: give --tcp, --pty or both"};
    if (options.discovery_interface && !options.tcp) return UsageError{"--discovery needs --tcp: the answer names the TCP port"};
    return options;
}

}  // namespace virtual_module
