#include "VirtualModuleDevice.h"

namespace usb_emulation {

VirtualModuleDevice::VirtualModuleDevice(const virtual_module::ModuleIdentity& identity,
                                         const virtual_module::LinkFaults& faults,
                                         virtual_module::LinkObserver* observer, std::chrono::milliseconds restart_time)
    : module_(identity, std::chrono::steady_clock::now()), faults_(faults), observer_(observer),
      restart_time_(restart_time) {}

UsbIdentity VirtualModuleDevice::usb_identity() const {
    return module_identity(module_.identity().serial_number, module_.identity().model);
}

void VirtualModuleDevice::host_connected(TimePoint now) {
    link_ = std::make_unique<virtual_module::ModuleLink>(module_, faults_, now, observer_);
    leaving_ = false;
}

void VirtualModuleDevice::receive(const uint8_t* bytes, size_t count, TimePoint now) {
    if (link_) link_->receive(bytes, count, now);
}

std::vector<uint8_t> VirtualModuleDevice::take_output(TimePoint now) {
    return link_ ? link_->take_output(now) : std::vector<uint8_t>{};
}

void VirtualModuleDevice::tick(TimePoint now) {
    if (link_) link_->tick(now);
}

std::optional<TimePoint> VirtualModuleDevice::next_deadline(bool output_can_be_taken) const {
    return link_ ? link_->next_deadline(output_can_be_taken) : std::nullopt;
}

BusRequest VirtualModuleDevice::take_bus_request() {
    if (!link_ || leaving_) return {};
    const virtual_module::LinkEnd end = link_->end();
    // A restart goes out with its acknowledgement; a dropped link goes at once, unanswered.
    const bool restart_done = end == virtual_module::LinkEnd::Restarted && !link_->output_pending();
    if (!restart_done && end != virtual_module::LinkEnd::Dropped) return {};
    leaving_ = true;
    return {BusRequest::Kind::Reenumerate, restart_time_, std::nullopt};
}

}  // namespace usb_emulation
