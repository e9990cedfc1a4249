// Answers the standard control requests a host makes on endpoint 0 of an emulated module: the
// descriptors (above all the serial-number string), status and configuration. Anything else
// stalls, as on a device that does not know the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "UsbIdentity.h"

namespace usb_emulation {

constexpr size_t kSetupPacketLength = 8;

struct ControlAnswer {
    bool stall = false;
    std::vector<uint8_t> data;  // the data stage towards the host, cut to the length asked for
};

ControlAnswer answer_standard_request(const UsbIdentity& identity, const uint8_t (&setup)[kSetupPacketLength]);

}  // namespace usb_emulation
