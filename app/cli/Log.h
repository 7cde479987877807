// Log: the tool's debug channel.
//
// Formatted lines filtered by a bitmask of packages (the "-X" option) and written to one stream
// (standard error in the tool). Static members only. Each line is one write to the stream, so the
// download worker may log while the main thread draws the spinner; nothing takes a lock.
#pragma once

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_Network_Legacy = 0x10,  // listed as DEBUG_Network in the usage text; nothing logs on it
    DEBUG_ServerComm = 0x20,
    DEBUG_Network = 0x100,
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
  public:
    static const char* const TIMESTAMP_FORMAT;
    static const char* const SEPARATOR;
    static bool timestamped;
    static uint32_t package_bitmask;
    static FILE* fh;

    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
    static void DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }

    // Package 0 is always written; any other package only when its bit is active. The caller puts
    // the "\n" in the format; text longer than 2047 characters is cut.
    static void log(uint32_t package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
};
