// Stream keys and the layout of sample packets. A sample is a one-packet byte-array run:
//   command, option, index | 0x40, kind, [subindex,] time stamp (8 bytes), value (1, 2 or 4), 0x00
// with multi-byte fields big-endian.
#include "Link.h"
#include "StreamTable.h"

namespace Tolveric::Lumenvane {

namespace {

constexpr int KEY_SUBINDEX_SHIFT = 32;
constexpr int KEY_MODULE_SHIFT = 24;
constexpr int KEY_COMMAND_SHIFT = 16;
constexpr int KEY_OPTION_SHIFT = 8;
constexpr int KEY_INDEX_SHIFT = 0;

constexpr uint8_t SAMPLE_KIND_BYTE = 3;
constexpr uint8_t SAMPLE_TIMESTAMP_BYTE = 4;            // 5 with a subindex
constexpr uint8_t SAMPLE_VALUE_BYTE = 12;               // 13 with a subindex
constexpr uint8_t SAMPLE_TIMESTAMP_WORD = 4;            // the time stamp's high and low words

// The exact length of a sample of each kind: header 4, [subindex 1,] time stamp 8, value, sequence 1.
uint8_t sample_length(Link::STREAM_PACKET kind) {
    switch (kind) {
    case Link::STREAM_PACKET_8BIT: return 14;
    case Link::STREAM_PACKET_16BIT: return 15;
    case Link::STREAM_PACKET_32BIT: return 17;
    case Link::STREAM_PACKET_SUBINDEX_8BIT: return 15;
    case Link::STREAM_PACKET_SUBINDEX_16BIT: return 16;
    case Link::STREAM_PACKET_SUBINDEX_32BIT: return 18;
    default: return 0;
    }
}

uint8_t value_width(Link::STREAM_PACKET kind) {
    switch (kind) {
    case Link::STREAM_PACKET_8BIT:
    case Link::STREAM_PACKET_SUBINDEX_8BIT: return 1;
    case Link::STREAM_PACKET_16BIT:
    case Link::STREAM_PACKET_SUBINDEX_16BIT: return 2;
    default: return 4;
    }
}

// The kind of a stream packet: a byte-array stream when its sequence byte says it is one of a
// run, else data byte 3 when it names a kind; STREAM_PACKET_NONE for anything else.
Link::STREAM_PACKET stream_kind(const qPacket* packet) {
    if (!Link::isStreamPacket(packet)) return Link::STREAM_PACKET_NONE;
    if (qUEI_getBytesSequence(packet) != 0 || qUEI_getBytesContinue(packet) != 0) return Link::STREAM_PACKET_BYTES;
    uint8_t kind = packet->data[SAMPLE_KIND_BYTE];
    if (kind < Link::STREAM_PACKET_8BIT || kind > Link::STREAM_PACKET_SUBINDEX_32BIT) return Link::STREAM_PACKET_NONE;
    return static_cast<Link::STREAM_PACKET>(kind);
}

}  // namespace

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return (uint64_t{subindex} << KEY_SUBINDEX_SHIFT) | (uint64_t{module} << KEY_MODULE_SHIFT) |
           (uint64_t{command} << KEY_COMMAND_SHIFT) | (uint64_t{option} << KEY_OPTION_SHIFT) |
           (uint64_t{index} << KEY_INDEX_SHIFT);
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY element) {
    switch (element) {
    case KEY_MODULE: return static_cast<uint8_t>(key >> KEY_MODULE_SHIFT);
    case KEY_COMMAND: return static_cast<uint8_t>(key >> KEY_COMMAND_SHIFT);
    case KEY_OPTION: return static_cast<uint8_t>(key >> KEY_OPTION_SHIFT);
    case KEY_INDEX: return static_cast<uint8_t>(key >> KEY_INDEX_SHIFT);
    case KEY_SUBINDEX: return static_cast<uint8_t>(key >> KEY_SUBINDEX_SHIFT);
    default: return 0;
    }
}

bool Link::isStreamPacket(const qPacket* packet) { return qVALIDPACKET(packet) && qUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const qPacket* packet, STREAM_PACKET* type) {
    STREAM_PACKET kind = stream_kind(packet);
    if (type != nullptr) *type = kind;
    return kind != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET type) {
    return type == STREAM_PACKET_SUBINDEX_8BIT || type == STREAM_PACKET_SUBINDEX_16BIT ||
           type == STREAM_PACKET_SUBINDEX_32BIT;
}

bool Link::isStreamSample(const qPacket* packet) {
    STREAM_PACKET kind = stream_kind(packet);
    if (kind == STREAM_PACKET_NONE || kind == STREAM_PACKET_BYTES) return false;
    return packet->data[packet->length - 1] == 0 && packet->length == sample_length(kind);
}

qErr Link::getStreamSample(const qPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
    if (!isStreamPacket(packet)) return qErrPacket;
    STREAM_PACKET kind = stream_kind(packet);
    if (kind == STREAM_PACKET_BYTES) return qErrSize;
    if (kind == STREAM_PACKET_NONE) return qErrUnknown;
    if (!isStreamSample(packet)) return qErrPacket;

    bool withSubindex = isSubindexType(kind);
    const uint8_t* data = packet->data;
    const uint8_t* time = data + SAMPLE_TIMESTAMP_BYTE + (withSubindex ? 1 : 0);
    const uint8_t* reading = data + SAMPLE_VALUE_BYTE + (withSubindex ? 1 : 0);
    if (value != nullptr) {
        switch (value_width(kind)) {
        case 1: *value = reading[0]; break;
        case 2: *value = qUEI_RetrieveShort(reading); break;
        default: *value = qUEI_RetrieveInt(reading); break;
        }
    }
    if (subindex != nullptr) *subindex = withSubindex ? data[STREAM_SAMPLE_SUBINDEX_BYTE] : 0;
    if (timestamp != nullptr) {
        *timestamp = (uint64_t{qUEI_RetrieveInt(time)} << 32) | qUEI_RetrieveInt(time + SAMPLE_TIMESTAMP_WORD);
    }
    return qErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
    if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
    if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
}

}  // namespace Tolveric::Lumenvane
