// A link's packet debug log: a byte ring of records that the reader and writer threads (and
// callers) put and a logger takes, oldest first. When the ring is full the oldest whole records
// make room, so a slow logger loses history, never the newest records.
//
// Record: kind byte, length byte, then `length` bytes. Packet records hold the packet's wire
// form (address, length, data), so their length is the packet length + 2.
//
// The ring has no lock of its own: the link guards every put and get with its log mutex.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"
#include "qPacket.h"

#define qPACKETLOG_DEFAULT_SIZE 65536
#define qPACKETLOG_MAX_SIZE 67108864
#define qPACKETLOG_RECORD_HEADER 2   // kind and length bytes
#define qPACKETLOG_MAX_RECORD 255    // the length byte bounds one record's bytes

typedef enum {
    qPacketLogWritten = 1,   // a packet written to the module
    qPacketLogReceived = 2,  // a packet received from it
    qPacketLogText = 3,      // a caller's text
} qPacketLogKind;

typedef struct qPacketLog qPacketLog;

// A ring of `size` bytes (0 gives the default); none above the maximum or without memory.
qPacketLog* qPacketLog_Create(size_t size);
// Frees the ring and clears the caller's pointer.
void qPacketLog_Destroy(qPacketLog** log);
// Stores a record. qErrOverrun when the record (length + 2) is not smaller than the ring,
// qErrSize for more than 255 bytes, qErrParam for a null log or null bytes with a length.
qErr qPacketLog_Put(qPacketLog* log, uint8_t kind, size_t length, const void* bytes);
// Stores a packet's wire form as one record of that kind.
qErr qPacketLog_PutPacket(qPacketLog* log, uint8_t kind, const qPacket* packet);
// Takes the oldest record. `*length` is the buffer's size on the way in and the record's
// length on the way out; `*kind` is its kind. qErrNotFound when the ring is empty;
// qErrOverrun, with the record left in place, when the buffer is too small for it.
qErr qPacketLog_Get(qPacketLog* log, uint8_t* kind, size_t* length, void* buffer);
