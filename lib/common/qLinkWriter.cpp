// The link's writer thread: sends queued packets, one stream write per packet, or in pooled
// mode as many whole packets as fit in 4096 bytes per write. Write failures drop the packet;
// callers see them as missing replies.
#include "qDebugging.h"
#include "qLinkManagerInternal.h"

namespace {

// Longest wait for a packet before the writer looks at its running flag again. A stop does not
// wait for it: it clears the flag and then queues the final force-route, which wakes the writer.
constexpr uint32_t WRITER_AWAIT_MS = 1000;
// The most packets one pooled batch can hold (all of them without data bytes).
constexpr size_t POOL_MAX_PACKETS = qLINK_POOL_BYTES / qPACKET_HEADER_SIZE;

size_t append_wire_form(uint8_t* buffer, const qPacket* packet) {
    buffer[0] = packet->address;
    buffer[1] = packet->length;
    for (size_t i = 0; i < packet->length; ++i) buffer[qPACKET_HEADER_SIZE + i] = packet->data[i];
    return qPACKET_HEADER_SIZE + packet->length;
}

void report_write(const qLinkRecord* link, qErr result, size_t bytes) {
    if (result != qErrNone) {
        qDebugging_Trace(qDEBUG_PACKETS, "link %u dropped %zu bytes: %s", link->ID, bytes, qError_GetErrorText(result));
    }
}

void finish_packet(qLinkRecord* link, qPacket** packet) {
    sLogPacket(link, qPacketLogWritten, *packet);
    qPacket_Destroy(packet);
}

void send_single(qLinkRecord* link, qPacket* packet) {
    uint8_t wire[qPACKET_MAX_WIRE];
    size_t length = append_wire_form(wire, packet);
    report_write(link, qStream_Write(link->stream, wire, length), length);
    finish_packet(link, &packet);
}

// Takes further packets without waiting while a full-size one would still fit.
void send_pooled(qLinkRecord* link, qPacket* first) {
    uint8_t pool[qLINK_POOL_BYTES];
    qPacket* batch[POOL_MAX_PACKETS];
    size_t count = 0;
    size_t used = append_wire_form(pool, first);
    batch[count++] = first;
    while (used + qPACKET_MAX_WIRE <= qLINK_POOL_BYTES && count < POOL_MAX_PACKETS) {
        qPacket* next = qPacketFifo_Get(link->outbound);
        if (next == nullptr) break;
        used += append_wire_form(pool + used, next);
        batch[count++] = next;
    }
    report_write(link, qStream_Write(link->stream, pool, used), used);
    for (size_t i = 0; i < count; ++i) finish_packet(link, &batch[i]);
}

}  // namespace

void* sOutPipeProcess(void* argument) {
    qLinkRecord* link = static_cast<qLinkRecord*>(argument);
    link->writerStarted = 1;
    while (link->running) {
        qPacket* packet = qPacketFifo_Await(link->outbound, WRITER_AWAIT_MS);
        if (packet == nullptr) continue;
        if (link->pooled) {
            send_pooled(link, packet);
        } else {
            send_single(link, packet);
        }
    }
    sFlushOutbound(link);
    return nullptr;
}

void sFlushOutbound(qLinkRecord* link) {
    while (qPacket* packet = qPacketFifo_Get(link->outbound)) send_single(link, packet);
}
