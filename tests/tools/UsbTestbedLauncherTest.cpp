// usb-testbed as the demo and the end-to-end tests use it: a program started through it sees the
// modules of its command line on the USB bus, and its exit status comes back unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileContents.h"
#include "ProcessRunner.h"
#include "TestPaths.h"

using test_support::built_program;
using test_support::ProcessResult;
using test_support::run_process;

namespace {

ProcessResult launch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), built_program("usb-testbed"));
    return run_process(arguments);
}

}  // namespace

TEST(UsbTestbedLauncher, TheProgramSeesTheModulesOfTheCommandLine) {
    // The child's view of sysfs is the emulated bus: one device per --module, on ports in order.
    const ProcessResult result = launch({"--module", "1A2B3C4D", "--module", "2a", "--model", "7", "--product-id",
                                         "0x8013", "--serial-string", "0000002a", "--", "/bin/sh", "-c",
                                         "cd /sys/bus/usb/devices && for attribute in 1-1/serial 1-1/idProduct "
                                         "1-2/serial 1-2/idProduct; do echo $(cat $attribute); done && "
                                         "ls /dev/bus/usb/001"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "1A2B3C4D\n0013\n0000002a\n8013\n002\n003\n");
}

TEST(UsbTestbedLauncher, ReportsTheProgramsExitStatusAndItsOwnFailures) {
    const struct {
        std::vector<std::string> arguments;
        int exit_status;
        std::string error_start;
    } cases[] = {
        {{"--", "/bin/sh", "-c", "exit 3"}, 3, ""},
        {{"--", "/bin/sh", "-c", "kill -TERM $$"}, 128 + 15, ""},
        {{"--module", "40F5849A", "--", "/nonexistent/program"}, 127, "usb-testbed: cannot run /nonexistent/program"},
        {{"--module", "40F5849A", "/bin/true"}, 2, "usb-testbed: put -- before the program to run"},
        {{"--module", "0", "--", "/bin/true"}, 2, "usb-testbed: --module needs a serial number"},
        {{"--module", "123456789", "--", "/bin/true"}, 2, "usb-testbed: --module needs a serial number"},
        {{"--busy", "--", "/bin/true"}, 2, "usb-testbed: --busy describes a module: put it after --module"},
        {{"--module", "1", "--frobnicate", "--", "/bin/true"}, 2, "usb-testbed: module 00000001: unknown option --frobnicate"},
        {{"--module", "1", "--echo", "--"}, 2, "usb-testbed: no program to run"},
        {{"--module", "1", "--model", "300", "--", "/bin/true"}, 2,
         "usb-testbed: module 00000001: invalid value for --model: \"300\" (0 to 255)"},
        {{"--module", "1", "--tcp", "127.0.0.1:0", "--", "/bin/true"}, 2, "usb-testbed: --tcp is not for a module on the bus"},
    };
    for (const auto& c : cases) {
        const ProcessResult result = launch(c.arguments);
        EXPECT_EQ(result.exit_status, c.exit_status) << c.arguments.back() << ": " << result.err;
        EXPECT_EQ(result.err.substr(0, c.error_start.size()), c.error_start);
    }
}

TEST(UsbTestbedLauncher, WritesTheModulesMemoryWithTheModulesBehindItWhenTheProgramEnds) {
    test_support::TemporaryDirectory directory;
    const std::string dump = directory.file("flash.txt");
    const ProcessResult result = launch({"--module", "40F5849A", "--address", "6", "--routed",
                                         "address=0x10,serial=4E560010", "--dump-flash", dump, "--", "/bin/true"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(test_support::read_file(dump), "module 06 40F5849A\nmodule 10 4E560010\n");
}
