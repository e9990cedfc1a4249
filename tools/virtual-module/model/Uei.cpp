#include "Uei.h"

#include <algorithm>

namespace virtual_module {

size_t value_width(ValueKind kind) {
    switch (kind) {
    case ValueKind::Byte:
        return 1;
    case ValueKind::Short:
        return 2;
    case ValueKind::Int:
        return 4;
    default:
        return 0;
    }
}

void append_big_endian(std::vector<uint8_t>& out, uint32_t value, size_t width) {
    for (size_t i = width; i > 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
}

uint32_t read_big_endian(const uint8_t* bytes, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

namespace {

Packet header_packet(const UeiReplyHeader& header, uint8_t index_byte) {
    return Packet{header.address, {header.command, header.option, index_byte}};
}

}  // namespace

Packet uei_value_reply(const UeiReplyHeader& header, uint32_t value, ValueKind kind) {
    Packet reply = header_packet(header, header.index);
    append_big_endian(reply.data, value, value_width(kind));
    return reply;
}

Packet uei_acknowledgement(const UeiReplyHeader& header) { return header_packet(header, header.index); }

Packet uei_error_reply(const UeiReplyHeader& header, ModuleError error) {
    Packet reply = header_packet(header, static_cast<uint8_t>(header.index | kErrorFlag));
    reply.data.push_back(error_byte(error));
    return reply;
}

std::vector<Packet> uei_byte_array_reply(const UeiReplyHeader& header, const std::vector<uint8_t>& bytes) {
    std::vector<Packet> run;
    size_t offset = 0;
    uint8_t sequence = 0;
    do {
        size_t chunk = std::min(kByteArrayRunLength, bytes.size() - offset);
        Packet packet = header_packet(header, header.index);
        packet.data.insert(packet.data.end(), bytes.begin() + static_cast<long>(offset),
                           bytes.begin() + static_cast<long>(offset + chunk));
        offset += chunk;
        bool more = offset < bytes.size();
        packet.data.push_back(static_cast<uint8_t>((sequence & kSequenceNumberMask) | (more ? kSequenceContinue : 0)));
        run.push_back(std::move(packet));
        ++sequence;
    } while (offset < bytes.size());
    return run;
}

}  // namespace virtual_module
