// The tool as an operator runs it: exact standard output, standard error and exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestPaths.h"
#include "qDirectory.h"

using test_support::built_program;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::source_file;
using test_support::TemporaryDirectory;

namespace {

const std::string VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)\n";

std::string usage_block(char block) {
    std::ifstream file(source_file(std::string("tests/app/golden/usage_") + block + ".txt"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class Program : public ::testing::Test {
protected:
    ProcessResult updater(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), built_program("updater"));
        return run_process(arguments);
    }
    TemporaryDirectory storage;
};

}  // namespace

TEST_F(Program, UsageBlocksByHelpAndMask) {
    const std::string A = usage_block('A'), B = usage_block('B'), C = usage_block('C'), D = usage_block('D');
    const struct {
        std::vector<std::string> arguments;
        std::string usage;
    } cases[] = {
        {{}, A},
        {{"-h"}, A + B + D},
        {{"-h", "-X", "1"}, A + B + D},
        {{"-X", "1", "-h"}, A + B + C + D},
        {{"--help"}, A + B + D},
        {{"-D=1"}, A},
        {{"-X", "1"}, A},  // a mask but no command: the short usage, extended blocks need help too
    };
    for (const auto& c : cases) {
        ProcessResult result = updater(c.arguments);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.out, VERSION_LINE);
        EXPECT_EQ(result.err, c.usage);
    }
}

TEST_F(Program, ParseFailuresPrintTheirMessageThenTheShortUsage) {
    const std::string A = usage_block('A');
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"-Y"}, "Unhandled command: [-Y]\n"},
        {{"-d", "40F5849AZ", "-D"}, "Invalid serial number obtained from argument [40F5849AZ]\n"},
        {{"-t", "tcp", "-D"}, "Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
    };
    for (const auto& c : cases) {
        ProcessResult result = updater(c.arguments);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, VERSION_LINE);
        EXPECT_EQ(result.err, c.message + A);
    }
}

TEST_F(Program, CommandsWithoutTheirDevice) {
    const std::string A = usage_block('A');
    const struct {
        std::vector<std::string> arguments;
        std::string err;
    } cases[] = {
        {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-N"}, "Must specify the serial port used for connecting\n"},
        {{"-U"}, "Must specify the specific device to be updated\n"},
        {{"-B"}, "Error must supply a serial number for the List Builds command\n" + A},
        {{"-L"}, "Error must supply a serial number for the List Local Builds command\n" + A},
        {{"-J"}, "Error must supply a serial number for the Get JWT command\n" + A},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("-i");
        arguments.push_back(storage.path());
        ProcessResult result = updater(arguments);
        EXPECT_EQ(result.exit_status, 1) << c.arguments[0];
        EXPECT_EQ(result.out, VERSION_LINE) << c.arguments[0];
        EXPECT_EQ(result.err, c.err) << c.arguments[0];
    }
}

// Recovery is not in this version: the operator is told so instead of getting a bare exit status.
TEST_F(Program, RecoveryIsRefusedWithAReason) {
    ProcessResult result =
        updater({"-U", "-t", "RECOVER", "-d", "40F5849A", "-s", "/dev/null", "-i", storage.path()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, VERSION_LINE);
    EXPECT_EQ(result.err, "Recovery through the serial boot loader is not available in this version\n");
}

TEST_F(Program, InformationCommandOnlyCreatesTheStore) {
    ProcessResult result = updater({"-I", "-i", storage.file("deep/er")});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, VERSION_LINE);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(qDirectory_Exists(storage.file("deep/er/updater").c_str()));
}

TEST_F(Program, LogLinesFollowTheMask) {
    ProcessResult quiet = updater({"-C", "-i", storage.path()});
    EXPECT_EQ(quiet.err, "");

    ProcessResult verbose = updater({"-X", "0x10000", "-C", "-i", storage.path()});
    EXPECT_EQ(verbose.exit_status, 0);
    std::string expected = "\nApplication parameters:[updater]\n\t[" + built_program("updater") +
                           "]\n\t[-X]\n\t[0x10000]\n\t[-C]\n\t[-i]\n\t[" + storage.path() + "]\n";
    EXPECT_EQ(verbose.err, expected);

    ProcessResult bad_mask = updater({"-X", "12z", "-C", "-i", storage.path()});
    EXPECT_EQ(bad_mask.exit_status, 0);
    EXPECT_EQ(bad_mask.err, "Invalid format for \"-X\" parameter, unprocessed characters [z]\n");
}
