// Thread-safe, bounded packet queues named by opaque references.
//
// Each link has an inbound and an outbound FIFO. Callers hold a reference, never a pointer: a
// FIFO destroyed by one thread is never used after free by another, and an operation already
// under way keeps the FIFO alive until it returns. Packets handed out are new copies that the
// caller frees with qPacket_Destroy; Put queues a copy and the caller keeps its own packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"
#include "qPacket.h"

// Names one FIFO; 0 never names one.
typedef uint64_t qPacketFifoRef;

// Says whether a queued packet is the one a caller wants. Called with the FIFO's lock held:
// it must be quick and must not use the same FIFO.
typedef bool (*qPacketFilter)(const qPacket* packet, void* reference);

// A FIFO holds at most this many packets; one more empties it (see qPacketFifo_Put).
#define qPACKETFIFO_MAX_PACKETS 1000

// A new FIFO's reference, or 0 when it cannot be made.
qPacketFifoRef qPacketFifo_Create();
// Unlinks the FIFO, empties it and wakes every waiter, who then gets no packet. Sets the
// caller's reference to 0. qErrParam for a null pointer, qErrNotFound for an unknown reference.
qErr qPacketFifo_Destroy(qPacketFifoRef* fifo);
// Queued packets; 0 for an unknown reference.
size_t qPacketFifo_GetLength(qPacketFifoRef fifo);
// Queues a copy of the packet. qErrParam for an unknown reference or an invalid packet,
// qErrResource when the queue cannot grow. A put that takes the queue past 1000 packets
// empties it, the new packet included, and still succeeds: a consumer that stops taking
// packets costs packets, not memory.
qErr qPacketFifo_Put(qPacketFifoRef fifo, const qPacket* packet);
// The oldest packet, at once; none when the queue is empty.
qPacket* qPacketFifo_Get(qPacketFifoRef fifo);
// The oldest packet, waiting up to `timeout_ms`; none on time-out or destruction.
qPacket* qPacketFifo_Await(qPacketFifoRef fifo, uint32_t timeout_ms);
// The oldest packet the filter accepts, at once; the others stay queued in order.
qPacket* qPacketFifo_GetFirst(qPacketFifoRef fifo, qPacketFilter filter, void* reference);
// The oldest packet the filter accepts, waiting up to `timeout_ms`. Each packet is offered to
// the filter at most once per call, however often the waiter wakes; packets put meanwhile are
// offered in the order they arrived.
qPacket* qPacketFifo_AwaitFirst(qPacketFifoRef fifo, qPacketFilter filter, void* reference, uint32_t timeout_ms);
// Removes and frees every queued packet the filter accepts, keeping the order of the rest;
// returns how many went.
size_t qPacketFifo_DrainPackets(qPacketFifoRef fifo, qPacketFilter filter, void* reference);
