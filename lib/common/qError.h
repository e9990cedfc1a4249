// Result codes of every link and object operation, with their short names and descriptions.
#pragma once

typedef enum {
    qErrNone = 0,
    qErrMemory = 1,
    qErrParam = 2,
    qErrNotFound = 3,
    qErrFileNameLength = 4,
    qErrBusy = 5,
    qErrIO = 6,
    qErrMode = 7,
    qErrWrite = 8,
    qErrRead = 9,
    qErrEOF = 10,
    qErrNotReady = 11,
    qErrPermission = 12,
    qErrRange = 13,
    qErrSize = 14,
    qErrOverrun = 15,
    qErrParse = 16,
    qErrConfiguration = 17,
    qErrTimeout = 18,
    qErrInitialization = 19,
    qErrVersion = 20,
    qErrUnimplemented = 21,
    qErrDuplicate = 22,
    qErrCancel = 23,
    qErrPacket = 24,
    qErrConnection = 25,
    qErrIndexRange = 26,
    qErrShortCommand = 27,
    qErrInvalidEntity = 28,
    qErrInvalidOption = 29,
    qErrResource = 30,
    qErrMedia = 31,
    qErrAsyncReturn = 32,
    qErrStreamStale = 33,
    qErrUnknown = 34,
} qErr;

// Both lookups return static text; any value outside 0..34 (negative ones included) reads as qErrUnknown.
const char* qError_GetErrorText(qErr error);
const char* qError_GetErrorDescription(qErr error);
