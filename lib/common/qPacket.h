// One link packet: module address, length and up to 28 data bytes, and the byte-by-byte
// assembly that turns a received byte stream back into packets.
//
// Wire form: address byte, length byte, then `length` data bytes. There is no start marker,
// checksum or terminator; framing rests on the link being synchronised with the module.
#pragma once

#include <cstdint>

#include "qError.h"

#define qPACKETCHECK 0xBEEF
#define qPACKET_MAX_DATA 28                        // data bytes in one packet
#define qPACKET_HEADER_SIZE 2                      // address and length bytes
#define qPACKET_MAX_WIRE (qPACKET_MAX_DATA + qPACKET_HEADER_SIZE)  // 30 bytes on the wire

typedef struct qPacket {
    uint16_t valid;     // qPACKETCHECK in a live packet
    uint8_t count;      // bytes fed in so far, address and length bytes included
    uint8_t address;    // module address: even and not zero
    uint8_t length;     // data bytes, 0 to 28
    uint8_t data[qPACKET_MAX_DATA];
} qPacket;

#define qVALIDPACKET(packet) ((packet) != nullptr && (packet)->valid == qPACKETCHECK)

// A new empty packet; none when memory is short.
qPacket* qPacket_Create();
// A complete packet holding `length` bytes of `data`; none for null data, a length above 28 or no memory.
qPacket* qPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A new packet with the same address, length and data; none when `packet` is not a valid packet.
qPacket* qPacket_Copy(const qPacket* packet);
// Empties the packet for the next assembly; qErrParam when it is not valid.
qErr qPacket_Reset(qPacket* packet);
// Feeds one received byte. qErrPacket when the byte cannot belong to a packet (a zero or odd
// address, a length above 28, a byte past the end), qErrOverrun past 30 bytes. Any non-zero
// result means the stream is out of step with the module's packet boundaries.
qErr qPacket_AddByte(qPacket* packet, uint8_t byte);
// True when the packet is valid and all of its bytes have arrived.
bool qPacket_IsComplete(const qPacket* packet);
// Data byte 0; data byte 1 without its operation bits; data byte 2 without its flag bits.
// qErrParam for a null out, qErrPacket for an invalid or too short packet.
qErr qPacket_GetCmd(const qPacket* packet, uint8_t* command);
qErr qPacket_GetOption(const qPacket* packet, uint8_t* option);
qErr qPacket_GetIndex(const qPacket* packet, uint8_t* index);
// Frees the packet and clears the caller's pointer; qErrParam for a null pointer or packet.
qErr qPacket_Destroy(qPacket** packet);
