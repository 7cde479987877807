// aTime: millisecond ticks and sleeps. Any thread may call these.
#pragma once

#include <cstdint>

// Wall-clock milliseconds since 1970-01-01; 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks();

// Sleeps `milliseconds` (0 returns at once), in slices of at most 999 999 microseconds.
// Returns the number of slices slept.
unsigned aTime_MSSleep(uint64_t milliseconds);
