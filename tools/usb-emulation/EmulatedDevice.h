// One emulated module on the bus, across its enumerations: its identity, its device model, the
// faults it shows, which host client holds its link interface, and the bytes the model produced
// that the host has not collected yet. All members are called with the testbed's lock held.
#pragma once

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "DeviceModel.h"
#include "UsbFaults.h"
#include "UsbIdentity.h"
#include "UsbfsNode.h"

namespace usb_emulation {

// What a test can see of a device.
struct DeviceState {
    bool plugged = false;
    uint8_t address = 0;            // the device number on bus 1 while plugged
    std::string serial_text;
    bool claimed = false;           // a host holds the link interface
    unsigned enumerations = 0;      // how often it has appeared on the bus
    size_t bytes_from_host = 0;     // taken by the bulk OUT endpoint, over all enumerations
    size_t bytes_to_host = 0;       // delivered through the bulk IN endpoint
};

// Kernel URB status values that the host reads as transfer outcomes.
constexpr int kUrbBusError = -EPROTO;      // the host sees an I/O error
constexpr int kUrbStalled = -EPIPE;        // the endpoint is halted
constexpr int kUrbDiscarded = -ENOENT;     // the host cancelled it (its time-out)
constexpr int kUrbDeviceGone = -ESHUTDOWN;  // the device left the bus

class EmulatedDevice {
public:
    EmulatedDevice(std::shared_ptr<DeviceModel> model, UsbIdentity identity);

    const UsbIdentity& identity() const { return identity_; }
    const DeviceState& state() const { return state_; }
    UsbFaults& faults() { return faults_; }
    const UsbFaults& faults() const { return faults_; }

    // --- the host, through the usbfs node ---
    // 0, or the errno the kernel would give (EBUSY, ENOENT for an interface it does not have).
    int claim(ClientId client, unsigned interface, TimePoint now);
    int release(ClientId client, unsigned interface);
    void client_gone(ClientId client);
    // Bulk transfers need the link interface; like the kernel, an unclaimed one is claimed on use.
    int claim_for_transfer(ClientId client, TimePoint now);
    UrbOutcome bulk_out(const uint8_t* bytes, size_t count, TimePoint now);
    // The outcome of an IN transfer the device fails at once, if it does.
    std::optional<UrbOutcome> failed_in_transfer();
    void clear_halt(uint8_t endpoint);

    // --- the testbed ---
    void enter_bus(std::shared_ptr<UsbfsNode> node, uint8_t address);
    // Leaves the bus; returns the node that served this enumeration.
    std::shared_ptr<UsbfsNode> leave_bus();
    void set_serial_text(const std::string& text) { identity_.serial_text = text; }
    // Hands the model's output to a waiting IN transfer, runs what is due, and collects the
    // model's wish to leave the bus.
    void serve(TimePoint now);
    std::optional<TimePoint> next_deadline() const;
    // A request to leave the bus that may be carried out now (the host collected the output).
    bool bus_request_due() const;
    std::optional<BusRequest> take_due_bus_request();

private:
    void disconnect_host();

    std::shared_ptr<DeviceModel> model_;
    UsbIdentity identity_;
    UsbFaults faults_;
    DeviceState state_;
    std::shared_ptr<UsbfsNode> node_;
    ClientId claimant_ = nullptr;
    std::vector<uint8_t> undelivered_;
    std::optional<BusRequest> bus_request_;
};

}  // namespace usb_emulation
