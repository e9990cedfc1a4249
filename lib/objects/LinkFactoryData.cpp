// Factory data: up to 16 kinds of records a module keeps from manufacture, moved in packets of
// command byte 0x5E and finished by a closing request that names the total.
#include <algorithm>
#include <cstring>

#include "LinkImpl.h"
#include "qModuleContract.h"

namespace Tolveric::Lumenvane {

namespace {

// Data byte 1 of a request: the kind in the low 4 bits, and flags.
constexpr uint8_t FACTORY_KIND_MASK = 0x0F;
constexpr uint8_t FACTORY_WRITE = 0x10;
constexpr uint8_t FACTORY_CLOSE = 0x20;
constexpr uint8_t FACTORY_FIRST_PACKET = 0x40;
constexpr uint8_t FACTORY_ERROR = 0x80;  // set by the module in an error reply

// Command and kind bytes of a factory-data packet.
constexpr uint8_t COMMAND_OVERHEAD = 2;
constexpr uint8_t FACTORY_CHUNK = qPACKET_MAX_DATA - COMMAND_OVERHEAD;  // 26 bytes
constexpr uint8_t FACTORY_ERROR_CODE_BYTE = 2;
constexpr uint8_t FACTORY_CLOSE_REPLY_LENGTH = 3;
// The closing request carries the total in 16 bits.
constexpr size_t FACTORY_MAX_TOTAL = 0xFFFF;

struct FactoryRequest {
    uint8_t kind;  // data byte 1 of the request
};

bool sFactoryFilter(const qPacket* packet, void* reference) {
    uint8_t expected = static_cast<const FactoryRequest*>(reference)->kind & FACTORY_KIND_MASK;
    return packet->length >= COMMAND_OVERHEAD && packet->data[0] == cmdFACTORY &&
           (packet->data[1] == expected || packet->data[1] == (expected | FACTORY_ERROR));
}

bool is_error_reply(const qPacket* reply) { return (reply->data[1] & FACTORY_ERROR) != 0; }

qErr error_code(const qPacket* reply) {
    return reply->length > FACTORY_ERROR_CODE_BYTE ? static_cast<qErr>(reply->data[FACTORY_ERROR_CODE_BYTE])
                                                   : qErrUnknown;
}

// Sends [0x5E, kindByte, payload...] and awaits the reply.
qErr exchange(Link::impl& link, uint8_t module, uint8_t kindByte, const uint8_t* payload, uint8_t payloadLength,
              PacketCopy* reply) {
    uint8_t data[qPACKET_MAX_DATA] = {cmdFACTORY, kindByte};
    if (payloadLength > 0) memcpy(data + COMMAND_OVERHEAD, payload, payloadLength);
    qErr result = link.putPacket(module, static_cast<uint8_t>(COMMAND_OVERHEAD + payloadLength), data);
    if (result != qErrNone) return result;
    FactoryRequest request{kindByte};
    *reply = link.awaitPacket(sFactoryFilter, &request, REPLY_TIMEOUT_MS);
    return *reply ? qErrNone : qErrTimeout;
}

// The closing request names the total; the module keeps a write only then.
qErr close_transfer(Link::impl& link, uint8_t module, size_t total) {
    const uint8_t count[2] = {static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
    PacketCopy reply;
    qErr result = exchange(link, module, FACTORY_CLOSE, count, sizeof count, &reply);
    if (result != qErrNone) return result;
    if (reply->length == FACTORY_CLOSE_REPLY_LENGTH && is_error_reply(reply.get())) return error_code(reply.get());
    return qErrNone;
}

}  // namespace

qErr Link::getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t bufferLength, size_t* length) {
    if (!isConnected()) return qErrConnection;
    // A kind with flag bits would be a different request (a write or a close).
    if (kind > FACTORY_KIND_MASK || buffer == nullptr || length == nullptr) return qErrParam;
    size_t total = 0;
    qErr result = qErrNone;
    bool first = true;
    bool more = true;
    while (result == qErrNone && more) {
        uint8_t kindByte = first ? static_cast<uint8_t>(kind | FACTORY_FIRST_PACKET) : kind;
        first = false;
        PacketCopy reply;
        result = exchange(*pimpl, module, kindByte, nullptr, 0, &reply);
        if (result != qErrNone) break;
        if (reply->length < COMMAND_OVERHEAD) {
            result = qErrUnknown;
        } else if (is_error_reply(reply.get())) {
            result = error_code(reply.get());
        } else {
            size_t count = reply->length - COMMAND_OVERHEAD;
            // The buffer must be strictly larger than the data.
            if (total + count >= bufferLength || total + count > FACTORY_MAX_TOTAL) {
                result = qErrOverrun;
            } else {
                memcpy(buffer + total, reply->data + COMMAND_OVERHEAD, count);
                total += count;
                more = reply->length == qPACKET_MAX_DATA;
            }
        }
    }
    if (result == qErrNone) result = close_transfer(*pimpl, module, total);
    if (result == qErrNone) *length = total;
    return result;
}

qErr Link::setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length) {
    if (!isConnected()) return qErrConnection;
    if (kind > FACTORY_KIND_MASK || (data == nullptr && length > 0)) return qErrParam;
    if (length > FACTORY_MAX_TOTAL) return qErrSize;
    qErr result = qErrNone;
    size_t sent = 0;
    while (result == qErrNone && sent < length) {
        uint8_t kindByte = static_cast<uint8_t>(kind | FACTORY_WRITE | (sent == 0 ? FACTORY_FIRST_PACKET : 0));
        uint8_t chunk = static_cast<uint8_t>(std::min<size_t>(FACTORY_CHUNK, length - sent));
        PacketCopy reply;
        result = exchange(*pimpl, module, kindByte, data + sent, chunk, &reply);
        if (result != qErrNone) break;
        if (is_error_reply(reply.get())) {
            result = error_code(reply.get());
        } else if (reply->length != COMMAND_OVERHEAD) {
            result = qErrSize;
        }
        sent += chunk;
    }
    if (result == qErrNone) result = close_transfer(*pimpl, module, length);
    return result;
}

}  // namespace Tolveric::Lumenvane
