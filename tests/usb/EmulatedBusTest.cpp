// The emulated bus as libusb sees it, through plain libusb calls: what the host's USB transport
// relies on from real hardware must hold here too.
#include <libusb.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedUsbBus.h"
#include "LibusbHost.h"

using namespace std::chrono_literals;
using test_support::EmulatedUsbBus;
using usb_emulation::DeviceId;
using usb_emulation::DeviceState;
using namespace test_usb;

namespace {

class EmulatedBus : public EmulatedUsbBus {};

// An echo that restarts (under another serial string) once it has answered a 0xFF.
class RestartingEcho : public usb_emulation::EchoModel {
public:
    void receive(const uint8_t* bytes, size_t count, usb_emulation::TimePoint now) override {
        EchoModel::receive(bytes, count, now);
        restart_asked_ = restart_asked_ || (count > 0 && bytes[count - 1] == 0xFF);
    }
    std::vector<uint8_t> take_output(usb_emulation::TimePoint now) override {
        std::vector<uint8_t> output = EchoModel::take_output(now);
        answered_ = restart_asked_ && !output.empty();
        return output;
    }
    usb_emulation::BusRequest take_bus_request(usb_emulation::TimePoint) override {
        if (!answered_) return {};
        answered_ = restart_asked_ = false;
        return {usb_emulation::BusRequest::Kind::Reenumerate, 30ms, "0BADC0DE"};
    }

private:
    bool restart_asked_ = false;
    bool answered_ = false;
};

}  // namespace

TEST_F(EmulatedBus, ModulesAreListedWithTheirDescriptorsAndSerialStrings) {
    const DeviceId first = plug_module(0x1A2B3C4D, 19);
    const DeviceId second = plug_module(0x0000002A, 7);
    Libusb usb;

    const auto listed = usb.list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].vendor + listed[1].vendor, 2 * 0x7C4E);
    for (DeviceId id : {first, second}) {
        const DeviceState state = bus.state(id);
        libusb_device_handle* handle = usb.open(state.address);
        ASSERT_NE(handle, nullptr);
        libusb_device* device = libusb_get_device(handle);
        libusb_device_descriptor descriptor{};
        ASSERT_EQ(libusb_get_device_descriptor(device, &descriptor), 0);
        EXPECT_EQ(descriptor.idVendor, 0x7C4E);
        EXPECT_EQ(descriptor.idProduct, id == first ? 19 : 7);
        EXPECT_EQ(libusb_get_device_speed(device), LIBUSB_SPEED_HIGH);

        libusb_config_descriptor* configuration = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(device, &configuration), 0);
        ASSERT_EQ(configuration->bNumInterfaces, 1);
        const libusb_interface_descriptor& setting = configuration->interface[0].altsetting[0];
        EXPECT_EQ(setting.bInterfaceClass, 0xFF);
        EXPECT_EQ(setting.bInterfaceSubClass, 0x88);
        EXPECT_EQ(setting.bInterfaceProtocol, 0x10);
        ASSERT_EQ(setting.bNumEndpoints, 2);
        for (int e = 0; e < 2; ++e) {
            EXPECT_EQ(setting.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
            EXPECT_EQ(setting.endpoint[e].wMaxPacketSize, 512);
        }
        EXPECT_EQ(setting.endpoint[0].bEndpointAddress, kIn);
        EXPECT_EQ(setting.endpoint[1].bEndpointAddress, kOut);
        libusb_free_config_descriptor(configuration);

        EXPECT_EQ(serial_string(handle), id == first ? "1A2B3C4D" : "0000002A");
        libusb_close(handle);
    }
}

TEST_F(EmulatedBus, BulkBytesCrossBothEndpointsAndAnIdleReadTimesOutInStep) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;
    Claimed link(usb, bus.state(module).address);

    std::vector<uint8_t> request(1024);
    for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 7);
    int sent = 0;
    ASSERT_EQ(link.send(request, &sent), 0);
    EXPECT_EQ(sent, 1024);
    std::vector<uint8_t> answer;
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, request);

    // Nothing to read: the transfer times out after its own time limit, and the next exchange is
    // not disturbed by the cancelled one.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(link.receive(answer, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 95ms);
    EXPECT_TRUE(answer.empty());
    ASSERT_EQ(link.send({0xAD, 0x00}), 0);
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, (std::vector<uint8_t>{0xAD, 0x00}));

    // A short IN transfer takes what fits; the rest waits for the next one.
    ASSERT_EQ(link.send({1, 2, 3, 4, 5}), 0);
    ASSERT_EQ(link.receive(answer, 1000, 3), 0);
    EXPECT_EQ(answer, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(bus.state(module).bytes_from_host, 1024u + 2 + 5);
    EXPECT_EQ(bus.state(module).bytes_to_host, 1024u + 2 + 5);
}

TEST_F(EmulatedBus, AnswersDueLaterWakeTheWaitingReader) {
    const DeviceId module = plug_module(0x40F5849A, 19, std::make_shared<usb_emulation::EchoModel>(150ms));
    Libusb usb;
    Claimed link(usb, bus.state(module).address);

    ASSERT_EQ(link.send({9, 8, 7}), 0);
    const auto sent = std::chrono::steady_clock::now();
    std::vector<uint8_t> answer;
    ASSERT_EQ(link.receive(answer), 0);
    const auto waited = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(answer, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_GE(waited, 140ms);
    EXPECT_LT(waited, 900ms);
}

TEST_F(EmulatedBus, TheLinkInterfaceHasOneHolderAndCanBeRefusedAsBusy) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;
    const uint8_t address = bus.state(module).address;

    libusb_device_handle* first = usb.open(address);
    libusb_device_handle* second = usb.open(address);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(libusb_claim_interface(first, 0), 0);
    EXPECT_TRUE(bus.state(module).claimed);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(first, 1), LIBUSB_ERROR_NOT_FOUND);
    // Closing the handle gives the interface up, as the kernel does for a closed file.
    libusb_close(first);
    ASSERT_TRUE(bus.wait_for(module, [](const DeviceState& state) { return !state.claimed; }, 2s));
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
    libusb_release_interface(second, 0);

    usb_emulation::UsbFaults faults;
    faults.refuse_claim_as_busy = true;
    bus.set_faults(module, faults);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    libusb_close(second);
}

TEST_F(EmulatedBus, InjectedBusErrorsAndStallsFailTransfersUntilUsedUpOrCleared) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;
    Claimed link(usb, bus.state(module).address);
    std::vector<uint8_t> answer;

    usb_emulation::UsbFaults faults;
    faults.failing_out_transfers = 2;
    faults.failing_in_transfers = 1;
    bus.set_faults(module, faults);
    EXPECT_EQ(link.send({1}), LIBUSB_ERROR_IO);
    EXPECT_EQ(link.send({2}), LIBUSB_ERROR_IO);
    EXPECT_EQ(link.send({3}), 0);
    EXPECT_EQ(link.receive(answer), LIBUSB_ERROR_IO);
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, std::vector<uint8_t>{3});  // the failed transfers carried nothing

    faults = {};
    faults.stall_out = true;
    faults.stall_in = true;
    bus.set_faults(module, faults);
    EXPECT_EQ(link.send({4}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(link.send({4}), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(link.receive(answer), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(link.get(), kOut), 0);
    ASSERT_EQ(libusb_clear_halt(link.get(), kIn), 0);
    EXPECT_EQ(link.send({5}), 0);
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, std::vector<uint8_t>{5});

    faults = {};
    faults.out_transfer_limit = 3;
    bus.set_faults(module, faults);
    int sent = 0;
    EXPECT_EQ(link.send({6, 7, 8, 9, 10}, &sent), 0);
    EXPECT_EQ(sent, 3);
}

TEST_F(EmulatedBus, UnplugEndsTheWaitingTransferAndEveryLaterOne) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;
    const uint8_t address = bus.state(module).address;
    Claimed link(usb, address);

    std::atomic<int> result{1};
    std::chrono::steady_clock::duration waited{};
    std::thread reader([&] {
        std::vector<uint8_t> answer;
        const auto started = std::chrono::steady_clock::now();
        result = link.receive(answer, 5000);
        waited = std::chrono::steady_clock::now() - started;
    });
    std::this_thread::sleep_for(100ms);
    bus.unplug(module);
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(link.send({1}), LIBUSB_ERROR_NO_DEVICE);
    std::vector<uint8_t> answer;
    EXPECT_EQ(link.receive(answer, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(usb.wait_listed(address, false));
    EXPECT_FALSE(bus.state(module).plugged);
}

TEST_F(EmulatedBus, ReenumerationBringsTheModuleBackAtANewAddress) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;  // made before the restart: the new device reaches it as a hotplug event
    const uint8_t first_address = bus.state(module).address;
    libusb_device_handle* old_handle = usb.open(first_address);
    ASSERT_NE(old_handle, nullptr);

    bus.reenumerate(module, 50ms, "0BADC0DE");
    ASSERT_TRUE(wait_for_enumeration(module, 2));
    const uint8_t second_address = bus.state(module).address;
    EXPECT_NE(second_address, first_address);
    ASSERT_TRUE(usb.wait_listed(second_address, true));
    EXPECT_TRUE(usb.wait_listed(first_address, false));
    EXPECT_EQ(libusb_claim_interface(old_handle, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(old_handle);

    Claimed link(usb, second_address);
    EXPECT_EQ(serial_string(link.get()), "0BADC0DE");
    ASSERT_EQ(link.send({1, 2}), 0);
    std::vector<uint8_t> answer;
    ASSERT_EQ(link.receive(answer), 0);
    EXPECT_EQ(answer, (std::vector<uint8_t>{1, 2}));

    // A fresh libusb context sees the bus as it is now.
    Libusb fresh;
    ASSERT_EQ(fresh.list().size(), 1u);
    EXPECT_EQ(fresh.list()[0].address, second_address);
}

TEST_F(EmulatedBus, AModelThatRestartsLeavesOnceItsAnswerIsCollected) {
    const DeviceId module = plug_module(0x40F5849A, 19, std::make_shared<RestartingEcho>());
    Libusb usb;
    const uint8_t first_address = bus.state(module).address;
    {
        Claimed link(usb, first_address);
        ASSERT_EQ(link.send({0xFF}), 0);
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(bus.state(module).plugged);  // the answer is still waiting for the host
        std::vector<uint8_t> answer;
        ASSERT_EQ(link.receive(answer), 0);
        EXPECT_EQ(answer, std::vector<uint8_t>{0xFF});
        ASSERT_TRUE(wait_for_enumeration(module, 2));
    }
    EXPECT_NE(bus.state(module).address, first_address);
    EXPECT_EQ(bus.state(module).serial_text, "0BADC0DE");
}

TEST_F(EmulatedBus, AWaitOnAnIdleModuleUsesNextToNoCpu) {
    const DeviceId module = plug_module(0x40F5849A, 19);
    Libusb usb;
    Claimed link(usb, bus.state(module).address);

    timespec cpu_before{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_before);
    const auto wall_before = std::chrono::steady_clock::now();
    std::vector<uint8_t> answer;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(link.receive(answer, 400), LIBUSB_ERROR_TIMEOUT);
    timespec cpu_after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_after);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const double cpu = (cpu_after.tv_sec - cpu_before.tv_sec) + (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1e9;
    // A spinning event loop would burn a whole core (every thread of the process counts here).
    EXPECT_LT(cpu, 0.1 * wall) << "cpu " << cpu << " s over " << wall << " s";
}
