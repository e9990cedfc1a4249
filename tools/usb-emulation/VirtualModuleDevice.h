// The virtual module served as a USB device: the module's model behind the bulk endpoints.
//
// A host's claim of the link interface opens a link to the module, as a TCP connection does, and
// releasing or closing the device ends it. When the module restarts (reset, REBOOT, LOAD into a
// new loader), it leaves the bus once the host has collected its last answer and re-enumerates at
// a new address when its restart record says it is back, under the serial number it comes back
// with; after a restart it never comes back from, it stays off the bus. A link the module drops on
// purpose (the drop-after fault) takes it off the bus at once and back at a new address, so the
// host's request fails and it can connect again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "DeviceModel.h"
#include "Module.h"
#include "ModuleIdentity.h"
#include "ModuleLink.h"
#include "UsbIdentity.h"

namespace usb_emulation {

class VirtualModuleDevice : public DeviceModel {
public:
    explicit VirtualModuleDevice(const virtual_module::ModuleIdentity& identity,
                                 const virtual_module::LinkFaults& faults = {},
                                 virtual_module::LinkObserver* observer = nullptr);

    // What the module shows on the bus: vendor 0x7C4E, its model code, its serial number.
    UsbIdentity usb_identity() const;
    // For what the transport does not set up: modules behind it, loader faults.
    virtual_module::Module& module() { return module_; }
    // Called (with the testbed's lock held) after any restart of the module or of one behind it.
    void on_restart(std::function<void(const virtual_module::Module&)> listener) { restart_listener_ = std::move(listener); }

    void host_connected(TimePoint now) override;
    void host_disconnected() override { link_.reset(); }
    void receive(const uint8_t* bytes, size_t count, TimePoint now) override;
    std::vector<uint8_t> take_output(TimePoint now) override;
    void tick(TimePoint now) override;
    std::optional<TimePoint> next_deadline(bool output_can_be_taken) const override;
    BusRequest take_bus_request(TimePoint now) override;

private:
    uint64_t restarts_so_far() const;
    void report_restarts();

    virtual_module::Module module_;
    virtual_module::LinkFaults faults_;
    virtual_module::LinkObserver* observer_;
    std::unique_ptr<virtual_module::ModuleLink> link_;
    bool leaving_ = false;  // the bus request for this link has been made
    std::function<void(const virtual_module::Module&)> restart_listener_;
    uint64_t restarts_reported_ = 0;
};

}  // namespace usb_emulation
