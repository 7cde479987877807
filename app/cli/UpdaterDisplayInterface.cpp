#include "cli/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted || !format) return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) text[0] = '\0';  // an encoding error leaves an empty line rather than garbage
    if (level == ERROR)
        error_message(text);
    else
        info_message(text);
}
