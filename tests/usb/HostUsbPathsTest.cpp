// The link library's USB paths through the real libusb, against emulated modules: the shared
// context and its refresh, which devices are opened, USB streams with their chunked writes,
// burst reads and tolerance of bus errors, links that synchronise with the virtual module, carry
// its requests, notice it leave the bus and sleep while it is idle, and the object layer's
// discover-and-connect, before and after the module restarts under a new address.
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "EmulatedUsbBus.h"
#include "Link.h"
#include "Lumenvane-C.h"
#include "qLink.h"
#include "qModuleContract.h"
#include "qPacket.h"
#include "qStreamusb.h"
#include "qUEI.h"

using namespace std::chrono_literals;
using usb_emulation::DeviceId;
using usb_emulation::DeviceState;
using Clock = std::chrono::steady_clock;
using Tolveric::Lumenvane::Link;
using Tolveric::Lumenvane::qEtherConfig;

namespace {

constexpr uint32_t kSerialNumber = 0x1A2B3C4D;
constexpr uint8_t kModuleAddress = 2;
constexpr uint8_t kSerialNumberOption = 9;

struct StreamDeleter {
    void operator()(qStream* stream) const { qStream_Destroy(&stream); }
};
using Stream = std::unique_ptr<qStream, StreamDeleter>;

// An echo that remembers the size of every bulk OUT transfer.
class RecordingEcho : public usb_emulation::EchoModel {
public:
    void receive(const uint8_t* bytes, size_t count, usb_emulation::TimePoint now) override {
        EchoModel::receive(bytes, count, now);
        std::lock_guard guard(mutex_);
        transfers_.push_back(count);
    }
    std::vector<size_t> transfers() {
        std::lock_guard guard(mutex_);
        return std::exchange(transfers_, {});
    }

private:
    std::mutex mutex_;
    std::vector<size_t> transfers_;
};

std::vector<uint8_t> pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

// Reads `count` bytes one by one as a link's reader does: "nothing came" (a quiet bus, or a bus
// error the device absorbed) is asked again, up to a time limit.
std::vector<uint8_t> read_bytes(qStream* stream, size_t count, std::chrono::milliseconds timeout = 3s) {
    std::vector<uint8_t> bytes;
    const auto deadline = Clock::now() + timeout;
    while (bytes.size() < count && Clock::now() < deadline) {
        uint8_t byte = 0;
        const qErr result = qStream_Read(stream, &byte, 1);
        if (result == qErrNone) bytes.push_back(byte);
        else if (result != qErrNotReady) break;
    }
    return bytes;
}

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class HostUsbPaths : public test_support::EmulatedUsbBus {
protected:
    // The process's libusb context goes before the bus does.
    void TearDown() override { Lumenvane_libusb_exit(); }

    Stream open_stream(uint32_t serial_number, qErr expected = qErrNone) {
        qStream* stream = nullptr;
        EXPECT_EQ(qStream_CreateUSB(serial_number, &stream), expected);
        return Stream(stream);
    }

    DeviceId plug_virtual(virtual_module::LinkFaults faults = {}) {
        virtual_module::ModuleIdentity identity;
        identity.serial_number = kSerialNumber;
        identity.heartbeat_interval = 200ms;
        return plug_virtual_module(identity, faults);
    }
};

bool is_serial_number_reply(const qPacket* packet, void*) {
    return packet->address == kModuleAddress && packet->length == qUEI_LENGTH_INT &&
           packet->data[qUEI_COMMAND_BYTE] == cmdSYSTEM && packet->data[qUEI_OPTION_BYTE] == kSerialNumberOption;
}

bool is_query_reply(const qPacket* packet, void*) {
    return packet->address == kModuleAddress && packet->length > 0 && packet->data[0] == cmdQUERY;
}

// Sends a request to the module and awaits the first reply the filter takes; none when no reply
// came in time or the link gave up.
qPacket* request(qLinkID link, std::vector<uint8_t> data, qPacketFilter reply, uint32_t timeout_ms) {
    qPacket* packet = qPacket_CreateWithData(kModuleAddress, data.size(), data.data());
    const qErr put = qLink_PutPacket(link, packet);
    qPacket_Destroy(&packet);
    return put == qErrNone ? qLink_AwaitFirst(link, reply, nullptr, timeout_ms) : nullptr;
}

// Asks the module for its serial number as the object layer does; none when no answer came.
std::optional<uint32_t> request_serial_number(qLinkID link) {
    qPacket* reply = request(link, {cmdSYSTEM, qUEI_OPERATION_GET | kSerialNumberOption,
                                    qUEI_INDEX_REQUEST | qSYSTEM_ENTITY_INDEX},
                             is_serial_number_reply, qMODULE_REPLY_TIMEOUT_MS);
    if (reply == nullptr) return std::nullopt;
    const uint32_t value = qUEI_RetrieveInt(&reply->data[qUEI_VALUE_BYTE]);
    qPacket_Destroy(&reply);
    return value;
}

}  // namespace

TEST_F(HostUsbPaths, OnlyAModuleReportingTheSerialStringExactlyIsOpened) {
    usb_emulation::UsbIdentity not_a_module = usb_emulation::module_identity(kSerialNumber, 19);
    not_a_module.product_id = 0x8013;  // bit 15 set
    bus.plug(std::make_shared<usb_emulation::EchoModel>(), not_a_module);
    usb_emulation::UsbIdentity lower_case = usb_emulation::module_identity(kSerialNumber, 19);
    lower_case.serial_text = "1a2b3c4d";
    bus.plug(std::make_shared<usb_emulation::EchoModel>(), lower_case);
    usb_emulation::UsbIdentity other_interface = usb_emulation::module_identity(kSerialNumber, 19);
    other_interface.interface_protocol = 0x11;
    open_stream(kSerialNumber, qErrNotFound);
    bus.plug(std::make_shared<usb_emulation::EchoModel>(), other_interface);
    open_stream(kSerialNumber, qErrConfiguration);
    bus.unplug(2);

    // A module on the bus that another program holds, then the one that is free (plugged in
    // after the context was made, so it arrives as a hotplug event).
    const DeviceId busy = plug_module(0x40F5849A, 19);
    usb_emulation::UsbFaults faults;
    faults.refuse_claim_as_busy = true;
    bus.set_faults(busy, faults);
    open_stream(0x40F5849A, qErrBusy);
    const DeviceId module = plug_module(kSerialNumber, 19);
    Stream stream = open_stream(kSerialNumber);
    EXPECT_TRUE(bus.state(module).claimed);
    stream.reset();
    EXPECT_TRUE(bus.wait_for(module, [](const DeviceState& state) { return !state.claimed; }, 2s));
}

TEST_F(HostUsbPaths, StreamsWriteInChunksReadInBurstsAndAbsorbFourBusErrorsInARow) {
    auto echo = std::make_shared<RecordingEcho>();
    const DeviceId module = plug_module(kSerialNumber, 19, echo);
    Stream stream = open_stream(kSerialNumber);
    ASSERT_TRUE(stream);

    // 512-byte endpoints: a chunk of exactly 512 goes out as 511.
    const std::vector<uint8_t> sent = pattern(1024);
    ASSERT_EQ(qStream_Write(stream.get(), sent.data(), sent.size()), qErrNone);
    EXPECT_EQ(echo->transfers(), (std::vector<size_t>{511, 511, 2}));
    EXPECT_EQ(read_bytes(stream.get(), sent.size()), sent);

    // Four failed transfers in a row each way are absorbed, and nothing is sent twice or lost.
    usb_emulation::UsbFaults faults;
    faults.failing_out_transfers = 4;
    faults.failing_in_transfers = 4;
    bus.set_faults(module, faults);
    const std::vector<uint8_t> request = {0x02, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(qStream_Write(stream.get(), request.data(), request.size()), qErrNone);
    EXPECT_EQ(echo->transfers(), std::vector<size_t>{5});
    EXPECT_EQ(read_bytes(stream.get(), request.size()), request);
    EXPECT_EQ(bus.faults(module).failing_in_transfers, 0u);

    // The fifth in a row fails the device for good.
    faults.failing_out_transfers = 0;
    faults.failing_in_transfers = 5;
    bus.set_faults(module, faults);
    uint8_t byte = 0;
    qErr result = qErrNone;
    for (int i = 0; i < 5; ++i) result = qStream_Read(stream.get(), &byte, 1);
    EXPECT_EQ(result, qErrIO);
    EXPECT_EQ(qStream_Write(stream.get(), request.data(), request.size()), qErrIO);
    EXPECT_EQ(qStream_Read(stream.get(), &byte, 1), qErrIO);
}

TEST_F(HostUsbPaths, AnEndedContextIsMadeAnewAndSeesTheModulesThatCameMeanwhile) {
    const DeviceId module = plug_module(kSerialNumber, 19);
    open_stream(kSerialNumber);
    bus.reenumerate(module, 0ms, "0BADC0DE");
    Lumenvane_libusb_exit();
    Stream stream = open_stream(0x0BADC0DE);
    EXPECT_TRUE(stream);
    EXPECT_TRUE(bus.state(module).claimed);
}

TEST_F(HostUsbPaths, ALinkSynchronisesWithTheVirtualModuleAndCarriesItsRequests) {
    const DeviceId module = plug_virtual();
    qLinkID link = qLink_CreateUSB(kSerialNumber);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(qLink_GetStatus(link), qLinkStatusRunning);
    EXPECT_TRUE(bus.state(module).claimed);
    EXPECT_EQ(request_serial_number(link), kSerialNumber);
    // Heartbeats come and are answered by the link itself: requests keep getting through.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(request_serial_number(link), kSerialNumber);
    EXPECT_EQ(qLink_Destroy(&link), qErrNone);
    EXPECT_TRUE(bus.wait_for(module, [](const DeviceState& state) { return !state.claimed; }, 2s));
}

TEST_F(HostUsbPaths, UnpluggingMidRequestEndsTheRequestAndTheLinksRunning) {
    const DeviceId module = plug_virtual();
    qLinkID link = qLink_CreateUSB(kSerialNumber);
    ASSERT_NE(link, 0u);
    const size_t sent_before = bus.state(module).bytes_from_host;

    std::thread unplugger([&] {
        bus.wait_for(module, [&](const DeviceState& state) { return state.bytes_from_host > sent_before; }, 2s);
        bus.unplug(module);
    });
    // A query the module does not know goes unanswered: only the unplug can end the wait early.
    const auto started = Clock::now();
    qPacket* reply = request(link, {cmdQUERY, 0x77}, is_query_reply, 3000);
    const auto waited = Clock::now() - started;
    unplugger.join();
    EXPECT_EQ(reply, nullptr);
    qPacket_Destroy(&reply);
    EXPECT_LT(waited, 2000ms);
    EXPECT_NE(qLink_GetStatus(link), qLinkStatusRunning);
    EXPECT_EQ(qLink_Destroy(&link), qErrNone);
}

TEST_F(HostUsbPaths, AnIdleLinkUsesNextToNoCpu) {
    plug_virtual();
    qLinkID link = qLink_CreateUSB(kSerialNumber);
    ASSERT_NE(link, 0u);
    const double cpu_before = process_cpu_seconds();
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const double cpu = process_cpu_seconds() - cpu_before;
    const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
    // The reader waits in bulk reads and the bus sleeps between heartbeats; a spin would burn a core.
    EXPECT_LT(cpu, 0.1 * wall) << "cpu " << cpu << " s over " << wall << " s";
    EXPECT_EQ(qLink_GetStatus(link), qLinkStatusRunning);
    EXPECT_EQ(qLink_Destroy(&link), qErrNone);
}

TEST_F(HostUsbPaths, DiscoverAndConnectFindsTheModuleAgainAfterItRestartsUnderANewAddress) {
    virtual_module::ModuleIdentity identity;
    identity.serial_number = kSerialNumber;
    identity.build = 0x01020304;
    identity.restart_time = 200ms;
    identity.heartbeat_interval = 200ms;  // a quiet USB module keeps a starting link's reader waiting 1 s
    const DeviceId module = plug_virtual_module(identity);
    Link link("usb");
    qEtherConfig direct;  // as the workflow sets it: the module itself, no sharing server
    direct.enabled = false;
    direct.fallback = false;
    ASSERT_EQ(link.setConfig(direct), qErrNone);

    auto build_number = [&]() -> std::optional<uint32_t> {
        const uint8_t query[] = {0xFF};
        if (link.sendPacket(kModuleAddress, cmdQUERY, sizeof query, query) != qErrNone) return std::nullopt;
        const uint8_t match[] = {cmdQUERY, 0xFF};
        uint8_t length = sizeof match;
        uint8_t data[28] = {};
        if (link.receivePacket(kModuleAddress, match, &length, data) != qErrNone || length != 6) return std::nullopt;
        return qUEI_RetrieveInt(&data[2]);
    };

    ASSERT_EQ(link.discoverAndConnect(linkTypeUSB, kSerialNumber), qErrNone);
    EXPECT_TRUE(link.isConnected());
    linkSpec spec{};
    ASSERT_EQ(link.getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeUSB));
    EXPECT_EQ(spec.model, 19u);
    EXPECT_EQ(build_number(), 0x01020304u);

    // Reset: the module acknowledges, leaves the bus and comes back at another address.
    const uint8_t reset[] = {qUEI_OPERATION_SET | 11, qUEI_INDEX_REQUEST | qSYSTEM_ENTITY_INDEX};
    const uint8_t first_address = bus.state(module).address;
    ASSERT_EQ(link.sendPacket(kModuleAddress, cmdSYSTEM, sizeof reset, reset), qErrNone);
    ASSERT_TRUE(bus.wait_for(module, [](const DeviceState& state) { return !state.plugged; }, 2s));
    EXPECT_TRUE(bus.wait_for(module, [](const DeviceState& state) { return !state.claimed; }, 2s));
    link.disconnect();

    // Asked again at a pace, as the update procedure does, until it is back.
    qErr result = qErrNotFound;
    for (int attempt = 0; attempt < 10 && result != qErrNone; ++attempt) {
        result = link.discoverAndConnect(linkTypeUSB, kSerialNumber);
        if (result != qErrNone) std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(result, qErrNone);
    EXPECT_NE(bus.state(module).address, first_address);
    EXPECT_EQ(build_number(), 0x01020304u);
    EXPECT_EQ(link.disconnect(), qErrNone);
}
