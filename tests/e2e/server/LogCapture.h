// LogCapture: collects what the debug log writes under DEBUG_ServerComm during one test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/Log.h"

class LogCapture {
  public:
    LogCapture() {
        stream = open_memstream(&buffer, &size);
        Log::SetOutput(stream);
        Log::ActivatePackage(DEBUG_ServerComm);
    }
    ~LogCapture() {
        Log::DeactivatePackage(DEBUG_ServerComm);
        Log::SetOutput(nullptr);
        fclose(stream);
        free(buffer);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string Text() {
        fflush(stream);
        return std::string(buffer, size);
    }

  private:
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = nullptr;
};
