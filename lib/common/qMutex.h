// Named, non-recursive mutexes reporting qErr codes.
#pragma once

#include "qError.h"

#define qMUTEX_MAX_NAME 255

typedef struct qMutex qMutex;

// None when the name has 256 characters or more, or the mutex cannot be made.
qMutex* qMutex_Create(const char* name);
const char* qMutex_Identifier(qMutex* mutex);
qErr qMutex_Lock(qMutex* mutex);     // qErrDuplicate when this thread already holds it
qErr qMutex_TryLock(qMutex* mutex);  // qErrBusy when another holder has it
qErr qMutex_Unlock(qMutex* mutex);   // qErrPermission when this thread does not hold it
qErr qMutex_Destroy(qMutex** mutex);
