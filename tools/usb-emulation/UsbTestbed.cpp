#include "UsbTestbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "SysfsRecord.h"

namespace usb_emulation {

namespace {

constexpr uint8_t kFirstDeviceAddress = 2;  // 1 is the root hub
constexpr uint8_t kLastDeviceAddress = 127;

std::string take_error(GError* error) {
    std::string text = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    return text;
}

}  // namespace

UsbTestbed::UsbTestbed() {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) throw std::runtime_error("umockdev cannot make a testbed");
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_directory_ = root;
    g_free(root);
    service_thread_ = std::thread([this] { service_loop(); });
}

UsbTestbed::~UsbTestbed() {
    {
        std::lock_guard guard(lock_.mutex);
        stopping_ = true;
    }
    lock_.changed.notify_all();
    service_thread_.join();

    std::vector<std::string> attached;
    {
        std::lock_guard guard(lock_.mutex);
        for (const auto& [address, node] : retired_nodes_) attached.push_back(node->device_node());
        for (const auto& device : devices_) {
            if (device->state().plugged) attached.push_back(usb_device_node(device->state().address));
        }
    }
    for (const std::string& node : attached) umockdev_testbed_detach_ioctl(testbed_, node.c_str(), nullptr);
    // Ends umockdev's worker thread and removes the sandbox; only then may the nodes go.
    g_object_unref(testbed_);
}

DeviceId UsbTestbed::plug(std::shared_ptr<DeviceModel> model, const UsbIdentity& identity) {
    std::lock_guard bus(bus_mutex_);
    DeviceId id;
    {
        std::lock_guard guard(lock_.mutex);
        id = devices_.size();
        devices_.push_back(std::make_unique<EmulatedDevice>(std::move(model), identity));
        device_paths_.push_back("/sys" + usb_device_path(static_cast<unsigned>(id) + 1));
    }
    enter_bus(id);
    return id;
}

void UsbTestbed::unplug(DeviceId id) {
    std::lock_guard bus(bus_mutex_);
    {
        std::lock_guard guard(lock_.mutex);
        std::erase_if(pending_returns_, [id](const PendingReturn& entry) { return entry.device == id; });
    }
    leave_bus(id);
}

void UsbTestbed::reenumerate(DeviceId id, std::chrono::milliseconds off_bus, std::optional<std::string> new_serial_text) {
    std::lock_guard bus(bus_mutex_);
    leave_bus(id);
    {
        std::lock_guard guard(lock_.mutex);
        std::erase_if(pending_returns_, [id](const PendingReturn& entry) { return entry.device == id; });
        if (off_bus.count() > 0) {
            pending_returns_.push_back({id, std::chrono::steady_clock::now() + off_bus, std::move(new_serial_text)});
            lock_.changed.notify_all();
            return;
        }
        if (new_serial_text) device(id).set_serial_text(*new_serial_text);
    }
    enter_bus(id);
}

void UsbTestbed::set_faults(DeviceId id, const UsbFaults& faults) {
    std::lock_guard guard(lock_.mutex);
    device(id).faults() = faults;
}

UsbFaults UsbTestbed::faults(DeviceId id) const {
    std::lock_guard guard(lock_.mutex);
    return device(id).faults();
}

DeviceState UsbTestbed::state(DeviceId id) const {
    std::lock_guard guard(lock_.mutex);
    return device(id).state();
}

UsbIdentity UsbTestbed::identity(DeviceId id) const {
    std::lock_guard guard(lock_.mutex);
    return device(id).identity();
}

bool UsbTestbed::wait_for(DeviceId id, const std::function<bool(const DeviceState&)>& condition,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_.mutex);
    return lock_.changed.wait_for(guard, timeout, [&] { return condition(device(id).state()); });
}

void UsbTestbed::enter_bus(DeviceId id) {
    std::unique_lock guard(lock_.mutex);
    EmulatedDevice& entering = device(id);
    if (entering.state().plugged) return;
    const uint8_t address = allocate_address();
    const std::string node_path = usb_device_node(address);

    // A node of an earlier enumeration at this address has no client left; it makes room.
    if (auto retired = retired_nodes_.find(address); retired != retired_nodes_.end()) {
        std::shared_ptr<UsbfsNode> old_node = std::move(retired->second);
        retired_nodes_.erase(retired);
        guard.unlock();
        umockdev_testbed_detach_ioctl(testbed_, node_path.c_str(), nullptr);
        guard.lock();
    }

    // The node, its FIFO and its ioctl handler exist before the device appears, so a host that
    // opens it at once finds it complete.
    std::filesystem::create_directories(std::filesystem::path(root_directory_ + node_path).parent_path());
    auto node = std::make_shared<UsbfsNode>(lock_, entering, node_path, root_directory_ + node_path);
    guard.unlock();
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node_path.c_str(), node->handler(), &error)) {
        throw std::runtime_error("cannot attach the usbfs handler to " + node_path + ": " + take_error(error));
    }
    guard.lock();
    entering.enter_bus(node, address);
    const std::string record = usb_device_record(static_cast<unsigned>(id) + 1, address, entering.identity());
    guard.unlock();
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        throw std::runtime_error("umockdev refuses the device record: " + take_error(error));
    }
    lock_.changed.notify_all();
}

void UsbTestbed::leave_bus(DeviceId id) {
    std::unique_lock guard(lock_.mutex);
    EmulatedDevice& leaving = device(id);
    if (!leaving.state().plugged) return;
    const uint8_t address = leaving.state().address;
    retired_nodes_[address] = leaving.leave_bus();
    const std::string syspath = device_paths_[id];
    guard.unlock();
    lock_.changed.notify_all();
    // Removing a device sends no uevent by itself; the host's hotplug monitor needs one.
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

uint8_t UsbTestbed::allocate_address() {
    // Like the kernel, hand out addresses in turn, so a device that comes back gets a new one.
    for (unsigned tries = kFirstDeviceAddress; tries <= kLastDeviceAddress; ++tries) {
        last_address_ = last_address_ >= kLastDeviceAddress ? kFirstDeviceAddress : static_cast<uint8_t>(last_address_ + 1);
        const bool in_use = std::any_of(devices_.begin(), devices_.end(), [this](const auto& device) {
            return device->state().plugged && device->state().address == last_address_;
        });
        auto retired = retired_nodes_.find(last_address_);
        const bool still_open = retired != retired_nodes_.end() && retired->second->has_clients();
        if (!in_use && !still_open) return last_address_;
    }
    throw std::runtime_error("no free USB address on the emulated bus");
}

EmulatedDevice& UsbTestbed::device(DeviceId id) {
    if (id >= devices_.size()) throw std::out_of_range("no such emulated device");
    return *devices_[id];
}

const EmulatedDevice& UsbTestbed::device(DeviceId id) const {
    if (id >= devices_.size()) throw std::out_of_range("no such emulated device");
    return *devices_[id];
}

void UsbTestbed::service_loop() {
    std::unique_lock guard(lock_.mutex);
    while (!stopping_) {
        const TimePoint now = std::chrono::steady_clock::now();
        std::optional<TimePoint> wake;
        bool bus_change_due = false;
        for (auto& emulated : devices_) {
            emulated->serve(now);
            if (std::optional<TimePoint> deadline = emulated->next_deadline()) wake = std::min(wake.value_or(*deadline), *deadline);
        }
        for (const PendingReturn& entry : pending_returns_) {
            if (entry.due <= now) bus_change_due = true;
            wake = std::min(wake.value_or(entry.due), entry.due);
        }
        for (auto& emulated : devices_) bus_change_due = bus_change_due || emulated->bus_request_due();
        if (bus_change_due) {
            guard.unlock();
            try {
                while (carry_out_bus_change()) {
                }
            } catch (const std::exception& error) {
                // A device that cannot come back stays off the bus; the host sees it gone.
                std::fprintf(stderr, "usb-emulation: %s\n", error.what());
            }
            guard.lock();
            continue;
        }
        if (wake) lock_.changed.wait_until(guard, *wake);
        else lock_.changed.wait(guard);
    }
}

bool UsbTestbed::carry_out_bus_change() {
    std::lock_guard bus(bus_mutex_);
    std::unique_lock guard(lock_.mutex);
    if (stopping_) return false;
    const TimePoint now = std::chrono::steady_clock::now();
    for (DeviceId id = 0; id < devices_.size(); ++id) {
        std::optional<BusRequest> request = devices_[id]->take_due_bus_request();
        if (!request) continue;
        guard.unlock();
        leave_bus(id);
        if (request->kind == BusRequest::Kind::Reenumerate) {
            guard.lock();
            pending_returns_.push_back({id, now + request->off_bus, std::move(request->new_serial_text)});
        }
        return true;
    }
    for (auto entry = pending_returns_.begin(); entry != pending_returns_.end(); ++entry) {
        if (entry->due > now) continue;
        const DeviceId id = entry->device;
        if (entry->serial_text) devices_[id]->set_serial_text(*entry->serial_text);
        pending_returns_.erase(entry);
        guard.unlock();
        enter_bus(id);
        return true;
    }
    return false;
}

}  // namespace usb_emulation
