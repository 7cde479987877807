// zBeaconInterface: CZMQ's beacon interface setting, saved, set and restored under one lock.
#include "discovery/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <mutex>
#include <string>

#include "engine/aDebug.h"

namespace {

std::once_flag gPrepared;
std::mutex _interfaceLock;
std::string _backupInterface;

bool sAcceptable(const char* value) {
    if (!value) return false;
    if (value[0] == '\0' || (value[0] == '*' && value[1] == '\0')) return true;
    in_addr parsed;
    return inet_pton(AF_INET, value, &parsed) == 1;
}

}  // namespace

void aCZMQ_Prepare() {
    std::call_once(gPrepared, [] {
        // Keep the program's SIGINT and SIGTERM: CZMQ would otherwise catch them on its first
        // use and leave a blocked program impossible to interrupt.
        zsys_handler_set(nullptr);
        // A library does not print: CZMQ would write its own errors to standard error.
        zsys_set_logstream(nullptr);
        _backupInterface.reserve(100);
    });
}

bool zBeaconInterface_setAndLock(const char* value) {
    if (!sAcceptable(value)) {
        aDebug_Trace(aDEBUG_BEACON, "beacon interface: \"%s\" refused", value ? value : "(null)");
        return false;
    }
    aCZMQ_Prepare();
    _interfaceLock.lock();
    zsys_set_interface(value);
    aDebug_Trace(aDEBUG_BEACON, "beacon interface: set \"%s\"", value);
    return true;
}

bool zBeaconInterface_backupSetAndLock(const char* value) {
    if (!sAcceptable(value)) {
        aDebug_Trace(aDEBUG_BEACON, "beacon interface: \"%s\" refused", value ? value : "(null)");
        return false;
    }
    aCZMQ_Prepare();
    _interfaceLock.lock();
    const char* current = zsys_interface();
    _backupInterface.assign(current ? current : "");
    zsys_set_interface(value);
    aDebug_Trace(aDEBUG_BEACON, "beacon interface: saved \"%s\", set \"%s\"",
                 _backupInterface.c_str(), value);
    return true;
}

void zBeaconInterface_unlock() {
    _interfaceLock.unlock();
}

void zBeaconInterface_restoreAndUnlock() {
    aCZMQ_Prepare();
    zsys_set_interface(_backupInterface.c_str());
    aDebug_Trace(aDEBUG_BEACON, "beacon interface: restored \"%s\"", _backupInterface.c_str());
    _interfaceLock.unlock();
}

const char* zBeaconInterface_get() {
    aCZMQ_Prepare();
    return zsys_interface();
}

const char* zBeaconInterface_getAndLock() {
    aCZMQ_Prepare();
    _interfaceLock.lock();
    return zsys_interface();
}

const char* zBeaconInterface_getBackup() {
    return _backupInterface.c_str();
}

const char* zBeaconInterface_getBackupAndLock() {
    _interfaceLock.lock();
    return _backupInterface.c_str();
}
