// The virtual module behind an emulated USB device: it answers a host's bulk transfers as it
// answers a TCP connection, and its restarts take it off the bus and back at a new address.
#include "ByteText.h"
#include "EmulatedUsbBus.h"
#include "LibusbHost.h"

using namespace test_usb;
using test_support::bytes_of;
using test_support::text_of;
using usb_emulation::DeviceId;

namespace {

class VirtualModuleOnUsb : public test_support::EmulatedUsbBus {
protected:
    virtual_module::ModuleIdentity identity(std::chrono::milliseconds heartbeat = 0ms) {
        virtual_module::ModuleIdentity module;
        module.serial_number = 0x40F5849A;
        module.model = 19;
        module.heartbeat_interval = heartbeat;
        return module;
    }
};

}  // namespace

TEST_F(VirtualModuleOnUsb, AnswersSynchronisationRequestsAndHeartbeatsOnItsOwn) {
    const DeviceId module = plug_virtual_module(identity(100ms));
    Libusb usb;
    EXPECT_EQ(usb.list().at(0).product, 19);
    Claimed link(usb, bus.state(module).address);

    // Packets back to back in one transfer, answered back to back.
    ASSERT_EQ(link.send(bytes_of("AD 00 AD 00 02 03 03 49 20")), 0);
    EXPECT_EQ(text_of(link.read_at_least(13)), "02 00 02 00 02 07 03 09 00 40 F5 84 9A");
    // Nothing sent: the module's own heartbeat arrives while the host waits on the IN endpoint.
    EXPECT_EQ(text_of(link.read_at_least(4, 1000ms)), "02 02 00 00");
}

TEST_F(VirtualModuleOnUsb, ARestartOrADroppedLinkTakesItOffTheBusAndBackAtANewAddress) {
    const struct {
        const char* what;
        virtual_module::LinkFaults faults;
        const char* request;
        const char* answer;  // collected before the module leaves
    } cases[] = {
        {"restart option", {}, "02 03 03 8B 20", "02 03 03 CB 00"},
        // A dropped link ends at once: the answer to its first packet goes with it.
        {"link dropped at its second packet", {false, 0ms, 2}, "AD 00 02 03 03 49 20", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DeviceId module = plug_virtual_module(identity(), c.faults);
        Libusb usb;
        const uint8_t first_address = bus.state(module).address;
        {
            Claimed link(usb, first_address);
            ASSERT_EQ(link.send(bytes_of(c.request)), 0);
            EXPECT_EQ(text_of(link.read_at_least(bytes_of(c.answer).size(), 300ms)), c.answer);
            ASSERT_TRUE(wait_for_enumeration(module, 2));
        }
        const uint8_t second_address = bus.state(module).address;
        EXPECT_NE(second_address, first_address);
        EXPECT_EQ(bus.state(module).serial_text, "40F5849A");
        ASSERT_TRUE(usb.wait_listed(second_address, true));
        Claimed again(usb, second_address);
        ASSERT_EQ(again.send(bytes_of("AD 00")), 0);
        EXPECT_EQ(text_of(again.read_at_least(2)), "02 00");
        bus.unplug(module);
    }
}
