// Joinable threads.
#pragma once

typedef struct qThread qThread;
typedef void* (*qThreadProcedure)(void* argument);

// Starts a thread running procedure(argument); none when it cannot be started.
qThread* qThread_Create(qThreadProcedure procedure, void* argument);
// Joins the thread, frees the handle, clears the pointer; returns the join's error number (0 on success).
int qThread_Destroy(qThread** thread);
// Gives up the processor for a few microseconds.
void qThread_Yield();
