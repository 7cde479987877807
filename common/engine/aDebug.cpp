#include "engine/aDebug.h"

#include <cstdarg>
#include <cstdio>

uint8_t aHalvorineDebuggingEnable = 0;
uint32_t aHalvorineDebuggingLevel = 0;

void aDebug_Trace(uint32_t area, const char* format, ...) {
    if (!aDebug_On(area)) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stdout, "%s\n", line);
    fflush(stdout);
}
