#include "VirtualModuleDevice.h"

#include <algorithm>
#include <cstdio>

namespace usb_emulation {

namespace {

std::string serial_text(uint32_t serial_number) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial_number);
    return text;
}

}  // namespace

VirtualModuleDevice::VirtualModuleDevice(const virtual_module::ModuleIdentity& identity,
                                         const virtual_module::LinkFaults& faults,
                                         virtual_module::LinkObserver* observer)
    : module_(identity, std::chrono::steady_clock::now()), faults_(faults), observer_(observer) {}

UsbIdentity VirtualModuleDevice::usb_identity() const {
    return module_identity(module_.serial_number(), module_.identity().model);
}

void VirtualModuleDevice::host_connected(TimePoint now) {
    link_ = std::make_unique<virtual_module::ModuleLink>(module_, faults_, now, observer_);
    leaving_ = false;
}

void VirtualModuleDevice::receive(const uint8_t* bytes, size_t count, TimePoint now) {
    if (link_) link_->receive(bytes, count, now);
    report_restarts();
}

std::vector<uint8_t> VirtualModuleDevice::take_output(TimePoint now) {
    return link_ ? link_->take_output(now) : std::vector<uint8_t>{};
}

void VirtualModuleDevice::tick(TimePoint now) {
    if (link_) link_->tick(now);
    report_restarts();
}

std::optional<TimePoint> VirtualModuleDevice::next_deadline(bool output_can_be_taken) const {
    return link_ ? link_->next_deadline(output_can_be_taken) : std::nullopt;
}

BusRequest VirtualModuleDevice::take_bus_request(TimePoint now) {
    if (!link_ || leaving_) return {};
    const virtual_module::LinkEnd end = link_->end();
    if (end == virtual_module::LinkEnd::Dropped) {
        leaving_ = true;
        return {BusRequest::Kind::Reenumerate, std::chrono::milliseconds{0}, std::nullopt};
    }
    // A restart goes out with its last answer.
    if (end != virtual_module::LinkEnd::Restarted || link_->output_pending()) return {};
    leaving_ = true;
    const virtual_module::ModuleRestart& restart = *module_.last_restart();
    if (!restart.back_at) return {BusRequest::Kind::Unplug, std::chrono::milliseconds{0}, std::nullopt};
    const auto away = std::chrono::ceil<std::chrono::milliseconds>(std::max(*restart.back_at - now, TimePoint::duration{0}));
    return {BusRequest::Kind::Reenumerate, away, serial_text(restart.serial_number)};
}

uint64_t VirtualModuleDevice::restarts_so_far() const {
    uint64_t restarts = module_.generation();
    for (const auto& [address, routed] : module_.routed_modules()) restarts += routed->generation();
    return restarts;
}

void VirtualModuleDevice::report_restarts() {
    const uint64_t restarts = restarts_so_far();
    if (restarts == restarts_reported_) return;
    restarts_reported_ = restarts;
    if (restart_listener_) restart_listener_(module_);
}

}  // namespace usb_emulation
