// Misbehaviour an emulated module can be told to show, for tests of the host's error handling.
#pragma once

#include <cstddef>

namespace usb_emulation {

struct UsbFaults {
    // Claiming the link interface fails with EBUSY, as when another program holds the module.
    bool refuse_claim_as_busy = false;
    // The next this many bulk transfers in that direction end with a bus error (the host sees an
    // I/O error); each failure uses one up.
    unsigned failing_out_transfers = 0;
    unsigned failing_in_transfers = 0;
    // The endpoint halts: every transfer on it ends stalled until the host clears the halt.
    bool stall_out = false;
    bool stall_in = false;
    // A bulk OUT transfer takes at most this many bytes (0: all of them).
    size_t out_transfer_limit = 0;
};

}  // namespace usb_emulation
