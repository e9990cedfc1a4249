#include "qPacket.h"

#include <cstring>
#include <new>

#include "qUEI.h"

namespace {

qPacket* new_empty_packet() {
    qPacket* packet = new (std::nothrow) qPacket{};
    if (packet != nullptr) packet->valid = qPACKETCHECK;
    return packet;
}

bool is_module_address(uint8_t byte) { return byte != 0 && (byte & 1) == 0; }

// Shared guard of the three field readers: data byte `position` must exist.
qErr check_field(const qPacket* packet, const uint8_t* out, unsigned position) {
    if (out == nullptr) return qErrParam;
    if (!qVALIDPACKET(packet) || packet->length <= position) return qErrPacket;
    return qErrNone;
}

}  // namespace

qPacket* qPacket_Create() { return new_empty_packet(); }

qPacket* qPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > qPACKET_MAX_DATA) return nullptr;
    qPacket* packet = new_empty_packet();
    if (packet == nullptr) return nullptr;
    packet->address = address;
    packet->length = length;
    packet->count = static_cast<uint8_t>(length + qPACKET_HEADER_SIZE);
    memcpy(packet->data, data, length);
    return packet;
}

qPacket* qPacket_Copy(const qPacket* packet) {
    // A length above 28 can be left behind by a refused length byte; copying it would let a
    // writer send bytes from beyond the data, so such a packet is not copied.
    if (!qVALIDPACKET(packet) || packet->length > qPACKET_MAX_DATA) return nullptr;
    return qPacket_CreateWithData(packet->address, packet->length, packet->data);
}

qErr qPacket_Reset(qPacket* packet) {
    if (!qVALIDPACKET(packet)) return qErrParam;
    packet->count = 0;
    packet->address = 0;
    packet->length = 0;
    memset(packet->data, 0, sizeof packet->data);
    return qErrNone;
}

qErr qPacket_AddByte(qPacket* packet, uint8_t byte) {
    if (!qVALIDPACKET(packet)) return qErrParam;
    // The count grows first, so a packet that keeps receiving refused bytes still runs into
    // the overrun limit instead of waiting forever.
    if (packet->count < UINT8_MAX) ++packet->count;
    if (packet->count > qPACKET_MAX_WIRE) return qErrOverrun;

    if (packet->address == 0) {
        if (!is_module_address(byte)) return qErrPacket;
        packet->address = byte;
        return qErrNone;
    }
    if (packet->length == 0 && packet->count == qPACKET_HEADER_SIZE) {
        packet->length = byte;  // kept even when refused, so the caller can see what came
        return byte > qPACKET_MAX_DATA ? qErrPacket : qErrNone;
    }
    if (packet->count > packet->length + qPACKET_HEADER_SIZE) return qErrPacket;
    packet->data[packet->count - qPACKET_HEADER_SIZE - 1] = byte;
    return qErrNone;
}

bool qPacket_IsComplete(const qPacket* packet) {
    return qVALIDPACKET(packet) && packet->count == packet->length + qPACKET_HEADER_SIZE;
}

qErr qPacket_GetCmd(const qPacket* packet, uint8_t* command) {
    qErr result = check_field(packet, command, qUEI_COMMAND_BYTE);
    if (result == qErrNone) *command = packet->data[qUEI_COMMAND_BYTE];
    return result;
}

qErr qPacket_GetOption(const qPacket* packet, uint8_t* option) {
    qErr result = check_field(packet, option, qUEI_OPTION_BYTE);
    if (result == qErrNone) *option = packet->data[qUEI_OPTION_BYTE] & qUEI_OPTION_CODE_MASK;
    return result;
}

qErr qPacket_GetIndex(const qPacket* packet, uint8_t* index) {
    qErr result = check_field(packet, index, qUEI_INDEX_BYTE);
    if (result == qErrNone) *index = packet->data[qUEI_INDEX_BYTE] & qUEI_INDEX_MASK;
    return result;
}

qErr qPacket_Destroy(qPacket** packet) {
    if (packet == nullptr || *packet == nullptr) return qErrParam;
    (*packet)->valid = 0;
    delete *packet;
    *packet = nullptr;
    return qErrNone;
}
