// The module's heartbeats: once the host has spoken on a link, the module sends a heartbeat every
// interval and expects the host to answer it with the heartbeat's value + 2 before the next one
// is due. The value is 0 while the host keeps answering ("up") and 1 after a heartbeat went
// unanswered ("down"), until the host answers again. After several unanswered heartbeats in a row
// the host is taken to be gone and heartbeats pause until it speaks again, so a link nobody
// listens on does not fill up with them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace virtual_module {

using TimePoint = std::chrono::steady_clock::time_point;

constexpr uint8_t kHeartbeatUp = 0;
constexpr uint8_t kHeartbeatDown = 1;
constexpr uint8_t kHeartbeatAnswerOffset = 2;
constexpr size_t kHeartbeatLength = 2;  // command byte 0, value
constexpr unsigned kMaxUnansweredHeartbeats = 3;

class HeartbeatMonitor {
public:
    // Any packet from the host: heartbeats start (or resume) one interval from now.
    void host_spoke();
    // The value of a heartbeat to send now, if one is due. An interval of 0 sends none.
    std::optional<uint8_t> due(TimePoint now, std::chrono::milliseconds interval);
    // The host's answer to a heartbeat; true when it answers the one outstanding.
    bool answer(uint8_t value);

    std::optional<TimePoint> next_deadline() const;
    bool paused() const { return !running_; }
    unsigned unanswered() const { return consecutive_unanswered_; }

private:
    bool running_ = false;
    std::optional<TimePoint> next_;
    std::optional<uint8_t> outstanding_;
    bool host_answering_ = true;
    unsigned consecutive_unanswered_ = 0;
};

}  // namespace virtual_module
