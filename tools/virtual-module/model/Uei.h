// The layout of UEI messages inside a packet's data, from the module's side: command, option byte
// (code and operation bits), index byte (index and flag bits), then a big-endian value or a run of
// byte-array packets ending in a sequence byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ModuleError.h"
#include "Packet.h"

namespace virtual_module {

constexpr uint8_t kOptionCodeMask = 0x3F;
constexpr uint8_t kOperationMask = 0xC0;
constexpr uint8_t kGetOperation = 0x40;
constexpr uint8_t kSetOperation = 0x80;
constexpr uint8_t kAcknowledgeOperation = 0xC0;

constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kRequestFlag = 0x20;  // set by the host in every get and set
constexpr uint8_t kStreamFlag = 0x40;   // marks a stream sample
constexpr uint8_t kErrorFlag = 0x80;    // marks an error reply

constexpr size_t kUeiHeaderLength = 3;       // command, option, index
constexpr size_t kByteArrayRunLength = 24;   // value bytes per byte-array packet
constexpr uint8_t kSequenceContinue = 0x80;  // another packet of the run follows
constexpr uint8_t kSequenceNumberMask = 0x7F;

// How a value travels. Void is a call (no value); Bytes a byte array in runs.
enum class ValueKind : uint8_t { None, Void, Byte, Short, Int, Bytes };

// Width in bytes of a fixed-size value (0 for Void, None and Bytes).
size_t value_width(ValueKind kind);

// value_width(kind) bytes of value, most significant first.
void append_big_endian(std::vector<uint8_t>& out, uint32_t value, size_t width);
uint32_t read_big_endian(const uint8_t* bytes, size_t width);

// Header bytes of every reply to a request for this entity and option. Gets are answered with the
// plain option code, sets and calls with the code and both operation bits; the index comes back
// without the request flag.
struct UeiReplyHeader {
    uint8_t address;
    uint8_t command;
    uint8_t option;  // already in reply form
    uint8_t index;
};

Packet uei_value_reply(const UeiReplyHeader& header, uint32_t value, ValueKind kind);
Packet uei_acknowledgement(const UeiReplyHeader& header);
Packet uei_error_reply(const UeiReplyHeader& header, ModuleError error);
// A byte array as a run of packets of at most kByteArrayRunLength value bytes each; an empty array
// is one packet carrying only the sequence byte.
std::vector<Packet> uei_byte_array_reply(const UeiReplyHeader& header, const std::vector<uint8_t>& bytes);

}  // namespace virtual_module
