// Millisecond clock and sleep.
#pragma once

#include <cstdint>

// Milliseconds of the wall clock; 0 when it cannot be read. Use it for time stamps;
// code that bounds a wait measures with a monotonic clock instead, so a clock step cannot stretch it.
uint64_t qTime_GetMSTicks();
// Sleeps that many milliseconds, in steps of less than a second.
void qTime_MSSleep(uint64_t milliseconds);
