// ReplaceFile: writes a file under a temporary name next to its target and renames it into place.
//
// A reader of the target sees the old file or the complete new one, never a partial one, and a
// failed write leaves the old file untouched. The temporary name begins with "." (skipped by the
// store's listings) and carries the process id and a per-process counter. The object owns the
// open temporary file: destroying it without a successful Commit removes the temporary file.
// One thread per object.
#pragma once

#include <string>

#include "api/aError.h"
#include "engine/aFile.h"

class ReplaceFile {
  public:
    explicit ReplaceFile(const std::string& target);
    ~ReplaceFile();
    ReplaceFile(const ReplaceFile&) = delete;
    ReplaceFile& operator=(const ReplaceFile&) = delete;

    // The open temporary file, or null when it could not be created (see error()).
    aFile* file() const { return file_; }
    // The system error number of the last failure, 0 when none.
    int error() const { return error_; }
    const std::string& temporaryPath() const { return temporary_; }

    // Closes the temporary file and renames it over the target. aErrNone, or aErrWrite when the
    // data could not be flushed or the rename failed (the temporary file is then removed).
    aErr Commit();

  private:
    std::string target_;
    std::string temporary_;
    aFile* file_ = nullptr;
    int error_ = 0;
    bool committed_ = false;
};
