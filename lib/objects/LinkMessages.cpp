// UEI messages and raw command packets.
#include <algorithm>
#include <cstring>

#include "LinkImpl.h"
#include "UEIReplyMatch.h"
#include "qDebugging.h"

namespace Tolveric::Lumenvane {

namespace {

// A byte array longer than this gets a longer wait for its acknowledgement.
constexpr uint64_t LARGE_PAYLOAD_BYTES = 1000;
constexpr uint32_t LARGE_PAYLOAD_TIMEOUT_MS = 4000;

// The data bytes of a raw packet after its command byte.
constexpr uint8_t RAW_PACKET_MAX_ARGUMENTS = qPACKET_MAX_DATA - 1;

bool is_module_address(uint8_t module) { return module != 0 && (module & 1) == 0; }

bool is_plain_kind(int type) {
    return type == ueiTypeVoid || type == ueiTypeByte || type == ueiTypeShort || type == ueiTypeInt;
}

// Appends the value of a plain kind big-endian at `out`; returns the bytes written.
uint8_t store_value(const uei& message, uint8_t* out) {
    switch (message.type) {
    case ueiTypeByte:
        out[0] = message.value.byteVal;
        return 1;
    case ueiTypeShort:
        qUEI_StoreShort(out, message.value.shortVal);
        return 2;
    case ueiTypeInt:
        qUEI_StoreInt(out, message.value.intVal);
        return 4;
    default:
        return 0;
    }
}

uint8_t* store_header(const uei& message, uint8_t* out) {
    out[qUEI_COMMAND_BYTE] = message.command;
    out[qUEI_OPTION_BYTE] = message.option;
    out[qUEI_INDEX_BYTE] = message.specifier;
    return out + qUEI_HEADER_LENGTH;
}

// Matches a UEI reply to the request held in the record and fills the record from it.
bool sUEIFilter(const qPacket* packet, void* reference) {
    uei* message = static_cast<uei*>(reference);
    switch (uei_match_reply(packet, message)) {
    case UEIReplyMatch::Other:
        return false;
    case UEIReplyMatch::Error:
        return true;
    case UEIReplyMatch::Reply:
        break;
    }
    const uint8_t* data = packet->data;
    switch (packet->length) {
    case qUEI_LENGTH_VOID:
        message->type = ueiTypeVoid;
        break;
    case qUEI_LENGTH_BYTE:
        message->type = ueiTypeByte;
        message->value.byteVal = data[qUEI_VALUE_BYTE];
        break;
    case qUEI_LENGTH_SHORT:
        message->type = ueiTypeShort;
        message->value.shortVal = qUEI_RetrieveShort(&data[qUEI_VALUE_BYTE]);
        break;
    case qUEI_LENGTH_INT:
        message->type = ueiTypeInt;
        message->value.intVal = qUEI_RetrieveInt(&data[qUEI_VALUE_BYTE]);
        break;
    default:
        break;  // matched; kind and value stay as they were
    }
    return true;
}

// Each packet is judged against the untouched record: a match fills in its copy only.
bool matches_request(const qPacket* packet, void* reference) {
    uei request = *static_cast<const uei*>(reference);
    return sUEIFilter(packet, &request);
}

struct LeadingBytes {
    const uint8_t* match;
    uint8_t count;
};

bool begins_with(const qPacket* packet, void* reference) {
    const LeadingBytes* wanted = static_cast<const LeadingBytes*>(reference);
    return packet->length >= wanted->count &&
           (wanted->count == 0 || memcmp(packet->data, wanted->match, wanted->count) == 0);
}

}  // namespace

UEIReplyMatch uei_match_reply(const qPacket* packet, uei* record) {
    const uint8_t* data = packet->data;
    if (packet->address != record->module || packet->length < qUEI_HEADER_LENGTH ||
        data[qUEI_COMMAND_BYTE] != record->command || data[qUEI_OPTION_BYTE] != record->option ||
        (data[qUEI_INDEX_BYTE] & qUEI_INDEX_MASK) != record->specifier) {
        return UEIReplyMatch::Other;
    }
    if (data[qUEI_INDEX_BYTE] & qUEI_INDEX_ERROR) {
        record->specifier = data[qUEI_INDEX_BYTE];
        // An error reply cut before its code must not read as a code of 0, which is success.
        record->value.byteVal = packet->length > qUEI_VALUE_BYTE ? data[qUEI_VALUE_BYTE] : static_cast<uint8_t>(qErrUnknown);
        return UEIReplyMatch::Error;
    }
    return UEIReplyMatch::Reply;
}

qErr Link::sendUEI(uei message) {
    if (!isConnected()) return qErrConnection;
    if (!is_module_address(message.module)) return qErrPacket;
    uint8_t data[qPACKET_MAX_DATA];
    uint8_t* value = store_header(message, data);
    if (is_plain_kind(message.type)) {
        uint8_t length = static_cast<uint8_t>(qUEI_HEADER_LENGTH + store_value(message, value));
        return pimpl->putPacket(message.module, length, data);
    }
    if (message.type != ueiTypeBytes) return qErrParam;

    const uint64_t total = message.value.bytes.length;
    const uint8_t* bytes = message.value.bytes.data;
    if (bytes == nullptr && total > 0) return qErrParam;
    // Runs of up to 24 bytes, each closed by its sequence byte; an empty array is one packet.
    uint64_t sent = 0;
    uint8_t sequence = 0;
    do {
        uint8_t chunk = static_cast<uint8_t>(std::min<uint64_t>(qUEI_BYTES_PER_PACKET, total - sent));
        if (chunk > 0) memcpy(value, bytes + sent, chunk);
        bool more = sent + chunk < total;
        value[chunk] = static_cast<uint8_t>((sequence & qUEI_BYTES_SEQUENCE_MASK) | (more ? qUEI_BYTES_CONTINUE : 0));
        qErr result = pimpl->putPacket(message.module, static_cast<uint8_t>(chunk + qUEI_BYTES_OVERHEAD), data);
        if (result != qErrNone) return result;
        sent += chunk;
        ++sequence;
    } while (sent < total);
    return qErrNone;
}

qErr Link::sendUEI(uei message, uint8_t subindex) {
    if (!isConnected()) return qErrConnection;
    if (!is_module_address(message.module)) return qErrPacket;
    if (!is_plain_kind(message.type)) return qErrParam;
    uint8_t data[qPACKET_MAX_DATA];
    uint8_t* value = store_header(message, data);
    *value++ = subindex;
    uint8_t length = static_cast<uint8_t>(qUEI_HEADER_LENGTH + 1 + store_value(message, value));
    return pimpl->putPacket(message.module, length, data);
}

qErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* message) {
    return receiveUEI(module, command, option, specifier, message, sUEIFilter);
}

qErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* message, qPacketFilter filter) {
    if (!isConnected()) return qErrConnection;
    if (!is_module_address(module)) return qErrPacket;
    if (message == nullptr || filter == nullptr) return qErrParam;
    uint32_t timeout = REPLY_TIMEOUT_MS;
    if (message->type == ueiTypeBytes && message->value.bytes.length > LARGE_PAYLOAD_BYTES) {
        timeout = LARGE_PAYLOAD_TIMEOUT_MS;
        qDebugging_Trace(qDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu",
                         static_cast<unsigned long>(timeout));
    }
    PacketCopy reply = pimpl->awaitPacket(filter, message, timeout);
    return reply ? qErrNone : qErrTimeout;
}

qErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier) {
    uei request{};
    request.module = module;
    request.command = command;
    request.option = option;
    request.specifier = specifier;
    qLink_DrainPackets(pimpl->linkRef, matches_request, &request);
    return qErrNone;
}

qErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!isConnected()) return qErrConnection;
    if (length > RAW_PACKET_MAX_ARGUMENTS || (length > 0 && data == nullptr)) return qErrParam;
    if (!is_module_address(module)) return qErrPacket;
    uint8_t packet[qPACKET_MAX_DATA];
    packet[0] = command;
    if (length > 0) memcpy(packet + 1, data, length);
    // A packet that could not be queued never reaches the module: the caller must not wait for it.
    return pimpl->putPacket(module, static_cast<uint8_t>(length + 1), packet);
}

qErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!isConnected()) return qErrConnection;
    if (!is_module_address(module)) return qErrPacket;
    if (length == nullptr || data == nullptr || *length > qPACKET_MAX_DATA || (*length > 0 && match == nullptr)) {
        return qErrParam;
    }
    LeadingBytes wanted{match, *length};
    PacketCopy reply = pimpl->awaitPacket(begins_with, &wanted, REPLY_TIMEOUT_MS);
    if (!reply) return qErrTimeout;
    *length = reply->length;
    memcpy(data, reply->data, reply->length);
    return qErrNone;
}

}  // namespace Tolveric::Lumenvane
