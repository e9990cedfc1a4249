// Byte streams: the pipe under every link and under the serial boot-loader client.
//
// A stream is a table of operations over its kind's own record (the reference), plus a
// push-back buffer that lets a reader give bytes back when a multi-byte read cannot be
// completed yet. Streams have no lock: one thread reads (get, and the push-back buffer) while
// one other thread may write.
//
// Kinds: files (below), TCP client sockets (qStreamsocket.h), serial ports (qStreamserial.h),
// and any a caller builds with qStream_Create.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

#define qSTREAMCHECK 0x4321
#define qSTREAMBUFCHUNK 512  // the push-back buffer starts at this size and grows in these steps

// Reads one byte. qErrNotReady when none is waiting now, qErrEOF at the end of the data.
typedef qErr (*qStreamGetProc)(uint8_t* byte, void* reference);
// Writes one byte.
typedef qErr (*qStreamPutProc)(const uint8_t* byte, void* reference);
// Writes all `length` bytes.
typedef qErr (*qStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// Releases the reference (closes the file, socket or port, frees the record).
typedef qErr (*qStreamDeleteProc)(void* reference);

// Optional operations that let a reader take bursts instead of calling get per byte.
// Reads up to `capacity` bytes that are waiting now, without blocking: qErrNone with
// `*count` above 0, or get's result for "none" (qErrNotReady, qErrEOF, an error).
typedef qErr (*qStreamReadAvailableProc)(uint8_t* buffer, size_t capacity, size_t* count, void* reference);
// Waits up to `timeout_ms` until a read may find bytes (or an error to report): qErrNone then,
// qErrTimeout when the time passed. Waits out the time on a source that can never deliver
// again (a peer that closed), so a reader polling it does not spin.
typedef qErr (*qStreamWaitReadableProc)(uint32_t timeout_ms, void* reference);

typedef struct qStream {
    qStreamGetProc get;
    qStreamPutProc put;
    qStreamWriteProc write;
    qStreamDeleteProc destroy;
    void* reference;
    qStreamReadAvailableProc readAvailable;
    qStreamWaitReadableProc waitReadable;

    uint8_t* buffer;        // push-back ring, made on first use
    size_t buffered;        // bytes held in it
    size_t capacity;        // its current size
    size_t readPosition;    // ring positions, modulo capacity
    size_t writePosition;
    uint16_t valid;         // qSTREAMCHECK in a live stream
} qStream;

#define qVALIDSTREAM(stream) ((stream) != nullptr && (stream)->valid == qSTREAMCHECK)

// A new stream over those operations (any may be absent); none when memory is short.
qStream* qStream_Create(qStreamGetProc get, qStreamPutProc put, qStreamWriteProc write,
                        qStreamDeleteProc destroy, void* reference);
// Adds the optional burst-read and readiness operations to a stream (either may be absent).
qErr qStream_SetReadyOperations(qStream* stream, qStreamReadAvailableProc readAvailable,
                                qStreamWaitReadableProc waitReadable);

// Reads exactly `size` bytes. When the stream runs dry part-way (qErrNotReady) or fails, the
// bytes already taken go back to the push-back buffer and `destination` is not touched, so a
// later read sees them again in order. qErrEOF after some bytes delivers those bytes.
qErr qStream_Read(qStream* stream, void* destination, size_t size);
// Takes up to `capacity` bytes that are ready now: the push-back buffer first, then the
// stream's read-available operation; a stream without one gives one byte through get.
// qErrNone with `*count` above 0; otherwise the result that says why there were none.
qErr qStream_ReadAvailable(qStream* stream, uint8_t* buffer, size_t capacity, size_t* count);
// Waits up to `timeout_ms` until a read may find bytes: qErrNone, or qErrTimeout. qErrNone at
// once while the push-back buffer holds bytes. qErrUnimplemented for a stream that cannot
// tell; a reader of such a stream must pace its own polling.
qErr qStream_WaitReadable(qStream* stream, uint32_t timeout_ms);

// Writes `length` bytes: one write call when the stream has one and length is above 1, else
// byte by byte through put. qErrMode when it has neither.
qErr qStream_Write(qStream* stream, const void* data, size_t length);
// Appends one byte to the push-back buffer; qErrMemory when it cannot grow.
qErr qStreamBufferChar(qStream* stream, uint8_t byte);

// Reads one record ended by the separator bytes into at most `size` bytes; the separator is
// consumed, not stored. A buffer that fills ends the record too. qErrEOF with nothing read;
// qErrNotReady gives every byte taken back to the stream.
qErr qStream_ReadRecord(qStream* stream, void* buffer, size_t* length, size_t size, const void* separator,
                        size_t separator_length);
qErr qStream_WriteRecord(qStream* stream, const void* data, size_t length, const void* separator,
                         size_t separator_length);
// Reads a record ended by one zero byte into at most size - 1 characters and terminates it.
qErr qStream_ReadCString(qStream* stream, char* buffer, size_t size);
// Writes the string and its terminating zero byte.
qErr qStream_WriteCString(qStream* stream, const char* string);
// Reads a record ended by the separator's characters into at most size - 1 characters and
// terminates it.
qErr qStream_ReadCStringRecord(qStream* stream, char* buffer, size_t size, const char* separator);
// Writes the string, then the separator with its terminating zero byte.
qErr qStream_WriteCStringRecord(qStream* stream, const char* string, const char* separator);

// Copies `input` into `output` byte by byte until the input ends (qErrNone) or fails.
qErr qStream_Flush(qStream* input, qStream* output);
// Calls the delete operation (its result is the result) and frees the stream. The caller's
// pointer is cleared in every case; qErrParam for an invalid stream.
qErr qStream_Destroy(qStream** stream);

// File streams over qFile. qErrResource for a null path or out pointer, a file that cannot be
// opened, or a stream that cannot be made. Input streams read; output streams truncate and write.
qErr qStream_CreateFileInput(const char* path, qStream** stream);
qErr qStream_CreateFileOutput(const char* path, qStream** stream);
