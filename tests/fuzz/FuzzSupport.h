// Helpers for the fuzz targets: inputs handed to code that reads files by name go through an
// anonymous in-memory file reached as /proc/self/fd/N; the debug log is formatted (every package
// on) but thrown away, so its formatting is fuzzed as well.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/Log.h"

class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz", MFD_CLOEXEC)) {
        size_t done = 0;
        while (fd_ >= 0 && done < size) {
            ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

inline FILE* FuzzDevNull() {
    static FILE* sink = fopen("/dev/null", "w");
    return sink;
}

inline void FuzzLogToNowhere() {
    Log::SetOutput(FuzzDevNull());
    Log::package_bitmask = 0xFFFFFFFFu;
}
