// A GoogleTest fixture with an emulated USB bus in the test's own process: modules plugged into it
// are seen by this process's libusb (and so by the link library) as real hardware. The test binary
// must run under umockdev's preload library; tests/usb/main.cpp sees to that. Each test runs in a
// process of its own, which suits umockdev's one testbed per process.
#pragma once

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <memory>

#include "EchoModel.h"
#include "PreloadEnvironment.h"
#include "UsbTestbed.h"
#include "VirtualModuleDevice.h"

namespace test_support {

class EmulatedUsbBus : public ::testing::Test {
protected:
    EmulatedUsbBus() {
        // umockdev sleeps briefly after every emulated ioctl; with the default timer slack each of
        // those sleeps costs far more than the ioctl itself.
        prctl(PR_SET_TIMERSLACK, 1);
    }

    void SetUp() override {
        ASSERT_TRUE(usb_emulation::preload_active())
            << "run this test binary under LD_PRELOAD=" << usb_emulation::kPreloadLibrary;
    }

    // A module with this serial number and model code behind `model` (an echo by default).
    usb_emulation::DeviceId plug_module(uint32_t serial_number, uint8_t model_code,
                                        std::shared_ptr<usb_emulation::DeviceModel> model = nullptr) {
        if (!model) model = std::make_shared<usb_emulation::EchoModel>();
        return bus.plug(std::move(model), usb_emulation::module_identity(serial_number, model_code));
    }

    // A virtual module on the bus (the virtual-module program's model), with its faults.
    usb_emulation::DeviceId plug_virtual_module(const virtual_module::ModuleIdentity& identity,
                                                const virtual_module::LinkFaults& faults = {}) {
        auto model = std::make_shared<usb_emulation::VirtualModuleDevice>(identity, faults);
        return bus.plug(model, model->usb_identity());
    }

    // Waits (boundedly) until the device is back on the bus after leaving it `enumerations` times.
    bool wait_for_enumeration(usb_emulation::DeviceId device, unsigned enumerations,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return bus.wait_for(
            device, [&](const usb_emulation::DeviceState& state) { return state.plugged && state.enumerations >= enumerations; },
            timeout);
    }

    // Declared first, so it goes last: after every libusb context a test keeps in its members.
    usb_emulation::UsbTestbed bus;
};

}  // namespace test_support
