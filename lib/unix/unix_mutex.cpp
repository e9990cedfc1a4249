#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "qMutex.h"

struct qMutex {
    pthread_mutex_t handle;
    char name[qMUTEX_MAX_NAME + 1];
};

namespace {

qErr map_error(int result, int busy_errno, qErr busy_error) {
    if (result == 0) return qErrNone;
    if (result == EINVAL) return qErrParam;
    if (result == busy_errno) return busy_error;
    return qErrUnknown;
}

}  // namespace

qMutex* qMutex_Create(const char* name) {
    if (name == nullptr) name = "";
    if (strlen(name) > qMUTEX_MAX_NAME) return nullptr;
    qMutex* mutex = new (std::nothrow) qMutex;
    if (mutex == nullptr) return nullptr;
    // Error checking lets a second lock from the same thread report itself instead of deadlocking.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    int result = pthread_mutex_init(&mutex->handle, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (result != 0) {
        delete mutex;
        return nullptr;
    }
    strcpy(mutex->name, name);
    return mutex;
}

const char* qMutex_Identifier(qMutex* mutex) { return mutex == nullptr ? nullptr : mutex->name; }

qErr qMutex_Lock(qMutex* mutex) {
    if (mutex == nullptr) return qErrParam;
    return map_error(pthread_mutex_lock(&mutex->handle), EDEADLK, qErrDuplicate);
}

qErr qMutex_TryLock(qMutex* mutex) {
    if (mutex == nullptr) return qErrParam;
    return map_error(pthread_mutex_trylock(&mutex->handle), EBUSY, qErrBusy);
}

qErr qMutex_Unlock(qMutex* mutex) {
    if (mutex == nullptr) return qErrParam;
    return map_error(pthread_mutex_unlock(&mutex->handle), EPERM, qErrPermission);
}

qErr qMutex_Destroy(qMutex** mutex) {
    if (mutex == nullptr || *mutex == nullptr) return qErrParam;
    int result = pthread_mutex_destroy(&(*mutex)->handle);
    switch (result) {
        case 0: break;
        case EAGAIN: return qErrResource;
        case EBUSY: return qErrBusy;
        case EINVAL: return qErrParam;
        default: return qErrUnknown;
    }
    delete *mutex;
    *mutex = nullptr;
    return qErrNone;
}
