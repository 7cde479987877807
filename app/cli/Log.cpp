#include "cli/Log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";
bool Log::timestamped = false;
uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
    if (package != 0 && (package_bitmask & package) == 0) return;
    if (!format) return;
    if (timestamped && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        size_t n = strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc);
        fwrite(stamp, 1, n, stdout);
        fputs(SEPARATOR, stdout);
    }
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || !fh) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    // One write per line: the descriptor is written directly so that lines from two threads never
    // interleave inside a line.
    int fd = fileno(fh);
    if (fd < 0) {
        fwrite(line, 1, len, fh);
        return;
    }
    fflush(fh);
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
}
