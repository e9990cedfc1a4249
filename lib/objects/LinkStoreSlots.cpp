// Store slots: numbered byte records a module keeps in its stores, moved through a handle in
// packets of command byte 4. Written data become the slot's contents only at the close.
#include <algorithm>
#include <cstring>

#include "LinkImpl.h"
#include "qModuleContract.h"
#include "qUEI.h"

namespace Tolveric::Lumenvane {

namespace {

// Data byte 1 of a slot packet: the operation; the module sets bit 7 on an error reply.
enum SlotOperation : uint8_t {
    SLOT_CAPACITY = 1,
    SLOT_SIZE = 2,
    SLOT_OPEN_READ = 3,
    SLOT_OPEN_WRITE = 4,
    SLOT_READ = 6,
    SLOT_WRITE = 7,
    SLOT_CLOSE = 8,
};
constexpr uint8_t SLOT_ERROR = 0x80;
// Operations up to this one name a store and slot; the later ones a handle.
constexpr uint8_t SLOT_LAST_ADDRESSED_OPERATION = SLOT_OPEN_WRITE;

constexpr size_t SLOT_COMMAND_BYTE = 0;
constexpr size_t SLOT_OPERATION_BYTE = 1;
constexpr size_t SLOT_STORE_BYTE = 2;
constexpr size_t SLOT_HANDLE_BYTE = 2;
constexpr size_t SLOT_NUMBER_BYTE = 3;
constexpr size_t SLOT_ADDRESSED_VALUE_BYTE = 4;  // handle, 16-bit size or error code after store and slot
constexpr size_t SLOT_HANDLED_VALUE_BYTE = 3;    // data, sum, status or error code after the handle

constexpr uint8_t SLOT_REPLY_MIN_LENGTH = 4;
constexpr uint8_t SLOT_SIZE_REPLY_LENGTH = 6;      // 4, op, store, slot, 16-bit value
constexpr uint8_t SLOT_OPEN_REPLY_LENGTH = 5;      // 4, op, store, slot, handle
constexpr uint8_t SLOT_CLOSE_REPLY_LENGTH = 4;     // 4, 8, handle, status
constexpr uint8_t SLOT_WRITE_REPLY_LENGTH = 4;     // 4, 7, handle, sum (or error code)
constexpr uint8_t SLOT_HANDLED_HEADER = 3;         // 4, op, handle
constexpr uint8_t SLOT_WRITE_CHUNK = qPACKET_MAX_DATA - SLOT_HANDLED_HEADER;  // 25 bytes

constexpr uint8_t NO_HANDLE = 255;
constexpr uint32_t SLOT_OPEN_TIMEOUT_MS = 3000;

struct SlotRequest {
    uint8_t operation;
    uint8_t first;   // store, or handle
    uint8_t second;  // slot
};

bool sSlotFilter(const qPacket* packet, void* reference) {
    const SlotRequest* request = static_cast<const SlotRequest*>(reference);
    const uint8_t* data = packet->data;
    if (packet->length < SLOT_REPLY_MIN_LENGTH || data[SLOT_COMMAND_BYTE] != cmdSLOT) return false;
    if ((data[SLOT_OPERATION_BYTE] & ~SLOT_ERROR) != request->operation) return false;
    if (data[SLOT_STORE_BYTE] != request->first) return false;
    return request->operation > SLOT_LAST_ADDRESSED_OPERATION || data[SLOT_NUMBER_BYTE] == request->second;
}

bool is_error_reply(const qPacket* reply) { return (reply->data[SLOT_OPERATION_BYTE] & SLOT_ERROR) != 0; }

class SlotSession {
public:
    SlotSession(Link::impl& link, uint8_t module) : link_(link), module_(module) {}

    // Sends [4, operation, first, second?, payload...] and awaits the matching reply.
    qErr exchange(SlotRequest request, const uint8_t* payload, uint8_t payloadLength, uint32_t timeout,
                  PacketCopy* reply) {
        uint8_t data[qPACKET_MAX_DATA];
        uint8_t length = 0;
        data[length++] = cmdSLOT;
        data[length++] = request.operation;
        data[length++] = request.first;
        if (request.operation <= SLOT_LAST_ADDRESSED_OPERATION) data[length++] = request.second;
        if (payloadLength > 0) memcpy(data + length, payload, payloadLength);
        length = static_cast<uint8_t>(length + payloadLength);
        qErr result = link_.putPacket(module_, length, data);
        if (result != qErrNone) return result;
        *reply = link_.awaitPacket(sSlotFilter, &request, timeout);
        return *reply ? qErrNone : qErrTimeout;
    }

    // The handle of a slot opened for reading or writing; NO_HANDLE when it could not be opened.
    uint8_t sOpenSlot(uint8_t operation, uint8_t store, uint8_t slot) {
        PacketCopy reply;
        if (exchange({operation, store, slot}, nullptr, 0, SLOT_OPEN_TIMEOUT_MS, &reply) != qErrNone) return NO_HANDLE;
        // A reply without a handle byte carries no handle.
        if (is_error_reply(reply.get()) || reply->length < SLOT_OPEN_REPLY_LENGTH) return NO_HANDLE;
        return reply->data[SLOT_ADDRESSED_VALUE_BYTE];
    }

    qErr sCloseSlot(uint8_t handle) {
        PacketCopy reply;
        qErr result = exchange({SLOT_CLOSE, handle, 0}, nullptr, 0, REPLY_TIMEOUT_MS, &reply);
        // Without the close's answer nobody knows whether the slot took the data.
        if (result != qErrNone) return result;
        if (reply->length != SLOT_CLOSE_REPLY_LENGTH) return qErrIO;
        if (is_error_reply(reply.get())) return static_cast<qErr>(reply->data[SLOT_HANDLED_VALUE_BYTE]);
        return qErrNone;
    }

    // Capacity or size: the 16-bit value of the reply.
    qErr query(uint8_t operation, uint8_t store, uint8_t slot, size_t* value) {
        PacketCopy reply;
        qErr result = exchange({operation, store, slot}, nullptr, 0, REPLY_TIMEOUT_MS, &reply);
        if (result != qErrNone) return result;
        if (is_error_reply(reply.get())) {
            return reply->length > SLOT_ADDRESSED_VALUE_BYTE ? static_cast<qErr>(reply->data[SLOT_ADDRESSED_VALUE_BYTE])
                                                             : qErrUnknown;
        }
        if (reply->length != SLOT_SIZE_REPLY_LENGTH) return qErrUnknown;
        *value = qUEI_RetrieveShort(&reply->data[SLOT_ADDRESSED_VALUE_BYTE]);
        return qErrNone;
    }

private:
    Link::impl& link_;
    uint8_t module_;
};

uint8_t byte_sum(const uint8_t* data, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

}  // namespace

qErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
    if (!isConnected()) return qErrConnection;
    if (data == nullptr && length > 0) return qErrParam;
    SlotSession session(*pimpl, module);
    uint8_t handle = session.sOpenSlot(SLOT_OPEN_WRITE, store, slot);
    if (handle == NO_HANDLE) return qErrMedia;

    qErr result = qErrNone;
    size_t written = 0;
    while (result == qErrNone && written < length) {
        uint8_t chunk = static_cast<uint8_t>(std::min<size_t>(SLOT_WRITE_CHUNK, length - written));
        PacketCopy reply;
        result = session.exchange({SLOT_WRITE, handle, 0}, data + written, chunk, REPLY_TIMEOUT_MS, &reply);
        if (result == qErrNone && reply->length == SLOT_WRITE_REPLY_LENGTH) {
            uint8_t answer = reply->data[SLOT_HANDLED_VALUE_BYTE];
            if (is_error_reply(reply.get())) {
                result = static_cast<qErr>(answer);
            } else if (answer != byte_sum(data + written, chunk)) {
                result = qErrIO;
            }
        }
        written += chunk;
    }
    qErr closed = session.sCloseSlot(handle);
    return result != qErrNone ? result : closed;
}

qErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                           size_t* unloadedLength) {
    if (!isConnected()) return qErrConnection;
    if (buffer == nullptr && bufferLength > 0) return qErrParam;
    SlotSession session(*pimpl, module);
    size_t size = 0;
    qErr result = session.query(SLOT_SIZE, store, slot, &size);
    if (result != qErrNone) return result;
    uint8_t handle = session.sOpenSlot(SLOT_OPEN_READ, store, slot);
    if (handle == NO_HANDLE) return qErrMedia;

    const size_t wanted = std::min(size, bufferLength);
    size_t read = 0;
    while (result == qErrNone && read < wanted) {
        PacketCopy reply;
        result = session.exchange({SLOT_READ, handle, 0}, nullptr, 0, REPLY_TIMEOUT_MS, &reply);
        if (result != qErrNone) break;
        if (reply->length <= SLOT_HANDLED_HEADER) {
            result = qErrUnknown;
        } else if (is_error_reply(reply.get())) {
            result = static_cast<qErr>(reply->data[SLOT_HANDLED_VALUE_BYTE]);
        } else {
            size_t count = std::min<size_t>(reply->length - SLOT_HANDLED_HEADER, wanted - read);
            memcpy(buffer + read, &reply->data[SLOT_HANDLED_VALUE_BYTE], count);
            read += count;
        }
    }
    qErr closed = session.sCloseSlot(handle);
    if (result == qErrNone) result = closed;
    if (result == qErrNone && unloadedLength != nullptr) *unloadedLength = read;
    if (result == qErrNone && size > bufferLength) result = qErrOverrun;
    return result;
}

qErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    if (!isConnected()) return qErrConnection;
    if (size == nullptr) return qErrParam;
    return SlotSession(*pimpl, module).query(SLOT_SIZE, store, slot, size);
}

qErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    if (!isConnected()) return qErrConnection;
    if (size == nullptr) return qErrParam;
    return SlotSession(*pimpl, module).query(SLOT_CAPACITY, store, slot, size);
}

}  // namespace Tolveric::Lumenvane
