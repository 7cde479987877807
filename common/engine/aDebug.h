// The library's process-wide debug trace switches. Both start cleared and nothing in the system
// sets them; a debugger or an embedding program may. A trace line goes to standard output, which
// is flushed at once.
#pragma once

#include <cstdint>

extern uint8_t aHalvorineDebuggingEnable;
extern uint32_t aHalvorineDebuggingLevel;

enum : uint32_t {
    aDEBUG_LINK = 0x1,
    aDEBUG_PACKETS = 0x2,
    aDEBUG_SERVER = 0x4,
    aDEBUG_MULTICAST = 0x8,
    aDEBUG_DISCOVERY = 0x10,
    aDEBUG_CLIENT = 0x20,
    aDEBUG_MODULE = 0x40,
    aDEBUG_BEACON = 0x200,
    aDEBUG_USB = 0x400,
};

// Prints one trace line when tracing is on for `area`.
void aDebug_Trace(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));

inline bool aDebug_On(uint32_t area) {
    return aHalvorineDebuggingEnable && (aHalvorineDebuggingLevel & area);
}
