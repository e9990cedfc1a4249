#include "FakeUsbBus.h"

#include <algorithm>
#include <cstring>

#include "lvusb_driver.h"

namespace test_support {

namespace {

FakeUsbBus* active_bus = nullptr;
constexpr uint8_t SERIAL_STRING_INDEX = 3;

}  // namespace

FakeUsbBus::FakeUsbBus() {
    static const lvusb_operations operations = {
        get_device_list, free_device_list, get_device_descriptor, open, close,
        get_string_descriptor_ascii, get_active_config_descriptor, free_config_descriptor,
        claim_interface, release_interface, bulk_transfer, clear_halt,
    };
    active_bus = this;
    lvusb_set_operations(&operations);
}

FakeUsbBus::~FakeUsbBus() {
    lvusb_set_operations(nullptr);
    active_bus = nullptr;
}

FakeUsbDevice& FakeUsbBus::add(const FakeUsbDevice& device) {
    std::lock_guard lock(mutex_);
    FakeUsbDevice& added = devices_.emplace_back(device);
    int count = 0;
    if (added.hasIn) {
        added.endpoints[count++] = {sizeof(libusb_endpoint_descriptor), LIBUSB_DT_ENDPOINT, 0x81,
                                    added.endpointAttributes, added.maxPacketSize, 0, 0, 0, nullptr, 0};
    }
    if (added.hasOut) {
        added.endpoints[count++] = {sizeof(libusb_endpoint_descriptor), LIBUSB_DT_ENDPOINT, 0x02,
                                    added.endpointAttributes, added.maxPacketSize, 0, 0, 0, nullptr, 0};
    }
    added.setting.bInterfaceNumber = added.interfaceNumber;
    added.setting.bInterfaceClass = added.interfaceClass;
    added.setting.bInterfaceSubClass = added.interfaceSubClass;
    added.setting.bInterfaceProtocol = added.interfaceProtocol;
    added.setting.bNumEndpoints = static_cast<uint8_t>(count);
    added.setting.endpoint = added.endpoints;
    added.interface.altsetting = &added.setting;
    added.interface.num_altsetting = 1;
    added.config.bNumInterfaces = 1;
    added.config.interface = &added.interface;
    return added;
}

void FakeUsbBus::script_out(const std::vector<FakeTransfer>& outcomes) {
    std::lock_guard lock(mutex_);
    out_script_.insert(out_script_.end(), outcomes.begin(), outcomes.end());
}

void FakeUsbBus::script_in(const std::vector<FakeTransfer>& outcomes) {
    std::lock_guard lock(mutex_);
    in_script_.insert(in_script_.end(), outcomes.begin(), outcomes.end());
}

void FakeUsbBus::set_clear_halt_result(int result) {
    std::lock_guard lock(mutex_);
    clear_halt_result_ = result;
}

void FakeUsbBus::set_responder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void FakeUsbBus::module_sends(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    to_host_ += bytes;
    changed_.notify_all();
}

std::vector<int> FakeUsbBus::out_lengths() {
    std::lock_guard lock(mutex_);
    return out_lengths_;
}

std::vector<unsigned> FakeUsbBus::out_timeouts() {
    std::lock_guard lock(mutex_);
    return out_timeouts_;
}

std::vector<unsigned> FakeUsbBus::in_timeouts() {
    std::lock_guard lock(mutex_);
    return in_timeouts_;
}

std::string FakeUsbBus::host_bytes() {
    std::lock_guard lock(mutex_);
    return from_host_;
}

std::vector<unsigned char> FakeUsbBus::cleared_endpoints() {
    std::lock_guard lock(mutex_);
    return cleared_;
}

int FakeUsbBus::lists_taken() {
    std::lock_guard lock(mutex_);
    return lists_taken_;
}

int FakeUsbBus::lists_freed() {
    std::lock_guard lock(mutex_);
    return lists_freed_;
}

std::string FakeUsbBus::next_host_bytes(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return from_host_.size() - host_mark_ >= count; });
    std::string next = from_host_.substr(host_mark_, count);
    host_mark_ += next.size();
    return next;
}

ssize_t FakeUsbBus::get_device_list(libusb_context*, libusb_device*** list) {
    FakeUsbBus& bus = *active_bus;
    std::lock_guard lock(bus.mutex_);
    auto* entries = new libusb_device*[bus.devices_.size() + 1];
    size_t i = 0;
    for (FakeUsbDevice& device : bus.devices_) entries[i++] = reinterpret_cast<libusb_device*>(&device);
    entries[i] = nullptr;
    *list = entries;
    ++bus.lists_taken_;
    return static_cast<ssize_t>(i);
}

void FakeUsbBus::free_device_list(libusb_device** list, int) {
    std::lock_guard lock(active_bus->mutex_);
    delete[] list;
    ++active_bus->lists_freed_;
}

int FakeUsbBus::get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    auto* fake = reinterpret_cast<FakeUsbDevice*>(device);
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->idVendor = fake->vendor;
    descriptor->idProduct = fake->product;
    descriptor->iSerialNumber = fake->serial.empty() ? 0 : SERIAL_STRING_INDEX;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int FakeUsbBus::open(libusb_device* device, libusb_device_handle** handle) {
    std::lock_guard lock(active_bus->mutex_);
    auto* fake = reinterpret_cast<FakeUsbDevice*>(device);
    ++fake->opens;
    *handle = reinterpret_cast<libusb_device_handle*>(&fake->handleTag);
    return LIBUSB_SUCCESS;
}

FakeUsbDevice* FakeUsbBus::device_of(libusb_device_handle* handle) {
    for (FakeUsbDevice& device : active_bus->devices_) {
        if (reinterpret_cast<libusb_device_handle*>(&device.handleTag) == handle) return &device;
    }
    return nullptr;
}

void FakeUsbBus::close(libusb_device_handle* handle) {
    std::lock_guard lock(active_bus->mutex_);
    FakeUsbDevice* device = device_of(handle);
    if (device != nullptr) ++device->closes;
}

int FakeUsbBus::get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* text,
                                            int length) {
    std::lock_guard lock(active_bus->mutex_);
    FakeUsbDevice* device = device_of(handle);
    if (device == nullptr || index != SERIAL_STRING_INDEX || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    size_t copied = std::min(device->serial.size(), static_cast<size_t>(length - 1));
    memcpy(text, device->serial.data(), copied);
    text[copied] = '\0';
    return static_cast<int>(copied);
}

int FakeUsbBus::get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
    *config = &reinterpret_cast<FakeUsbDevice*>(device)->config;
    return LIBUSB_SUCCESS;
}

void FakeUsbBus::free_config_descriptor(libusb_config_descriptor*) {}

int FakeUsbBus::claim_interface(libusb_device_handle* handle, int) {
    std::lock_guard lock(active_bus->mutex_);
    FakeUsbDevice* device = device_of(handle);
    if (device == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    device->claimed = device->claimResult == LIBUSB_SUCCESS;
    return device->claimResult;
}

int FakeUsbBus::release_interface(libusb_device_handle* handle, int) {
    std::lock_guard lock(active_bus->mutex_);
    FakeUsbDevice* device = device_of(handle);
    if (device != nullptr) device->claimed = false;
    return LIBUSB_SUCCESS;
}

int FakeUsbBus::bulk_transfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length,
                              int* transferred, unsigned int timeout_ms) {
    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) return active_bus->transfer_in(data, length, transferred, timeout_ms);
    return active_bus->transfer_out(data, length, transferred, timeout_ms);
}

int FakeUsbBus::clear_halt(libusb_device_handle*, unsigned char endpoint) {
    std::lock_guard lock(active_bus->mutex_);
    active_bus->cleared_.push_back(endpoint);
    return active_bus->clear_halt_result_;
}

int FakeUsbBus::transfer_out(unsigned char* data, int length, int* transferred, unsigned int timeout_ms) {
    std::lock_guard lock(mutex_);
    out_lengths_.push_back(length);
    out_timeouts_.push_back(timeout_ms);
    FakeTransfer outcome;
    if (!out_script_.empty()) {
        outcome = out_script_.front();
        out_script_.pop_front();
    }
    int moved = outcome.transferred < 0 ? length : std::min(outcome.transferred, length);
    std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(moved));
    from_host_ += bytes;
    answer_host(bytes);
    *transferred = moved;
    changed_.notify_all();
    return outcome.result;
}

int FakeUsbBus::transfer_in(unsigned char* data, int length, int* transferred, unsigned int timeout_ms) {
    std::unique_lock lock(mutex_);
    in_timeouts_.push_back(timeout_ms);
    *transferred = 0;
    if (!in_script_.empty()) {
        FakeTransfer outcome = in_script_.front();
        in_script_.pop_front();
        size_t delivered = std::min(outcome.bytes.size(), static_cast<size_t>(length));
        memcpy(data, outcome.bytes.data(), delivered);
        *transferred = static_cast<int>(delivered);
        return outcome.result;
    }
    auto wait = std::min(std::chrono::milliseconds(timeout_ms), in_wait_cap);
    changed_.wait_for(lock, wait, [&] { return !to_host_.empty(); });
    if (to_host_.empty()) return LIBUSB_ERROR_TIMEOUT;
    size_t delivered = std::min(to_host_.size(), static_cast<size_t>(length));
    memcpy(data, to_host_.data(), delivered);
    to_host_.erase(0, delivered);
    *transferred = static_cast<int>(delivered);
    return LIBUSB_SUCCESS;
}

void FakeUsbBus::answer_host(const std::string& bytes) {
    pending_packet_ += bytes;
    while (pending_packet_.size() >= 2) {
        size_t size = 2 + static_cast<unsigned char>(pending_packet_[1]);
        if (pending_packet_.size() < size) break;
        std::string packet = pending_packet_.substr(0, size);
        pending_packet_.erase(0, size);
        if (responder_) to_host_ += responder_(packet);
    }
}

}  // namespace test_support
