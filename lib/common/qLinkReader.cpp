// The link's reader thread: turns received bytes into packets, keeps the stream in step with
// the module's packet boundaries, answers heartbeats and queues everything else.
//
// Bytes are taken from the stream in bursts but fed to the packet assembly and the sync state
// machine one at a time, checking the running flag before each, exactly as if each had been
// read on its own. Between bursts the reader waits for the stream to become readable, never
// longer than READER_WAIT_MS, so an idle link costs next to nothing and a stop is still seen
// promptly.
#include <algorithm>
#include <vector>

#include "qDebugging.h"
#include "qLinkManagerInternal.h"
#include "qModuleContract.h"
#include "qTime.h"

namespace {

// Longest wait for readability before the reader looks at its running flag again.
constexpr uint32_t READER_WAIT_MS = 250;
// A silent module is sent a new round of sync requests at most this often. Bytes that break a
// synchronisation restart it at once; only empty reads are paced.
constexpr auto SYNC_RETRY_INTERVAL = std::chrono::milliseconds(1000);
// Streams that cannot report readiness are polled with pauses growing between these bounds
// while nothing arrives, and at the shortest again as soon as something does.
constexpr uint64_t IDLE_PAUSE_MIN_MS = 1;
constexpr uint64_t IDLE_PAUSE_MAX_MS = 16;
// One burst; a USB transfer brings at most 1024 bytes too.
constexpr size_t READER_BURST = 1024;

const char* sync_label(int state) {
    switch (state) {
        case kSyncStateStart: return "kSyncStateStart";
        case kSyncStateByte1: return "kSyncStateByte1";
        case kSyncStateByte2: return "kSyncStateByte2";
        case kSyncStateByte3: return "kSyncStateByte3";
        case kSyncStateByte4: return "kSyncStateByte4";
        default: return "(idle)";
    }
}

bool is_module_address(uint8_t byte) { return byte != 0 && (byte & 1) == 0; }

void sStartSync(qLinkRecord* link) {
    qDebugging_Trace(qDEBUG_LINK, "syncStart");
    link->status = qLinkStatusSynchronising;
    link->syncState = kSyncStateStart;
    link->syncStartedAt = std::chrono::steady_clock::now();
    qPacket_Reset(link->currentPacket);
    qPacket* request = qPacket_Create();
    if (request == nullptr) return;
    request->address = qADDR_SYNC;
    request->length = 0;
    request->count = qPACKET_HEADER_SIZE;
    qErr result = qErrNone;
    for (int i = 0; i < qSYNC_REQUEST_COUNT; ++i) result = qPacketFifo_Put(link->outbound, request);
    qPacket_Destroy(&request);
    // When the requests could not all be queued the next byte or empty read tries again.
    if (result == qErrNone) link->syncState = kSyncStateByte1;
}

// The module answers the sync requests with zero-length packets from its own address; two in a
// row (address, 0, address, 0) put the reader back in step. Anything else starts over.
void sSyncByte(qLinkRecord* link, uint8_t byte) {
    qDebugging_Trace(qDEBUG_LINK, "%s 0x%02X", sync_label(link->syncState), byte);
    switch (link->syncState) {
        case kSyncStateStart:
            sStartSync(link);
            break;
        case kSyncStateByte1:
            if (is_module_address(byte)) {
                qDebugging_Trace(qDEBUG_LINK, "sync2");
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            qDebugging_Trace(qDEBUG_LINK, "sync3");
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            qDebugging_Trace(qDEBUG_LINK, "sync4");
            link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            if (byte == 0) {
                qDebugging_Trace(qDEBUG_LINK, "synced");
                link->syncState = kSyncStateIdle;
                link->status = qLinkStatusRunning;
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        default:
            qDebugging_Trace(qDEBUG_LINK, "sync default");
            sStartSync(link);
            break;
    }
}

bool is_heartbeat(const qPacket* packet) {
    return packet->length == qHEARTBEAT_LENGTH && packet->data[0] == cmdHEARTBEAT;
}

// Answers to the same address with the heartbeat's value + 2 (up 0 -> 2, down 1 -> 3).
qErr sHandleHBBackChannel(qLinkRecord* link, const qPacket* heartbeat) {
    uint8_t value = heartbeat->data[qHEARTBEAT_VALUE_BYTE];
    if (value == qHEARTBEAT_UP) qDebugging_Trace(qDEBUG_PACKETS, "sending HB UP");
    if (value == qHEARTBEAT_DOWN) qDebugging_Trace(qDEBUG_PACKETS, "sending HB DOWN");
    uint8_t answer[qHEARTBEAT_LENGTH] = {cmdHEARTBEAT, static_cast<uint8_t>(value + qHEARTBEAT_ANSWER_OFFSET)};
    qPacket* reply = qPacket_CreateWithData(heartbeat->address, qHEARTBEAT_LENGTH, answer);
    if (reply == nullptr) return qErrMemory;
    qErr result = qPacketFifo_Put(link->outbound, reply);
    qPacket_Destroy(&reply);
    return result;
}

bool offer_to_user_filter(qLinkRecord* link, const qPacket* packet) {
    if (qMutex_Lock(link->userFilterMutex) != qErrNone) return false;
    bool consumed = link->userFilter != nullptr && link->userFilter(packet, link->userFilterReference);
    qMutex_Unlock(link->userFilterMutex);
    return consumed;
}

qErr sHandlePacket(qLinkRecord* link) {
    qPacket* packet = link->currentPacket;
    if (!qPacket_IsComplete(packet)) return qErrNone;
    sLogPacket(link, qPacketLogReceived, packet);
    qErr result = qErrNone;
    if (offer_to_user_filter(link, packet)) {
        // consumed
    } else if (is_heartbeat(packet)) {
        result = sHandleHBBackChannel(link, packet);
    } else {
        qDebugging_Trace(qDEBUG_PACKETS, "packet from 0x%02X, %u bytes", packet->address, packet->length);
        result = qPacketFifo_Put(link->inbound, packet);
    }
    qPacket_Reset(packet);
    return result;
}

void feed_byte(qLinkRecord* link, uint8_t byte) {
    if (link->status == qLinkStatusSynchronising) {
        sSyncByte(link, byte);
        return;
    }
    if (qPacket_AddByte(link->currentPacket, byte) != qErrNone) {
        // A byte that cannot belong to a packet: the packet boundary is lost.
        qDebugging_Trace(qDEBUG_LINK, "Out of sync");
        sStartSync(link);
        return;
    }
    if (sHandlePacket(link) != qErrNone) link->status = qLinkStatusDeliveryFailed;
}

// While synchronising, an empty read sends a new round of requests, unless a round is still
// waiting for its answers and went out less than SYNC_RETRY_INTERVAL ago.
void restart_sync_when_due(qLinkRecord* link) {
    bool round_pending = link->syncState != kSyncStateIdle && link->syncState != kSyncStateStart;
    if (round_pending && std::chrono::steady_clock::now() - link->syncStartedAt < SYNC_RETRY_INTERVAL) return;
    sStartSync(link);
}

// Bytes read ahead but not fed when the reader stops go back to the stream in front of what its
// push-back buffer still holds, so whoever reads it next sees every byte in order.
void give_back_unfed(qStream* stream, const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    std::vector<uint8_t> ordered(bytes, bytes + count);
    size_t held = stream->buffered;
    if (held > 0) {
        // Asking for exactly the held bytes takes them from the push-back buffer alone.
        std::vector<uint8_t> rest(held);
        size_t taken = 0;
        if (qStream_ReadAvailable(stream, rest.data(), held, &taken) == qErrNone) {
            ordered.insert(ordered.end(), rest.begin(), rest.begin() + static_cast<long>(taken));
        }
    }
    for (uint8_t byte : ordered) qStreamBufferChar(stream, byte);
}

}  // namespace

void* sInPipeProcess(void* argument) {
    qLinkRecord* link = static_cast<qLinkRecord*>(argument);
    link->readerStarted = 1;
    link->status = qLinkStatusRunning;
    link->syncState = kSyncStateIdle;

    uint8_t burst[READER_BURST];
    size_t held = 0;
    size_t next = 0;
    uint64_t idle_pause_ms = IDLE_PAUSE_MIN_MS;
    while (link->running) {
        if (next < held) {
            feed_byte(link, burst[next++]);
            continue;
        }
        held = next = 0;
        size_t count = 0;
        qErr result = qStream_ReadAvailable(link->stream, burst, sizeof burst, &count);
        if (result == qErrNone) {
            held = count;
            idle_pause_ms = IDLE_PAUSE_MIN_MS;
            continue;
        }
        if (result != qErrNotReady) {
            link->status = qLinkStatusIOError;
            qTime_MSSleep(qLINK_READ_ERROR_PAUSE_MS);
            continue;
        }
        if (link->status == qLinkStatusSynchronising) restart_sync_when_due(link);
        if (qStream_WaitReadable(link->stream, READER_WAIT_MS) == qErrUnimplemented) {
            qTime_MSSleep(idle_pause_ms);
            idle_pause_ms = std::min(idle_pause_ms * 2, IDLE_PAUSE_MAX_MS);
        }
    }
    give_back_unfed(link->stream, burst + next, held - next);
    return nullptr;
}
