#include "qDebugging.h"

#include <cstdarg>
#include <cstdio>

std::atomic<uint8_t> qLumenvaneDebuggingEnable{0};
std::atomic<uint32_t> qLumenvaneDebuggingLevel{0};

bool qDebugging_IsOn(uint32_t level) {
    return qLumenvaneDebuggingEnable.load(std::memory_order_relaxed) != 0 &&
           (qLumenvaneDebuggingLevel.load(std::memory_order_relaxed) & level) != 0;
}

void qDebugging_Trace(uint32_t level, const char* format, ...) {
    if (!qDebugging_IsOn(level) || format == nullptr) return;
    // One formatted line, one write: lines from the reader and writer threads do not interleave.
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    size_t used = static_cast<size_t>(length) < sizeof line - 2 ? static_cast<size_t>(length) : sizeof line - 2;
    line[used] = '\n';
    fwrite(line, 1, used + 1, stdout);
    fflush(stdout);
}
