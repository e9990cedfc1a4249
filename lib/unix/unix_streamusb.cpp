// USB streams over the lvusb device layer.
#include <cstdio>
#include <new>

#include "lvusb_driver.h"
#include "qStreamusb.h"

namespace {

struct USBStream {
    uint16_t valid;  // qVALIDUSBS
    uint32_t serialNumber;
    lvusb_device* device;
};

USBStream* usb_record(void* reference) {
    auto* record = static_cast<USBStream*>(reference);
    return (record != nullptr && record->valid == qVALIDUSBS) ? record : nullptr;
}

qErr usb_get(uint8_t* byte, void* reference) {
    USBStream* record = usb_record(reference);
    return record == nullptr ? qErrParam : lvusb_get_from_device(record->device, byte);
}

qErr usb_read_available(uint8_t* buffer, size_t capacity, size_t* count, void* reference) {
    USBStream* record = usb_record(reference);
    return record == nullptr ? qErrParam : lvusb_read_available(record->device, buffer, capacity, count);
}

// A libusb read waits up to 1000 ms for its transfer by itself, so a reader may always go
// ahead and read. The kernel node cannot tell; its reader paces its own polling.
qErr usb_wait_readable(uint32_t, void* reference) {
    USBStream* record = usb_record(reference);
    if (record == nullptr) return qErrParam;
    return record->device->backend == lvusbBackendLibusb ? qErrNone : qErrUnimplemented;
}

qErr usb_write(const uint8_t* data, size_t length, void* reference) {
    USBStream* record = usb_record(reference);
    return record == nullptr ? qErrParam : lvusb_write_to_device(record->device, data, length);
}

qErr usb_put(const uint8_t* byte, void* reference) { return usb_write(byte, 1, reference); }

// Everything is released even when the close reports trouble: a record kept back could never
// be freed, and its handle would keep the module claimed.
qErr usb_delete(void* reference) {
    USBStream* record = usb_record(reference);
    if (record == nullptr) return qErrParam;
    qErr closed = lvusb_close_lumenvane_device(record->device);
    lvusb_destroy(&record->device);
    record->valid = 0;
    delete record;
    return closed;
}

}  // namespace

qErr qStream_CreateUSB(uint32_t serialNumber, qStream** stream) {
    if (stream == nullptr) return qErrParam;
    *stream = nullptr;
    if (serialNumber == 0) return qErrParam;
    USBStream* record = new (std::nothrow) USBStream{qVALIDUSBS, serialNumber, nullptr};
    if (record == nullptr) return qErrMemory;

    record->device = lvusb_create_usb(!lvusb_is_kernel_driver_installed(serialNumber));
    if (record->device == nullptr) {
        delete record;
        return qErrResource;
    }
    char serial_text[sizeof "FFFFFFFF"];
    snprintf(serial_text, sizeof serial_text, "%08X", serialNumber);
    qErr opened = lvusb_open_lumenvane_device(record->device, serial_text);
    if (opened != qErrNone) {
        lvusb_destroy(&record->device);
        delete record;
        return opened;
    }
    qStream* made = qStream_Create(usb_get, usb_put, usb_write, usb_delete, record);
    if (made == nullptr) {
        usb_delete(record);
        return qErrMemory;
    }
    qStream_SetReadyOperations(made, usb_read_available, usb_wait_readable);
    *stream = made;
    return qErrNone;
}
