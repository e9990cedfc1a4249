#include "qLink.h"

#include <chrono>
#include <cstdio>

#include "qDebugging.h"
#include "qLinkManagerInternal.h"
#include "qModuleContract.h"
#include "qStreamserial.h"
#include "qStreamsocket.h"
#include "qStreamusb.h"
#include "qUEI.h"

namespace {

// A link-level wait looks at the link's state at least this often.
constexpr uint32_t AWAIT_SLICE_MS = 100;

// Serial links: 8 data bits, no parity, one stop bit.
constexpr uint8_t SERIAL_NO_PARITY = 0;

// Tears down an entry that is no longer in the table.
void teardown(qLinkEntry* entry) {
    qLinkRecord* link = entry->link;
    if (link != nullptr) {
        if (link->userFilterMutex != nullptr && qMutex_Lock(link->userFilterMutex) == qErrNone) {
            link->userFilter = nullptr;
            link->userFilterReference = nullptr;
            qMutex_Unlock(link->userFilterMutex);
        }
        qLink_Stop(link);
    }
    // A sharing server attached to the entry is released by the server's own code, which adds
    // it here when it exists; until then no entry carries one.
    if (entry->companionID != 0) {
        qLinkID companion = entry->companionID;
        qLink_Destroy(&companion);
    }
    sReleaseLinkRecord(&entry->link);
    delete entry;
}

// Finishes a creation: a link that failed is destroyed and 0 returned.
qLinkID finish_creation(qLinkID id, qErr result, const char* step) {
    if (result == qErrNone) return id;
    qDebugging_Trace(qDEBUG_LINK, "FAIL: %s: %s", step, qError_GetErrorText(result));
    qLink_Destroy(&id);
    return 0;
}

void add_use(qLinkID id) { sChangeUseCount(sLookupEntryByID(id), +1); }

bool is_running(qLinkRecord* link) { return link->running && link->status == qLinkStatusRunning; }

// With the link's packet log mutex held (it exists once the log does).
template <typename Action>
qErr with_packet_log(qLinkID id, Action action) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    qPacketLog* log = link->packetLog.load(std::memory_order_acquire);
    if (log == nullptr) return qErrNotReady;
    qMutex* mutex = link->packetLogMutex.load(std::memory_order_acquire);
    if (qMutex_Lock(mutex) != qErrNone) return qErrResource;
    qErr result = action(log);
    qMutex_Unlock(mutex);
    return result;
}

// Sends one packet and awaits the next one received, for the identification queries.
qErr exchange(qLinkID id, uint8_t address, uint8_t length, const uint8_t* data, qPacket** answer) {
    *answer = nullptr;
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    static const uint8_t NO_DATA = 0;
    qPacket* request = qPacket_CreateWithData(address, length, data != nullptr ? data : &NO_DATA);
    if (request == nullptr) return qErrMemory;
    qErr result = qPacketFifo_Put(link->outbound, request);
    qPacket_Destroy(&request);
    if (result != qErrNone) return result;
    *answer = qPacketFifo_Await(link->inbound, qMODULE_REPLY_TIMEOUT_MS);
    return *answer == nullptr ? qErrTimeout : qErrNone;
}

}  // namespace

qLinkID qLink_CreateUSB(uint32_t serialNumber) {
    bool found = false;
    qLinkID existing = sAddUseToExisting(serialNumber, true, &found);
    // A module served by a sharing server is reached through a client link instead.
    if (found) return existing;

    qLinkID id = sCreate(serialNumber, 0, qLinkTypeUSB);
    if (id == 0) return 0;
    qStream* stream = nullptr;
    qErr result = qStream_CreateUSB(serialNumber, &stream);
    if (qLink_Init(id, stream) != id && result == qErrNone) result = qErrConnection;
    if (result != qErrNone) return finish_creation(id, result, "qStream_CreateUSB");
    add_use(id);
    result = qLink_Start(id);
    if (result != qErrNone) return finish_creation(id, result, "qLink_Start");
    return finish_creation(id, qLink_Sync(id), "qLink_Sync");
}

qLinkID qLink_CreateTCPIP(uint32_t address, uint16_t port) {
    bool found = false;
    qLinkID existing = sAddUseToExistingEndpoint(address, port, &found);
    if (found) return existing;

    qLinkID id = sCreate(address, port, qLinkTypeTCPIP);
    if (id == 0) return 0;
    qStream* stream = nullptr;
    qStream_CreateSocket(address, port, &stream);  // a failed connect leaves no stream
    qErr result = qLink_Init(id, stream) == id ? qLink_Start(id) : qErrConnection;
    if (result != qErrNone) return finish_creation(id, result, "qLink_Start");
    add_use(id);
    return id;
}

qLinkID qLink_CreateSerial(uint32_t identifier, const char* port, uint32_t baud) {
    bool found = false;
    qLinkID existing = sAddUseToExisting(identifier, false, &found);
    if (found) return existing;
    int baud_index = qStream_SerialBaudIndex(baud);
    if (baud_index < 0 || port == nullptr) return 0;

    qLinkID id = sCreate(identifier, 0, qLinkTypeSerial);
    if (id == 0) return 0;
    qStream* stream = nullptr;
    qErr result = qStream_CreateSerial(port, baud_index, SERIAL_NO_PARITY, qSERIAL_DATA_BITS_8, qSERIAL_STOP_BITS_1,
                                       &stream);
    if (qLink_Init(id, stream) != id && result == qErrNone) result = qErrConnection;
    if (result != qErrNone) return finish_creation(id, result, "qStream_CreateSerial");
    add_use(id);
    return finish_creation(id, qLink_Start(id), "qLink_Start");
}

qLinkID qLink_Create(qStream* stream) {
    qLinkID id = sCreate(qLINK_STREAM_IDENTIFIER, 0, qLinkTypeStream);
    if (id == 0) {
        if (stream != nullptr) qStream_Destroy(&stream);
        return 0;
    }
    qErr result = qLink_Init(id, stream) == id ? qLink_Start(id) : qErrConnection;
    if (result != qErrNone) return finish_creation(id, result, "qLink_Start");
    add_use(id);
    return id;
}

qLinkID qLink_CreateServer(uint32_t, uint16_t*, uint32_t*, bool) { return 0; }

qLinkID qLink_CreateClient(uint32_t, uint16_t, qLinkID) { return 0; }

qErr qLink_Destroy(qLinkID* id) {
    if (id == nullptr) return qErrParam;
    qLinkID named = *id;
    *id = 0;
    bool found = false;
    qLinkEntry* last_use = sReleaseUse(named, &found);
    if (!found) return qErrParam;
    if (last_use != nullptr) teardown(last_use);
    return qErrNone;
}

qErr qLink_Reset(qLinkID id) {
    qLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr) return qErrParam;
    return qLink_ResetLink(entry);
}

int qLink_GetStatus(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    return link == nullptr ? qLinkStatusNoStream : link->status.load();
}

qErr qLink_PutPacket(qLinkID id, const qPacket* packet) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr || !qVALIDPACKET(packet)) return qErrParam;
    return qPacketFifo_Put(link->outbound, packet);
}

qPacket* qLink_GetPacket(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : qPacketFifo_Get(link->inbound);
}

qPacket* qLink_AwaitPacket(qLinkID id, uint32_t timeout_ms) {
    qLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : qPacketFifo_Await(link->inbound, timeout_ms);
}

qPacket* qLink_GetFirst(qLinkID id, qPacketFilter filter, void* reference) {
    qLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : qPacketFifo_GetFirst(link->inbound, filter, reference);
}

size_t qLink_DrainPackets(qLinkID id, qPacketFilter filter, void* reference) {
    qLinkRecord* link = sGetLink(id);
    return link == nullptr ? 0 : qPacketFifo_DrainPackets(link->inbound, filter, reference);
}

qPacket* qLink_AwaitFirst(qLinkID id, qPacketFilter filter, void* reference, uint32_t timeout_ms) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr || filter == nullptr) return nullptr;
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    qPacket* found = nullptr;
    // Waited in slices, so a link that stops or loses step ends the wait early.
    while (found == nullptr && is_running(link)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        uint32_t slice = left < AWAIT_SLICE_MS ? static_cast<uint32_t>(left) : AWAIT_SLICE_MS;
        found = qPacketFifo_AwaitFirst(link->inbound, filter, reference, slice);
    }
    return found;
}

qErr qLink_InstallUserPacketFilter(qLinkID id, qPacketFilter filter, void* reference) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    // Without a mutex (a reset that found no stream) no reader runs to race with.
    bool locked = link->userFilterMutex != nullptr;
    if (locked) {
        qErr result = qMutex_Lock(link->userFilterMutex);
        if (result != qErrNone) return result;  // a filter installing a filter lands here
    }
    link->userFilter = filter;
    link->userFilterReference = filter != nullptr ? reference : nullptr;
    if (locked) qMutex_Unlock(link->userFilterMutex);
    return qErrNone;
}

qErr qLink_EnablePooledPackets(qLinkID id, bool pooled) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    link->pooled = pooled ? 1 : 0;
    return qErrNone;
}

qErr qLink_PacketDebug_SetLogSize(qLinkID id, int64_t bytes) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr || bytes > qPACKETLOG_MAX_SIZE) return qErrParam;
    if (link->packetLog.load() != nullptr) return qErrBusy;
    link->packetLogSize = bytes < 0 ? 0 : bytes;
    return qErrNone;
}

qErr qLink_PacketDebug_Enable(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    if (link->packetLogMutex.load() == nullptr) {
        char name[qMUTEX_MAX_NAME + 1];
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        qMutex* made = qMutex_Create(name);
        if (made == nullptr) return qErrResource;
        qMutex* expected = nullptr;
        // Two callers enabling at once: the first mutex stays.
        if (!link->packetLogMutex.compare_exchange_strong(expected, made)) qMutex_Destroy(&made);
    }
    qMutex* mutex = link->packetLogMutex.load();
    if (qMutex_Lock(mutex) != qErrNone) return qErrResource;
    qErr result = qErrNone;
    if (link->packetLog.load() == nullptr) {
        qPacketLog* log = qPacketLog_Create(static_cast<size_t>(link->packetLogSize));
        if (log == nullptr) {
            result = qErrResource;
        } else {
            link->packetLog.store(log, std::memory_order_release);
        }
    }
    qMutex_Unlock(mutex);
    return result;
}

qErr qLink_PacketDebug_Disable(qLinkID id) {
    qLinkRecord* link = sGetLink(id);
    if (link == nullptr) return qErrParam;
    return link->packetLog.load() == nullptr ? qErrNotReady : qErrNone;
}

qErr qLink_PacketDebug_Read(qLinkID id, uint8_t* kind, size_t* length, void* buffer) {
    return with_packet_log(id, [&](qPacketLog* log) { return qPacketLog_Get(log, kind, length, buffer); });
}

qErr qLink_PacketDebug_Write(qLinkID id, uint8_t kind, size_t length, const void* bytes) {
    return with_packet_log(id, [&](qPacketLog* log) { return qPacketLog_Put(log, kind, length, bytes); });
}

qErr _qLink_GetModuleAddress(qLinkID id, uint8_t* address) {
    if (address == nullptr) return qErrParam;
    qPacket* answer = nullptr;
    qErr result = exchange(id, qADDR_SYNC, 0, nullptr, &answer);
    if (result != qErrNone) return result;
    if (answer->length == 0 && answer->address != 0) {
        *address = answer->address;
    } else {
        result = qErrIO;
    }
    qPacket_Destroy(&answer);
    return result;
}

qErr _qLink_GetModel(qLinkID id, uint8_t address, uint8_t* model) {
    if (model == nullptr) return qErrParam;
    const uint8_t request[qUEI_HEADER_LENGTH] = {cmdSYSTEM, qUEI_OPERATION_GET | optSYSTEM_MODEL,
                                                 qUEI_INDEX_REQUEST | qSYSTEM_ENTITY_INDEX};
    qPacket* answer = nullptr;
    qErr result = exchange(id, address, qUEI_HEADER_LENGTH, request, &answer);
    if (result != qErrNone) return result;
    if (answer->length == qUEI_LENGTH_BYTE && answer->address == address && answer->data[qUEI_COMMAND_BYTE] == cmdSYSTEM) {
        *model = answer->data[qUEI_VALUE_BYTE];
    } else {
        result = qErrIO;
    }
    qPacket_Destroy(&answer);
    return result;
}
