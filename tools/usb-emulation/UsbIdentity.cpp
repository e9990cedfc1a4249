#include "UsbIdentity.h"

#include <cstdio>

namespace usb_emulation {

UsbIdentity module_identity(uint32_t serial_number, uint8_t model) {
    UsbIdentity identity;
    identity.product_id = model;
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial_number);
    identity.serial_text = text;
    return identity;
}

}  // namespace usb_emulation
