#include <sys/time.h>
#include <unistd.h>

#include "qTime.h"

namespace {
constexpr uint64_t MAX_SLEEP_STEP_US = 999999;
}

uint64_t qTime_GetMSTicks() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    uint64_t ticks = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
    return ticks == UINT64_MAX ? 0 : ticks;
}

void qTime_MSSleep(uint64_t milliseconds) {
    uint64_t remaining_us = milliseconds * 1000;
    while (remaining_us > 0) {
        uint64_t step = remaining_us > MAX_SLEEP_STEP_US ? MAX_SLEEP_STEP_US : remaining_us;
        usleep(static_cast<useconds_t>(step));
        remaining_us -= step;
    }
}
