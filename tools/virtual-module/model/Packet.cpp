#include "Packet.h"

#include <cstdio>

namespace virtual_module {

void append_wire_bytes(const Packet& packet, std::vector<uint8_t>& out) {
    out.push_back(packet.address);
    out.push_back(static_cast<uint8_t>(packet.data.size()));
    out.insert(out.end(), packet.data.begin(), packet.data.end());
}

std::vector<uint8_t> wire_bytes(const Packet& packet) {
    std::vector<uint8_t> out;
    append_wire_bytes(packet, out);
    return out;
}

std::string hex_text(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

bool PacketReader::feed(uint8_t byte, Packet& packet) {
    switch (expecting_) {
    case Expecting::Address:
        current_.address = byte;
        current_.data.clear();
        expecting_ = Expecting::Length;
        return false;
    case Expecting::Length:
        if (byte > kMaxPacketData) {
            ++framing_errors_;
            current_.address = byte;  // the refused byte may be where the next packet starts
            return false;
        }
        length_ = byte;
        if (length_ == 0) break;
        expecting_ = Expecting::Data;
        return false;
    case Expecting::Data:
        current_.data.push_back(byte);
        if (current_.data.size() < length_) return false;
        break;
    }
    expecting_ = Expecting::Address;
    packet = current_;
    return true;
}

}  // namespace virtual_module
