#include "EmulatedDevice.h"

#include <algorithm>

#include "UsbDescriptors.h"

namespace usb_emulation {

EmulatedDevice::EmulatedDevice(std::shared_ptr<DeviceModel> model, UsbIdentity identity)
    : model_(std::move(model)), identity_(std::move(identity)) {
    state_.serial_text = identity_.serial_text;
}

int EmulatedDevice::claim(ClientId client, unsigned interface, TimePoint now) {
    if (interface != kLinkInterfaceNumber) return ENOENT;
    if (claimant_ == client) return 0;
    if (faults_.refuse_claim_as_busy || claimant_ != nullptr) return EBUSY;
    claimant_ = client;
    state_.claimed = true;
    undelivered_.clear();
    model_->host_connected(now);
    return 0;
}

int EmulatedDevice::release(ClientId client, unsigned interface) {
    if (interface != kLinkInterfaceNumber || claimant_ != client) return EINVAL;
    disconnect_host();
    return 0;
}

void EmulatedDevice::client_gone(ClientId client) {
    if (claimant_ == client) disconnect_host();
}

int EmulatedDevice::claim_for_transfer(ClientId client, TimePoint now) {
    return claimant_ == client ? 0 : claim(client, kLinkInterfaceNumber, now);
}

UrbOutcome EmulatedDevice::bulk_out(const uint8_t* bytes, size_t count, TimePoint now) {
    UrbOutcome outcome;
    if (faults_.stall_out) {
        outcome.status = kUrbStalled;
        return outcome;
    }
    if (faults_.failing_out_transfers > 0) {
        --faults_.failing_out_transfers;
        outcome.status = kUrbBusError;
        return outcome;
    }
    if (faults_.out_transfer_limit > 0) count = std::min(count, faults_.out_transfer_limit);
    model_->receive(bytes, count, now);
    state_.bytes_from_host += count;
    outcome.actual_length = count;
    return outcome;
}

std::optional<UrbOutcome> EmulatedDevice::failed_in_transfer() {
    UrbOutcome outcome;
    if (faults_.stall_in) {
        outcome.status = kUrbStalled;
        return outcome;
    }
    if (faults_.failing_in_transfers > 0) {
        --faults_.failing_in_transfers;
        outcome.status = kUrbBusError;
        return outcome;
    }
    return std::nullopt;
}

void EmulatedDevice::clear_halt(uint8_t endpoint) {
    if (endpoint == kBulkOutEndpoint) faults_.stall_out = false;
    if (endpoint == kBulkInEndpoint) faults_.stall_in = false;
}

void EmulatedDevice::enter_bus(std::shared_ptr<UsbfsNode> node, uint8_t address) {
    node_ = std::move(node);
    state_.plugged = true;
    state_.address = address;
    state_.serial_text = identity_.serial_text;
    ++state_.enumerations;
}

std::shared_ptr<UsbfsNode> EmulatedDevice::leave_bus() {
    if (claimant_ != nullptr) disconnect_host();
    std::shared_ptr<UsbfsNode> node = std::move(node_);
    if (node) node->retire(kUrbDeviceGone);
    state_.plugged = false;
    state_.address = 0;
    bus_request_.reset();
    return node;
}

void EmulatedDevice::serve(TimePoint now) {
    if (!state_.plugged) return;
    if (claimant_ != nullptr) {
        model_->tick(now);
        while (node_->waiting_in_capacity() > 0) {
            if (undelivered_.empty()) undelivered_ = model_->take_output(now);
            if (undelivered_.empty()) break;
            const size_t count = std::min(node_->waiting_in_capacity(), undelivered_.size());
            UrbOutcome outcome;
            outcome.actual_length = count;
            outcome.in_bytes.assign(undelivered_.begin(), undelivered_.begin() + static_cast<std::ptrdiff_t>(count));
            undelivered_.erase(undelivered_.begin(), undelivered_.begin() + static_cast<std::ptrdiff_t>(count));
            state_.bytes_to_host += count;
            node_->complete_waiting_in(std::move(outcome));
        }
    }
    BusRequest request = model_->take_bus_request(now);
    if (request.kind != BusRequest::Kind::Stay) bus_request_ = std::move(request);
}

std::optional<TimePoint> EmulatedDevice::next_deadline() const {
    if (!state_.plugged || claimant_ == nullptr) return std::nullopt;
    const bool host_waits = node_->waiting_in_capacity() > 0;
    if (host_waits && !undelivered_.empty()) return TimePoint::min();
    return model_->next_deadline(host_waits);
}

bool EmulatedDevice::bus_request_due() const {
    // A restart waits until the host has collected the last answer; an unplug does not.
    return bus_request_ && (bus_request_->kind != BusRequest::Kind::Reenumerate || undelivered_.empty());
}

std::optional<BusRequest> EmulatedDevice::take_due_bus_request() {
    if (!bus_request_due()) return std::nullopt;
    std::optional<BusRequest> request = std::move(bus_request_);
    bus_request_.reset();
    return request;
}

void EmulatedDevice::disconnect_host() {
    claimant_ = nullptr;
    state_.claimed = false;
    undelivered_.clear();
    model_->host_disconnected();
}

}  // namespace usb_emulation
