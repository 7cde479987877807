// aTime over gettimeofday and usleep.
#include <sys/time.h>
#include <unistd.h>

#include "engine/aTime.h"

uint64_t aTime_GetMSTicks() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

unsigned aTime_MSSleep(uint64_t milliseconds) {
    // usleep takes less than a second at a time, so longer sleeps go in slices.
    constexpr uint64_t kSlice = 999999;
    uint64_t remaining = milliseconds * 1000u;
    unsigned slices = 0;
    while (remaining > 0) {
        uint64_t step = remaining < kSlice ? remaining : kSlice;
        usleep(static_cast<useconds_t>(step));
        remaining -= step;
        ++slices;
    }
    return slices;
}
