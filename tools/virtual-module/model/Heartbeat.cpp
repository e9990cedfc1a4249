#include "Heartbeat.h"

namespace virtual_module {

void HeartbeatMonitor::host_spoke() {
    if (running_) return;
    running_ = true;
    next_.reset();
    consecutive_unanswered_ = 0;  // a fresh start; the first heartbeat still says "down" if one was missed
}

std::optional<uint8_t> HeartbeatMonitor::due(TimePoint now, std::chrono::milliseconds interval) {
    if (!running_) return std::nullopt;
    if (interval.count() <= 0) {  // switched off: nothing due, nothing outstanding
        next_.reset();
        outstanding_.reset();
        return std::nullopt;
    }
    if (!next_) {
        next_ = now + interval;
        return std::nullopt;
    }
    if (now < *next_) return std::nullopt;
    if (outstanding_) {
        outstanding_.reset();
        host_answering_ = false;
        if (++consecutive_unanswered_ >= kMaxUnansweredHeartbeats) {
            running_ = false;
            next_.reset();
            return std::nullopt;
        }
    }
    uint8_t value = host_answering_ ? kHeartbeatUp : kHeartbeatDown;
    outstanding_ = value;
    next_ = now + interval;
    return value;
}

bool HeartbeatMonitor::answer(uint8_t value) {
    if (!outstanding_ || value != static_cast<uint8_t>(*outstanding_ + kHeartbeatAnswerOffset)) return false;
    outstanding_.reset();
    host_answering_ = true;
    consecutive_unanswered_ = 0;
    return true;
}

std::optional<TimePoint> HeartbeatMonitor::next_deadline() const {
    if (!running_) return std::nullopt;
    return next_;
}

}  // namespace virtual_module
