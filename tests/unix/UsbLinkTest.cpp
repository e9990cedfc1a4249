// USB links end to end over a pretend module on the fake bus: synchronisation at creation,
// heartbeats, requests and replies, sharing by use count, and release of the device.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "FakeUsbBus.h"
#include "PeerLink.h"
#include "qLink.h"
#include "qLinkManagerInternal.h"

using namespace std::chrono_literals;
using namespace test_support;
using Clock = std::chrono::steady_clock;

namespace {

const uint32_t SERIAL_NUMBER = 0x40F5849A;

FakeUsbDevice module() {
    FakeUsbDevice device;
    device.serial = "40F5849A";
    return device;
}

// Module 4: answers sync requests and the model query.
std::string module_answers(const std::string& packet) {
    if (packet == bytes("AD 00")) return bytes("04 00");
    if (packet == bytes("04 03 03 48 20")) return bytes("04 04 03 08 00 2A");
    return "";
}

// Waits until the host's bytes, from `from` on, contain `expected`.
bool host_writes(FakeUsbBus& bus, const std::string& expected, size_t from) {
    auto deadline = Clock::now() + 2s;
    while (bus.host_bytes().find(expected, from) == std::string::npos) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

}  // namespace

TEST(UsbLink, SynchronisesCarriesRequestsAndReleasesTheModuleAtTheLastUse) {
    FakeUsbBus bus;
    FakeUsbDevice& device = bus.add(module());
    bus.set_responder(module_answers);

    qLinkID id = qLink_CreateUSB(SERIAL_NUMBER);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(qLink_GetStatus(id), qLinkStatusRunning);
    EXPECT_TRUE(device.claimed);
    EXPECT_EQ(bus.next_host_bytes(7), force_route_on() + bytes("AD 00 AD 00"));
    // The module's surplus answers to the sync round were cleared away.
    EXPECT_EQ(qLink_GetPacket(id), nullptr);

    size_t mark = bus.host_bytes().size();
    bus.module_sends(bytes("04 02 00 00"));
    EXPECT_TRUE(host_writes(bus, bytes("04 02 00 02"), mark));
    uint8_t model = 0;
    EXPECT_EQ(_qLink_GetModel(id, 4, &model), qErrNone);
    EXPECT_EQ(model, 0x2A);

    qLinkID shared = qLink_CreateUSB(SERIAL_NUMBER);
    EXPECT_EQ(shared, id);
    EXPECT_EQ(device.opens, 1);
    EXPECT_EQ(qLink_Destroy(&shared), qErrNone);
    EXPECT_TRUE(device.claimed);

    mark = bus.host_bytes().size();
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_TRUE(host_writes(bus, force_route_off(), mark));
    EXPECT_FALSE(device.claimed);
    EXPECT_EQ(device.closes, 1);
}

TEST(UsbLink, AModuleThatNeverSynchronisesFailsTheLinkAfterTwoSeconds) {
    FakeUsbBus bus;
    FakeUsbDevice& device = bus.add(module());
    auto start = Clock::now();
    EXPECT_EQ(qLink_CreateUSB(SERIAL_NUMBER), 0u);
    EXPECT_GE(Clock::now() - start, 2000ms);
    EXPECT_FALSE(device.claimed);
    EXPECT_EQ(device.closes, device.opens);
    EXPECT_EQ(sLookupEntryByIdentifier(SERIAL_NUMBER), nullptr);
    // Asked again at a pace: a round at the start and at most one more per second.
    std::string sent = bus.host_bytes();
    size_t requests = 0;
    for (size_t at = sent.find(bytes("AD 00")); at != std::string::npos; at = sent.find(bytes("AD 00"), at + 2)) ++requests;
    EXPECT_GE(requests, 6u);
    EXPECT_LE(requests, 18u);
}
