// aFile: binary files for the library, the firmware store and the BIRD reader.
//
// A thin layer over standard I/O that reports failures as aErr codes. An aFile belongs to one
// owner; the functions keep no state of their own and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "api/aError.h"

// Open modes.
enum aFileMode : int32_t {
    aFileModeReadOnly = 0,   // existing file, binary read
    aFileModeWriteOnly = 1,  // created or truncated, binary write
    aFileModeAppend = 2,     // created if missing, append with reading, positioned at the end
    aFileModeUnsupported = 3,
};

// Seek origins; anything else counts from the start.
enum : int32_t { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 };

constexpr size_t aFILE_MAXPATH = 4096;

struct aFile;

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, int32_t mode);
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const uint8_t* bytes, size_t length, size_t* count);
aErr aFile_Seek(aFile* file, long offset, int32_t origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_Delete(const char* path);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
