// The process-wide diagnostic log: lines are written only for the packages enabled with -X.
#pragma once

#include <atomic>
#include <cstdio>

// Log packages. The usage text lists both 0x10 and 0x100 as "DEBUG_Network"; in code the
// second one, used by discovery callbacks and reconnection, is DEBUG_Network_Link.
enum LogPackage : unsigned {
    DEBUG_ALWAYS = 0x00000000,  // written whatever the mask
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network_Link = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
    static constexpr const char* SEPARATOR = " | ";
    static constexpr size_t LINE_LIMIT = 2048;

    // Writes the formatted text (cut at 2047 characters, no newline added) when package is 0
    // or enabled. Each call is one write, so lines from several threads do not interleave.
    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* output);
    static void ActivatePackage(unsigned mask);
    static void DeactivatePackage(unsigned mask);
    static bool IsActive(unsigned package);

    static std::atomic<unsigned> package_bitmask;
    static std::atomic<FILE*> fh;
    static std::atomic<bool> timestamped;
};
