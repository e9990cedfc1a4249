// A device model that sends every byte it receives back to the host, after an optional delay:
// the smallest peer that shows bytes crossing both endpoints and the testbed waking on time.
#pragma once

#include <deque>

#include "DeviceModel.h"

namespace usb_emulation {

class EchoModel : public DeviceModel {
public:
    explicit EchoModel(std::chrono::milliseconds delay = std::chrono::milliseconds{0}) : delay_(delay) {}

    void host_connected(TimePoint) override { pending_.clear(); }
    void host_disconnected() override { pending_.clear(); }
    void receive(const uint8_t* bytes, size_t count, TimePoint now) override;
    std::vector<uint8_t> take_output(TimePoint now) override;
    void tick(TimePoint) override {}
    std::optional<TimePoint> next_deadline(bool output_can_be_taken) const override;

private:
    struct Echo {
        std::vector<uint8_t> bytes;
        TimePoint due;
    };
    std::chrono::milliseconds delay_;
    std::deque<Echo> pending_;
};

}  // namespace usb_emulation
