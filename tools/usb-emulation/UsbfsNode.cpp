#include "UsbfsNode.h"

#include <linux/usb/ch9.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "EmulatedDevice.h"
#include "StandardRequests.h"
#include "UsbDescriptors.h"

namespace usb_emulation {

namespace {

// What the node tells libusb it can do: one URB per bulk transfer of any length, and reaping of
// what completed after the device went away.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// USBDEVFS_GET_SPEED has no header constant in older kernels' uapi.
constexpr unsigned long kGetSpeedRequest = _IO('U', 31);

// Reads a value the host passed by pointer (the ioctl argument points at it).
template <typename T>
bool read_pointed(UMockdevIoctlData* argument, T& value) {
    GObjectRef<UMockdevIoctlData> data =
        GObjectRef<UMockdevIoctlData>::adopt(umockdev_ioctl_data_resolve(argument, 0, sizeof(T), nullptr));
    if (!data || static_cast<size_t>(data.get()->data_len) < sizeof(T)) return false;
    std::memcpy(&value, data.get()->data, sizeof(T));
    return true;
}

// Writes a value where the ioctl argument points; it reaches the host at completion.
template <typename T>
bool write_pointed(UMockdevIoctlData* argument, const T& value) {
    GObjectRef<UMockdevIoctlData> data =
        GObjectRef<UMockdevIoctlData>::adopt(umockdev_ioctl_data_resolve(argument, 0, sizeof(T), nullptr));
    if (!data || static_cast<size_t>(data.get()->data_len) < sizeof(T)) return false;
    std::memcpy(data.get()->data, &value, sizeof(T));
    return true;
}

// The argument itself, for requests that pass a value rather than a pointer.
unsigned long argument_value(UMockdevIoctlData* argument) {
    unsigned long value = 0;
    std::memcpy(&value, argument->data, std::min(sizeof value, static_cast<size_t>(argument->data_len)));
    return value;
}

}  // namespace

UsbfsNode::UsbfsNode(TestbedLock& lock, EmulatedDevice& device, std::string device_node, const std::string& fifo_path)
    : lock_(lock), device_(&device), device_node_(std::move(device_node)), readiness_(fifo_path),
      handler_(GObjectRef<UMockdevIoctlBase>::adopt(umockdev_ioctl_base_new())) {
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_.get(), "client-connected", G_CALLBACK(on_client_connected), this);
}

UsbfsNode::~UsbfsNode() {
    g_signal_handlers_disconnect_by_data(handler_.get(), this);
    for (ClientId client : clients_) {
        g_object_weak_unref(G_OBJECT(const_cast<void*>(client)), on_client_finalized, this);
    }
}

gboolean UsbfsNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node_pointer) {
    auto* node = static_cast<UsbfsNode*>(node_pointer);
    Reply reply;
    {
        std::lock_guard guard(node->lock_.mutex);
        reply = node->handle(client, umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
    }
    node->lock_.changed.notify_all();
    umockdev_ioctl_client_complete(client, reply.result, reply.error);
    return TRUE;
}

void UsbfsNode::on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node_pointer) {
    auto* node = static_cast<UsbfsNode*>(node_pointer);
    std::lock_guard guard(node->lock_.mutex);
    node->clients_.insert(client);
    // umockdev drops a client as soon as the host closes its descriptor, but does not say so
    // otherwise; the client's finalisation is the moment the host's file is gone.
    g_object_weak_ref(G_OBJECT(client), on_client_finalized, node);
}

void UsbfsNode::on_client_finalized(gpointer node_pointer, GObject* finalized) {
    // Runs on umockdev's worker thread as it lets go of the client; the testbed never holds a
    // client itself, so its lock is free here.
    auto* node = static_cast<UsbfsNode*>(node_pointer);
    const ClientId client = finalized;
    std::unique_lock guard(node->lock_.mutex);
    // Closing the node ends everything the client had going, as the kernel does.
    node->clients_.erase(client);
    node->completed_.erase(client);
    std::erase_if(node->waiting_in_, [client](const Urb& urb) { return urb.client == client; });
    if (node->device_ != nullptr) node->device_->client_gone(client);
    node->update_readiness();
    guard.unlock();
    node->lock_.changed.notify_all();
}

UsbfsNode::Reply UsbfsNode::handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* argument) {
    const auto now = std::chrono::steady_clock::now();
    // Once the device is gone, only what already completed can still be reaped.
    if (device_ == nullptr && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        return {-1, ENODEV};
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (!write_pointed(argument, kCapabilities)) return {-1, EFAULT};
        return {};
    case USBDEVFS_CLAIMINTERFACE: {
        unsigned interface = 0;
        if (!read_pointed(argument, interface)) return {-1, EFAULT};
        const int error = device_->claim(client, interface, now);
        return error == 0 ? Reply{} : Reply{-1, error};
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        usbdevfs_disconnect_claim claim{};
        if (!read_pointed(argument, claim)) return {-1, EFAULT};
        const int error = device_->claim(client, claim.interface, now);
        return error == 0 ? Reply{} : Reply{-1, error};
    }
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned interface = 0;
        if (!read_pointed(argument, interface)) return {-1, EFAULT};
        const int error = device_->release(client, interface);
        return error == 0 ? Reply{} : Reply{-1, error};
    }
    case USBDEVFS_SETINTERFACE: {
        usbdevfs_setinterface setting{};
        if (!read_pointed(argument, setting)) return {-1, EFAULT};
        if (setting.interface != kLinkInterfaceNumber || setting.altsetting != 0) return {-1, EINVAL};
        return {};
    }
    case USBDEVFS_SETCONFIGURATION: {
        int configuration = 0;
        if (!read_pointed(argument, configuration)) return {-1, EFAULT};
        if (configuration != kConfigurationValue && configuration != -1 && configuration != 0) return {-1, EINVAL};
        return {};
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        return {-1, ENODATA};  // no kernel driver is bound to the module
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        unsigned endpoint = 0;
        if (!read_pointed(argument, endpoint)) return {-1, EFAULT};
        if (request == USBDEVFS_CLEAR_HALT) device_->clear_halt(static_cast<uint8_t>(endpoint));
        return {};
    }
    case USBDEVFS_RESET:
        return {};
    case USBDEVFS_CONNECTINFO: {
        usbdevfs_connectinfo info{};
        info.devnum = device_->state().address;
        info.slow = 0;
        if (!write_pointed(argument, info)) return {-1, EFAULT};
        return {};
    }
    case kGetSpeedRequest:
        return {USB_SPEED_HIGH, 0};
    case USBDEVFS_SUBMITURB:
        return submit(client, argument);
    case USBDEVFS_DISCARDURB:
        return discard(client, argument);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        // libusb only reaps without waiting, after poll() said something completed; a blocking
        // reap is answered the same way rather than holding umockdev's only worker thread.
        return reap(client, argument);
    default:
        return {-1, ENOTTY};
    }
}

UsbfsNode::Reply UsbfsNode::submit(ClientId client, UMockdevIoctlData* argument) {
    Urb urb;
    urb.client = client;
    urb.urb = GObjectRef<UMockdevIoctlData>::adopt(
        umockdev_ioctl_data_resolve(argument, 0, sizeof(usbdevfs_urb), nullptr));
    if (!urb.urb || static_cast<size_t>(urb.urb.get()->data_len) < sizeof(usbdevfs_urb)) return {-1, EFAULT};
    urb.address = urb.urb.get()->client_addr;
    usbdevfs_urb request;
    std::memcpy(&request, urb.urb.get()->data, sizeof request);
    if (request.buffer_length < 0) return {-1, EINVAL};
    const size_t length = static_cast<size_t>(request.buffer_length);
    if (length > 0) {
        urb.buffer = GObjectRef<UMockdevIoctlData>::adopt(
            umockdev_ioctl_data_resolve(urb.urb.get(), offsetof(usbdevfs_urb, buffer), length, nullptr));
        if (!urb.buffer || static_cast<size_t>(urb.buffer.get()->data_len) < length) return {-1, EFAULT};
    }
    const uint8_t* buffer = length > 0 ? urb.buffer.get()->data : nullptr;

    switch (request.type) {
    case USBDEVFS_URB_TYPE_CONTROL: return submit_control(std::move(urb), buffer, length);
    case USBDEVFS_URB_TYPE_BULK:
    case USBDEVFS_URB_TYPE_INTERRUPT: return submit_bulk(std::move(urb), request.endpoint, buffer, length);
    default: return {-1, EINVAL};  // the module has no isochronous endpoints
    }
}

UsbfsNode::Reply UsbfsNode::submit_control(Urb urb, const uint8_t* buffer, size_t length) {
    if (length < kSetupPacketLength) return {-1, EINVAL};
    uint8_t setup[kSetupPacketLength];
    std::memcpy(setup, buffer, kSetupPacketLength);
    const ControlAnswer answer = answer_standard_request(device_->identity(), setup);
    if (answer.stall) {
        urb.outcome.status = kUrbStalled;
    } else {
        // The data stage follows the setup packet in the same buffer.
        const size_t count = std::min(answer.data.size(), length - kSetupPacketLength);
        urb.outcome.in_bytes.assign(setup, setup + kSetupPacketLength);
        urb.outcome.in_bytes.insert(urb.outcome.in_bytes.end(), answer.data.begin(),
                                    answer.data.begin() + static_cast<std::ptrdiff_t>(count));
        // Towards the device the whole data stage counts as sent.
        const bool to_host = (setup[0] & USB_DIR_IN) != 0;
        urb.outcome.actual_length = to_host ? count : length - kSetupPacketLength;
    }
    complete(std::move(urb));
    return {};
}

UsbfsNode::Reply UsbfsNode::submit_bulk(Urb urb, uint8_t endpoint, const uint8_t* buffer, size_t length) {
    if (endpoint != kBulkInEndpoint && endpoint != kBulkOutEndpoint) return {-1, ENOENT};
    const auto now = std::chrono::steady_clock::now();
    if (const int error = device_->claim_for_transfer(urb.client, now); error != 0) return {-1, error};
    if (endpoint == kBulkOutEndpoint) {
        urb.outcome = device_->bulk_out(buffer, length, now);
        complete(std::move(urb));
    } else if (std::optional<UrbOutcome> failure = device_->failed_in_transfer()) {
        urb.outcome = std::move(*failure);
        complete(std::move(urb));
    } else if (length == 0) {
        complete(std::move(urb));
    } else {
        waiting_in_.push_back(std::move(urb));
    }
    device_->serve(now);
    return {};
}

UsbfsNode::Reply UsbfsNode::discard(ClientId client, UMockdevIoctlData* argument) {
    const unsigned long address = argument_value(argument);
    auto found = std::find_if(waiting_in_.begin(), waiting_in_.end(),
                              [&](const Urb& urb) { return urb.client == client && urb.address == address; });
    // A URB that already completed is not discarded; the host reaps it normally.
    if (found == waiting_in_.end()) return {-1, EINVAL};
    Urb urb = std::move(*found);
    waiting_in_.erase(found);
    urb.outcome = UrbOutcome{};
    urb.outcome.status = kUrbDiscarded;
    complete(std::move(urb));
    return {};
}

UsbfsNode::Reply UsbfsNode::reap(ClientId client, UMockdevIoctlData* argument) {
    auto queue = completed_.find(client);
    if (queue == completed_.end() || queue->second.empty()) return {-1, device_ == nullptr ? ENODEV : EAGAIN};
    Urb urb = std::move(queue->second.front());
    queue->second.pop_front();
    if (queue->second.empty()) completed_.erase(queue);
    update_readiness();

    auto* host_urb = reinterpret_cast<usbdevfs_urb*>(urb.urb.get()->data);
    host_urb->status = urb.outcome.status;
    host_urb->actual_length = static_cast<int>(urb.outcome.actual_length);
    host_urb->error_count = 0;
    if (urb.buffer && !urb.outcome.in_bytes.empty()) {
        const size_t count = std::min(urb.outcome.in_bytes.size(), static_cast<size_t>(urb.buffer.get()->data_len));
        std::memcpy(urb.buffer.get()->data, urb.outcome.in_bytes.data(), count);
    }
    // The argument points at the host's URB pointer; it is set to the reaped URB, and completing
    // the ioctl copies the URB and its buffer back into the host's memory.
    GObjectRef<UMockdevIoctlData> target =
        GObjectRef<UMockdevIoctlData>::adopt(umockdev_ioctl_data_resolve(argument, 0, sizeof(void*), nullptr));
    if (!target || !umockdev_ioctl_data_set_ptr(target.get(), 0, urb.urb.get())) return {-1, EFAULT};
    return {};
}

void UsbfsNode::retire(int status) {
    while (!waiting_in_.empty()) {
        Urb urb = std::move(waiting_in_.front());
        waiting_in_.pop_front();
        urb.outcome = UrbOutcome{};
        urb.outcome.status = status;
        complete(std::move(urb));
    }
    device_ = nullptr;
}

size_t UsbfsNode::waiting_in_capacity() const {
    if (waiting_in_.empty()) return 0;
    const Urb& urb = waiting_in_.front();
    return urb.buffer ? static_cast<size_t>(urb.buffer.get()->data_len) : 0;
}

void UsbfsNode::complete_waiting_in(UrbOutcome outcome) {
    if (waiting_in_.empty()) return;
    Urb urb = std::move(waiting_in_.front());
    waiting_in_.pop_front();
    urb.outcome = std::move(outcome);
    complete(std::move(urb));
}

void UsbfsNode::complete(Urb urb) {
    completed_[urb.client].push_back(std::move(urb));
    update_readiness();
}

void UsbfsNode::update_readiness() { readiness_.set_ready(!completed_.empty()); }

}  // namespace usb_emulation
