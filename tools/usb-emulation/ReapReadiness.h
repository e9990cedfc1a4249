// Makes an emulated usbfs node poll like the kernel's: writable only while a completed transfer
// waits to be reaped. The node is a FIFO that the testbed keeps full (not writable); draining one
// page makes it writable, which wakes the host's event loop, and filling it again puts the loop
// back to sleep. A regular file would poll ready all the time and the host would spin.
#pragma once

#include <string>

namespace usb_emulation {

class ReapReadiness {
public:
    // Replaces whatever is at `path` with a full FIFO.
    explicit ReapReadiness(const std::string& path);
    ~ReapReadiness();
    ReapReadiness(const ReapReadiness&) = delete;
    ReapReadiness& operator=(const ReapReadiness&) = delete;

    // Idempotent; cheap when nothing changes.
    void set_ready(bool ready);

private:
    void fill();
    void drain();

    int fd_ = -1;
    bool ready_ = false;
};

}  // namespace usb_emulation
