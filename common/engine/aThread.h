// aThread: joinable threads, and a short yield.
//
// The creator owns the handle; aThread_Destroy joins the thread, so it blocks until the procedure
// has returned. Any thread may create threads; only one may destroy a given handle.
#pragma once

struct aThread;

typedef void* (*aThreadProcedure)(void* argument);

aThread* aThread_Create(aThreadProcedure procedure, void* argument);
// Joins, releases the handle and nulls the caller's pointer; the join's error number, 0 on success.
int aThread_Destroy(aThread** thread);
// Sleeps 5 microseconds.
int aThread_Yield();
