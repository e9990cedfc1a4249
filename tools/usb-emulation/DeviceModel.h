// What sits behind an emulated USB device's bulk endpoints: bytes from the host in, bytes for the
// host out, and time passed in for whatever the device does on its own (heartbeats, delayed
// answers). The testbed calls a model from one thread at a time, so a model needs no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usb_emulation {

using TimePoint = std::chrono::steady_clock::time_point;

// A device's wish to leave the bus, as a module does when it restarts.
struct BusRequest {
    enum class Kind {
        Stay,
        Unplug,       // gone for good
        Reenumerate,  // gone, and back at a new address after `off_bus`
    };
    Kind kind = Kind::Stay;
    std::chrono::milliseconds off_bus{0};
    std::optional<std::string> new_serial_text;  // Reenumerate: the serial string it comes back with
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // The host claimed the link interface: a link begins. Output of an earlier link is gone.
    virtual void host_connected(TimePoint now) = 0;
    // The host released the interface, closed the device, or the device left the bus.
    virtual void host_disconnected() = 0;
    // Bytes of one bulk OUT transfer.
    virtual void receive(const uint8_t* bytes, size_t count, TimePoint now) = 0;
    // Bytes due to the host now; the testbed asks only while the host waits on the IN endpoint,
    // so a model keeps what the host does not collect (and may stop producing).
    virtual std::vector<uint8_t> take_output(TimePoint now) = 0;
    // Time has passed: heartbeats, delayed answers.
    virtual void tick(TimePoint now) = 0;
    // When tick() or take_output() next has something to do; `output_can_be_taken` is false while
    // no IN transfer waits, so pending output alone does not wake the testbed.
    virtual std::optional<TimePoint> next_deadline(bool output_can_be_taken) const = 0;
    // Asked after every call above; Stay by default. A Reenumerate takes effect once the host
    // has collected the output already taken from the model, an Unplug at once.
    virtual BusRequest take_bus_request(TimePoint) { return {}; }
};

}  // namespace usb_emulation
