// The virtual module as a router, byte for byte: its I2C bus acknowledges the addresses where a
// routed module sits and no others, and packets addressed to a routed module are answered by that
// module, from its own address, over the router's link.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ByteText.h"
#include "FlashDump.h"
#include "HostPeer.h"
#include "TestPaths.h"
#include "VirtualModuleProcess.h"

using namespace std::chrono_literals;
using test_support::Bytes;
using test_support::HostPeer;
using test_support::text_of;
using test_support::VirtualModuleProcess;

namespace {

const std::string kRoutedName = "Behind, bench 2";  // a comma: the name runs to the end of the argument

std::vector<std::string> router_arguments(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {
        "--tcp", "127.0.0.1:0", "--address", "6", "--serial", "40F5849A", "--heartbeat-ms", "0", "--trace",
        "--routed", "address=0x10,serial=4E560010,model=13,firmware-version=2.10.3,build=7,name=" + kRoutedName,
        "--routed", "serial=4E560020,address=32,restart-on-load,loader-serial=EBEBEBFF,restart-ms=300,block-size=64",
    };
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

std::string ascii(const std::string& text) { return text_of(Bytes(text.begin(), text.end())); }

}  // namespace

TEST(VirtualModuleRouter, I2CBusAcknowledgesOnlyWhereARoutedModuleSits) {
    VirtualModuleProcess router(router_arguments());
    HostPeer host = HostPeer::connect_tcp(router.tcp_port());
    expect_exchanges(host, {
        {"probe at 0x10, speed 3", "06 07 08 00 10 02 03 00 00", "06 05 08 00 10 00 00"},
        {"probe at 0x20", "06 07 08 00 20 02 03 00 00", "06 05 08 00 20 00 00"},
        {"nobody at 0x12: not acknowledged", "06 07 08 00 12 02 03 00 00", "06 05 08 00 12 00 86"},
        {"nor at the router's own address", "06 07 08 00 06 02 03 00 00", "06 05 08 00 06 00 86"},
        {"read of 4 bytes at 0x10", "06 05 08 00 11 04 03", "06 09 08 00 11 04 00 00 00 00 00"},
        {"read where nobody is", "06 05 08 00 13 04 03", "06 05 08 00 13 00 86"},
        {"speed 4", "06 07 08 00 10 02 04 00 00", "06 05 08 00 10 00 82"},
        {"24 bytes is more than a reply holds", "06 05 08 00 11 18 03", "06 05 08 00 11 00 8E"},
        {"fewer bytes than the length says", "06 06 08 00 10 02 03 00", "06 05 08 00 10 00 9B"},
        {"bus index 1", "06 07 08 01 10 02 03 00 00", "06 05 08 01 10 00 9C"},
        {"pull-up on", "06 04 08 00 01 01", "06 05 08 00 01 00 00"},
        {"route to me", "06 04 03 94 20 01", "06 03 03 D4 00"},
        {"route back", "06 04 03 94 20 00", "06 03 03 D4 00"},
    });
}

TEST(VirtualModuleRouter, PacketsForARoutedModuleAreAnsweredFromItsAddressOverTheRoutersLink) {
    VirtualModuleProcess router(router_arguments());
    HostPeer host = HostPeer::connect_tcp(router.tcp_port());
    expect_exchanges(host, {
        {"sync is the router's", "AD 00 AD 00", "06 00 06 00"},
        {"routed serial number", "10 03 03 49 20", "10 07 03 09 00 4E 56 00 10"},
        {"routed model", "10 03 03 48 20", "10 04 03 08 00 0D"},
        {"its own module address", "10 03 03 41 20", "10 04 03 01 00 10"},
        {"its router: the router's address", "10 03 03 42 20", "10 04 03 02 00 06"},
        {"its version, legacy layout", "10 03 03 47 20", "10 07 03 07 00 2A 00 00 03"},
        {"its build", "10 02 49 FF", "10 06 49 FF 00 00 00 07"},
        {"its name", "10 03 03 60 20", "10 13 03 20 00 " + ascii(kRoutedName) + " 00"},
        {"its loader", "10 02 5F 00", "10 06 5F 00 00 01 00 00"},
        {"the other routed module", "20 03 03 49 20", "20 07 03 09 00 4E 56 00 20"},
        {"its defaults", "20 03 03 48 20", "20 04 03 08 00 13"},
        {"an address nobody has", "12 03 03 49 20", ""},
        {"a heartbeat answer for a routed module", "10 02 00 02", ""},
        {"the router itself", "06 03 03 49 20", "06 07 03 09 00 40 F5 84 9A"},
        {"the router is its own router", "06 03 03 42 20", "06 04 03 02 00 06"},
    });
}

TEST(VirtualModuleRouter, RoutedModuleRestartsWithoutEndingTheRoutersLinkAndKeepsItsOwnFlash) {
    test_support::TemporaryDirectory scratch;
    std::string dump = scratch.file("flash.txt");
    VirtualModuleProcess router(router_arguments({"--dump-flash", dump}));
    HostPeer host = HostPeer::connect_tcp(router.tcp_port());
    expect_exchanges(host, {
        {"PREPARE at 0x20", "20 07 5F 03 00 00 00 40 00", "20 05 5F 07 00 00 40"},
        {"DATA", "20 05 5F 01 01 02 03", "20 03 5F 01 03"},
        {"SUM", "20 02 5F 04", "20 07 5F 07 00 00 00 00 06"},
        {"WRITE", "20 04 5F 05 00 03", "20 03 5F 07 00"},
        {"LOAD: it restarts into the new loader", "20 02 5F 02", "20 02 5F 02"},
        {"away: not on the bus", "06 07 08 00 20 02 03 00 00", "06 05 08 00 20 00 86"},
        {"away: not answering", "20 03 03 49 20", ""},
        {"the router's link goes on", "06 03 03 49 20", "06 07 03 09 00 40 F5 84 9A"},
    });
    std::this_thread::sleep_for(300ms);
    expect_exchanges(host, {
        {"back on the bus", "06 07 08 00 20 02 03 00 00", "06 05 08 00 20 00 00"},
        {"answering as the loader", "20 03 03 49 20", "20 07 03 09 00 EB EB EB FF"},
        {"REBOOT", "20 02 5F 06", ""},
    });
    std::this_thread::sleep_for(300ms);
    expect_exchanges(host, {{"the firmware's serial number again", "20 03 03 49 20", "20 07 03 09 00 4E 56 00 20"}});
    ASSERT_EQ(router.stop(), 0);

    auto modules = test_support::read_flash_dump(dump);
    ASSERT_EQ(modules.size(), 3u) << "the router, then the routed modules in address order";
    EXPECT_EQ(modules[0].address, 0x06);
    EXPECT_EQ(modules[1].address, 0x10);
    EXPECT_EQ(modules[2].serial_number, 0x4E560020u);
    EXPECT_EQ(modules[2].flash, (test_support::MemoryRuns{{0x4000, {0x01, 0x02, 0x03}}}));
    EXPECT_TRUE(modules[0].flash.empty() && modules[1].flash.empty());
}
