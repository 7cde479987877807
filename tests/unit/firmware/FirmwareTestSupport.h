// Helpers shared by the firmware and store tests: a private temporary directory, a capture of
// the debug log, and small file helpers.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/Log.h"
#include "engine/aDirectory.h"

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/hvfw-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data())) path_ = buffer.data();
    }
    ~TempDir() {
        if (!path_.empty()) aDirectory_DeleteTree(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Routes every Log package into memory while it lives.
class LogCapture {
  public:
    LogCapture() : stream_(open_memstream(&buffer_, &size_)) {
        savedFh_ = Log::fh;
        savedMask_ = Log::package_bitmask;
        Log::SetOutput(stream_);
        Log::package_bitmask = 0xFFFFFFFFu;
    }
    ~LogCapture() {
        Log::SetOutput(savedFh_);
        Log::package_bitmask = savedMask_;
        fclose(stream_);
        free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        fflush(stream_);
        return std::string(buffer_, size_);
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
    FILE* savedFh_;
    uint32_t savedMask_;
};

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

inline bool WriteText(const std::string& path, const std::string& text) {
    return WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
