#include "firmware/ReplaceFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {
std::atomic<unsigned> sTemporaryCounter{0};
}

ReplaceFile::ReplaceFile(const std::string& target) : target_(target) {
    const size_t slash = target.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    temporary_ = directory + "." + name + "." + std::to_string(getpid()) + "." +
                 std::to_string(sTemporaryCounter.fetch_add(1)) + ".tmp";
    errno = 0;
    file_ = aFile_Open(temporary_.c_str(), aFileModeWriteOnly);
    if (!file_) error_ = errno;
}

ReplaceFile::~ReplaceFile() {
    if (file_) aFile_Close(&file_);
    if (!committed_ && !temporary_.empty()) unlink(temporary_.c_str());
}

aErr ReplaceFile::Commit() {
    if (!file_) return aErrWrite;
    errno = 0;
    aErr err = aFile_Close(&file_);
    if (err != aErrNone) {
        error_ = errno;
        return aErrWrite;
    }
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
        error_ = errno;
        return aErrWrite;
    }
    committed_ = true;
    return aErrNone;
}
