// The virtual module behind an emulated USB device: it answers a host's bulk transfers as it
// answers a TCP connection, and its restarts take it off the bus and back at a new address.
#include "ByteText.h"
#include "EmulatedUsbBus.h"
#include "LibusbHost.h"

using namespace test_usb;
using test_support::bytes_of;
using test_support::text_of;
using usb_emulation::DeviceId;
using usb_emulation::DeviceState;

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

TEST_F(VirtualModuleOnUsb, RestartsAndDroppedLinksTakeItOffTheBusAndBackAsTheModuleSays) {
    const struct {
        const char* what;
        std::chrono::milliseconds restart_time;
        bool restart_on_load;
        bool never_back_after_reboot;
        virtual_module::LinkFaults faults;
        const char* requests;
        const char* answers;  // collected before the module leaves
        const char* serial_after;  // none: it stays off the bus
    } cases[] = {
        {"reset", 150ms, false, false, {}, "02 03 03 8B 20", "02 03 03 CB 00", "40F5849A"},
        {"LOAD into a loader with its own serial number", 0ms, true, false, {}, "02 02 5F 00 02 02 5F 02",
         "02 06 5F 00 00 01 00 00 02 02 5F 02", "EBEBEBFF"},
        {"REBOOT that never comes back", 0ms, false, true, {}, "02 02 5F 06", "", nullptr},
        // A dropped link ends at once: the answer to its first packet goes with it.
        {"link dropped at its second packet", 0ms, false, false, {false, 0ms, 2}, "AD 00 02 03 03 49 20", "",
         "40F5849A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        virtual_module::ModuleIdentity module_identity = identity();
        module_identity.restart_time = c.restart_time;
        module_identity.loader.restart_on_load = c.restart_on_load;
        module_identity.loader.loader_serial = 0xEBEBEBFF;
        auto model = std::make_shared<usb_emulation::VirtualModuleDevice>(module_identity, c.faults);
        if (c.never_back_after_reboot) model->module().loader_faults().never_back_after = virtual_module::RestartReason::Rebooted;
        int restarts_heard = 0;
        model->on_restart([&](const virtual_module::Module&) { ++restarts_heard; });
        const DeviceId module = bus.plug(model, model->usb_identity());
        Libusb usb;
        const uint8_t first_address = bus.state(module).address;
        std::chrono::steady_clock::time_point left;
        {
            Claimed link(usb, first_address);
            ASSERT_EQ(link.send(bytes_of(c.requests)), 0);
            EXPECT_EQ(text_of(link.read_at_least(bytes_of(c.answers).size(), 300ms)), c.answers);
            // Gone, or (with no time away) already back.
            ASSERT_TRUE(bus.wait_for(
                module, [](const DeviceState& state) { return !state.plugged || state.enumerations > 1; }, 2s));
            left = std::chrono::steady_clock::now();
        }
        EXPECT_EQ(restarts_heard, c.faults.drop_after_packets == 0 ? 1 : 0);
        if (c.serial_after == nullptr) {
            std::this_thread::sleep_for(200ms);
            EXPECT_FALSE(bus.state(module).plugged);
            EXPECT_TRUE(usb.wait_listed(first_address, false));
            continue;
        }
        ASSERT_TRUE(wait_for_enumeration(module, 2));
        EXPECT_GE(std::chrono::steady_clock::now() - left, c.restart_time - 20ms);
        const uint8_t second_address = bus.state(module).address;
        EXPECT_NE(second_address, first_address);
        EXPECT_EQ(bus.state(module).serial_text, c.serial_after);
        ASSERT_TRUE(usb.wait_listed(second_address, true));
        Claimed again(usb, second_address);
        EXPECT_EQ(serial_string(again.get()), c.serial_after);
        ASSERT_EQ(again.send(bytes_of("AD 00")), 0);
        EXPECT_EQ(text_of(again.read_at_least(2)), "02 00");
        bus.unplug(module);
    }
}
