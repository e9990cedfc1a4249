// What an emulated module shows of itself on the bus: the ids, the strings, and the interface that
// carries its link. The defaults are those of a module; tests change single fields to show the
// host a device it must pass over.
#pragma once

#include <cstdint>
#include <string>

namespace usb_emulation {

constexpr uint16_t kModuleVendorId = 0x7C4E;
constexpr uint8_t kLinkInterfaceClass = 0xFF;
constexpr uint8_t kLinkInterfaceSubclass = 0x88;
constexpr uint8_t kLinkInterfaceProtocol = 0x10;
constexpr uint16_t kHighSpeedBulkPacketSize = 512;
constexpr uint8_t kBulkInEndpoint = 0x81;
constexpr uint8_t kBulkOutEndpoint = 0x01;

struct UsbIdentity {
    uint16_t vendor_id = kModuleVendorId;
    uint16_t product_id = 0;        // a module's model code; bit 15 clear
    std::string serial_text;        // a module's serial number as "%08X"
    std::string manufacturer = "Lumenvane";
    std::string product = "Instrument module";
    uint8_t interface_class = kLinkInterfaceClass;
    uint8_t interface_subclass = kLinkInterfaceSubclass;
    uint8_t interface_protocol = kLinkInterfaceProtocol;
    uint16_t max_packet_size = kHighSpeedBulkPacketSize;
};

// The identity of a module with this serial number and model code.
UsbIdentity module_identity(uint32_t serial_number, uint8_t model);

}  // namespace usb_emulation
