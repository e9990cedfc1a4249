#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Log.h"
#include "RecordingDisplay.h"

using test_support::RecordingDisplay;

namespace {

struct Parsed {
    int result;
    Parameters params;
    std::vector<std::string> errors;
};

Parsed parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/local/bin/updater");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    RecordingDisplay display;
    Parsed parsed;
    parsed.result = _get_params(display, static_cast<int>(argv.size()), argv.data(), &parsed.params);
    parsed.errors = display.errors();
    return parsed;
}

class CommandLine : public ::testing::Test {
protected:
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }
};

}  // namespace

TEST_F(CommandLine, DefaultsAndApplicationName) {
    Parsed parsed = parse({});
    EXPECT_EQ(parsed.result, 0);
    const Parameters& p = parsed.params;
    EXPECT_EQ(p.commands.Value(), 0u);
    EXPECT_EQ(p.transport, TRANSPORT_USB);
    EXPECT_EQ(p.baud_rate, 115200u);
    EXPECT_TRUE(p.load_with_uei_bytes);
    EXPECT_EQ(p.server_url, DEFAULT_UPDATE_SERVER_URL);
    EXPECT_EQ(p.log_file_name, "Updater.log");
    EXPECT_EQ(p.app_name, "updater");
    EXPECT_FALSE(p.home_directory.empty());
}

TEST_F(CommandLine, SerialNumbers) {
    const struct {
        std::vector<std::string> arguments;
        int result;
        unsigned serial;
        unsigned router;
        std::string error;
    } cases[] = {
        {{"-d", "40F5849A"}, 0, 0x40F5849A, 0, ""},
        {{"-d", "0x40F5849A"}, 0, 0x40F5849A, 0, ""},
        {{"-d", "0X40f5849a"}, 0, 0x40F5849A, 0, ""},
        {{"-d=40F5849A"}, 0, 0x40F5849A, 0, ""},
        {{"-d", "140F5849A"}, 0, 0x40F5849A, 0, ""},  // nine digits keep the low 32 bits
        {{"-d", "40F5849AZ"}, 1, 0, 0, "Invalid serial number obtained from argument [40F5849AZ]"},
        {{"-d", "0x"}, 1, 0, 0, "Invalid serial number obtained from argument []"},
        {{"-d", "0"}, 1, 0, 0, "Invalid serial number obtained from argument [0]"},
        {{"-r", "0xD272031D"}, 0, 0, 0xD272031D, ""},
        {{"-r", "xyz"}, 1, 0, 0, "Invalid router serial number obtained from argument [xyz]"},
        {{"-d", "-D"}, 0, 0, 0, ""},  // a value may not begin with '-': -d is skipped, -D runs
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + (c.arguments.size() > 1 ? c.arguments[1] : ""));
        Parsed parsed = parse(c.arguments);
        EXPECT_EQ(parsed.result, c.result);
        EXPECT_EQ(parsed.params.serial_number, c.serial);
        EXPECT_EQ(parsed.params.router_serial, c.router);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.errors.empty());
        } else {
            EXPECT_EQ(parsed.errors, std::vector<std::string>{c.error});
        }
    }
    EXPECT_TRUE(parse({"-d", "-D"}).params.commands.IsSet(COMMAND_DISCOVER));
}

TEST_F(CommandLine, TransportsAndNumbers) {
    const struct {
        std::vector<std::string> arguments;
        int result;
        int transport;
    } transports[] = {
        {{"-t", "USB"}, 0, 1},    {{"-t", "USB2"}, 0, 1},        {{"-t", "TCP"}, 0, 2},
        {{"-t", "TCPIP"}, 0, 2},  {{"-t", "RECOVER"}, 0, 255},    {{"-t", "tcp"}, 1, 0},
        {{"-t", "RECOV"}, 1, 0},  {{"-t=TCPIP"}, 0, 2},
    };
    for (const auto& c : transports) {
        Parsed parsed = parse(c.arguments);
        EXPECT_EQ(parsed.result, c.result) << c.arguments.back();
        EXPECT_EQ(parsed.params.transport, c.transport) << c.arguments.back();
        EXPECT_TRUE(parsed.params.transport_given);
    }
    EXPECT_EQ(parse({"-t", "tcp"}).errors,
              std::vector<std::string>{"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"});

    EXPECT_EQ(parse({"-b", "12x"}).params.build, "0");
    EXPECT_EQ(parse({"-b", "12x"}).result, 0);
    EXPECT_EQ(parse({"-b", "99528558"}).params.build, "99528558");
    EXPECT_EQ(parse({"-o", "fast"}).params.baud_rate, 0u);
    EXPECT_EQ(parse({"-o", "9600"}).params.baud_rate, 9600u);
}

TEST_F(CommandLine, FlagsAndStrings) {
    EXPECT_FALSE(parse({"-m", "0"}).params.load_with_uei_bytes);
    EXPECT_FALSE(parse({"-m", "yes"}).params.load_with_uei_bytes);
    EXPECT_TRUE(parse({"-m", "true"}).params.load_with_uei_bytes);
    EXPECT_TRUE(parse({"-m", "1"}).params.load_with_uei_bytes);
    EXPECT_TRUE(parse({"-m", "trueish"}).params.load_with_uei_bytes);

    Parsed parsed = parse({"-i", "/tmp/store", "-f", "a.bird", "-s", "/dev/ttyS0", "-l", "note", "-k", "log.txt",
                           "-u", "http://localhost/cgi/u", "-n", "-e", "-OVERRIDE"});
    const Parameters& p = parsed.params;
    EXPECT_EQ(p.storage_directory, "/tmp/store");
    EXPECT_EQ(p.bird_file, "a.bird");
    EXPECT_EQ(p.serial_port, "/dev/ttyS0");
    EXPECT_EQ(p.history_message, "note");
    EXPECT_EQ(p.log_file_name, "log.txt");
    EXPECT_EQ(p.server_url, "http://localhost/cgi/u");
    EXPECT_TRUE(p.n_flag);
    EXPECT_TRUE(p.echo_bytes);
    EXPECT_TRUE(p.override_model_check);
    EXPECT_EQ(p.commands.Value(), 0u);
}

TEST_F(CommandLine, AbbreviationsAndSkippedElements) {
    EXPECT_TRUE(parse({"-O"}).params.override_model_check);
    EXPECT_TRUE(parse({"-OVER"}).params.override_model_check);
    EXPECT_TRUE(parse({"--he"}).params.help_requested);
    EXPECT_FALSE(parse({"-o"}).params.override_model_check);  // exact match of -o wins (and has no value)
    EXPECT_FALSE(parse({"--OVERRIDE"}).params.override_model_check);  // hyphens must match

    for (const char* ignored : {"-DG", "-D=1", "-", "--", "-q", "plain", "-Z"}) {
        Parsed parsed = parse({ignored});
        EXPECT_EQ(parsed.result, 0) << ignored;
        EXPECT_EQ(parsed.params.commands.Value(), 0u) << ignored;
        EXPECT_TRUE(parsed.errors.empty()) << ignored;
    }
    EXPECT_TRUE(parse({"-Z", "anything"}).params.commands.IsSet(COMMAND_Z));
    EXPECT_EQ(parse({"-d=40F5849A", "-L"}).params.commands.Value(), static_cast<uint32_t>(COMMAND_LIST_LOCAL_BUILDS));
}

TEST_F(CommandLine, CommandsAndHelp) {
    Parsed parsed = parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"});
    EXPECT_EQ(parsed.params.commands.Value(), 0x37Fu);

    Parsed unhandled = parse({"-Y"});
    EXPECT_EQ(unhandled.result, 1);
    EXPECT_EQ(unhandled.errors, std::vector<std::string>{"Unhandled command: [-Y]"});

    // Help ends parsing: what follows it is never examined.
    Parsed help = parse({"-h", "-X", "1", "-d", "zz"});
    EXPECT_EQ(help.result, 0);
    EXPECT_TRUE(help.params.commands.IsSet(COMMAND_HELP));
    EXPECT_FALSE(help.params.log_mask_given);
    EXPECT_TRUE(help.errors.empty());
    Parsed late_help = parse({"-X", "1", "-H"});
    EXPECT_TRUE(late_help.params.log_mask_given);
    EXPECT_TRUE(late_help.params.help_requested);
}

TEST_F(CommandLine, LogMask) {
    Parsed hex = parse({"-X", "0x10000"});
    EXPECT_EQ(hex.params.log_mask, 0x10000u);
    EXPECT_TRUE(Log::IsActive(DEBUG_APP));
    Log::DeactivatePackage(0xFFFFFFFFu);

    Parsed decimal = parse({"-X", "65536"});
    EXPECT_EQ(decimal.params.log_mask, 0x10000u);
    EXPECT_TRUE(Log::IsActive(DEBUG_APP));
    Log::DeactivatePackage(0xFFFFFFFFu);

    Parsed bad = parse({"-X", "12z"});
    EXPECT_EQ(bad.result, 0);
    EXPECT_TRUE(bad.params.log_mask_given);
    EXPECT_EQ(bad.errors,
              std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [z]"});
    EXPECT_FALSE(Log::IsActive(0x4));
    EXPECT_FALSE(Log::IsActive(0x8));
}

TEST(NumberArguments, DigitsOnly) {
    char* end = nullptr;
    EXPECT_EQ(_get_hex_arg("1f", nullptr), 0u);
    EXPECT_EQ(_get_hex_arg("1f", &end), 0x1Fu);
    EXPECT_EQ(*end, '\0');
    char* untouched = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(_get_hex_arg("1g", &untouched), 0u);
    EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(_get_hex_arg("", &end), 0u);
    EXPECT_EQ(_get_int_arg("12", &end), 12u);
    EXPECT_EQ(_get_int_arg("1f", &end), 0u);
    EXPECT_EQ(_get_int_arg("4294967297", &end), 1u);
}
