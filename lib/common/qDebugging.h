// The two process-wide trace switches of the link library. Both start at 0 and nothing in this
// program sets them; a developer who sets them gets trace lines on standard output. Tracing
// only prints: it never changes what the library does.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint8_t> qLumenvaneDebuggingEnable;
extern std::atomic<uint32_t> qLumenvaneDebuggingLevel;

// Level bits: which areas print.
#define qDEBUG_LINK 0x1          // link life and synchronisation
#define qDEBUG_PACKETS 0x2       // packets and heartbeats
#define qDEBUG_SERVER 0x4        // sharing server
#define qDEBUG_MULTICAST 0x8
#define qDEBUG_DISCOVERY 0x10
#define qDEBUG_CLIENT_STREAM 0x20
#define qDEBUG_MODULE 0x40
#define qDEBUG_BEACON 0x200
#define qDEBUG_USB 0x400         // USB transfers

// True when tracing is on and any of the level bits is enabled.
bool qDebugging_IsOn(uint32_t level);
// Prints one trace line (newline added) and flushes, when qDebugging_IsOn(level).
void qDebugging_Trace(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
