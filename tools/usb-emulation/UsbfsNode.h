// The usbfs device node of one enumeration of an emulated device: it answers the ioctls the host's
// libusb issues on /dev/bus/usb/BBB/DDD (claims, URB submission, discard and reaping) and keeps the
// node polling writable exactly while a completed URB waits to be reaped.
//
// Each open file descriptor of the node is one umockdev client. URBs complete later than they are
// submitted: control and OUT transfers at once, IN transfers when the device has bytes for them,
// when the host discards them (its time-out) or when the device leaves the bus. The results are
// written into the host's URB and buffer only when the host reaps them.
//
// The ioctl handler runs on umockdev's worker thread and takes the testbed's lock; every other
// member is called with that lock held.
#pragma once

#include <umockdev.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "GObjectRef.h"
#include "ReapReadiness.h"

namespace usb_emulation {

class EmulatedDevice;

// The testbed's lock, and the condition that is signalled whenever a device's state changed.
struct TestbedLock {
    std::mutex mutex;
    std::condition_variable changed;
};

// How a transfer ended, as the kernel reports it in the URB.
struct UrbOutcome {
    int status = 0;  // 0 or a negative errno
    size_t actual_length = 0;
    std::vector<uint8_t> in_bytes;  // for transfers towards the host
};

using ClientId = const void*;

class UsbfsNode {
public:
    // `fifo_path` is where the node lives inside the testbed's root directory.
    UsbfsNode(TestbedLock& lock, EmulatedDevice& device, std::string device_node, const std::string& fifo_path);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    UMockdevIoctlBase* handler() const { return handler_.get(); }
    const std::string& device_node() const { return device_node_; }

    // The device left the bus: waiting IN transfers end with `status`, and every later request
    // fails with ENODEV once what completed has been reaped.
    void retire(int status);
    bool retired() const { return device_ == nullptr; }
    bool has_clients() const { return !clients_.empty(); }

    // Room in the oldest IN transfer waiting on the bulk IN endpoint; 0 when none waits.
    size_t waiting_in_capacity() const;
    void complete_waiting_in(UrbOutcome outcome);

private:
    struct Urb {
        ClientId client = nullptr;
        GObjectRef<UMockdevIoctlData> urb;     // the host's struct usbdevfs_urb
        GObjectRef<UMockdevIoctlData> buffer;  // its data buffer (none when empty)
        unsigned long address = 0;             // where the host keeps the URB, as DISCARDURB names it
        UrbOutcome outcome;
    };
    struct Reply {
        long result = 0;
        int error = 0;
    };

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node);
    static void on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node);
    static void on_client_finalized(gpointer node, GObject* client);

    Reply handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* argument);
    Reply submit(ClientId client, UMockdevIoctlData* argument);
    Reply submit_control(Urb urb, const uint8_t* buffer, size_t length);
    Reply submit_bulk(Urb urb, uint8_t endpoint, const uint8_t* buffer, size_t length);
    Reply discard(ClientId client, UMockdevIoctlData* argument);
    Reply reap(ClientId client, UMockdevIoctlData* argument);
    void complete(Urb urb);
    void update_readiness();

    TestbedLock& lock_;
    EmulatedDevice* device_;
    std::string device_node_;
    ReapReadiness readiness_;
    GObjectRef<UMockdevIoctlBase> handler_;
    std::set<ClientId> clients_;
    std::deque<Urb> waiting_in_;
    std::map<ClientId, std::deque<Urb>> completed_;
};

}  // namespace usb_emulation
