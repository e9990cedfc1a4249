#include "qLinkManagerInternal.h"

#include <cstdio>
#include <new>

#include "qDebugging.h"
#include "qModuleContract.h"
#include "qStreamsocket.h"
#include "qStreamusb.h"
#include "qTime.h"

namespace {

// The table: made on first use, never destroyed, so a thread still inside a table operation
// while the process ends never meets a destroyed mutex.
struct LinkTable {
    qMutex* mutex = qMutex_Create("qLink_Managed");
    qLinkEntry* head = nullptr;  // newest first
    qLinkID nextID = 1;
};

LinkTable& table() {
    static LinkTable* const instance = new LinkTable;
    return *instance;
}

class TableLock {
public:
    TableLock() { qMutex_Lock(table().mutex); }
    ~TableLock() { qMutex_Unlock(table().mutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// Callers hold the table lock.
qLinkEntry* find_by_id(qLinkID id) {
    for (qLinkEntry* entry = table().head; entry != nullptr; entry = entry->next) {
        if (entry->ID == id) return entry;
    }
    return nullptr;
}

qLinkEntry* find_by_identifier(uint32_t identifier) {
    for (qLinkEntry* entry = table().head; entry != nullptr; entry = entry->next) {
        if (entry->identifier == identifier) return entry;
    }
    return nullptr;
}

// With the table locked: one more use of the entry, unless a sharing server serves it and the
// caller must go through a client link instead.
qLinkID add_use_to(qLinkEntry* entry, bool refuseShared, bool* found) {
    *found = entry != nullptr;
    if (entry == nullptr) return 0;
    if (refuseShared && entry->server != nullptr) return 0;
    entry->useCount = static_cast<int16_t>(static_cast<uint16_t>(entry->useCount) + 1);
    return entry->ID;
}

qLinkEntry* unlink_entry(qLinkID id) {
    for (qLinkEntry** link = &table().head; *link != nullptr; link = &(*link)->next) {
        if ((*link)->ID == id) {
            qLinkEntry* found = *link;
            *link = found->next;
            found->next = nullptr;
            return found;
        }
    }
    return nullptr;
}

bool accept_every_packet(const qPacket*, void*) { return true; }

// Queues a force-route straight on the record's FIFO: a stopping link is no longer in the
// table, and its force-route 0 must still go out.
qErr put_force_route(qLinkRecord* link, uint8_t value) {
    qPacket* packet = qPacket_CreateWithData(cmdFORCEROUTE, qFORCEROUTE_LENGTH, &value);
    if (packet == nullptr) return qErrMemory;
    qErr result = qPacketFifo_Put(link->outbound, packet);
    qPacket_Destroy(&packet);
    return result;
}

// Everything the record holds, leaving the record itself; the threads must have ended.
void release_link_contents(qLinkRecord* link) {
    qPacketFifoRef inbound = link->inbound.exchange(0);
    qPacketFifoRef outbound = link->outbound.exchange(0);
    if (inbound != 0) qPacketFifo_Destroy(&inbound);
    if (outbound != 0) qPacketFifo_Destroy(&outbound);
    if (link->currentPacket != nullptr) qPacket_Destroy(&link->currentPacket);
    qPacketLog* log = link->packetLog.exchange(nullptr);
    qPacketLog_Destroy(&log);
    qMutex* logMutex = link->packetLogMutex.exchange(nullptr);
    if (logMutex != nullptr) qMutex_Destroy(&logMutex);
    if (link->userFilterMutex != nullptr) qMutex_Destroy(&link->userFilterMutex);
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    if (link->stream != nullptr) qStream_Destroy(&link->stream);
}

bool can_remake_stream(int type) { return type == qLinkTypeTCPIP || type == qLinkTypeUSB; }

qErr remake_stream(const qLinkEntry* entry, qStream** stream) {
    switch (entry->type) {
        case qLinkTypeTCPIP: return qStream_CreateSocket(entry->identifier, entry->port, stream);
        case qLinkTypeUSB: return qStream_CreateUSB(entry->identifier, stream);
        // Serial links do not keep their port and rate, and a caller's stream is the caller's;
        // client streams arrive with the sharing server.
        default: return qErrParam;
    }
}

}  // namespace

qLinkID sCreate2(uint32_t identifier, uint16_t port, uint32_t clientIndex, int type) {
    qLinkEntry* entry = new (std::nothrow) qLinkEntry{};
    qLinkRecord* link = new (std::nothrow) qLinkRecord{};
    if (entry == nullptr || link == nullptr) {
        delete entry;
        delete link;
        return 0;
    }
    entry->identifier = identifier;
    entry->port = port;
    entry->clientIndex = clientIndex;
    entry->type = type;
    entry->link = link;

    TableLock lock;
    LinkTable& links = table();
    if (links.nextID == 0) links.nextID = 1;  // 0 names no link, even after 2^32 links
    entry->ID = links.nextID++;
    link->ID = entry->ID;
    entry->next = links.head;
    links.head = entry;
    return entry->ID;
}

qLinkID sCreate(uint32_t identifier, uint16_t port, int type) { return sCreate2(identifier, port, 0, type); }

qLinkEntry* sLookupEntryByID(qLinkID id) {
    TableLock lock;
    return find_by_id(id);
}

qLinkEntry* sLookupEntryByIdentifier(uint32_t identifier) {
    TableLock lock;
    return find_by_identifier(identifier);
}

qLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint16_t port, uint32_t clientIndex) {
    TableLock lock;
    for (qLinkEntry* entry = table().head; entry != nullptr; entry = entry->next) {
        if (entry->identifier == identifier && entry->port == port && entry->clientIndex == clientIndex) return entry;
    }
    return nullptr;
}

qLinkRecord* sGetLink(qLinkID id) {
    qLinkEntry* entry = sLookupEntryByID(id);
    return entry == nullptr ? nullptr : entry->link;
}

int16_t sChangeUseCount(qLinkEntry* entry, int change) {
    if (entry == nullptr) return 0;
    TableLock lock;
    entry->useCount = static_cast<int16_t>(static_cast<uint16_t>(entry->useCount) + static_cast<uint16_t>(change));
    return entry->useCount;
}

qLinkEntry* sExtractEntry(qLinkID id) {
    TableLock lock;
    return unlink_entry(id);
}

qLinkID sAddUseToExisting(uint32_t identifier, bool refuseShared, bool* found) {
    TableLock lock;
    return add_use_to(find_by_identifier(identifier), refuseShared, found);
}

qLinkID sAddUseToExistingEndpoint(uint32_t address, uint16_t port, bool* found) {
    TableLock lock;
    qLinkEntry* entry = table().head;
    while (entry != nullptr && !(entry->identifier == address && entry->port == port && entry->type == qLinkTypeTCPIP)) {
        entry = entry->next;
    }
    return add_use_to(entry, false, found);
}

qLinkEntry* sReleaseUse(qLinkID id, bool* found) {
    TableLock lock;
    qLinkEntry* entry = find_by_id(id);
    *found = entry != nullptr;
    if (entry == nullptr) return nullptr;
    entry->useCount = static_cast<int16_t>(static_cast<uint16_t>(entry->useCount) - 1);
    if (entry->useCount > 0) return nullptr;
    return unlink_entry(id);
}

qLinkID qLink_Init(qLinkID id, qStream* stream) {
    qLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr || entry->link == nullptr) return 0;
    qLinkRecord* link = entry->link;
    link->ID = id;
    link->running = 0;
    link->stream = stream;
    link->status = stream != nullptr ? qLinkStatusStopped : qLinkStatusNoStream;
    link->readerThread = nullptr;
    link->writerThread = nullptr;
    link->readerStarted = 0;
    link->writerStarted = 0;
    link->inbound = qPacketFifo_Create();
    link->outbound = qPacketFifo_Create();
    link->currentPacket = qPacket_Create();
    link->syncState = kSyncStateIdle;
    link->packetLog = nullptr;
    link->packetLogSize = 0;
    link->packetLogMutex = nullptr;
    link->pooled = 0;
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    char name[qMUTEX_MAX_NAME + 1];
    snprintf(name, sizeof name, "qLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterMutex = qMutex_Create(name);

    bool complete = link->inbound != 0 && link->outbound != 0 && link->currentPacket != nullptr &&
                    link->userFilterMutex != nullptr;
    return complete ? id : 0;
}

qErr qLink_Start(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    if (link->running) return qErrNone;
    // Threads over no stream could only report read errors; a link that cannot carry a byte is
    // not started, so its creator fails instead of handing out a dead link.
    if (link->stream == nullptr) return qErrConnection;

    link->running = 1;
    link->status = qLinkStatusStarting;
    link->readerStarted = 0;
    link->writerStarted = 0;
    link->readerThread = qThread_Create(sInPipeProcess, link);
    if (link->readerThread == nullptr) return qErrResource;
    link->writerThread = qThread_Create(sOutPipeProcess, link);
    if (link->writerThread == nullptr) return qErrResource;

    bool up = false;
    for (int poll = 0; poll < qLINK_START_POLLS && !up; ++poll) {
        qTime_MSSleep(qLINK_START_POLL_MS);
        up = link->readerStarted && link->writerStarted && link->status == qLinkStatusRunning;
    }
    // Not a time-out code: callers of the object layer have always seen this one here.
    if (!up) return qErrIndexRange;
    qDebugging_Trace(qDEBUG_LINK, "link %u started", id);
    return qLink_ForceRoute(id, qFORCEROUTE_ON);
}

qErr qLink_Sync(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    link->status = qLinkStatusSynchronising;
    qErr result = qErrNotReady;
    for (int poll = 0; poll < qLINK_START_POLLS; ++poll) {
        qTime_MSSleep(qLINK_START_POLL_MS);
        if (link->status == qLinkStatusRunning) {
            result = qErrNone;
            break;
        }
    }
    // What was queued before or during synchronisation is stale either way, and so are the
    // module's surplus answers to the sync requests.
    qPacketFifo_DrainPackets(link->outbound, accept_every_packet, nullptr);
    qTime_MSSleep(qLINK_SYNC_SETTLE_MS);
    qPacketFifo_DrainPackets(link->inbound, accept_every_packet, nullptr);
    return result;
}

qErr qLink_ForceRoute(qLinkID id, uint8_t value) {
    qLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr) return qErrNotFound;
    if (entry->link == nullptr) return qErrParam;
    return put_force_route(entry->link, value);
}

qErr qLink_Stop(qLinkRecord* link) {
    if (link == nullptr) return qErrParam;
    int status = link->status;
    if (status == qLinkStatusStopped || status == qLinkStatusStopping) return qErrNone;
    link->status = qLinkStatusStopping;
    qErr result = qErrNone;
    // A start that made only one thread still leaves that thread to end and join.
    if (link->readerThread != nullptr || link->writerThread != nullptr) {
        // The flag goes first and the force-route wakes a waiting writer, so the stop never
        // waits out the writer's await. A writer that ended before the force-route arrived
        // leaves it queued; it is written here, after the writer, so it still goes out last.
        link->running = 0;
        bool had_writer = link->writerThread != nullptr;
        if (had_writer) result = put_force_route(link, qFORCEROUTE_OFF);
        if (qThread_Destroy(&link->readerThread) != 0) result = qErrUnknown;
        if (qThread_Destroy(&link->writerThread) != 0) result = qErrUnknown;
        if (had_writer) sFlushOutbound(link);
        link->readerStarted = 0;
        link->writerStarted = 0;
        qPacket_Reset(link->currentPacket);
        link->status = qLinkStatusStopped;
        qDebugging_Trace(qDEBUG_LINK, "link %u stopped", link->ID);
    }
    return result;
}

qErr qLink_ResetLink(qLinkEntry* entry) {
    if (entry == nullptr || entry->link == nullptr) return qErrParam;
    qLinkRecord* link = entry->link;
    qLink_Stop(link);
    release_link_contents(link);

    qStream* stream = nullptr;
    qErr made = qErrParam;
    // Attempts that cannot succeed are not waited out.
    int attempts = can_remake_stream(entry->type) ? qLINK_RESET_ATTEMPTS : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0) qTime_MSSleep(qLINK_RESET_PAUSE_MS);
        made = remake_stream(entry, &stream);
        if (made == qErrNone && stream != nullptr) break;
    }
    if (stream == nullptr) {
        link->status = qLinkStatusNoStream;
        qDebugging_Trace(qDEBUG_LINK, "link %u reset found no stream: %s", entry->ID, qError_GetErrorText(made));
        return made != qErrNone ? made : qErrConnection;
    }
    if (qLink_Init(entry->ID, stream) != entry->ID) return qErrConnection;
    return qLink_Start(entry->ID);
}

void sReleaseLinkRecord(qLinkRecord** link) {
    if (link == nullptr || *link == nullptr) return;
    release_link_contents(*link);
    delete *link;
    *link = nullptr;
}

void sLogPacket(qLinkRecord* link, uint8_t kind, const qPacket* packet) {
    qPacketLog* log = link->packetLog.load(std::memory_order_acquire);
    if (log == nullptr) return;
    qMutex* mutex = link->packetLogMutex.load(std::memory_order_acquire);
    if (qMutex_Lock(mutex) != qErrNone) return;
    qPacketLog_PutPacket(log, kind, packet);
    qMutex_Unlock(mutex);
}
