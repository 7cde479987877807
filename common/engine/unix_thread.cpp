// aThread over POSIX threads.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "engine/aThread.h"

struct aThread {
    pthread_t id;
};

aThread* aThread_Create(aThreadProcedure procedure, void* argument) {
    if (!procedure) return nullptr;
    aThread* t = new (std::nothrow) aThread;
    if (!t) return nullptr;
    if (pthread_create(&t->id, nullptr, procedure, argument) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int aThread_Destroy(aThread** thread) {
    if (!thread || !*thread) return EINVAL;
    int rc = pthread_join((*thread)->id, nullptr);
    delete *thread;
    *thread = nullptr;
    return rc;
}

int aThread_Yield() {
    return usleep(5);
}
