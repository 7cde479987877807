// aError: the library's result codes.
//
// Every operation of the device-access library returns one of these codes; the same numbers travel
// on the wire in a module's error reply. The texts returned below are constant and owned by the
// library; any thread may call these functions.
#pragma once

#include <cstdint>

typedef uint32_t aErr;

enum : aErr {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
};

// The code's name ("aErrNone" ...); codes above 34 give "aErrUnknown".
const char* aError_GetErrorText(aErr code);

// The code's description ("Success, no error" ...); codes above 34 give "Unknown error".
const char* aError_GetErrorDescription(aErr code);
