// A USB bus of pretend devices behind the lvusb layer's libusb seam: enumeration, descriptors,
// serial strings, claiming, and bulk transfers that follow a script or a pretend module.
// One bus at a time; it puts the real libusb back when it goes.
#pragma once

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace test_support {

struct FakeUsbDevice {
    uint16_t vendor = 0x7C4E;
    uint16_t product = 0x0001;
    std::string serial;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    uint8_t interfaceNumber = 0;
    bool hasIn = true;
    bool hasOut = true;
    uint8_t endpointAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    uint16_t maxPacketSize = 64;
    int claimResult = LIBUSB_SUCCESS;

    // Kept up to date by the bus.
    int opens = 0;
    int closes = 0;
    bool claimed = false;

    // Descriptor storage the bus hands out.
    libusb_endpoint_descriptor endpoints[2]{};
    libusb_interface_descriptor setting{};
    libusb_interface interface{};
    libusb_config_descriptor config{};
    uint8_t handleTag = 0;  // its address stands for the open handle
};

// The outcome of one scripted transfer: the libusb result and the bytes moved (out: how many
// of those offered, -1 for all; in: the bytes delivered).
struct FakeTransfer {
    int result = LIBUSB_SUCCESS;
    int transferred = -1;
    std::string bytes;
};

class FakeUsbBus {
public:
    // Answers one complete packet (wire form) from the host with bytes for the host, or "".
    using Responder = std::function<std::string(const std::string& packet)>;

    FakeUsbBus();
    ~FakeUsbBus();
    FakeUsbBus(const FakeUsbBus&) = delete;
    FakeUsbBus& operator=(const FakeUsbBus&) = delete;

    FakeUsbDevice& add(const FakeUsbDevice& device);

    // Outcomes for the next transfers in each direction; without one an out transfer takes
    // everything, and an in transfer delivers what the pretend module has queued or waits for
    // it up to the caller's time-out (capped by in_wait_cap).
    void script_out(const std::vector<FakeTransfer>& outcomes);
    void script_in(const std::vector<FakeTransfer>& outcomes);
    void set_clear_halt_result(int result);
    // A pretend module: host packets are cut out of the bytes written and answered.
    void set_responder(Responder responder);
    // Bytes the module sends on its own (heartbeats).
    void module_sends(const std::string& bytes);
    // Real in transfers wait up to 1000 ms; tests wait less so that links stop quickly.
    std::chrono::milliseconds in_wait_cap{100};

    // What happened.
    std::vector<int> out_lengths();
    std::vector<unsigned> out_timeouts();
    std::vector<unsigned> in_timeouts();
    std::string host_bytes();  // everything the host's out transfers moved
    std::vector<unsigned char> cleared_endpoints();
    int lists_taken();
    int lists_freed();
    // The next `count` bytes the host writes after those already taken by this call, waiting
    // up to `timeout` for them (fewer when the time is up).
    std::string next_host_bytes(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2500));

private:
    static ssize_t get_device_list(libusb_context*, libusb_device*** list);
    static void free_device_list(libusb_device** list, int);
    static int get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor);
    static int open(libusb_device* device, libusb_device_handle** handle);
    static void close(libusb_device_handle* handle);
    static int get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* text, int length);
    static int get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config);
    static void free_config_descriptor(libusb_config_descriptor*);
    static int claim_interface(libusb_device_handle* handle, int);
    static int release_interface(libusb_device_handle* handle, int);
    static int bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                             int* transferred, unsigned int timeout_ms);
    static int clear_halt(libusb_device_handle* handle, unsigned char endpoint);

    static FakeUsbDevice* device_of(libusb_device_handle* handle);
    int transfer_out(unsigned char* data, int length, int* transferred, unsigned int timeout_ms);
    int transfer_in(unsigned char* data, int length, int* transferred, unsigned int timeout_ms);
    void answer_host(const std::string& bytes);  // with the mutex held

    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<FakeUsbDevice> devices_;
    std::deque<FakeTransfer> out_script_;
    std::deque<FakeTransfer> in_script_;
    int clear_halt_result_ = LIBUSB_SUCCESS;
    Responder responder_;
    std::string to_host_;
    std::string from_host_;       // complete record
    std::string pending_packet_;  // host bytes not yet a whole packet
    size_t host_mark_ = 0;
    std::vector<int> out_lengths_;
    std::vector<unsigned> out_timeouts_;
    std::vector<unsigned> in_timeouts_;
    std::vector<unsigned char> cleared_;
    std::vector<libusb_device*> list_storage_;
    int lists_taken_ = 0;
    int lists_freed_ = 0;
};

}  // namespace test_support
