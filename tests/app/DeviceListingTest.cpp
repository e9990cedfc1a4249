// The device listing (-D) as an operator runs it: virtual modules on the network, behind a router
// module and on the emulated USB bus. Each test runs in a network of its own, since a listing
// may search the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PrivateNetwork.h"
#include "ProcessRunner.h"
#include "SanitizerBuild.h"
#include "TestPaths.h"
#include "VirtualModuleProcess.h"

using namespace test_support;

namespace {

constexpr const char* HOST_SIDE = "10.77.0.1";
constexpr const char* PEER_SIDE = "10.77.0.2";

const std::string VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)";
const std::string SEARCHING = "Searching for Lumenvane devices";
const std::string NETWORK_HEADER =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name";
const std::string USB_HEADER = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";

#define ENTER_PRIVATE_NETWORK()                                                                               \
    do {                                                                                                      \
        std::string problem = enter_private_network();                                                        \
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out"; \
        add_veth_pair({"vm0", HOST_SIDE, "vm1", PEER_SIDE});                                                  \
    } while (false)

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

// The table's rows, after the title and the column header, in the order found: modules on a
// bus or a network answer in no fixed order.
std::vector<std::string> sorted_rows(const std::vector<std::string>& lines, size_t first) {
    std::vector<std::string> rows(lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines.size())),
                                  lines.end());
    std::sort(rows.begin(), rows.end());
    return rows;
}

struct Firmware {
    int major, minor, patch;
    unsigned build;
};

std::string network_row(const char* serial, const char* module, const char* router, const char* model,
                        Firmware firmware, const std::string& address, const char* name) {
    char row[200];
    snprintf(row, sizeof row, "    %s  %s       %s      %-12s %3d.%d.%d (%10u)        %-17s  %s", serial, module,
             router, model, firmware.major, firmware.minor, firmware.patch, firmware.build,
             ("[" + address + "]").c_str(), name);
    return row;
}

std::string usb_row(const char* serial, const char* module, const char* model, Firmware firmware,
                    const char* name) {
    char row[200];
    snprintf(row, sizeof row, "    %s  %s       %s      %-12s %3d.%d.%d (%10u)         %s", serial, module, module,
             model, firmware.major, firmware.minor, firmware.patch, firmware.build, name);
    return row;
}

class DeviceListing : public ::testing::Test {
protected:
    ProcessResult updater(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), built_program("updater"));
        arguments.insert(arguments.end(), {"-i", storage.path()});
        return run_process(arguments);
    }
    // updater -D with the emulated USB bus holding the modules of `bus` (usb-testbed's options).
    ProcessResult updater_on_usb(std::vector<std::string> bus) {
        bus.insert(bus.begin(), built_program("usb-testbed"));
        bus.insert(bus.end(), {"--", built_program("updater"), "-D", "-i", storage.path()});
        return run_process(bus);
    }
    TemporaryDirectory storage;
};

}  // namespace

// A module below firmware 2.10.4 has no name to show; a module that stops answering while it is
// interrogated is listed with its error and the listing still succeeds.
TEST_F(DeviceListing, ListsTheModulesOnTheNetworkRowByRow) {
    ENTER_PRIVATE_NETWORK();
    std::vector<std::unique_ptr<VirtualModuleProcess>> modules;
    for (std::vector<std::string> identity : {
             std::vector<std::string>{"--serial", "40F5849A", "--address", "6", "--model", "19", "--firmware-version",
                                      "2.10.3", "--build", "77", "--name", "Not shown"},
             std::vector<std::string>{"--serial", "4E560002", "--address", "8", "--model", "5", "--firmware-version",
                                      "2.10.4", "--build", "100000", "--name", "Bench two"},
             // Answers the build number, then drops the link at the version request.
             std::vector<std::string>{"--serial", "4E560003", "--heartbeat-ms", "0", "--drop-after", "4"},
         }) {
        identity.insert(identity.begin(), {"--tcp", "0.0.0.0:0", "--discovery", "vm0"});
        modules.push_back(std::make_unique<VirtualModuleProcess>(identity));
    }

    const ProcessResult result = updater({"-D", "-t", "TCPIP"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 4u) << result.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{VERSION_LINE, SEARCHING, "Discovered Devices: (TCPIP)", NETWORK_HEADER}));
    // The address is the one the module's answer came from: either end of the pair is its own.
    const std::vector<std::string> rows = sorted_rows(lines, 4);
    ASSERT_EQ(rows.size(), 3u) << result.out;
    for (const char* address : {HOST_SIDE, PEER_SIDE}) {
        if (rows[0].find(address) == std::string::npos) continue;
        EXPECT_EQ(rows, (std::vector<std::string>{
                            network_row("40F5849A", "06", "06", "Ironwood", {2, 10, 3, 77}, address, ""),
                            network_row("4E560002", "08", "08", "Birch", {2, 10, 4, 100000}, address, "Bench two"),
                            // 18: the version request timed out.
                            "    4E560003  [Error (18): Is someone else connected to this device?]",
                        }));
        return;
    }
    ADD_FAILURE() << "no row with an address of the private network:\n" << result.out;
}

// The modules behind a router come in bus address order, below and above the router's own
// address, which is never probed; the router is routed to the host for the scan and released.
TEST_F(DeviceListing, ListsTheModulesBehindARouterInAddressOrder) {
    ENTER_PRIVATE_NETWORK();
    VirtualModuleProcess router({"--tcp", "0.0.0.0:0", "--discovery", "vm0", "--trace", "--serial", "40F5849A",
                                 "--address", "6", "--routed",
                                 "address=0x20,serial=4E560020,model=5,firmware-version=2.10.4,build=9,name=Upper",
                                 "--routed", "address=4,serial=4E560004,model=13,firmware-version=2.10.3,build=7"});

    const ProcessResult result = updater({"-D", "-r", "40F5849A"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 6u) << result.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{VERSION_LINE, "Searching for Lumenvane Network devices connected to 40F5849A",
                                        "Discovered Devices: (Unknown)", NETWORK_HEADER}));
    // Routed records carry the router's IP address; their names are not read.
    const std::string row_address = lines[4].find(PEER_SIDE) != std::string::npos ? PEER_SIDE : HOST_SIDE;
    EXPECT_EQ(lines[4], network_row("4E560004", "04", "06", "Cedar", {2, 10, 3, 7}, row_address, ""));
    EXPECT_EQ(lines[5], network_row("4E560020", "20", "06", "Birch", {2, 10, 4, 9}, row_address, ""));

    // What the router was sent: route-to-me on, a two-zero-byte write at speed 3 to every even
    // address from 2 to 252 but its own, route-to-me off.
    const std::vector<std::string> trace = lines_of(router.error_output());
    std::vector<std::string> sent;
    for (const std::string& line : trace) {
        const size_t at = line.find(" in  06 ");
        if (at != std::string::npos) sent.push_back(line.substr(at + 5));
    }
    std::vector<std::string> probes;
    for (const std::string& packet : sent) {
        if (packet.rfind("06 07 08 00 ", 0) == 0) probes.push_back(packet);
    }
    ASSERT_EQ(probes.size(), 125u);
    EXPECT_EQ(probes.front(), "06 07 08 00 02 02 03 00 00");
    EXPECT_EQ(probes[1], "06 07 08 00 04 02 03 00 00");
    EXPECT_EQ(probes[2], "06 07 08 00 08 02 03 00 00") << "the router's own address is skipped";
    EXPECT_EQ(probes.back(), "06 07 08 00 FC 02 03 00 00");
    const auto route_on = std::find(sent.begin(), sent.end(), "06 04 03 94 20 01");
    const auto first_probe = std::find(sent.begin(), sent.end(), probes.front());
    EXPECT_LT(route_on, first_probe) << "routed to the host before the scan";
    const auto route_off = std::find(sent.begin(), sent.end(), "06 04 03 94 20 00");
    const auto last_probe = std::find(sent.begin(), sent.end(), probes.back());
    EXPECT_TRUE(route_off != sent.end() && route_off > last_probe) << "released after the scan";
}

TEST_F(DeviceListing, ARouterNothingAnswersForGivesAnEmptyListAndNoMessage) {
    ENTER_PRIVATE_NETWORK();
    const ProcessResult result = updater({"-D", "-r", "12345678"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, VERSION_LINE + "\nSearching for Lumenvane Network devices connected to 12345678\n" +
                              "Discovered Devices: (Unknown)\n    No devices found.\n");
    EXPECT_EQ(result.err, "");
}

// Over USB: every module on the bus has its row; a module that another program holds (its
// interface claim refused as busy) shows as an error row, the others as usual.
TEST_F(DeviceListing, ListsTheModulesOnTheUsbBus) {
    if (test_support::THREAD_SANITIZER_BUILD) GTEST_SKIP() << test_support::USB_TESTBED_UNCHECKED;
    ENTER_PRIVATE_NETWORK();
    const std::string named = usb_row("40F5849A", "04", "Ironwood", {2, 10, 4, 12}, "Left bench");
    const std::string plain = usb_row("1A2B3C4D", "02", "Birch", {2, 15, 3, 1}, "Virtual Module");
    const struct {
        const char* what;
        std::vector<std::string> bus;
        std::vector<std::string> rows;  // sorted; none: the empty table
    } cases[] = {
        {"two modules",
         {"--module", "40F5849A", "--model", "19", "--address", "4", "--firmware-version", "2.10.4", "--build", "12",
          "--name", "Left bench", "--module", "1A2B3C4D", "--model", "5"},
         {plain, named}},
        {"no module", {}, {}},
        // 25: the link to a module whose interface cannot be claimed never starts.
        {"a module held elsewhere",
         {"--module", "40F5849A", "--busy", "--module", "1A2B3C4D", "--model", "5"},
         {plain, "    40F5849A  [Error (25): Is someone else connected to this device?]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult result = updater_on_usb(c.bus);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        const std::vector<std::string> lines = lines_of(result.out);
        ASSERT_GE(lines.size(), 4u) << result.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
                  (std::vector<std::string>{VERSION_LINE, SEARCHING, "Discovered Devices: (USB)"}));
        if (c.rows.empty()) {
            EXPECT_EQ(lines.size(), 4u) << result.out;
            EXPECT_EQ(lines[3], "    No devices found.");
        } else {
            EXPECT_EQ(lines[3], USB_HEADER);
            EXPECT_EQ(sorted_rows(lines, 4), c.rows);
        }
    }
}
