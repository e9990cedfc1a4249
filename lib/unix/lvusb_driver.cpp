#include "lvusb_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "Lumenvane-C.h"
#include "qDebugging.h"
#include "qFile.h"

namespace {

const lvusb_operations LIBUSB_OPERATIONS = {
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_string_descriptor_ascii,
    libusb_get_active_config_descriptor,
    libusb_free_config_descriptor,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_bulk_transfer,
    libusb_clear_halt,
};

std::atomic<const lvusb_operations*> current_operations{&LIBUSB_OPERATIONS};

const lvusb_operations& usb() { return *current_operations.load(); }

bool uses_libusb(const lvusb_device* device) { return device->backend == lvusbBackendLibusb; }

bool is_known_state(int state) { return state >= lvusbStateCreated && state <= lvusbStateFailed; }

// The result of a transfer attempt in a state that allows none.
qErr state_refusal(int state) {
    switch (state) {
        case lvusbStateClosed: return qErrConnection;
        case lvusbStateCreated:
        case lvusbStateOpened: return qErrNotReady;
        default: return qErrIO;
    }
}

qErr claim_error(int error) {
    switch (error) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE: return qErrBusy;
        case LIBUSB_ERROR_ACCESS: return qErrPermission;
        default: return qErrUnknown;
    }
}

// True when the device's serial string is exactly the wanted text (case matters).
bool serial_matches(libusb_device_handle* handle, uint8_t index, const char* wanted) {
    unsigned char text[LVUSB_SERIAL_TEXT_SIZE] = {};
    int length = usb().get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (length < 0) return false;
    text[std::min<size_t>(static_cast<size_t>(length), sizeof text - 1)] = '\0';
    return strcmp(reinterpret_cast<const char*>(text), wanted) == 0;
}

// The matched module: find its endpoints and claim its interface. On failure the handle is
// closed and the record left closed.
qErr take_device(lvusb_device* device, libusb_device* candidate, libusb_device_handle* handle) {
    device->handle = handle;
    device->state = lvusbStateOpened;
    qErr result = qErrConfiguration;
    libusb_config_descriptor* config = nullptr;
    if (usb().get_active_config_descriptor(candidate, &config) == LIBUSB_SUCCESS && config != nullptr) {
        bool found = lvusb_match_interface(config, device);
        usb().free_config_descriptor(config);
        if (found) {
            int claimed = usb().claim_interface(handle, device->interfaceNumber);
            result = claimed == LIBUSB_SUCCESS ? qErrNone : claim_error(claimed);
        }
    }
    if (result == qErrNone) {
        device->readPosition = 0;
        device->available = 0;
        device->errorCount = 0;
        device->state = lvusbStateReady;
        return qErrNone;
    }
    device->state = lvusbStateClosed;
    usb().close(handle);
    device->handle = nullptr;
    return result;
}

qErr lvusb_write_to_USBlib_device(lvusb_device* device, const uint8_t* data, size_t length) {
    if (!uses_libusb(device)) return qErrMode;
    int state = device->state;
    if (state != lvusbStateReady) return state_refusal(state);

    size_t sent = 0;
    int failures = 0;
    qErr result = qErrNone;
    while (sent < length && failures < LVUSB_WRITE_MAX_FAILURES) {
        // An endpoint that reports no packet size still gets chunks below the avoided size.
        size_t packet_size = device->outMaxPacketSize > 0 ? device->outMaxPacketSize : LVUSB_AVOIDED_CHUNK - 1;
        size_t chunk = std::min(length - sent, packet_size);
        if (chunk == LVUSB_AVOIDED_CHUNK) chunk = LVUSB_AVOIDED_CHUNK - 1;
        int transferred = 0;
        int outcome = usb().bulk_transfer(device->handle, device->outEndpoint, const_cast<unsigned char*>(data + sent),
                                          static_cast<int>(chunk), &transferred, LVUSB_WRITE_TIMEOUT_MS);
        // Bytes the device took are never sent again, whatever the transfer's outcome: sending
        // them twice would put stray bytes into the module's packet stream.
        size_t taken = transferred > 0 ? std::min<size_t>(static_cast<size_t>(transferred), chunk) : 0;
        sent += taken;
        if (outcome == LIBUSB_SUCCESS && taken > 0) continue;
        // A failed transfer, or one that moved nothing: the rest of the chunk goes again.
        ++failures;
        qDebugging_Trace(qDEBUG_USB, "bulk out failed: %d", outcome);
        if (outcome == LIBUSB_ERROR_PIPE && usb().clear_halt(device->handle, device->outEndpoint) != LIBUSB_SUCCESS) {
            result = qErrIO;  // the endpoint stays stalled: no use sending on
            break;
        }
    }
    if (result == qErrNone && sent < length) result = qErrWrite;
    return _handleErrorTolerance(device, result, false);
}

// Refills the in buffer with one bulk transfer when it is empty.
qErr fill_in_buffer(lvusb_device* device) {
    if (device->readPosition < device->available) return qErrNone;
    int state = device->state;
    if (state != lvusbStateReady) return state_refusal(state);
    device->readPosition = 0;
    device->available = 0;
    int transferred = 0;
    int outcome = usb().bulk_transfer(device->handle, device->inEndpoint, device->inBuffer, LVUSB_IN_BUFFER_SIZE,
                                      &transferred, LVUSB_READ_TIMEOUT_MS);
    if (outcome == LIBUSB_ERROR_PIPE) {
        usb().clear_halt(device->handle, device->inEndpoint);
        return qErrNotReady;
    }
    if (outcome != LIBUSB_SUCCESS && outcome != LIBUSB_ERROR_TIMEOUT) {
        qDebugging_Trace(qDEBUG_USB, "bulk in failed: %d", outcome);
        return qErrIO;
    }
    // A time-out may still have brought bytes; they are kept.
    device->available = transferred > 0 ? std::min<size_t>(static_cast<size_t>(transferred), LVUSB_IN_BUFFER_SIZE) : 0;
    return device->available > 0 ? qErrNone : qErrNotReady;
}

qErr take_from_in_buffer(lvusb_device* device, uint8_t* buffer, size_t capacity, size_t* count) {
    qErr result = fill_in_buffer(device);
    if (result == qErrNone) {
        size_t taken = std::min(capacity, device->available - device->readPosition);
        memcpy(buffer, device->inBuffer + device->readPosition, taken);
        device->readPosition += taken;
        *count = taken;
    }
    return _handleErrorTolerance(device, result, true);
}

qErr lvusb_get_from_USBlib_device(lvusb_device* device, uint8_t* byte) {
    if (!uses_libusb(device)) return qErrMode;
    size_t count = 0;
    return take_from_in_buffer(device, byte, 1, &count);
}

bool has_kernel_node(const lvusb_device* device) { return !uses_libusb(device) && device->descriptor >= 0; }

qErr lvusb_write_to_kernel_device(lvusb_device* device, const uint8_t* data, size_t length) {
    if (!has_kernel_node(device)) return qErrMode;
    size_t sent = 0;
    for (int call = 0; call < LVUSB_KERNEL_WRITE_MAX_CALLS && sent < length; ++call) {
        ssize_t written = write(device->descriptor, data + sent, length - sent);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return qErrIO;
        sent += static_cast<size_t>(written);
    }
    return sent == length ? qErrNone : qErrIO;
}

qErr lvusb_get_from_kernel_device(lvusb_device* device, uint8_t* byte) {
    if (!has_kernel_node(device)) return qErrMode;
    ssize_t received = read(device->descriptor, byte, 1);
    if (received == 1) return qErrNone;
    if (received == 0) return qErrNotReady;
    // The driver reports "nothing waiting" with EFAULT.
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR) return qErrNotReady;
    return qErrIO;
}

}  // namespace

void lvusb_set_operations(const lvusb_operations* operations) {
    current_operations = operations != nullptr ? operations : &LIBUSB_OPERATIONS;
}

lvusb_device* lvusb_create_usb(bool use_libusb) {
    if (use_libusb && Lumenvane_libusb_init() != qErrNone) return nullptr;
    lvusb_device* device = new (std::nothrow) lvusb_device{};
    if (device == nullptr) return nullptr;
    device->backend = use_libusb ? lvusbBackendLibusb : lvusbBackendKernel;
    device->state = lvusbStateCreated;
    device->descriptor = -1;
    return device;
}

qErr lvusb_destroy(lvusb_device** device) {
    if (device == nullptr || *device == nullptr) return qErrParam;
    if ((*device)->handle != nullptr || (*device)->descriptor >= 0) lvusb_close_lumenvane_device(*device);
    delete *device;
    *device = nullptr;
    return qErrNone;
}

bool lvusb_is_kernel_driver_installed(uint32_t serial_number) {
    char path[sizeof LVUSB_KERNEL_NODE_PREFIX + 8];
    snprintf(path, sizeof path, LVUSB_KERNEL_NODE_FORMAT, serial_number);
    return qFile_Exists(path);
}

bool is_lumenvane_device(const libusb_device_descriptor* descriptor) {
    return descriptor != nullptr && descriptor->idVendor == LVUSB_VENDOR_ID &&
           (descriptor->idProduct & LVUSB_PRODUCT_ID_NOT_MODULE) == 0;
}

bool lvusb_match_interface(const libusb_config_descriptor* config, lvusb_device* device) {
    if (config == nullptr || device == nullptr) return false;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != LVUSB_INTERFACE_CLASS || setting.bInterfaceSubClass != LVUSB_INTERFACE_SUBCLASS ||
                setting.bInterfaceProtocol != LVUSB_INTERFACE_PROTOCOL) {
                continue;
            }
            bool found_in = false;
            bool found_out = false;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if ((endpoint.bmAttributes & LVUSB_ENDPOINT_BULK_OR_INTERRUPT) == 0) continue;
                if ((endpoint.bEndpointAddress & LVUSB_ENDPOINT_IN) != 0) {
                    device->inEndpoint = endpoint.bEndpointAddress;
                    device->inMaxPacketSize = endpoint.wMaxPacketSize;
                    found_in = true;
                } else {
                    device->outEndpoint = endpoint.bEndpointAddress;
                    device->outMaxPacketSize = endpoint.wMaxPacketSize;
                    found_out = true;
                }
            }
            device->interfaceNumber = setting.bInterfaceNumber;
            return found_in && found_out;
        }
    }
    return false;
}

bool lvusb_visit_modules(lvusb_module_visitor visitor, void* reference) {
    if (visitor == nullptr) return false;
    libusb_context* context = Lumenvane_libusb_context();
    if (context == nullptr) return false;
    libusb_device** list = nullptr;
    ssize_t count = usb().get_device_list(context, &list);
    if (count < 0) return false;
    bool going_on = true;
    for (ssize_t i = 0; i < count && going_on; ++i) {
        libusb_device_descriptor descriptor{};
        if (usb().get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (!is_lumenvane_device(&descriptor) || descriptor.iSerialNumber == 0) continue;
        libusb_device_handle* handle = nullptr;
        if (usb().open(list[i], &handle) != LIBUSB_SUCCESS || handle == nullptr) continue;
        unsigned char text[LVUSB_SEARCH_SERIAL_SIZE + 1] = {};
        int length = usb().get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, LVUSB_SEARCH_SERIAL_SIZE);
        if (length >= 0) {
            text[std::min(length, LVUSB_SEARCH_SERIAL_SIZE)] = '\0';
            going_on = visitor(reinterpret_cast<const char*>(text), descriptor.idProduct, reference);
        }
        usb().close(handle);
    }
    usb().free_device_list(list, 1);
    return true;
}

qErr lvusb_open_lumenvane_device(lvusb_device* device, const char* serial_text) {
    if (device == nullptr || serial_text == nullptr) return qErrParam;
    return uses_libusb(device) ? lvusb_open_lumenvane_USBlib_device(device, serial_text)
                               : lvusb_open_lumenvane_kernel_device(device, serial_text);
}

qErr lvusb_open_lumenvane_USBlib_device(lvusb_device* device, const char* serial_text) {
    if (device == nullptr || serial_text == nullptr) return qErrParam;
    if (!uses_libusb(device)) return qErrMode;
    if (!is_known_state(device->state)) return qErrResource;
    libusb_context* context = Lumenvane_libusb_context();
    if (context == nullptr) return qErrNotFound;

    libusb_device** list = nullptr;
    ssize_t count = usb().get_device_list(context, &list);
    if (count < 0) return qErrNotFound;
    qErr result = qErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (usb().get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (!is_lumenvane_device(&descriptor)) continue;
        libusb_device_handle* handle = nullptr;
        if (usb().open(list[i], &handle) != LIBUSB_SUCCESS || handle == nullptr) continue;
        if (!serial_matches(handle, descriptor.iSerialNumber, serial_text)) {
            usb().close(handle);
            continue;
        }
        snprintf(device->serial, sizeof device->serial, "%s", serial_text);
        result = take_device(device, list[i], handle);
        break;  // the first module with that serial number decides, whatever the outcome
    }
    usb().free_device_list(list, 1);
    return result;
}

qErr lvusb_open_lumenvane_kernel_device(lvusb_device* device, const char* serial_text) {
    if (device == nullptr || serial_text == nullptr) return qErrParam;
    if (uses_libusb(device)) return qErrMode;
    char path[sizeof LVUSB_KERNEL_NODE_PREFIX + LVUSB_SERIAL_TEXT_SIZE];
    snprintf(path, sizeof path, "%s%s", LVUSB_KERNEL_NODE_PREFIX, serial_text);
    int descriptor = open(path, O_RDWR | O_CLOEXEC);
    if (descriptor < 0) return errno == EBUSY ? qErrBusy : qErrIO;
    snprintf(device->serial, sizeof device->serial, "%s", serial_text);
    device->descriptor = descriptor;
    device->state = lvusbStateReady;
    return qErrNone;
}

qErr lvusb_write_to_device(lvusb_device* device, const uint8_t* data, size_t length) {
    if (device == nullptr || (data == nullptr && length > 0)) return qErrParam;
    return uses_libusb(device) ? lvusb_write_to_USBlib_device(device, data, length)
                               : lvusb_write_to_kernel_device(device, data, length);
}

qErr lvusb_get_from_device(lvusb_device* device, uint8_t* byte) {
    if (device == nullptr || byte == nullptr) return qErrParam;
    return uses_libusb(device) ? lvusb_get_from_USBlib_device(device, byte) : lvusb_get_from_kernel_device(device, byte);
}

qErr lvusb_read_available(lvusb_device* device, uint8_t* buffer, size_t capacity, size_t* count) {
    if (count != nullptr) *count = 0;
    if (device == nullptr || buffer == nullptr || count == nullptr || capacity == 0) return qErrParam;
    if (!uses_libusb(device)) {
        qErr result = lvusb_get_from_kernel_device(device, buffer);
        if (result == qErrNone) *count = 1;
        return result;
    }
    return take_from_in_buffer(device, buffer, capacity, count);
}

qErr lvusb_close_lumenvane_device(lvusb_device* device) {
    if (device == nullptr) return qErrParam;
    if (!uses_libusb(device)) {
        if (device->descriptor < 0) return qErrMode;
        int closed = close(device->descriptor);
        device->descriptor = -1;
        device->state = lvusbStateClosed;
        return closed == 0 ? qErrNone : qErrCancel;
    }
    if (device->handle == nullptr) return qErrMode;
    if (device->state == lvusbStateReady || device->state == lvusbStateFailed) {
        usb().release_interface(device->handle, device->interfaceNumber);
    }
    usb().close(device->handle);
    device->handle = nullptr;
    device->state = lvusbStateClosed;
    device->interfaceNumber = 0;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    return qErrNone;
}

qErr _handleErrorTolerance(lvusb_device* device, qErr result, bool reading) {
    // A failed device stays failed, whatever ends a run of errors meanwhile.
    if (device->state == lvusbStateFailed && result != qErrNone) return qErrIO;
    if (result != qErrIO) {
        device->errorCount = 0;
        return result;
    }
    uint8_t before = device->errorCount;
    if (before < UINT8_MAX) device->errorCount = static_cast<uint8_t>(before + 1);
    if (before < LVUSB_TOLERATED_ERRORS) {
        // Hidden. A read must not claim a byte it does not have, so it reports that none came.
        return reading ? qErrNotReady : qErrNone;
    }
    device->state = lvusbStateFailed;
    return qErrIO;
}
