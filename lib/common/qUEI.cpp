#include "qUEI.h"

#include <algorithm>
#include <iterator>

#include "qModuleContract.h"

namespace {

// Command bytes whose packets are not UEI messages (raw commands and link control).
// 1, 2, 8, 9 and 24 have no meaning in this program but belong to the module family's raw set.
constexpr uint8_t NON_UEI_COMMANDS[] = {
    cmdHEARTBEAT, 1, 2, cmdSLOT, 8, 9, cmdECHO, 24, cmdQUERY, cmdFACTORY, cmdUPGRADE, qADDR_SYNC, cmdFORCEROUTE,
};

uint8_t last_data_byte(const qPacket* packet) {
    if (packet == nullptr || packet->length == 0 || packet->length > qPACKET_MAX_DATA) return 0;
    return packet->data[packet->length - 1];
}

}  // namespace

void qUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

void qUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint16_t qUEI_RetrieveShort(const uint8_t* buffer) {
    return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

uint32_t qUEI_RetrieveInt(const uint8_t* buffer) {
    return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
           (static_cast<uint32_t>(buffer[2]) << 8) | static_cast<uint32_t>(buffer[3]);
}

void qUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (words == nullptr) return;
    for (size_t i = 0; i < count; ++i) words[i] = qUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
}

uint8_t qUEI_getBytesSequence(const qPacket* packet) { return last_data_byte(packet) & qUEI_BYTES_SEQUENCE_MASK; }

uint8_t qUEI_getBytesContinue(const qPacket* packet) { return last_data_byte(packet) & qUEI_BYTES_CONTINUE; }

bool qUEI_getBytesFullPacket(const qPacket* packet) {
    return packet != nullptr && packet->length >= qUEI_BYTES_FULL_LENGTH_MIN && packet->length <= qPACKET_MAX_DATA;
}

bool qUEI_isNotUEIPayload(const qPacket* packet) {
    if (packet == nullptr) return false;
    uint8_t command = packet->data[qUEI_COMMAND_BYTE];
    return std::find(std::begin(NON_UEI_COMMANDS), std::end(NON_UEI_COMMANDS), command) != std::end(NON_UEI_COMMANDS);
}

bool qUEI_isUEIPayload(const qPacket* packet) { return !qUEI_isNotUEIPayload(packet); }

bool qUEI_isStreamPacket(const qPacket* packet) {
    // A sample carries more than a one-byte value's packet would.
    return packet != nullptr && packet->length > qUEI_LENGTH_BYTE && qUEI_isUEIPayload(packet) &&
           (packet->data[qUEI_OPTION_BYTE] & qUEI_OPERATION_MASK) == 0 &&
           (packet->data[qUEI_INDEX_BYTE] & qUEI_INDEX_STREAM) != 0;
}
