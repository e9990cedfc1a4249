// A Link from construction to disconnection: its configuration and specifier rules, connecting
// by transport, sharing another Link's engine link, and the module-address query.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "FakeUsbBus.h"
#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;

namespace {

constexpr int STATUS_NO_ENGINE_LINK = 8;

}  // namespace

TEST(LinkConfiguration, StartsUnconnectedWithTheDefaultsAndItsName) {
    Link link("first");
    EXPECT_STREQ(link.getName(), "first");
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), STATUS_NO_ENGINE_LINK);

    qEtherConfig config;
    config.enabled = false;
    ASSERT_EQ(link.getConfig(&config), qErrNone);
    EXPECT_TRUE(config.enabled);
    EXPECT_TRUE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.port, 0);
    const uint8_t loopback[] = {127, 0, 0, 1};  // network byte order, as a socket address holds it
    EXPECT_EQ(memcmp(&config.networkInterface, loopback, sizeof loopback), 0);
    EXPECT_EQ(link.getConfig(nullptr), qErrParam);

    linkSpec spec{};
    EXPECT_EQ(link.getLinkSpecifier(&spec), qErrNotFound);
    EXPECT_EQ(link.connect(), qErrConfiguration);

    EXPECT_EQ(Link(nullptr).getName(), nullptr);
    EXPECT_EQ(strlen(Link(std::string(2000, 'n').c_str()).getName()), 1024u);
}

TEST(LinkConfiguration, SpecifierAndConfigurationAreFixedWhileConnected) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), qLinkStatusRunning);

    qEtherConfig changed;
    changed.enabled = false;
    EXPECT_EQ(link.setConfig(changed), qErrMode);
    EXPECT_EQ(link.setLinkSpecifier(usb_spec(1)), qErrBusy);
    EXPECT_EQ(link.connect(), qErrConnection);
    linkSpec stored{};
    ASSERT_EQ(link.getLinkSpecifier(&stored), qErrNone);
    EXPECT_EQ(stored.type, static_cast<uint32_t>(linkTypeTCPIP));
    EXPECT_EQ(stored.transport.ip.port, target.module.tcp_port());
    qEtherConfig config;
    ASSERT_EQ(link.getConfig(&config), qErrNone);
    EXPECT_TRUE(config.enabled);

    // Disconnecting keeps specifier and configuration, so the link connects again.
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_EQ(link.getStatus(), STATUS_NO_ENGINE_LINK);
    EXPECT_EQ(link.setConfig(changed), qErrNone);
    ASSERT_EQ(link.connect(), qErrNone);
    uei reply{};
    EXPECT_EQ(get_option(link, cmdSYSTEM, 9, &reply), qErrNone);
    EXPECT_EQ(reply.value.intVal, 0x4E560001u);
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_EQ(link.setLinkSpecifier(usb_spec(1)), qErrNone);
}

// What connecting gives for each transport when nothing answers; nothing is left behind.
TEST(LinkConnect, ReportsEachTransportsFailureAndKeepsNoEngineLink) {
    uint16_t closed_port = 0;
    {
        LoopbackListener listener;
        closed_port = listener.port();
    }
    linkSpec serial{};
    serial.type = linkTypeSerial;
    serial.serialNumber = 0x4E560001;
    serial.transport.serial.baud = 115200;
    strcpy(serial.transport.serial.port, "/dev/no-such-serial-port");
    linkSpec qether = tcp_spec(closed_port);
    qether.type = linkTypeQEther;
    linkSpec unknown = tcp_spec(closed_port);
    unknown.type = 9;

    struct Case {
        const char* what;
        linkSpec spec;
        bool sharing_enabled;
        qErr expected;
    } cases[] = {
        // The default configuration reaches USB modules through a sharing server, which this
        // program does not run: the connect fails rather than opening the module directly.
        {"USB through the sharing server", usb_spec(0x4E560001), true, qErrConnection},
        {"USB directly, no such module", usb_spec(0x4E560001), false, qErrConnection},
        {"networked link", qether, true, qErrConnection},
        {"networked link switched off", qether, false, qErrConfiguration},
        {"TCP/IP, nobody listening", tcp_spec(closed_port), true, qErrConnection},
        {"serial, no such port", serial, true, qErrConnection},
        {"unknown transport", unknown, true, qErrMode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Link link(c.spec, "failing");
        qEtherConfig config;
        config.enabled = c.sharing_enabled;
        ASSERT_EQ(link.setConfig(config), qErrNone);
        EXPECT_EQ(link.connect(), c.expected);
        EXPECT_FALSE(link.isConnected());
        EXPECT_EQ(link.getStatus(), STATUS_NO_ENGINE_LINK);
        qEtherConfig after;
        link.getConfig(&after);
        EXPECT_EQ(after.port, 0);
    }
}

// A module on the (pretend) USB bus: the default configuration goes through the link sharing
// server, which this program does not run, so only a Link with sharing switched off reaches it.
TEST(LinkConnect, UsbModuleIsReachedDirectlyOnlyWithSharingSwitchedOff) {
    FakeUsbBus bus;
    FakeUsbDevice device;
    device.serial = "40F5849A";
    FakeUsbDevice& attached = bus.add(device);
    bus.set_responder([](const std::string& packet) { return packet == bytes("AD 00") ? bytes("02 00") : ""; });

    Link link(usb_spec(0x40F5849A), "usb");
    EXPECT_EQ(link.connect(), qErrConnection);
    EXPECT_EQ(attached.opens, 0);
    EXPECT_EQ(link.getStatus(), STATUS_NO_ENGINE_LINK);

    qEtherConfig direct;
    direct.enabled = false;
    direct.fallback = false;
    ASSERT_EQ(link.setConfig(direct), qErrNone);
    ASSERT_EQ(link.connect(), qErrNone);
    EXPECT_TRUE(link.isConnected());
    EXPECT_TRUE(attached.claimed);
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_FALSE(attached.claimed);
}

TEST(LinkConnect, ThroughAnotherLinkSharesItsEngineLink) {
    VirtualModuleLink target;
    Link& router = target.link;
    Link unconnected("unconnected");
    Link routed(tcp_spec(target.module.tcp_port()), "routed");
    EXPECT_EQ(routed.connectThroughLinkModule(unconnected), qErrInitialization);
    ASSERT_EQ(router.connect(), qErrNone);

    // Without a specifier nothing is created, and the router's link is not ours to end.
    {
        Link without_specifier("no specifier");
        EXPECT_EQ(without_specifier.connectThroughLinkModule(router), qErrConfiguration);
        EXPECT_FALSE(without_specifier.isConnected());
    }
    ASSERT_TRUE(router.isConnected());

    ASSERT_EQ(routed.connectThroughLinkModule(router), qErrNone);
    EXPECT_TRUE(routed.isConnected());
    EXPECT_EQ(routed.connectThroughLinkModule(router), qErrConnection);
    EXPECT_EQ(set_option(routed, cmdSIGNAL, SIGNAL_BYTE, ueiTypeByte, 0x5A), qErrNone);
    uei reply{};
    ASSERT_EQ(get_option(router, cmdSIGNAL, SIGNAL_BYTE, &reply), qErrNone);
    EXPECT_EQ(reply.value.byteVal, 0x5A);

    // Each holds a use of the one engine link: the router's goes on when the other goes.
    EXPECT_EQ(routed.disconnect(), qErrNone);
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(get_option(router, cmdSIGNAL, SIGNAL_BYTE, &reply), qErrNone);
}

TEST(LinkConnect, ModuleAddressQueryAnswersTheModulesOwnAddress) {
    Link unconnected("unconnected");
    uint8_t address = 99;
    EXPECT_EQ(unconnected.getModuleAddress(&address), qErrNotReady);
    EXPECT_EQ(address, 0);

    VirtualModuleLink at_six({"--address", "6"});
    ASSERT_EQ(at_six.link.connect(), qErrNone);
    EXPECT_EQ(at_six.link.getModuleAddress(&address), qErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(at_six.link.getModuleAddress(nullptr), qErrParam);
}

TEST(LinkConnect, ModuleAddressQueryWithoutAnAnswerIsNotReady) {
    VirtualModuleLink silent({"--silent-sync"});
    ASSERT_EQ(silent.link.connect(), qErrNone);
    uint8_t address = 99;
    EXPECT_EQ(silent.link.getModuleAddress(&address), qErrNotReady);
    EXPECT_EQ(address, 0);
}
