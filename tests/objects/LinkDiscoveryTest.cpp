// Connecting by discovery, inside a network of the test's own (a veth pair and the loopback):
// the module found by serial number or by model over TCP/IP, and the single fallback between
// USB (a pretend bus) and the networked link. Every search here waits for answers, so the
// cases are few and each checks much.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FakeUsbBus.h"
#include "FileContents.h"
#include "LinkTestSupport.h"
#include "PrivateNetwork.h"
#include "qDebugging.h"

using namespace link_test;
using namespace test_support;

namespace {

#define ENTER_PRIVATE_NETWORK()                                                                                \
    do {                                                                                                      \
        std::string problem = enter_private_network();                                                        \
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out"; \
        add_veth_pair({"vm0", "10.77.0.1", "vm1", "10.77.0.2"});                                             \
    } while (false)

uint32_t serial_number_of(Link& link) {
    uei reply{};
    EXPECT_EQ(get_option(link, cmdSYSTEM, 9, &reply), qErrNone);
    return reply.value.intVal;
}

// The link's trace lines (standard output) while it lives.
class TraceCapture {
public:
    TraceCapture() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int file = open(directory_.file("trace").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, STDOUT_FILENO);
        close(file);
        qLumenvaneDebuggingLevel = qDEBUG_LINK;
        qLumenvaneDebuggingEnable = 1;
    }
    ~TraceCapture() { stop(); }
    std::string text() {
        stop();
        return read_file(directory_.file("trace"));
    }

private:
    void stop() {
        if (saved_ < 0) return;
        qLumenvaneDebuggingEnable = 0;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    TemporaryDirectory directory_;
    int saved_ = -1;
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

TEST(DiscoverAndConnect, FindsTheModuleBySerialNumberOrByModelOverTCPIP) {
    ENTER_PRIVATE_NETWORK();
    VirtualModuleProcess first({"--tcp", "0.0.0.0:0", "--discovery", "vm0", "--serial", "40F5849A", "--model", "19"});
    VirtualModuleProcess second({"--tcp", "0.0.0.0:0", "--discovery", "vm0", "--serial", "4E560002", "--model", "5"});

    Link link("discovered");
    ASSERT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0x4E560002), qErrNone);
    EXPECT_TRUE(link.isConnected());
    linkSpec spec{};
    ASSERT_EQ(link.getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeTCPIP));
    EXPECT_EQ(spec.serialNumber, 0x4E560002u);
    EXPECT_EQ(spec.model, 5u);
    EXPECT_EQ(spec.transport.ip.port, second.tcp_port());
    EXPECT_EQ(serial_number_of(link), 0x4E560002u);
    // Connected, the specifier is not replaced by another search.
    EXPECT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0x40F5849A), qErrBusy);
    link.disconnect();

    // Without a serial number the first module of the wanted model is taken.
    ASSERT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0, 19), qErrNone);
    EXPECT_EQ(serial_number_of(link), 0x40F5849Au);
    link.disconnect();

    // TCP/IP has no other transport to fall back on.
    EXPECT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0x12345678), qErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0, 77), qErrNotFound);
    EXPECT_FALSE(link.isConnected());
}

// USB and the networked link stand in for each other once. A module on the (pretend) USB bus
// cannot be reached through the sharing server of the default configuration, and the networked
// link finds nothing: the second result is the one returned.
TEST(DiscoverAndConnect, FallsBackBetweenUSBAndTheNetworkedLinkOnce) {
    ENTER_PRIVATE_NETWORK();
    FakeUsbBus bus;
    FakeUsbDevice device;
    device.serial = "40F5849A";
    bus.add(device);
    bus.set_responder([](const std::string& packet) { return packet == bytes("AD 00") ? bytes("02 00") : ""; });

    Link link("usb");
    {
        TraceCapture trace;
        EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x40F5849A), qErrNotFound);
        EXPECT_EQ(occurrences(trace.text(), "Executing Fallback: qEther"), 1u);
    }
    qEtherConfig config;
    config.fallback = false;
    ASSERT_EQ(link.setConfig(config), qErrNone);
    {
        TraceCapture trace;
        EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x40F5849A), qErrConnection);
        EXPECT_EQ(occurrences(trace.text(), "Executing Fallback"), 0u);
    }

    // Sharing off and the networked link asked for: nothing there, so USB is tried, directly.
    config.enabled = false;
    config.fallback = true;
    ASSERT_EQ(link.setConfig(config), qErrNone);
    {
        TraceCapture trace;
        EXPECT_EQ(link.discoverAndConnect(linkTypeQEther, 0x40F5849A), qErrNone);
        EXPECT_EQ(occurrences(trace.text(), "Executing Fallback: USB"), 1u);
    }
    EXPECT_TRUE(link.isConnected());
    linkSpec spec{};
    ASSERT_EQ(link.getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeUSB));
}
