#include <pthread.h>
#include <unistd.h>

#include <new>

#include "qThread.h"

struct qThread {
    pthread_t handle;
};

qThread* qThread_Create(qThreadProcedure procedure, void* argument) {
    if (procedure == nullptr) return nullptr;
    qThread* thread = new (std::nothrow) qThread;
    if (thread == nullptr) return nullptr;
    if (pthread_create(&thread->handle, nullptr, procedure, argument) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int qThread_Destroy(qThread** thread) {
    if (thread == nullptr || *thread == nullptr) return 0;
    int result = pthread_join((*thread)->handle, nullptr);
    delete *thread;
    *thread = nullptr;
    return result;
}

void qThread_Yield() { usleep(5); }
