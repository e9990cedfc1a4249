// Links: one live connection to a module over one byte stream, named by a small link ID.
//
// Each link has an inbound and an outbound packet FIFO, a reader thread that turns received
// bytes into packets (keeping in step with the module's packet boundaries, answering its
// heartbeats) and a writer thread that sends queued packets. A process-wide table lets several
// users of one module share its link through a use count: creating a link for a module that
// already has one adds a use, and the link ends with its last use.
//
// Link IDs count from 1 and are never reused within a run; 0 means "no link" in every result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "packetfifo.h"
#include "qError.h"
#include "qPacket.h"
#include "qStream.h"

typedef uint32_t qLinkID;

// Link status values; the object layer reads them.
typedef enum {
    qLinkStatusStopped = 0,
    qLinkStatusStarting = 1,
    qLinkStatusRunning = 2,         // synchronised: packets can be trusted
    qLinkStatusStopping = 3,
    qLinkStatusSynchronising = 4,
    qLinkStatusNoStream = 5,        // also the status of an ID that names no link
    qLinkStatusIOError = 6,         // the last stream read failed
    qLinkStatusDeliveryFailed = 8,  // a received packet could not be queued
} qLinkStatus;

// --- Creation: each returns the link ID, or 0 on failure (nothing is left behind then).

// The link for the USB module with this serial number; it is synchronised before it is
// returned (up to 2 s).
qLinkID qLink_CreateUSB(uint32_t serialNumber);
// A TCP link; the IPv4 address is 32 bits in network byte order.
qLinkID qLink_CreateTCPIP(uint32_t address, uint16_t port);
// A serial link at 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400 baud, 8 data bits,
// no parity, one stop bit. `identifier` (the module's serial number) is what later calls for
// the same module find it by.
qLinkID qLink_CreateSerial(uint32_t identifier, const char* port, uint32_t baud);
// A link over a stream the caller made. The link owns the stream from this call on, and
// destroys it with the link, or at once when the link cannot be made.
qLinkID qLink_Create(qStream* stream);
// Links of the link sharing server; they fail (0) until that server exists.
qLinkID qLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, bool localOnly);
qLinkID qLink_CreateClient(uint32_t ipAddress, uint16_t port, qLinkID reference);

// --- Use. Every function is safe to call with an ID that names no link.

// Drops one use; the last use stops the link and releases everything it holds. The caller's
// ID is cleared in every case. qErrParam when the ID names no link.
qErr qLink_Destroy(qLinkID* id);
// Stops the link, makes a new stream of the same kind (TCP/IP links reconnect, USB links
// reopen the module) and starts again. User filter, pooled mode and packet log are not kept.
// Serial links and caller's streams cannot be remade. qErrParam when the ID names no link.
qErr qLink_Reset(qLinkID id);
// A qLinkStatus value; qLinkStatusNoStream when the ID names no link.
int qLink_GetStatus(qLinkID id);

// Queues a copy of the packet for the module. qErrParam for an unknown ID or an invalid packet.
qErr qLink_PutPacket(qLinkID id, const qPacket* packet);
// The inbound FIFO's operations (packetfifo.h); none or 0 for an unknown ID.
qPacket* qLink_GetPacket(qLinkID id);
qPacket* qLink_AwaitPacket(qLinkID id, uint32_t timeout_ms);
qPacket* qLink_GetFirst(qLinkID id, qPacketFilter filter, void* reference);
size_t qLink_DrainPackets(qLinkID id, qPacketFilter filter, void* reference);
// The oldest received packet the filter accepts, waiting up to `timeout_ms`; gives up early
// (none) when the link stops running or leaves the running status.
qPacket* qLink_AwaitFirst(qLinkID id, qPacketFilter filter, void* reference, uint32_t timeout_ms);

// Installs (or, with none, removes) a filter that sees every received packet before it is
// queued, heartbeats included; a packet it accepts is consumed. It runs on the reader thread:
// it must be quick and must not install a filter itself. qErrParam for an unknown ID.
qErr qLink_InstallUserPacketFilter(qLinkID id, qPacketFilter filter, void* reference);
// Pooled mode: the writer sends queued packets together, up to 4096 bytes per stream write,
// never splitting a packet. qErrParam for an unknown ID.
qErr qLink_EnablePooledPackets(qLinkID id, bool pooled);

// --- Packet debug log (records: see qPacketDebug.h). All give qErrParam for an unknown ID.

// Sets the size of the log that Enable makes: a negative size or 0 is the default (65536).
// qErrParam above 67108864 bytes, qErrBusy once the log exists.
qErr qLink_PacketDebug_SetLogSize(qLinkID id, int64_t bytes);
// Makes the log: from now on every packet written and received is recorded.
// qErrResource when it cannot be made.
qErr qLink_PacketDebug_Enable(qLinkID id);
// qErrNotReady without a log. The log keeps recording until the link is destroyed.
qErr qLink_PacketDebug_Disable(qLinkID id);
// Takes the oldest record: `*length` is the buffer's size in and the record's length out.
// qErrNotReady without a log, qErrNotFound when it is empty, qErrOverrun when the buffer is
// too small (the record stays).
qErr qLink_PacketDebug_Read(qLinkID id, uint8_t* kind, size_t* length, void* buffer);
// Adds a record (at most 255 bytes). qErrNotReady without a log.
qErr qLink_PacketDebug_Write(qLinkID id, uint8_t kind, size_t length, const void* bytes);

// --- Module identification, for the link sharing server. Both wait up to 1000 ms for the
// next received packet: qErrTimeout when none came, qErrIO when it is not the answer.

// The module's address, from its answer to one synchronisation request.
qErr _qLink_GetModuleAddress(qLinkID id, uint8_t* address);
// The module's model code, read from its system entity.
qErr _qLink_GetModel(qLinkID id, uint8_t address, uint8_t* model);
