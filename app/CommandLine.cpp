#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "qDirectory.h"

const OptionEntry g_rgOptions[OPTION_COUNT + 1] = {
    {OPT_COMMAND, "-B", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-L", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-D", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-G", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-I", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-U", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-OVERRIDE", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-N", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-Y", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-C", OPTION_NO_ARGUMENT},
    {OPT_COMMAND, "-J", OPTION_NO_ARGUMENT},
    {OPT_HELP, "-h", OPTION_NO_ARGUMENT},
    {OPT_HELP, "-H", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-n", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-X", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-Z", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-m", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-i", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-b", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-d", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-t", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-f", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-r", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-s", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-o", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-e", OPTION_NO_ARGUMENT},
    {OPT_PARAMETER, "-l", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-k", OPTION_REQUIRES_VALUE},
    {OPT_PARAMETER, "-u", OPTION_REQUIRES_VALUE},
    {OPT_HELP, "--help", OPTION_NO_ARGUMENT},
    {OPT_END, nullptr, OPTION_NO_ARGUMENT},
};

namespace {

constexpr const char* HEX_DIGITS = "0123456789ABCDEFabcdef";
constexpr const char* DECIMAL_DIGITS = "0123456789";
constexpr size_t HOME_DIRECTORY_SIZE = 2048;

unsigned read_number(const char* text, char** end, const char* digits, int base) {
    if (end == nullptr || text == nullptr) return 0;
    if (text[strspn(text, digits)] != '\0') return 0;
    return static_cast<unsigned>(strtoul(text, end, base) & 0xFFFFFFFFul);
}

size_t leading_hyphens(const char* text) { return strspn(text, "-"); }

// Exact match first; otherwise an abbreviation of exactly one text with the same leading hyphens.
const OptionEntry* find_option(const std::string& name) {
    for (const OptionEntry* entry = g_rgOptions; entry->identifier != OPT_END; ++entry) {
        if (name == entry->text) return entry;
    }
    size_t hyphens = leading_hyphens(name.c_str());
    if (name.size() <= hyphens) return nullptr;
    const OptionEntry* match = nullptr;
    for (const OptionEntry* entry = g_rgOptions; entry->identifier != OPT_END; ++entry) {
        std::string text = entry->text;
        if (leading_hyphens(entry->text) != hyphens || text.size() <= name.size()) continue;
        if (text.compare(0, name.size(), name) != 0) continue;
        if (match != nullptr) return nullptr;  // ambiguous
        match = entry;
    }
    return match;
}

// Strips a 0x prefix (saying so in the log) and reads the rest as a hexadecimal serial number.
unsigned read_serial_number(const std::string& value, const char* prefix_message, std::string& digits) {
    digits = value;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
        Log::log(DEBUG_Updater, "%s", prefix_message);
    }
    char* end = nullptr;
    return _get_hex_arg(digits.c_str(), &end);
}

// Applies one recognised option with its value; returns false when the option was rejected.
bool apply_option(UpdaterDisplayInterface& display, const OptionEntry& option, const std::string& value,
                  Parameters* params) {
    const std::string text = option.text;
    char* end = nullptr;

    if (option.identifier == OPT_COMMAND) {
        static const struct {
            const char* text;
            uint32_t command;
        } COMMAND_OPTIONS[] = {
            {"-B", COMMAND_LIST_BUILDS}, {"-L", COMMAND_LIST_LOCAL_BUILDS}, {"-D", COMMAND_DISCOVER},
            {"-G", COMMAND_GET_BUILD},   {"-I", COMMAND_INFO},              {"-U", COMMAND_UPDATE},
            {"-N", COMMAND_FINGERPRINT}, {"-C", COMMAND_CHECK},             {"-J", COMMAND_JWT},
        };
        for (const auto& command_option : COMMAND_OPTIONS) {
            if (text == command_option.text) {
                params->commands.Set(command_option.command);
                return true;
            }
        }
        if (text == "-OVERRIDE") {
            params->override_model_check = true;
            return true;
        }
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]", option.text);
        return false;
    }

    if (text == "-Z") {
        params->commands.Set(COMMAND_Z);
    } else if (text == "-n") {
        params->n_flag = true;
    } else if (text == "-e") {
        params->echo_bytes = true;
    } else if (text == "-X") {
        params->log_mask_given = true;
        bool hexadecimal = value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
        params->log_mask = static_cast<uint32_t>(strtoul(value.c_str(), &end, hexadecimal ? 16 : 10));
        if (end != nullptr && *end != '\0') {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid format for \"%s\" parameter, unprocessed characters [%s]", option.text, end);
        } else {
            Log::ActivatePackage(params->log_mask);
        }
    } else if (text == "-m") {
        params->load_with_uei_bytes = value.compare(0, 1, "1") == 0 || value.compare(0, 4, "true") == 0;
    } else if (text == "-i") {
        params->storage_directory = value;
    } else if (text == "-b") {
        params->build = std::to_string(_get_int_arg(value.c_str(), &end));
    } else if (text == "-d" || text == "-r") {
        bool router = text == "-r";
        std::string digits;
        unsigned serial = read_serial_number(
            value, router ? "Discarding '0x' router serial number prefix\n" : "Discarding '0x' serial number prefix\n",
            digits);
        (router ? params->router_serial : params->serial_number) = serial;
        if (serial == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            router ? "Invalid router serial number obtained from argument [%s]"
                                   : "Invalid serial number obtained from argument [%s]",
                            digits.c_str());
            return false;
        }
    } else if (text == "-t") {
        params->transport_given = true;
        if (value.compare(0, 3, "USB") == 0) {
            params->transport = TRANSPORT_USB;
        } else if (value.compare(0, 3, "TCP") == 0) {
            params->transport = TRANSPORT_TCPIP;
        } else if (value.compare(0, 7, "RECOVER") == 0) {
            params->transport = TRANSPORT_RECOVER;
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                            value.c_str());
            params->transport = TRANSPORT_INVALID;
            return false;
        }
    } else if (text == "-f") {
        params->bird_file = value;
    } else if (text == "-s") {
        params->serial_port = value;
    } else if (text == "-o") {
        params->baud_rate = _get_int_arg(value.c_str(), &end);
    } else if (text == "-l") {
        params->history_message = value;
    } else if (text == "-k") {
        params->log_file_name = value;
    } else if (text == "-u") {
        params->server_url = value;
    }
    return true;
}

}  // namespace

unsigned _get_hex_arg(const char* text, char** end) { return read_number(text, end, HEX_DIGITS, 16); }

unsigned _get_int_arg(const char* text, char** end) { return read_number(text, end, DECIMAL_DIGITS, 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
    *params = Parameters{};
    if (argc > 0 && argv[0] != nullptr) {
        const char* name = argv[0];
        for (const char* p = argv[0]; *p != '\0'; ++p) {
            if (*p == '/' || *p == '\\') name = p + 1;
        }
        params->app_name = name;
    }
    char home[HOME_DIRECTORY_SIZE] = "";
    qDirectory_GetHomeDirectory(home, sizeof home);
    params->home_directory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", home);

    bool failed = false;
    for (int i = 1; i < argc; ++i) {
        const char* element = argv[i];
        if (element == nullptr || element[0] != '-') continue;

        std::string name = element;
        std::string value;
        bool value_from_equals = false;
        if (size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            value_from_equals = true;
        }

        const OptionEntry* option = find_option(name);
        if (option == nullptr) continue;

        if (option->argument == OPTION_NO_ARGUMENT) {
            if (value_from_equals) continue;
        } else if (!value_from_equals) {
            // The value is the next element, unless there is none or it looks like an option.
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '-') continue;
            value = argv[++i];
        }

        if (option->identifier == OPT_HELP) {
            params->commands.Set(COMMAND_HELP);
            params->help_requested = true;
            return 0;
        }
        if (!apply_option(display, *option, value, params)) failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
    for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");

    return failed ? 1 : _validate_params(params);
}

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters*) { return 0; }
