// The parsed command line.
#pragma once

#include <cstdint>
#include <string>

enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x00000001,           // -D
    COMMAND_UPDATE = 0x00000002,             // -U
    COMMAND_LIST_BUILDS = 0x00000004,        // -B
    COMMAND_GET_BUILD = 0x00000008,          // -G
    COMMAND_INFO = 0x00000010,               // -I: accepted, runs nothing
    COMMAND_CHECK = 0x00000020,              // -C: accepted, runs nothing
    COMMAND_FINGERPRINT = 0x00000040,        // -N
    COMMAND_Z = 0x00000080,                  // -Z: accepted, runs nothing
    COMMAND_JWT = 0x00000100,                // -J
    COMMAND_LIST_LOCAL_BUILDS = 0x00000200,  // -L
    COMMAND_HELP = 0x80000000,               // -h, -H, --help
};

// Any requested operation; bits 0x400, 0x10000 and 0x20000 belong to it though no option sets them.
constexpr uint32_t COMMANDS_ANY = 0x000307FF;

class CommandsClass {
public:
    void Set(uint32_t commands) { word |= commands; }
    // True when any of the given bits is set.
    bool IsSet(uint32_t commands) const { return (word & commands) != 0; }
    uint32_t Value() const { return word; }

private:
    uint32_t word = 0;
};

// Transport values of -t.
enum TransportChoice : int32_t {
    TRANSPORT_INVALID = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_TCPIP = 2,
    TRANSPORT_RECOVER = 255,
};

// The default update server; the usage text names its host.
constexpr const char* DEFAULT_UPDATE_SERVER_HOST = "updates.tolveric.com";
constexpr const char* DEFAULT_UPDATE_SERVER_URL = "http://updates.tolveric.com/cgi/u";

struct Parameters {
    CommandsClass commands;
    uint32_t serial_number = 0;
    uint32_t router_serial = 0;
    int32_t transport = TRANSPORT_USB;
    bool transport_given = false;
    std::string serial_port;
    uint32_t baud_rate = 115200;
    uint8_t module_address = 0;  // 0 asks the update to find a routed module's address
    std::string bird_file;
    std::string history_message;  // -l; nothing reads it
    std::string build;            // decimal text; replaced after a successful -G
    bool echo_bytes = false;      // -e; nothing reads it
    std::string server_url = DEFAULT_UPDATE_SERVER_URL;
    bool n_flag = false;  // -n; nothing reads it
    std::string storage_directory;
    std::string app_name;
    std::string home_directory;
    std::string log_file_name = "Updater.log";  // -k; nothing opens it
    bool override_model_check = false;
    bool load_with_uei_bytes = true;
    uint32_t log_mask = 0;
    bool log_mask_given = false;
    bool help_requested = false;
};
