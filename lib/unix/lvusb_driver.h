// The USB device layer under USB streams: one module, opened by its serial number, with one
// chunked bulk write and a buffered one-byte read, over either of two back ends:
//   - libusb (the usual path), through the process's shared context (Lumenvane-C.h);
//   - the kernel node "/dev/lumenvane.%08X" of the maker's optional driver, when it exists.
//
// A device record has no lock: one thread reads while one other thread writes (a link's reader
// and writer). The in buffer and its counters belong to the reading side; the state and the
// error count are touched by both.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qError.h"

// Which devices are modules, and the interface that carries the link.
#define LVUSB_VENDOR_ID 0x7C4E
#define LVUSB_PRODUCT_ID_NOT_MODULE 0x8000  // product IDs with bit 15 set are not modules
#define LVUSB_INTERFACE_CLASS 0xFF
#define LVUSB_INTERFACE_SUBCLASS 0x88
#define LVUSB_INTERFACE_PROTOCOL 0x10
#define LVUSB_ENDPOINT_IN 0x80              // address bit of an in endpoint
#define LVUSB_ENDPOINT_BULK_OR_INTERRUPT 2  // attribute bit shared by bulk (2) and interrupt (3)

#define LVUSB_SERIAL_TEXT_SIZE 256
#define LVUSB_SEARCH_SERIAL_SIZE 32  // most serial-string bytes a bus walk reads
#define LVUSB_KERNEL_NODE_FORMAT "/dev/lumenvane.%08X"
#define LVUSB_KERNEL_NODE_PREFIX "/dev/lumenvane."

// Transfers.
#define LVUSB_IN_BUFFER_SIZE 1024
#define LVUSB_READ_TIMEOUT_MS 1000
#define LVUSB_WRITE_TIMEOUT_MS 50
#define LVUSB_WRITE_MAX_FAILURES 10      // failed transfers before a write gives up
// A chunk of exactly this many bytes goes out one byte shorter: the module's firmware has
// always been sent 511-byte chunks on 512-byte endpoints.
#define LVUSB_AVOIDED_CHUNK 512
#define LVUSB_KERNEL_WRITE_MAX_CALLS 1000
// I/O errors in a row that are absorbed; the next one fails the device.
#define LVUSB_TOLERATED_ERRORS 4

typedef enum {
    lvusbStateCreated = 0,  // record made, nothing open
    lvusbStateClosed = 1,   // open failed, or closed
    lvusbStateOpened = 2,   // handle obtained, interface not claimed
    lvusbStateReady = 3,    // interface claimed: transfers allowed
    lvusbStateFailed = 4,   // too many I/O errors in a row; stays until closed and reopened
} lvusbState;

typedef enum {
    lvusbBackendKernel = 0,
    lvusbBackendLibusb = 1,
} lvusbBackend;

typedef struct lvusb_device {
    uint8_t backend;  // lvusbBackend
    char serial[LVUSB_SERIAL_TEXT_SIZE];
    libusb_device_handle* handle;
    std::atomic<int> state;  // lvusbState
    int interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t inBuffer[LVUSB_IN_BUFFER_SIZE];
    size_t readPosition;  // next byte to hand out
    size_t available;     // bytes received by the last transfer
    std::atomic<uint8_t> errorCount;  // consecutive I/O errors, held at 255
    uint16_t inMaxPacketSize;
    uint16_t outMaxPacketSize;
    int descriptor;  // the open kernel node, or -1
} lvusb_device;

// The libusb calls the layer makes. Tests replace them to play devices that are not there;
// everything else runs the real libusb.
typedef struct lvusb_operations {
    ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
    void (*free_device_list)(libusb_device** list, int unreference);
    int (*get_device_descriptor)(libusb_device* device, libusb_device_descriptor* descriptor);
    int (*open)(libusb_device* device, libusb_device_handle** handle);
    void (*close)(libusb_device_handle* handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* text, int length);
    int (*get_active_config_descriptor)(libusb_device* device, libusb_config_descriptor** config);
    void (*free_config_descriptor)(libusb_config_descriptor* config);
    int (*claim_interface)(libusb_device_handle* handle, int interface_number);
    int (*release_interface)(libusb_device_handle* handle, int interface_number);
    int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                         int* transferred, unsigned int timeout_ms);
    int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
} lvusb_operations;

// Replaces the libusb calls (none: the real libusb again). Set it before devices are opened.
void lvusb_set_operations(const lvusb_operations* operations);

// A record in the created state with the chosen back end; for libusb the shared context is
// made first. None without memory or when libusb cannot start.
lvusb_device* lvusb_create_usb(bool use_libusb);
// Closes what is still open, frees the record, clears the pointer; qErrParam for none.
qErr lvusb_destroy(lvusb_device** device);
// True when the kernel node of this module exists.
bool lvusb_is_kernel_driver_installed(uint32_t serial_number);

// Vendor 0x7C4E with a product ID below 0x8000.
bool is_lumenvane_device(const libusb_device_descriptor* descriptor);
// Looks in the configuration for the link's interface (class 0xFF, subclass 0x88, protocol
// 0x10) and takes its in and out endpoints with their maximum packet sizes into the record.
// True when both were found.
bool lvusb_match_interface(const libusb_config_descriptor* config, lvusb_device* device);

// Called for each module a bus walk meets, with its serial string and product ID; false stops
// the walk.
typedef bool (*lvusb_module_visitor)(const char* serial_text, uint16_t product_id, void* reference);
// Walks the modules in the shared context's device list: each one that opens and reports a
// serial string (at most 32 bytes) is visited while open, then closed. Devices that cannot be
// opened or read are passed over. False when the device list cannot be had.
bool lvusb_visit_modules(lvusb_module_visitor visitor, void* reference);

// Opens the module whose serial string is exactly `serial_text` through the record's back end.
// libusb: qErrNotFound when no module reports it, qErrConfiguration without the link's
// endpoints, qErrBusy when another holder has the interface or the device went away,
// qErrPermission, qErrUnknown; kernel node: qErrBusy or qErrIO. qErrMode for the other back
// end's record, qErrParam for null arguments.
qErr lvusb_open_lumenvane_device(lvusb_device* device, const char* serial_text);
qErr lvusb_open_lumenvane_USBlib_device(lvusb_device* device, const char* serial_text);
qErr lvusb_open_lumenvane_kernel_device(lvusb_device* device, const char* serial_text);

// Sends all bytes. libusb: in chunks of the out endpoint's packet size, each retried after a
// failure (a stalled endpoint is cleared first), at most 10 failed transfers: qErrWrite for
// bytes left over. qErrConnection when closed, qErrNotReady before the interface is claimed,
// qErrIO once failed.
qErr lvusb_write_to_device(lvusb_device* device, const uint8_t* data, size_t length);
// Hands out the next received byte; when none is left, one bulk transfer of up to 1024 bytes
// waits up to 1000 ms for more. qErrNotReady when nothing came.
qErr lvusb_get_from_device(lvusb_device* device, uint8_t* byte);
// Like lvusb_get_from_device, for every buffered byte that fits at once.
qErr lvusb_read_available(lvusb_device* device, uint8_t* buffer, size_t capacity, size_t* count);
// Releases the interface and closes the device (qErrMode when nothing is open; qErrCancel
// when the kernel node does not close cleanly).
qErr lvusb_close_lumenvane_device(lvusb_device* device);

// Transient I/O errors are absorbed: up to four in a row are hidden (a write reports success,
// a read reports that nothing came), the fifth fails the device and is reported, and a failed
// device reports qErrIO from then on. Any other result ends the run of errors.
qErr _handleErrorTolerance(lvusb_device* device, qErr result, bool reading);
