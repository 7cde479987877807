// zBeaconInterface: the process-wide network interface CZMQ beacons use, under one lock.
//
// CZMQ reads its interface setting when a beacon actor is configured, so whoever needs beacons on
// a particular interface (the beacon search, the link server) sets it and holds `_interfaceLock`
// while the beacon is made. The lock is not recursive: every operation that takes it must be
// paired with an unlock on the same thread, and no thread may take it twice.
//
// Accepted values: a dotted IPv4 address, the empty text (CZMQ's first usable interface) or "*"
// (every interface).
#pragma once

// Prepares CZMQ for use by the library: keeps CZMQ from installing its own SIGINT/SIGTERM
// handlers, so that the program's signals keep their meaning, and from writing its error lines
// to standard error. Every CZMQ user in the library
// calls it before its first CZMQ call; it does its work once per process.
void aCZMQ_Prepare();

// False without locking for an unacceptable value; else locks, sets the interface, true.
bool zBeaconInterface_setAndLock(const char* value);
// As setAndLock, but first saves the current interface as the backup.
bool zBeaconInterface_backupSetAndLock(const char* value);
void zBeaconInterface_unlock();
// Sets the saved interface back and unlocks.
void zBeaconInterface_restoreAndUnlock();

// The current interface text (CZMQ's own storage: read it before anyone may change it).
const char* zBeaconInterface_get();
const char* zBeaconInterface_getAndLock();
// The saved interface text.
const char* zBeaconInterface_getBackup();
const char* zBeaconInterface_getBackupAndLock();
