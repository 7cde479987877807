// aMutex over a POSIX mutex (error-checking type, so that a deadlock or an unlock by another
// thread is reported rather than undefined).
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "engine/aMutex.h"

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAME + 1];
};

aMutex* aMutex_Create(const char* name) {
    size_t len = name ? strnlen(name, aMUTEX_MAXNAME + 1) : 0;
    if (len > aMUTEX_MAXNAME) return nullptr;
    aMutex* m = new (std::nothrow) aMutex;
    if (!m) return nullptr;
    memcpy(m->name, name ? name : "", len);
    m->name[len] = '\0';
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    int rc = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        return nullptr;
    }
    return m;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return mutex ? mutex->name : "";
}

aErr aMutex_Destroy(aMutex** mutex) {
    if (!mutex || !*mutex) return aErrParam;
    int rc = pthread_mutex_destroy(&(*mutex)->mutex);
    delete *mutex;
    *mutex = nullptr;
    switch (rc) {
        case 0:
            return aErrNone;
        case EBUSY:
            return aErrBusy;
        case EAGAIN:
            return aErrResource;
        case EINVAL:
            return aErrParam;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Lock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EDEADLK:
            return aErrDuplicate;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EBUSY:
            return aErrBusy;
        case EINVAL:
            return aErrParam;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EPERM:
            return aErrPermission;
        case EINVAL:
            return aErrParam;
        default:
            return aErrUnknown;
    }
}
