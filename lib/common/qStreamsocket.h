// TCP client socket streams, used by TCP/IP links.
//
// The stream connects at creation and never blocks: get returns qErrNotReady when no byte is
// waiting. A peer that resets the connection is reconnected by the next get or write that sees
// the reset; a peer that closes cleanly reads as endless qErrNotReady.
#pragma once

#include <cstdint>

#include "qStream.h"

#define qSOCKETCHECK 0xDEAD
#define qSOCKET_MAX_SEND_RETRY 10      // pauses a write may spend waiting for the peer to take bytes
#define qSOCKET_RETRY_DELAY_MS 60      // the pause between send attempts
#define qSOCKET_RECONNECT_PAUSE_MS 10  // after dropping a connection, before making the next
#define qSOCKET_CONNECT_TIMEOUT_MS 3000  // longest wait for a connect to complete

// A stream connected to the IPv4 address (32 bits, network byte order) and port. The out
// pointer is cleared first; qErrResource on any failure (refused, unreachable, no memory).
qErr qStream_CreateSocket(uint32_t address, uint16_t port, qStream** stream);
