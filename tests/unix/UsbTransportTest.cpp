// The USB device layer and USB streams: which devices are modules, opening by serial number,
// chunked writes, buffered reads and the tolerance of transient errors. Pretend devices stand
// in for hardware; the last tests run the real libusb on this machine, which has no modules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "FakeUsbBus.h"
#include "Lumenvane-C.h"
#include "lvusb_driver.h"
#include "qLink.h"
#include "qLinkManagerInternal.h"
#include "qStreamusb.h"

using namespace test_support;

namespace {

struct DeviceDeleter {
    void operator()(lvusb_device* device) const { lvusb_destroy(&device); }
};
using Device = std::unique_ptr<lvusb_device, DeviceDeleter>;

struct StreamDeleter {
    void operator()(qStream* stream) const { qStream_Destroy(&stream); }
};
using Stream = std::unique_ptr<qStream, StreamDeleter>;

const char* const SERIAL_TEXT = "1A2B3C4D";
const uint32_t SERIAL_NUMBER = 0x1A2B3C4D;

FakeUsbDevice module(const std::string& serial = SERIAL_TEXT, uint16_t max_packet = 64) {
    FakeUsbDevice device;
    device.serial = serial;
    device.maxPacketSize = max_packet;
    return device;
}

Device open_module(FakeUsbBus& bus, uint16_t max_packet = 64) {
    bus.add(module(SERIAL_TEXT, max_packet));
    Device device(lvusb_create_usb(true));
    EXPECT_EQ(lvusb_open_lumenvane_device(device.get(), SERIAL_TEXT), qErrNone);
    return device;
}

qErr write(lvusb_device* device, const std::string& data) {
    return lvusb_write_to_device(device, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::string pattern(size_t length) {
    std::string data;
    for (size_t i = 0; i < length; ++i) data.push_back(static_cast<char>(i * 7));
    return data;
}

}  // namespace

TEST(UsbMatching, ModulesAreTheMakersDevicesWithProductBit15Clear) {
    struct Case {
        uint16_t vendor;
        uint16_t product;
        bool module;
    };
    for (const Case& c : {Case{0x7C4E, 0x0001, true}, Case{0x7C4E, 0x7FFF, true}, Case{0x7C4E, 0x8000, false},
                          Case{0x7C4E, 0x8001, false}, Case{0x1234, 0x0001, false}}) {
        libusb_device_descriptor descriptor{};
        descriptor.idVendor = c.vendor;
        descriptor.idProduct = c.product;
        EXPECT_EQ(is_lumenvane_device(&descriptor), c.module) << std::hex << c.vendor << ":" << c.product;
    }
}

TEST(UsbMatching, TheLinkInterfaceGivesItsBulkOrInterruptEndpoints) {
    struct Case {
        const char* name;
        FakeUsbDevice device;
        bool found;
    };
    auto with = [](auto change) {
        FakeUsbDevice device = module();
        change(device);
        return device;
    };
    const Case cases[] = {
        {"bulk", with([](FakeUsbDevice& d) { d.maxPacketSize = 512; }), true},
        {"interrupt", with([](FakeUsbDevice& d) { d.endpointAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT; }), true},
        {"isochronous", with([](FakeUsbDevice& d) { d.endpointAttributes = LIBUSB_TRANSFER_TYPE_ISOCHRONOUS; }), false},
        {"other subclass", with([](FakeUsbDevice& d) { d.interfaceSubClass = 0x87; }), false},
        {"other protocol", with([](FakeUsbDevice& d) { d.interfaceProtocol = 0x11; }), false},
        {"no out endpoint", with([](FakeUsbDevice& d) { d.hasOut = false; }), false},
        {"no in endpoint", with([](FakeUsbDevice& d) { d.hasIn = false; }), false},
    };
    for (const Case& c : cases) {
        FakeUsbBus bus;
        FakeUsbDevice& added = bus.add(c.device);
        Device device(lvusb_create_usb(true));
        EXPECT_EQ(lvusb_match_interface(&added.config, device.get()), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(device->inEndpoint, 0x81) << c.name;
            EXPECT_EQ(device->outEndpoint, 0x02) << c.name;
            EXPECT_EQ(device->outMaxPacketSize, c.device.maxPacketSize) << c.name;
        }
    }
}

TEST(UsbOpening, FindsTheModuleByItsExactSerialText) {
    FakeUsbBus bus;
    FakeUsbDevice& lower = bus.add(module("1a2b3c4d"));
    FakeUsbDevice other_vendor = module();
    other_vendor.vendor = 0x1234;
    FakeUsbDevice& foreign = bus.add(other_vendor);
    FakeUsbDevice not_module = module();
    not_module.product = 0x8001;
    FakeUsbDevice& excluded = bus.add(not_module);
    FakeUsbDevice& wanted = bus.add(module());
    FakeUsbDevice& duplicate = bus.add(module());

    qStream* raw = nullptr;
    ASSERT_EQ(qStream_CreateUSB(SERIAL_NUMBER, &raw), qErrNone);
    Stream stream(raw);
    EXPECT_TRUE(wanted.claimed);
    EXPECT_EQ(lower.opens, 1);  // looked at, then closed
    EXPECT_EQ(lower.closes, 1);
    EXPECT_EQ(foreign.opens + excluded.opens, 0);
    EXPECT_EQ(duplicate.opens, 0);  // the search ends at the first match
    EXPECT_EQ(bus.lists_freed(), bus.lists_taken());

    stream.reset();
    EXPECT_FALSE(wanted.claimed);
    EXPECT_EQ(wanted.closes, 1);

    raw = reinterpret_cast<qStream*>(1);
    EXPECT_EQ(qStream_CreateUSB(0x1A2B3C4E, &raw), qErrNotFound);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(qStream_CreateUSB(0, &raw), qErrParam);
    EXPECT_EQ(qStream_CreateUSB(SERIAL_NUMBER, nullptr), qErrParam);
    EXPECT_EQ(bus.lists_freed(), bus.lists_taken());
}

TEST(UsbOpening, FailuresAfterTheMatchCloseTheDevice) {
    struct Case {
        const char* name;
        int claim;
        bool endpoints;
        qErr result;
    };
    for (const Case& c : {Case{"busy", LIBUSB_ERROR_BUSY, true, qErrBusy}, Case{"gone", LIBUSB_ERROR_NO_DEVICE, true, qErrBusy},
                          Case{"access", LIBUSB_ERROR_ACCESS, true, qErrPermission},
                          Case{"other", LIBUSB_ERROR_IO, true, qErrUnknown},
                          Case{"no endpoints", LIBUSB_SUCCESS, false, qErrConfiguration}}) {
        FakeUsbBus bus;
        FakeUsbDevice broken = module();
        broken.claimResult = c.claim;
        broken.hasOut = c.endpoints;
        FakeUsbDevice& added = bus.add(broken);
        Device device(lvusb_create_usb(true));
        EXPECT_EQ(lvusb_open_lumenvane_device(device.get(), SERIAL_TEXT), c.result) << c.name;
        EXPECT_EQ(device->state, lvusbStateClosed) << c.name;
        EXPECT_EQ(added.closes, added.opens) << c.name;
        EXPECT_EQ(bus.lists_freed(), 1) << c.name;
        EXPECT_EQ(write(device.get(), "x"), qErrConnection) << c.name;
    }
    Device kernel(lvusb_create_usb(false));
    EXPECT_EQ(lvusb_open_lumenvane_USBlib_device(kernel.get(), SERIAL_TEXT), qErrMode);
}

TEST(UsbWriting, ChunksFollowTheEndpointSizeAndAvoid512) {
    struct Case {
        uint16_t max_packet;
        size_t length;
        std::vector<int> chunks;
    };
    for (const Case& c : {Case{512, 1024, {511, 511, 2}}, Case{512, 512, {511, 1}}, Case{64, 130, {64, 64, 2}},
                          Case{512, 30, {30}}}) {
        FakeUsbBus bus;
        Device device = open_module(bus, c.max_packet);
        std::string data = pattern(c.length);
        EXPECT_EQ(write(device.get(), data), qErrNone);
        EXPECT_EQ(bus.out_lengths(), c.chunks) << c.max_packet << " " << c.length;
        EXPECT_EQ(bus.host_bytes(), data);
        for (unsigned timeout : bus.out_timeouts()) EXPECT_EQ(timeout, 50u);
    }
}

TEST(UsbWriting, BytesTakenAreNeverSentTwiceAndFailedChunksAreRetried) {
    FakeUsbBus bus;
    Device device = open_module(bus, 512);
    // Short success, a time-out part-way, a stall: each time the rest goes again.
    bus.script_out({{LIBUSB_SUCCESS, 200, ""}, {LIBUSB_ERROR_TIMEOUT, 100, ""}, {LIBUSB_ERROR_PIPE, 0, ""}});
    std::string data = pattern(1024);
    EXPECT_EQ(write(device.get(), data), qErrNone);
    EXPECT_EQ(bus.host_bytes(), data);
    EXPECT_EQ(bus.out_lengths(), (std::vector<int>{511, 511, 511, 511, 213}));
    EXPECT_EQ(bus.cleared_endpoints(), std::vector<unsigned char>{0x02});

    // Ten failed transfers give up with the bytes left over.
    bus.script_out(std::vector<FakeTransfer>(10, {LIBUSB_ERROR_TIMEOUT, 0, ""}));
    EXPECT_EQ(write(device.get(), "abc"), qErrWrite);
    EXPECT_EQ(bus.out_lengths().size(), 15u);
    EXPECT_EQ(write(device.get(), "abc"), qErrNone);
}

TEST(UsbReading, OneTransferServesManyBytes) {
    FakeUsbBus bus;
    Device device = open_module(bus);
    std::string burst = pattern(1024);
    bus.script_in({{LIBUSB_SUCCESS, 0, burst}, {LIBUSB_ERROR_TIMEOUT, 0, "xy"}, {LIBUSB_ERROR_TIMEOUT, 0, ""},
                   {LIBUSB_SUCCESS, 0, ""}, {LIBUSB_ERROR_PIPE, 0, ""}});
    std::string received;
    for (size_t i = 0; i < burst.size(); ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNone) << i;
        received.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(received, burst);
    EXPECT_EQ(bus.in_timeouts(), std::vector<unsigned>{1000});

    // A time-out that brought bytes keeps them; a whole burst goes out in one call.
    uint8_t buffer[16];
    size_t count = 0;
    ASSERT_EQ(lvusb_read_available(device.get(), buffer, sizeof buffer, &count), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "xy");
    uint8_t byte = 0;
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);  // time-out, nothing
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);  // nothing delivered
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);  // stalled: cleared
    EXPECT_EQ(bus.cleared_endpoints(), std::vector<unsigned char>{0x81});
}

TEST(UsbErrorTolerance, FourIoErrorsInARowAreAbsorbedAndTheFifthFailsTheDevice) {
    FakeUsbBus bus;
    Device device = open_module(bus);
    // A success in between ends a run of errors.
    bus.script_in({{LIBUSB_ERROR_IO, 0, ""}, {LIBUSB_ERROR_IO, 0, ""}, {LIBUSB_SUCCESS, 0, "a"}});
    bus.script_in(std::vector<FakeTransfer>(5, {LIBUSB_ERROR_IO, 0, ""}));
    bus.script_in({{LIBUSB_SUCCESS, 0, "never handed out"}});
    uint8_t byte = 0;
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNone);
    EXPECT_EQ(byte, 'a');
    // Hidden read errors report that nothing came: there is no byte to hand out.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady) << i;
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrIO);
    EXPECT_EQ(device->state, lvusbStateFailed);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(lvusb_get_from_device(device.get(), &byte), qErrIO) << i;
    EXPECT_EQ(write(device.get(), "x"), qErrIO);
    EXPECT_EQ(write(device.get(), ""), qErrIO);
}

TEST(UsbErrorTolerance, WriteErrorsAreAbsorbedTheSameWay) {
    FakeUsbBus bus;
    Device device = open_module(bus);
    // A stall that cannot be cleared is an I/O error; four in a row are reported as success.
    bus.set_clear_halt_result(LIBUSB_ERROR_IO);
    bus.script_out(std::vector<FakeTransfer>(5, {LIBUSB_ERROR_PIPE, 0, ""}));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(write(device.get(), "x"), qErrNone) << i;
    EXPECT_EQ(write(device.get(), "x"), qErrIO);
    EXPECT_EQ(write(device.get(), "x"), qErrIO);
    uint8_t byte = 0;
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrIO);
}

TEST(UsbKernelNode, ReadsAndWritesThroughTheNodesDescriptor) {
    EXPECT_FALSE(lvusb_is_kernel_driver_installed(SERIAL_NUMBER));
    Device device(lvusb_create_usb(false));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(lvusb_open_lumenvane_kernel_device(device.get(), SERIAL_TEXT), qErrIO);  // no such node
    EXPECT_EQ(write(device.get(), "x"), qErrMode);

    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    device->descriptor = ends[0];  // what a successful open leaves
    EXPECT_EQ(write(device.get(), "AF0100"), qErrNone);
    char received[8] = {};
    EXPECT_EQ(read(ends[1], received, sizeof received), 6);
    EXPECT_STREQ(received, "AF0100");
    uint8_t byte = 0;
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNotReady);
    ASSERT_EQ(::write(ends[1], "Z", 1), 1);
    EXPECT_EQ(lvusb_get_from_device(device.get(), &byte), qErrNone);
    EXPECT_EQ(byte, 'Z');
    EXPECT_EQ(lvusb_close_lumenvane_device(device.get()), qErrNone);
    EXPECT_EQ(device->state, lvusbStateClosed);
    EXPECT_EQ(lvusb_close_lumenvane_device(device.get()), qErrMode);
    close(ends[1]);
}

TEST(UsbWithoutModules, OpeningGivesNotFoundAndALinkFailsCleanly) {
    qStream* stream = nullptr;
    EXPECT_EQ(qStream_CreateUSB(SERIAL_NUMBER, &stream), qErrNotFound);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(qLink_CreateUSB(SERIAL_NUMBER), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(SERIAL_NUMBER), nullptr);
}

TEST(UsbWithoutModules, AContextEndedIsMadeAnewOnNextUse) {
    ASSERT_NE(Lumenvane_libusb_context(), nullptr);
    Lumenvane_libusb_exit();
    libusb_context* fresh = Lumenvane_libusb_context();
    ASSERT_NE(fresh, nullptr);
    libusb_device** list = nullptr;
    EXPECT_GE(libusb_get_device_list(fresh, &list), 0);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(Lumenvane_libusb_init(), qErrNone);
    Lumenvane_libusb_exit();
    Lumenvane_libusb_exit();  // twice is harmless
}
