// The virtual module served as a USB device: the module's model behind the bulk endpoints.
//
// A host's claim of the link interface opens a link to the module, as a TCP connection does, and
// releasing or closing the device ends it. When the module restarts (its restart option), it
// leaves the bus once the host has collected its acknowledgement and comes back at a new address
// after `restart_time`, as a module does on USB; a link the module drops on purpose (the
// drop-after fault) does the same, so the host's request fails and it can connect again.
#pragma once

#include <chrono>
#include <memory>

#include "DeviceModel.h"
#include "Module.h"
#include "ModuleIdentity.h"
#include "ModuleLink.h"
#include "UsbIdentity.h"

namespace usb_emulation {

constexpr std::chrono::milliseconds kModuleRestartTime{500};

class VirtualModuleDevice : public DeviceModel {
public:
    explicit VirtualModuleDevice(const virtual_module::ModuleIdentity& identity,
                                 const virtual_module::LinkFaults& faults = {},
                                 virtual_module::LinkObserver* observer = nullptr,
                                 std::chrono::milliseconds restart_time = kModuleRestartTime);

    // What the module shows on the bus: vendor 0x7C4E, its model code, its serial number.
    UsbIdentity usb_identity() const;
    virtual_module::Module& module() { return module_; }

    void host_connected(TimePoint now) override;
    void host_disconnected() override { link_.reset(); }
    void receive(const uint8_t* bytes, size_t count, TimePoint now) override;
    std::vector<uint8_t> take_output(TimePoint now) override;
    void tick(TimePoint now) override;
    std::optional<TimePoint> next_deadline(bool output_can_be_taken) const override;
    BusRequest take_bus_request() override;

private:
    virtual_module::Module module_;
    virtual_module::LinkFaults faults_;
    virtual_module::LinkObserver* observer_;
    std::chrono::milliseconds restart_time_;
    std::unique_ptr<virtual_module::ModuleLink> link_;
    bool leaving_ = false;  // the bus request for this link has been made
};

}  // namespace usb_emulation
