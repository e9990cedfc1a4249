#include "qPacketDebug.h"

#include <new>

struct qPacketLog {
    uint8_t* bytes;
    size_t size;
    size_t readPosition;
    size_t writePosition;
    size_t used;
};

namespace {

uint8_t byte_at(const qPacketLog* log, size_t offset) { return log->bytes[(log->readPosition + offset) % log->size]; }

void store(qPacketLog* log, uint8_t byte) {
    log->bytes[log->writePosition] = byte;
    log->writePosition = (log->writePosition + 1) % log->size;
    ++log->used;
}

void drop_oldest(qPacketLog* log) {
    size_t record = qPACKETLOG_RECORD_HEADER + byte_at(log, 1);
    log->readPosition = (log->readPosition + record) % log->size;
    log->used -= record;
}

}  // namespace

qPacketLog* qPacketLog_Create(size_t size) {
    if (size == 0) size = qPACKETLOG_DEFAULT_SIZE;
    if (size > qPACKETLOG_MAX_SIZE) return nullptr;
    qPacketLog* log = new (std::nothrow) qPacketLog{};
    if (log == nullptr) return nullptr;
    log->bytes = new (std::nothrow) uint8_t[size];
    if (log->bytes == nullptr) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

void qPacketLog_Destroy(qPacketLog** log) {
    if (log == nullptr || *log == nullptr) return;
    delete[] (*log)->bytes;
    delete *log;
    *log = nullptr;
}

qErr qPacketLog_Put(qPacketLog* log, uint8_t kind, size_t length, const void* bytes) {
    if (log == nullptr || (bytes == nullptr && length > 0)) return qErrParam;
    if (length > qPACKETLOG_MAX_RECORD) return qErrSize;
    size_t needed = length + qPACKETLOG_RECORD_HEADER;
    if (needed >= log->size) return qErrOverrun;
    // Strictly more free space than the record needs: a full ring keeps one byte spare.
    while (log->size - log->used <= needed) drop_oldest(log);
    store(log, kind);
    store(log, static_cast<uint8_t>(length));
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < length; ++i) store(log, data[i]);
    return qErrNone;
}

qErr qPacketLog_PutPacket(qPacketLog* log, uint8_t kind, const qPacket* packet) {
    if (!qVALIDPACKET(packet) || packet->length > qPACKET_MAX_DATA) return qErrParam;
    uint8_t wire[qPACKET_MAX_WIRE];
    wire[0] = packet->address;
    wire[1] = packet->length;
    for (size_t i = 0; i < packet->length; ++i) wire[qPACKET_HEADER_SIZE + i] = packet->data[i];
    return qPacketLog_Put(log, kind, packet->length + qPACKET_HEADER_SIZE, wire);
}

qErr qPacketLog_Get(qPacketLog* log, uint8_t* kind, size_t* length, void* buffer) {
    if (log == nullptr || kind == nullptr || length == nullptr) return qErrParam;
    if (log->used == 0) return qErrNotFound;
    size_t capacity = *length;
    size_t recorded = byte_at(log, 1);
    *kind = byte_at(log, 0);
    *length = recorded;
    if (capacity < recorded) return qErrOverrun;
    if (buffer == nullptr && recorded > 0) return qErrParam;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < recorded; ++i) out[i] = byte_at(log, qPACKETLOG_RECORD_HEADER + i);
    drop_oldest(log);
    return qErrNone;
}
