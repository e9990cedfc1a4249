// The USB search through the real libusb, over emulated modules: which devices count as modules
// (one that another program holds included), what their linkSpecs say, and finding one.
#include <vector>

#include "EmulatedUsbBus.h"
#include "Lumenvane-C.h"
#include "discover.h"

using usb_emulation::UsbIdentity;

namespace {

constexpr uint32_t kNoInterface = 0;

class UsbDiscoveryOnEmulatedBus : public test_support::EmulatedUsbBus {
protected:
    void TearDown() override { Lumenvane_libusb_exit(); }

    void plug(const UsbIdentity& identity) { bus.plug(std::make_shared<usb_emulation::EchoModel>(), identity); }
};

struct Search {
    std::vector<linkSpec> specs;
    size_t stop_after = 0;  // 0: never stop
};

bool collect(const linkSpec* spec, bool* found, void* reference) {
    auto* search = static_cast<Search*>(reference);
    search->specs.push_back(*spec);
    *found = true;
    return search->stop_after == 0 || search->specs.size() < search->stop_after;
}

}  // namespace

TEST_F(UsbDiscoveryOnEmulatedBus, ReportsEveryModuleWithAnEightCharacterSerialStringAndFindsOneBySerialNumber) {
    plug(usb_emulation::module_identity(0x40F5849A, 7));
    UsbIdentity with_leading_zeros = usb_emulation::module_identity(42, 0);
    with_leading_zeros.product_id = 0x0113;  // the model code is the low byte
    plug(with_leading_zeros);
    UsbIdentity not_a_module = usb_emulation::module_identity(0x1A2B3C4D, 7);
    not_a_module.product_id = 0x8007;
    plug(not_a_module);
    UsbIdentity short_serial = usb_emulation::module_identity(0x1A2B3C4D, 7);
    short_serial.serial_text = "2B3C4D";
    plug(short_serial);
    const auto busy = plug_module(0x0BADC0DE, 9);  // held by another program: still found
    usb_emulation::UsbFaults faults;
    faults.refuse_claim_as_busy = true;
    bus.set_faults(busy, faults);

    Search search;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, collect, &search, kNoInterface), 3);
    ASSERT_EQ(search.specs.size(), 3u);
    const struct {
        uint32_t serial;
        uint32_t model;
    } expected[] = {{0x40F5849A, 7}, {42, 0x13}, {0x0BADC0DE, 9}};
    for (const auto& module : expected) {
        const linkSpec* spec = nullptr;
        for (const linkSpec& candidate : search.specs) {
            if (candidate.serialNumber == module.serial) spec = &candidate;
        }
        ASSERT_NE(spec, nullptr) << module.serial;
        EXPECT_EQ(spec->type, linkTypeUSB);
        EXPECT_EQ(spec->model, module.model);
        EXPECT_EQ(spec->moduleAddress, 0u);
        EXPECT_EQ(spec->routerAddress, 0u);
        EXPECT_EQ(spec->routerSerialNumber, 0u);
        EXPECT_EQ(spec->transport.usb.serialNumber, module.serial);
    }

    // A callback that stops at once ends the search after one module.
    Search first;
    first.stop_after = 1;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, collect, &first, kNoInterface), 1);
    EXPECT_EQ(first.specs.size(), 1u);

    linkSpec* spec = qDiscovery_FindModule(linkTypeUSB, 42, kNoInterface);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->model, 0x13u);
    EXPECT_EQ(spec->transport.usb.serialNumber, 42u);
    EXPECT_EQ(qLinkSpec_Destroy(&spec), qErrNone);
    EXPECT_EQ(qDiscovery_FindModule(linkTypeUSB, 0x1A2B3C4D, kNoInterface), nullptr);
}
