// Serial-port streams, used by serial links and by the serial boot-loader client.
// Raw mode, no flow control; reads never block (qErrNotReady when no byte is waiting).
#pragma once

#include <cstdint>

#include "qStream.h"

#define qSERIALCHECK 0xBEEF

// Rates by baud index; the index is what the stream takes.
#define qSERIAL_BAUD_COUNT 8
extern const uint32_t qSERIAL_BAUD_RATES[qSERIAL_BAUD_COUNT];  // 2400 ... 230400

// Selectors.
#define qSERIAL_DATA_BITS_8 0
#define qSERIAL_DATA_BITS_7 1
#define qSERIAL_STOP_BITS_1 0
#define qSERIAL_STOP_BITS_2 1

// Writes that the port does not take within this time plus twice their transmission time
// fail, so a peer that stops reading cannot hold the writer forever.
#define qSERIAL_WRITE_GRACE_MS 1000

// The index of a listed rate, or -1.
int qStream_SerialBaudIndex(uint32_t rate);

// Opens the port: `parity` non-zero enables even parity generation and checking; `data_bits`
// and `stop_bits` are the selectors above. The port's own settings are restored when the
// stream is destroyed.
// qErrResource for a null path or out pointer, a selector above 1, or no memory; qErrRange for
// a baud index outside 0..7 and qErrFileNameLength for a path over 4096 characters (both
// before the port is touched); qErrNotFound, qErrPermission or qErrIO from opening the port.
qErr qStream_CreateSerial(const char* port, int baud_index, uint8_t parity, uint8_t data_bits, uint8_t stop_bits,
                          qStream** stream);
