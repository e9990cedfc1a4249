// The virtual-module program as a script drives it: its command line, the lines it prints, and
// how it ends.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "HostPeer.h"
#include "ProcessRunner.h"
#include "TestPaths.h"
#include "VirtualModuleProcess.h"

using test_support::built_program;
using test_support::HostPeer;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::VirtualModuleProcess;

namespace {

ProcessResult virtual_module(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), built_program("virtual-module"));
    return run_process(arguments);
}

}  // namespace

TEST(VirtualModuleProgram, HelpPrintsTheUsageAndSucceeds) {
    ProcessResult result = virtual_module({"--help"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out.rfind("Usage: virtual-module [OPTION]...\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("  tcp ADDRESS PORT"), std::string::npos);
}

TEST(VirtualModuleProgram, BadCommandLinesAreRefusedWithTheReasonAndTheUsage) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--tcp", "127.0.0.1:0", "--address", "7"}, "invalid value for --address: \"7\" (an even number from 2 to 254)"},
        {{"--tcp", "127.0.0.1:0", "--address", "256"}, "invalid value for --address: \"256\" (an even number from 2 to 254)"},
        {{"--tcp", "127.0.0.1:0", "--serial", "123456789"}, "invalid value for --serial: \"123456789\" (up to 8 hexadecimal digits)"},
        {{"--tcp", "127.0.0.1:0", "--firmware-version", "1.20.0"},
         "invalid value for --firmware-version: \"1.20.0\" (MAJOR.MINOR.PATCH that fits its layout, or 0xXXXXXXXX)"},
        {{"--tcp", "localhost:80"}, "invalid value for --tcp: \"localhost:80\" (IPv4-ADDRESS:PORT)"},
        {{"--tcp", "127.0.0.1:0", "--drop-after", "0"}, "invalid value for --drop-after: \"0\" (a packet count above 0)"},
        {{"--tcp", "127.0.0.1:0", "--name", std::string(129, 'n')},
         "invalid value for --name: \"" + std::string(129, 'n') + "\" (at most 128 bytes)"},
        {{"--tcp"}, "missing value for --tcp"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--pty", "extra"}, "unexpected argument extra"},
        {{}, "nothing to serve: give --tcp, --pty or both"},
        {{"--pty", "--discovery", "lo"}, "--discovery needs --tcp: the answer names the TCP port"},
        {{"--pty", "--routed", "address=0x10"}, "invalid value for --routed: \"address=0x10\" (address= and serial= are needed)"},
        {{"--pty", "--routed", "address=7,serial=1"}, "invalid value for --routed: \"address=7\" (an even number from 2 to 254)"},
        {{"--pty", "--routed", "address=16,serial=1,colour=red"},
         "invalid value for --routed: \"colour=red\" (keys: address, serial, model, firmware-version, build, "
         "protocol-features, load-base, block-size, loader-serial, restart-ms, restart-on-load, name)"},
        {{"--pty", "--routed", "address=16,serial"}, "invalid value for --routed: \"serial\" (KEY=VALUE)"},
        {{"--pty", "--routed", "address=2,serial=1"}, "--routed address 2 is the router's own"},
        {{"--pty", "--routed", "address=16,serial=1", "--routed", "serial=2,address=0x10"}, "two --routed modules at address 16"},
        {{"--pty", "--block-size", "65536"}, "invalid value for --block-size: \"65536\" (0 to 65535)"},
        {{"--pty", "--restart-on-load=yes"}, "--restart-on-load takes no value"},
        {{"--pty", "--wrong-sum", "sometimes"}, "invalid value for --wrong-sum: \"sometimes\" (once or always)"},
        {{"--pty", "--prepare-status", "0"}, "invalid value for --prepare-status: \"0\" (1 to 255)"},
        {{"--pty", "--never-back-after", "reset"}, "invalid value for --never-back-after: \"reset\" (load or reboot)"},
    };
    const std::string usage = virtual_module({"--help"}).out;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ProcessResult result = virtual_module(c.arguments);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "virtual-module: " + c.message + "\n\n" + usage);
    }
}

TEST(VirtualModuleProgram, PrintsItsEndpointsThenReadyAndStopsCleanlyOnSigterm) {
    VirtualModuleProcess module({"--tcp", "127.0.0.1:0", "--pty"});
    const std::vector<std::string>& lines = module.output_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("tcp 127\\.0\\.0\\.1 [1-9][0-9]*"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("pty /dev/pts/[0-9]+"))) << lines[1];
    EXPECT_EQ(lines[2], "ready");
    EXPECT_NO_THROW(HostPeer::connect_tcp(module.tcp_port()));
    EXPECT_NO_THROW(HostPeer::open_serial(module.pty_path()));
    EXPECT_EQ(module.stop(), 0);
}

TEST(VirtualModuleProgram, EndOfStandardInputStopsItWhenAsked) {
    // run_process gives the program an empty standard input.
    ProcessResult result = virtual_module({"--tcp", "127.0.0.1:0", "--exit-on-stdin-close"});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(std::regex_match(result.out, std::regex("tcp 127\\.0\\.0\\.1 [0-9]+\nready\n"))) << result.out;
}

TEST(VirtualModuleProgram, PortInUseIsReportedAndFails) {
    VirtualModuleProcess first({"--tcp", "127.0.0.1:0"});
    std::string endpoint = "127.0.0.1:" + std::to_string(first.tcp_port());
    ProcessResult result = virtual_module({"--tcp", endpoint});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "virtual-module: cannot listen on " + endpoint + ": Address already in use\n");
}
