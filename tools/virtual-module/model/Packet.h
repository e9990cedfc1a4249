// One link packet as the module sees it, and the splitting of the host's byte stream into packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace virtual_module {

constexpr size_t kMaxPacketData = 28;  // data bytes after the address and length bytes

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;  // never more than kMaxPacketData bytes

    bool operator==(const Packet&) const = default;
};

// The packet as it travels: address byte, length byte, data bytes; no marker, no checksum.
std::vector<uint8_t> wire_bytes(const Packet& packet);
void append_wire_bytes(const Packet& packet, std::vector<uint8_t>& out);

// "AD 00" style text of bytes, for traces.
std::string hex_text(const std::vector<uint8_t>& bytes);

// Cuts the host's byte stream at packet boundaries. The stream carries nothing that marks a
// packet start, so a length byte above the maximum means the boundary was lost: the reader then
// takes that byte as the address of the next packet and carries on from there.
class PacketReader {
public:
    // Feeds one byte; returns true when it completed a packet, which is then in `packet`.
    bool feed(uint8_t byte, Packet& packet);

    // Number of length bytes refused so far (each one a lost packet boundary).
    size_t framing_errors() const { return framing_errors_; }

private:
    enum class Expecting { Address, Length, Data };
    Expecting expecting_ = Expecting::Address;
    Packet current_;
    size_t length_ = 0;
    size_t framing_errors_ = 0;
};

}  // namespace virtual_module
