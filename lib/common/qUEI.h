// UEI messages: the entity get/set/call messages that carry typed values inside a packet's data,
// the `uei` value record, and the helpers that encode and classify UEI payloads.
// Every multi-byte value inside a packet is big-endian, whatever the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qPacket.h"

// Data bytes of a UEI message.
#define qUEI_COMMAND_BYTE 0
#define qUEI_OPTION_BYTE 1
#define qUEI_INDEX_BYTE 2
#define qUEI_VALUE_BYTE 3      // the value, or the error code of an error reply, or a subindex
#define qUEI_HEADER_LENGTH 3   // command, option and index: the length of a void message

// Option byte: bits 0-5 the option code, bits 6-7 the operation.
#define qUEI_OPTION_CODE_MASK 0x3F
#define qUEI_OPERATION_MASK 0xC0
#define qUEI_OPERATION_GET 0x40  // get request
#define qUEI_OPERATION_SET 0x80  // set or call request
#define qUEI_OPERATION_ACK 0xC0  // the module's acknowledgement of a set; a get is answered with 0

// Index byte: bits 0-4 the entity index, then three flags.
#define qUEI_INDEX_MASK 0x1F
#define qUEI_INDEX_REQUEST 0x20  // set by the host in every get and set request
#define qUEI_INDEX_STREAM 0x40   // a stream sample
#define qUEI_INDEX_ERROR 0x80    // an error reply; the error code is in data byte 3

// Packet lengths of the plain value kinds (command, option, index, value).
#define qUEI_LENGTH_VOID 3
#define qUEI_LENGTH_BYTE 4
#define qUEI_LENGTH_SHORT 5
#define qUEI_LENGTH_INT 7

// Byte strings go out in runs: command, option, index, up to 24 value bytes, one sequence byte.
#define qUEI_BYTES_PER_PACKET 24
#define qUEI_BYTES_OVERHEAD 4                 // command, option, index and the sequence byte
#define qUEI_BYTES_CONTINUE 0x80              // sequence byte: another packet of the run follows
#define qUEI_BYTES_SEQUENCE_MASK 0x7F         // sequence byte: number in the run, modulo 128
#define qUEI_BYTES_FULL_LENGTH_MIN 27         // a run packet this long or longer carries a full chunk

typedef enum {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
} ueiType;

typedef struct uei {
    uint8_t module;     // module address
    uint8_t command;    // command byte (entity class)
    uint8_t option;     // option byte, operation bits included
    uint8_t specifier;  // index byte, flag bits included; an error reply leaves bit 7 set
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t* data;      // bytes to send, or the buffer to receive into (advanced while receiving)
            uint8_t sequence;   // next expected sequence number while receiving
            uint8_t more;       // continue flag of the last packet received
            uint64_t length;    // bytes to send, or the receive buffer's capacity
            uint64_t* count;    // running count of bytes received
        } bytes;
    } value;
    int type;  // ueiType
} uei;

void qUEI_StoreShort(uint8_t* buffer, uint16_t value);
void qUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t qUEI_RetrieveShort(const uint8_t* buffer);
uint32_t qUEI_RetrieveInt(const uint8_t* buffer);
// Turns `count` consecutive big-endian 32-bit words into host integers, in place.
void qUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// The sequence number (bits 0-6) and continue flag (bit 7) of a byte-string packet's last
// data byte; 0 for a null or empty packet.
uint8_t qUEI_getBytesSequence(const qPacket* packet);
uint8_t qUEI_getBytesContinue(const qPacket* packet);
// True when a byte-string packet carries a full chunk (length 27 or 28).
bool qUEI_getBytesFullPacket(const qPacket* packet);

// True when data byte 0 is one of the command bytes that are not UEI messages; false for null.
bool qUEI_isNotUEIPayload(const qPacket* packet);
// The negation of qUEI_isNotUEIPayload, so a null packet counts as a UEI payload here.
bool qUEI_isUEIPayload(const qPacket* packet);
// True for a UEI stream sample: longer than 4, operation bits clear, index stream flag set.
bool qUEI_isStreamPacket(const qPacket* packet);
