// Byte arrays read from an entity: the module answers a get with a run of packets, each holding
// up to 24 bytes and a sequence byte whose bit 7 says that another packet follows.
#include <cstring>

#include "Entity.h"
#include "EntityImpl.h"
#include "UEIReplyMatch.h"

namespace Tolveric::Lumenvane {

namespace {

// Takes the next packet of the run into the record's buffer. An error reply, or a packet that
// would overflow the buffer, ends the run with the error bit set in the record's specifier and
// the code in byteVal. A packet out of sequence stays waiting.
bool sUEIBytesFilter(const qPacket* packet, void* reference) {
    uei* record = static_cast<uei*>(reference);
    switch (uei_match_reply(packet, record)) {
    case UEIReplyMatch::Other:
        return false;
    case UEIReplyMatch::Error:
        return true;
    case UEIReplyMatch::Reply:
        break;
    }
    if (packet->length < qUEI_BYTES_OVERHEAD) return false;  // no sequence byte: not part of a run

    auto& bytes = record->value.bytes;
    // The wire numbers packets modulo 128; the running number is compared the same way.
    uint8_t sequence = EntityClass::getUEIBytesSequence(packet);
    if (sequence != (bytes.sequence & qUEI_BYTES_SEQUENCE_MASK)) return false;
    size_t payload = packet->length - qUEI_BYTES_OVERHEAD;
    if (*bytes.count + payload > bytes.length) {
        record->specifier |= qUEI_INDEX_ERROR;
        record->value.byteVal = qErrMemory;
        return true;
    }
    if (payload > 0) memcpy(bytes.data, packet->data + qUEI_HEADER_LENGTH, payload);
    bytes.data += payload;
    *bytes.count += payload;
    bytes.sequence = sequence;
    bytes.more = EntityClass::getUEIBytesContinue(packet) ? 1 : 0;
    return true;
}

}  // namespace

qErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count) {
    if (buffer == nullptr || count == nullptr || length == 0 || option > qUEI_OPTION_CODE_MASK) return qErrParam;
    *count = 0;
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;

    uei request = pimpl->reply(static_cast<uint8_t>(option | qUEI_OPERATION_GET));
    request.specifier = static_cast<uint8_t>(pimpl->index | qUEI_INDEX_REQUEST);
    qErr result = link->sendUEI(request);
    if (result != qErrNone) return result;

    uint64_t received = 0;
    uei run = pimpl->reply(option);  // kind void: each packet is awaited the standard time
    run.value.bytes.data = buffer;
    run.value.bytes.length = length;
    run.value.bytes.count = &received;
    run.value.bytes.sequence = 0;
    run.value.bytes.more = 0;
    for (;;) {
        uint64_t before = received;
        result = link->receiveUEI(run.module, run.command, run.option, run.specifier, &run, sUEIBytesFilter);
        if (result != qErrNone) break;
        if (run.specifier & qUEI_INDEX_ERROR) {
            result = entity_module_error(run);
            break;
        }
        if (run.value.bytes.more != 1) break;
        // A module that promised more but sent nothing would keep the run going for ever.
        if (received == before) {
            result = qErrPacket;
            break;
        }
        ++run.value.bytes.sequence;
    }
    *count = static_cast<size_t>(received);
    return result;
}

uint8_t EntityClass::getUEIBytesSequence(const qPacket* packet) { return qUEI_getBytesSequence(packet); }

uint8_t EntityClass::getUEIBytesContinue(const qPacket* packet) { return qUEI_getBytesContinue(packet); }

qErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (count == nullptr) return qErrParam;
    if (unitSize == 0) {
        if (*count != 0) return qErrMemory;
        return qErrNone;
    }
    if (*count % unitSize != 0) return qErrMemory;
    *count /= unitSize;
    return qErrNone;
}

}  // namespace Tolveric::Lumenvane
