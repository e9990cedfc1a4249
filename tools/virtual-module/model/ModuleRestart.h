// A module restart, as every transport of the module must act on it. The module's links end (a
// TCP connection closes, a serial link starts over, a USB device leaves the bus); the module is
// away for its restart time, or for good; and it comes back under the serial number recorded here,
// which is not always the one it had: a module running a freshly loaded loader may answer as the
// loader's default serial number until its firmware is back.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace virtual_module {

using TimePoint = std::chrono::steady_clock::time_point;

enum class RestartReason {
    Reset,          // the system entity's reset call
    LoaderStarted,  // the upgrade LOAD started a newly transferred loader
    Rebooted,       // the upgrade REBOOT: back into the firmware
};

const char* restart_reason_text(RestartReason reason);

struct ModuleRestart {
    RestartReason reason = RestartReason::Reset;
    TimePoint at;
    std::optional<TimePoint> back_at;  // none: the module never comes back
    uint32_t serial_number = 0;        // what the module answers to once it is back

    bool back(TimePoint now) const { return back_at && now >= *back_at; }
};

}  // namespace virtual_module
