// The sysfs and udev description of an emulated module in umockdev's record format: what libusb
// reads when it lists the bus (bus and device numbers, speed, the active configuration and the raw
// descriptors) and the udev properties that make it a USB device with a usbfs node.
#pragma once

#include <cstdint>
#include <string>

#include "UsbIdentity.h"

namespace usb_emulation {

constexpr uint8_t kEmulatedBus = 1;

// The sysfs device path of the device on this root-hub port, e.g. /devices/.../usb1/1-3.
std::string usb_device_path(unsigned port);
// The usbfs node of a device number, e.g. /dev/bus/usb/001/005.
std::string usb_device_node(uint8_t address);
std::string usb_device_record(unsigned port, uint8_t address, const UsbIdentity& identity);

}  // namespace usb_emulation
