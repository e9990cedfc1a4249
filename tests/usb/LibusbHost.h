// A host made of plain libusb calls, for tests of what the emulated bus shows libusb.
#pragma once

#include <libusb.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "UsbIdentity.h"

namespace test_usb {

using namespace std::chrono_literals;

constexpr uint8_t kIn = usb_emulation::kBulkInEndpoint;
constexpr uint8_t kOut = usb_emulation::kBulkOutEndpoint;

class Libusb {
public:
    Libusb() { EXPECT_EQ(libusb_init(&context_), 0); }
    ~Libusb() { libusb_exit(context_); }
    libusb_context* context() const { return context_; }

    struct Listed {
        uint16_t vendor;
        uint16_t product;
        uint8_t address;
    };
    std::vector<Listed> list() const {
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        std::vector<Listed> listed;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor{};
            libusb_get_device_descriptor(devices[i], &descriptor);
            listed.push_back({descriptor.idVendor, descriptor.idProduct, libusb_get_device_address(devices[i])});
        }
        libusb_free_device_list(devices, 1);
        return listed;
    }

    // Opens the device at this address; null when it is not listed or cannot be opened.
    libusb_device_handle* open(uint8_t address, int* error = nullptr) const {
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        libusb_device_handle* handle = nullptr;
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_device_address(devices[i]) != address) continue;
            const int result = libusb_open(devices[i], &handle);
            if (error != nullptr) *error = result;
        }
        libusb_free_device_list(devices, 1);
        return handle;
    }

    // Waits until a device at this address is listed (or no longer is).
    bool wait_listed(uint8_t address, bool listed, std::chrono::milliseconds timeout = 5s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        do {
            bool found = false;
            for (const Listed& device : list()) found = found || device.address == address;
            if (found == listed) return true;
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

private:
    libusb_context* context_ = nullptr;
};

// An open, claimed module handle that is released and closed with the object.
class Claimed {
public:
    Claimed(const Libusb& usb, uint8_t address) : handle_(usb.open(address)) {
        EXPECT_NE(handle_, nullptr);
        if (handle_ != nullptr) {
            EXPECT_EQ(libusb_claim_interface(handle_, 0), 0);
        }
    }
    ~Claimed() {
        if (handle_ == nullptr) return;
        libusb_release_interface(handle_, 0);
        libusb_close(handle_);
    }
    libusb_device_handle* get() const { return handle_; }

    int send(const std::vector<uint8_t>& bytes, int* transferred = nullptr, unsigned timeout_ms = 1000) {
        int count = 0;
        const int result = libusb_bulk_transfer(handle_, kOut, const_cast<uint8_t*>(bytes.data()),
                                                static_cast<int>(bytes.size()), &count, timeout_ms);
        if (transferred != nullptr) *transferred = count;
        return result;
    }
    int receive(std::vector<uint8_t>& bytes, unsigned timeout_ms = 1000, size_t capacity = 1024) {
        bytes.assign(capacity, 0);
        int count = 0;
        const int result = libusb_bulk_transfer(handle_, kIn, bytes.data(), static_cast<int>(capacity), &count, timeout_ms);
        bytes.resize(static_cast<size_t>(count));
        return result;
    }

    // Reads until at least `count` bytes came or `timeout` passed; what came.
    std::vector<uint8_t> read_at_least(size_t count, std::chrono::milliseconds timeout = 2s) {
        std::vector<uint8_t> gathered;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (gathered.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::vector<uint8_t> part;
            const int result = receive(part, 100);
            gathered.insert(gathered.end(), part.begin(), part.end());
            if (result != 0 && result != LIBUSB_ERROR_TIMEOUT) break;
        }
        return gathered;
    }

private:
    libusb_device_handle* handle_;
};

inline std::string serial_string(libusb_device_handle* handle) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(libusb_get_device(handle), &descriptor);
    unsigned char text[256] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
    return length < 0 ? std::string("error ") + libusb_error_name(length) : std::string(reinterpret_cast<char*>(text), length);
}

}  // namespace test_usb
