// The link table and the link record behind qLink.h, and the operations a link goes through
// in its life: entry creation, initialisation, start, synchronisation, stop and reset. The
// link sharing server builds its links on these too.
//
// The table is a singly linked list, newest first, guarded by the mutex "qLink_Managed" for
// each operation's own duration. An entry found by a lookup is used after the mutex is
// released: an ID must not be destroyed by one thread while another still uses it (holders
// share a link through its use count instead).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "packetfifo.h"
#include "qLink.h"
#include "qMutex.h"
#include "qPacket.h"
#include "qPacketDebug.h"
#include "qStream.h"
#include "qThread.h"

struct qServer;  // a link sharing server attached to a USB link

// What the entry's identifier and port mean depends on its type.
typedef enum {
    qLinkTypeStream = 0,  // a caller's stream; identifier all ones
    qLinkTypeUSB = 1,     // identifier: the module's serial number
    qLinkTypeTCPIP = 2,   // identifier: IPv4 address (network order); port: TCP port
    qLinkTypeSerial = 3,  // identifier: the module's serial number
    qLinkTypeClient = 4,  // a sharing-server client link; identifier and port as TCP/IP
} qLinkType;

#define qLINK_STREAM_IDENTIFIER 0xFFFFFFFFu

// The reader's synchronisation states.
typedef enum {
    kSyncStateIdle = 0,   // no synchronisation under way
    kSyncStateStart = 1,  // the next byte (or empty read) starts one
    kSyncStateByte1 = 2,  // requests sent: expecting a module address
    kSyncStateByte2 = 3,  // expecting 0, the length of its answer
    kSyncStateByte3 = 4,  // expecting the same address again
    kSyncStateByte4 = 5,  // expecting 0 again
} qLinkSyncState;

// Timing of a link's threads and waits.
#define qLINK_START_POLL_MS 10         // start and sync requests poll the status this often...
#define qLINK_START_POLLS 200          // ...this many times (2 s)
#define qLINK_SYNC_SETTLE_MS 100       // after a sync request: outbound drained, pause, inbound drained
#define qLINK_READ_ERROR_PAUSE_MS 100  // the reader's back-off after a failed stream read
#define qLINK_RESET_ATTEMPTS 20        // a reset tries this many times to make a new stream...
#define qLINK_RESET_PAUSE_MS 100       // ...this far apart

// A packet the writer pools may fill this buffer; a batch never splits a packet.
#define qLINK_POOL_BYTES 4096

typedef struct qLinkRecord {
    qLinkID ID;
    std::atomic<uint8_t> running;  // the threads run while set
    std::atomic<int> status;       // qLinkStatus
    std::atomic<qPacketFifoRef> inbound;
    std::atomic<qPacketFifoRef> outbound;
    qPacket* currentPacket;  // being assembled by the reader
    qThread* readerThread;
    qThread* writerThread;
    std::atomic<uint8_t> readerStarted;
    std::atomic<uint8_t> writerStarted;
    qStream* stream;  // the reader only reads it, the writer only writes it

    // The reader's own state.
    int syncState;  // qLinkSyncState
    uint8_t syncAddress;
    std::chrono::steady_clock::time_point syncStartedAt;  // when the last sync requests went out

    // Packet debug log: the mutex is made first and the log published after it, so a thread
    // that sees the log also sees its mutex. Both live until the link is destroyed or reset.
    std::atomic<qPacketLog*> packetLog;
    int64_t packetLogSize;  // 0: the default
    std::atomic<qMutex*> packetLogMutex;

    qPacketFilter userFilter;  // guarded by userFilterMutex
    void* userFilterReference;
    qMutex* userFilterMutex;

    std::atomic<uint8_t> pooled;
} qLinkRecord;

typedef struct qLinkEntry {
    qLinkID ID;
    qLinkID companionID;  // a sharing-server client link: the USB link it serves, destroyed with it
    qServer* server;
    uint32_t identifier;
    uint16_t port;
    uint32_t clientIndex;
    int type;          // qLinkType
    int16_t useCount;  // holders of the link
    qLinkRecord* link;
    struct qLinkEntry* next;
} qLinkEntry;

// --- Table. Each takes the table mutex for its own duration.

// A new entry and empty link record at the head of the table; its ID, or 0 without memory.
qLinkID sCreate2(uint32_t identifier, uint16_t port, uint32_t clientIndex, int type);
qLinkID sCreate(uint32_t identifier, uint16_t port, int type);
qLinkEntry* sLookupEntryByID(qLinkID id);
// The newest entry with that identifier, whatever its type or port.
qLinkEntry* sLookupEntryByIdentifier(uint32_t identifier);
qLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint16_t port, uint32_t clientIndex);
qLinkRecord* sGetLink(qLinkID id);
// Adds +1 or -1 to the entry's use count (16-bit wrap); the count after the change.
int16_t sChangeUseCount(qLinkEntry* entry, int change);
// Unlinks the entry with that ID and returns it; none when there is none.
qLinkEntry* sExtractEntry(qLinkID id);
// For the creators: when the newest entry with this identifier exists, adds one use and
// returns its ID (0 when a sharing server is attached and `refuseShared` is set); 0 when none.
// Lookup and count change are one step, so a racing destroy cannot free it in between.
qLinkID sAddUseToExisting(uint32_t identifier, bool refuseShared, bool* found);
// The same for a TCP/IP link: it is shared only with a link to the same address and port, so two
// modules behind one address (a gateway, or simulated modules on one host) never share a link.
qLinkID sAddUseToExistingEndpoint(uint32_t address, uint16_t port, bool* found);
// Drops one use of the entry with that ID; when none remain the entry is unlinked and
// returned for teardown. `*found` tells whether the ID named an entry.
qLinkEntry* sReleaseUse(qLinkID id, bool* found);

// --- Lifecycle.

// Prepares the link record of entry `id` around the stream (none: status "no stream"):
// new FIFOs, an empty current packet, no log, not pooled, no user filter. The stream is
// stored even when something else fails, so that destroying the link releases it.
// Returns the ID, or 0 when the ID has no entry or record or something cannot be made.
qLinkID qLink_Init(qLinkID id, qStream* stream);
// Starts the reader and writer threads and waits up to 2 s for the link to run, then sends a
// force-route 1. qErrParam without a record, qErrConnection without a stream, qErrResource
// when a thread cannot start, qErrIndexRange when the link did not come up.
qErr qLink_Start(qLinkID id);
// Asks the reader to synchronise and waits up to 2 s for it (qErrNotReady when it did not);
// then empties the outbound FIFO, waits 100 ms and empties the inbound FIFO.
qErr qLink_Sync(qLinkID id);
// Queues a force-route packet with this value. qErrNotFound without an entry, qErrParam
// without a record, qErrMemory when the packet cannot be made.
qErr qLink_ForceRoute(qLinkID id, uint8_t value);
// Stops and joins both threads, sending what is still queued and then a force-route 0, and
// leaves the link stopped. A link already stopped or stopping is left alone.
qErr qLink_Stop(qLinkRecord* link);
// Stop, new stream of the entry's kind, initialise and start; see qLink_Reset.
qErr qLink_ResetLink(qLinkEntry* entry);
// Releases everything the link record holds (it must be stopped) and the record itself.
void sReleaseLinkRecord(qLinkRecord** link);

// --- Threads (one reader and one writer per running link).
void* sInPipeProcess(void* link);
void* sOutPipeProcess(void* link);
// Writes every packet still queued, one write each; the writer's last act, and the stopping
// thread's once the writer has ended.
void sFlushOutbound(qLinkRecord* link);

// Records the packet in the link's debug log, when it has one (under the log mutex).
void sLogPacket(qLinkRecord* link, uint8_t kind, const qPacket* packet);
