#include "SysfsRecord.h"

#include <cstdio>

#include "UsbDescriptors.h"

namespace usb_emulation {

namespace {

constexpr const char* kHostControllerPath = "/devices/pci0000:00/0000:00:14.0";
constexpr unsigned kUsbDeviceMajor = 189;
constexpr const char* kHighSpeedMbps = "480";

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// An ASCII attribute value, escaped the way the record format reads it back.
std::string escaped(const std::string& value) {
    std::string text;
    for (char character : value) {
        if (character == '\\') text += "\\\\";
        else if (character == '\n') text += "\\n";
        else text += character;
    }
    return text;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) text += format("%02X", byte);
    return text;
}

}  // namespace

std::string usb_device_path(unsigned port) {
    return format("%s/usb%u/%u-%u", kHostControllerPath, kEmulatedBus, kEmulatedBus, port);
}

std::string usb_device_node(uint8_t address) { return format("/dev/bus/usb/%03u/%03u", kEmulatedBus, address); }

std::string usb_device_record(unsigned port, uint8_t address, const UsbIdentity& identity) {
    const unsigned minor = (kEmulatedBus - 1) * 128 + (address - 1u);
    std::string record;
    record += "P: " + usb_device_path(port) + "\n";
    // No "N:" line: the node is the testbed's FIFO, made before the device appears.
    record += "E: DEVNAME=" + usb_device_node(address) + "\n";
    record += "E: DEVTYPE=usb_device\n";
    record += "E: DRIVER=usb\n";
    record += "E: SUBSYSTEM=usb\n";
    record += format("E: PRODUCT=%x/%x/%x\n", identity.vendor_id, identity.product_id, 0x100);
    record += format("E: BUSNUM=%03u\n", kEmulatedBus);
    record += format("E: DEVNUM=%03u\n", address);
    record += format("E: MAJOR=%u\n", kUsbDeviceMajor);
    record += format("E: MINOR=%u\n", minor);
    record += format("A: dev=%u:%u\n", kUsbDeviceMajor, minor);
    record += format("A: busnum=%u\n", kEmulatedBus);
    record += format("A: devnum=%u\n", address);
    record += format("A: speed=%s\n", kHighSpeedMbps);
    record += format("A: bConfigurationValue=%u\n", kConfigurationValue);
    record += "A: bNumConfigurations=1\n";
    record += "A: bNumInterfaces= 1\n";
    record += format("A: idVendor=%04x\n", identity.vendor_id);
    record += format("A: idProduct=%04x\n", identity.product_id);
    record += "A: manufacturer=" + escaped(identity.manufacturer) + "\n";
    record += "A: product=" + escaped(identity.product) + "\n";
    record += "A: serial=" + escaped(identity.serial_text) + "\n";
    record += "H: descriptors=" + hex(all_descriptors(identity)) + "\n";
    return record;
}

}  // namespace usb_emulation
