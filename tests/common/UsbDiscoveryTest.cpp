// The USB search over a pretend bus: which devices are reported and how, the callback's say over
// counting and stopping, the ready-made searches on top, and the linkSpec records they hand out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FakeUsbBus.h"
#include "discover.h"

using namespace test_support;

namespace {

FakeUsbDevice usb_device(const std::string& serial, uint16_t product = 0x0013, uint16_t vendor = 0x7C4E) {
    FakeUsbDevice device;
    device.serial = serial;
    device.product = product;
    device.vendor = vendor;
    return device;
}

// Records every spec offered; marks each found unless told otherwise, stops after `stop_after`.
struct Recorder {
    std::vector<linkSpec> specs;
    bool mark_found = true;
    size_t stop_after = SIZE_MAX;

    static bool callback(const linkSpec* spec, bool* found, void* reference) {
        auto* self = static_cast<Recorder*>(reference);
        self->specs.push_back(*spec);
        *found = self->mark_found;
        return self->specs.size() < self->stop_after;
    }
};

struct SpecDeleter {
    void operator()(linkSpec* spec) const { qLinkSpec_Destroy(&spec); }
};
using Spec = std::unique_ptr<linkSpec, SpecDeleter>;

}  // namespace

TEST(UsbDiscovery, ReportsModulesWithAnEightDigitSerialString) {
    struct Case {
        const char* name;
        FakeUsbDevice device;
        bool reported;
        uint32_t serial_number;
        uint32_t model;
    };
    const std::vector<Case> cases = {
        {"eight digits", usb_device("0000002A", 0x0113), true, 42, 19},
        {"upper-case hexadecimal", usb_device("40F5849A", 0x7F05), true, 0x40F5849A, 5},
        {"lower-case hexadecimal", usb_device("1a2b3c4d", 0x0001), true, 0x1A2B3C4D, 1},
        {"six digits", usb_device("00002A"), false, 0, 0},
        {"nine digits", usb_device("00000002A"), false, 0, 0},
        {"not hexadecimal", usb_device("0000002G"), false, 0, 0},
        {"no serial string", usb_device(""), false, 0, 0},
        {"product ID with bit 15 set", usb_device("0000002B", 0x8013), false, 0, 0},
        {"another maker", usb_device("0000002C", 0x0013, 0x1234), false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbBus bus;
        FakeUsbDevice& device = bus.add(c.device);
        Recorder recorder;
        uint8_t count = qDiscovery_EnumerateModules(linkTypeUSB, Recorder::callback, &recorder, 0);
        EXPECT_EQ(count, c.reported ? 1 : 0);
        ASSERT_EQ(recorder.specs.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            const linkSpec& spec = recorder.specs[0];
            EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeUSB));
            EXPECT_EQ(spec.serialNumber, c.serial_number);
            EXPECT_EQ(spec.model, c.model);
            EXPECT_EQ(spec.moduleAddress, 0u);
            EXPECT_EQ(spec.routerAddress, 0u);
            EXPECT_EQ(spec.routerSerialNumber, 0u);
            EXPECT_EQ(spec.transport.usb.serialNumber, c.serial_number);
            EXPECT_EQ(spec.transport.usb.reserved, 0u);
        }
        EXPECT_EQ(device.opens, device.closes) << "every device opened is closed again";
        EXPECT_EQ(bus.lists_taken(), bus.lists_freed());
    }
}

TEST(UsbDiscovery, TheCallbackDecidesWhatCountsAndWhenToStop) {
    FakeUsbBus bus;
    FakeUsbDevice& first = bus.add(usb_device("00000001"));
    FakeUsbDevice& second = bus.add(usb_device("00000002"));
    FakeUsbDevice& third = bus.add(usb_device("00000003"));

    Recorder unmarked;
    unmarked.mark_found = false;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, Recorder::callback, &unmarked, 0), 0);
    EXPECT_EQ(unmarked.specs.size(), 3u) << "specs not marked found are still offered, just not counted";

    Recorder stops_at_once;
    stops_at_once.stop_after = 1;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, Recorder::callback, &stops_at_once, 0), 1);
    ASSERT_EQ(stops_at_once.specs.size(), 1u);
    EXPECT_EQ(stops_at_once.specs[0].serialNumber, 1u);
    EXPECT_EQ(first.opens, 2);
    EXPECT_EQ(second.opens, 1) << "the search ended before the second module was opened again";
    EXPECT_EQ(third.opens, 1);
    for (const FakeUsbDevice* device : {&first, &second, &third}) EXPECT_EQ(device->opens, device->closes);
    EXPECT_EQ(bus.lists_taken(), bus.lists_freed());
}

TEST(UsbDiscovery, ReadyMadeSearchesReturnTheFoundModulesSpec) {
    FakeUsbBus bus;
    bus.add(usb_device("00000000", 0x0007));
    bus.add(usb_device("0000002A", 0x0113));
    bus.add(usb_device("40F5849A", 0x0005));

    Spec wanted(qDiscovery_FindModule(linkTypeUSB, 0x40F5849A, 0));
    ASSERT_NE(wanted, nullptr);
    EXPECT_EQ(wanted->type, static_cast<uint32_t>(linkTypeUSB));
    EXPECT_EQ(wanted->serialNumber, 0x40F5849Au);
    EXPECT_EQ(wanted->model, 5u) << "the model comes from the module found, not from the request";
    EXPECT_EQ(wanted->transport.usb.serialNumber, 0x40F5849Au);

    EXPECT_EQ(Spec(qDiscovery_FindModule(linkTypeUSB, 0x12345678, 0)), nullptr);
    EXPECT_EQ(Spec(qDiscovery_FindModule(linkTypeSerial, 0x40F5849A, 0)), nullptr) << "no search for serial links";

    Spec first(qDiscovery_FindFirstModule(linkTypeUSB, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serialNumber, 42u) << "a module reporting serial number 0 is passed over";
    EXPECT_EQ(first->model, 19u);
}

TEST(UsbDiscovery, NoSearchWithoutACallbackOrForTypesWithoutOne) {
    FakeUsbBus bus;
    FakeUsbDevice& device = bus.add(usb_device("0000002A"));
    Recorder recorder;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, nullptr, &recorder, 0), 0);
    for (linkType type : {linkTypeNone, linkTypeSerial}) {
        EXPECT_EQ(qDiscovery_EnumerateModules(type, Recorder::callback, &recorder, 0), 0) << type;
    }
    EXPECT_TRUE(recorder.specs.empty());
    EXPECT_EQ(device.opens, 0);
}

TEST(LinkSpec, CreatedZeroedCopiedWholeAndDestroyedWithThePointer) {
    Spec created(qLinkSpec_Create(linkTypeSerial));
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->type, static_cast<uint32_t>(linkTypeSerial));
    const auto* bytes = reinterpret_cast<const uint8_t*>(created.get());
    EXPECT_TRUE(std::all_of(bytes + sizeof(uint32_t), bytes + LINKSPEC_SIZE, [](uint8_t b) { return b == 0; }));

    created->serialNumber = 0x1A2B3C4D;
    created->transport.serial.baud = 115200;
    strcpy(created->transport.serial.port, "/dev/ttyUSB0");
    created->transport.serial.port[LINKSPEC_SERIAL_PORT_SIZE - 1] = 'x';  // the record's last byte
    Spec copy(qLinkSpec_Copy(created.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), created.get());
    EXPECT_EQ(memcmp(copy.get(), created.get(), LINKSPEC_SIZE), 0);
    EXPECT_EQ(qLinkSpec_Copy(nullptr), nullptr);

    linkSpec* destroyed = copy.release();
    EXPECT_EQ(qLinkSpec_Destroy(&destroyed), qErrNone);
    EXPECT_EQ(destroyed, nullptr);
    EXPECT_EQ(qLinkSpec_Destroy(&destroyed), qErrParam);
    EXPECT_EQ(qLinkSpec_Destroy(nullptr), qErrParam);
}
