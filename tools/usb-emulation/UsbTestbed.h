// A USB bus in user space that the real libusb talks to: emulated modules are plugged in, unplugged
// and re-enumerated at new addresses while a host program lists, opens, claims and transfers as on
// real hardware. Built on umockdev: the process that runs libusb must have been started with
// libumockdev-preload.so.0 in LD_PRELOAD, or be a child started with the environment this testbed
// sets (see usb-testbed). One testbed per process.
//
// Behind each device sits a DeviceModel. The testbed runs one service thread that wakes when a
// model has something due (a heartbeat, a delayed answer) or a device is to come back on the bus;
// an idle bus costs no CPU.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceModel.h"
#include "EmulatedDevice.h"
#include "UsbFaults.h"
#include "UsbIdentity.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usb_emulation {

using DeviceId = size_t;

class UsbTestbed {
public:
    // Throws std::runtime_error when umockdev cannot set up its sandbox.
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Plugs a device in at the next free address; it stays the same DeviceId for its whole life.
    DeviceId plug(std::shared_ptr<DeviceModel> model, const UsbIdentity& identity);
    // The device leaves the bus: transfers in flight end as on a device that is gone.
    void unplug(DeviceId device);
    // Leaves the bus and comes back at a new address after `off_bus`, optionally with another
    // serial string, as a module does when it restarts. Returns at once; the device is back when
    // state(device).enumerations has grown.
    void reenumerate(DeviceId device, std::chrono::milliseconds off_bus = std::chrono::milliseconds{0},
                     std::optional<std::string> new_serial_text = std::nullopt);

    void set_faults(DeviceId device, const UsbFaults& faults);
    UsbFaults faults(DeviceId device) const;  // what remains of them
    DeviceState state(DeviceId device) const;
    UsbIdentity identity(DeviceId device) const;
    // Waits until `condition` holds for the device's state; false after `timeout`.
    bool wait_for(DeviceId device, const std::function<bool(const DeviceState&)>& condition,
                  std::chrono::milliseconds timeout) const;

    // The testbed's root directory (UMOCKDEV_DIR), for programs started under the preload.
    std::string root_directory() const { return root_directory_; }

private:
    struct PendingReturn {
        DeviceId device;
        TimePoint due;
        std::optional<std::string> serial_text;
    };

    void enter_bus(DeviceId device);                  // with bus_mutex_ held
    void remove_from_bus(const std::string& syspath);  // with bus_mutex_ held
    void leave_bus(DeviceId device);                  // with bus_mutex_ held
    uint8_t allocate_address();                       // with both locks held
    EmulatedDevice& device(DeviceId id);
    const EmulatedDevice& device(DeviceId id) const;
    void service_loop();
    // Carries out one bus change due now (a model's request or a device coming back); false when
    // none is due. Called by the service thread without the state lock.
    bool carry_out_bus_change();

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_directory_;

    // Serialises changes of the emulated bus (umockdev calls); taken before the state lock, never
    // after, and the state lock is never held across a umockdev call (its worker thread may be
    // waiting for that lock).
    std::mutex bus_mutex_;
    // Guards every device, node and model; umockdev's handler thread takes it for each ioctl.
    mutable TestbedLock lock_;
    std::vector<std::unique_ptr<EmulatedDevice>> devices_;
    std::vector<std::string> device_paths_;
    std::vector<PendingReturn> pending_returns_;
    // Nodes of past enumerations by address, kept while hosts may still hold them open.
    std::map<uint8_t, std::shared_ptr<UsbfsNode>> retired_nodes_;
    uint8_t last_address_ = 1;  // the root hub has address 1
    bool stopping_ = false;
    std::thread service_thread_;
};

}  // namespace usb_emulation
