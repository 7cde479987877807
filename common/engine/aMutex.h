// aMutex: a named, non-recursive mutex.
//
// A mutex record belongs to one owner, who creates and destroys it; any thread may lock it.
#pragma once

#include "api/aError.h"

struct aMutex;

constexpr unsigned aMUTEX_MAXNAME = 255;

// Null when the name has 256 characters or more or the mutex cannot be made.
aMutex* aMutex_Create(const char* name);
const char* aMutex_Identifier(const aMutex* mutex);
aErr aMutex_Destroy(aMutex** mutex);
aErr aMutex_Lock(aMutex* mutex);
aErr aMutex_TryLock(aMutex* mutex);
aErr aMutex_Unlock(aMutex* mutex);
