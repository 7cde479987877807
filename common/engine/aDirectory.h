// aDirectory: paths and directories for the firmware store and the library's other users.
//
// The functions keep no state and may be called from any thread. Results are aErr codes unless
// said otherwise. aDIR_PATH_SEP is the path separator.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/aError.h"

#define aDIR_PATH_SEP "/"

constexpr size_t aDIRECTORY_MAXLISTPATH = 2047;
constexpr int aDIRECTORY_MAXPARTS = 10;

// What a listing hands its callback for each entry.
struct aDirectoryListData {
    char path[aDIRECTORY_MAXLISTPATH + 1];  // listed directory + "/" + entry name
    uint32_t size;                          // bytes, from the entry's status
    uint32_t isDirectory;                   // 1 or 0
};

// Return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* entry, void* userData);

bool aDirectory_Exists(const char* path);
// Creates the directory and every missing ancestor; an existing directory counts as success.
aErr aDirectory_Ensure(const char* path, mode_t mode);
// Every entry whose status can be read, "." and ".." included.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* userData);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 parts (the list ends with a null part) with single separators.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// The first part, then "/" and each further part until a null part; separators are never merged.
std::string BuildPath(const char* first, ...);
