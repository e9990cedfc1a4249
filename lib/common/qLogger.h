// A small thread that keeps calling a procedure with an open output file, used to drain a
// link's packet debug log into a file while packet debugging is on.
#pragma once

#include <cstdint>

#include "qError.h"
#include "qFile.h"

#define qVALIDLOGGER 0xDEED

// Called again and again while the logger is enabled; it should wait a little when it has
// nothing to write, as the logger does not pause between calls.
typedef void (*qLoggerProcedure)(qFile* file, uint32_t reference);

typedef struct qLogger qLogger;

// Opens `path` for writing (unbuffered). None when the path or procedure is missing, the file
// cannot be opened or memory is short.
qLogger* qLogger_Create(uint32_t reference, qLoggerProcedure procedure, const char* path);
// Starts the thread; harmless when it runs already. qErrResource when it cannot start,
// qErrParam for an invalid logger.
qErr qLogger_Enable(qLogger* logger);
// Stops and joins the thread (qErrUnknown when the join fails). From the logger's own thread
// (inside the procedure) it does nothing, as a thread cannot join itself.
qErr qLogger_Disable(qLogger* logger);
// The file the logger writes to; none for an invalid logger. Only for use while it is disabled.
qFile* qLogger_GetFile(qLogger* logger);
// Disables, closes the file, frees the logger and clears the caller's pointer.
qErr qLogger_Destroy(qLogger** logger);
