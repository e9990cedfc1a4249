// UDP multicast endpoints: a receiver bound to a port, or a sender aimed at a group and port,
// both tied to one local interface. Link sharing servers and the discovery that looks for them
// meet this way on one host (a group on the loopback interface).
//
// A receiver binds without address reuse, so a second receiver on a port already taken fails to
// be created: that is how discovery tells that a sharing server holds a port.
// An endpoint belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#define qMULTICAST_TTL 1                  // never beyond the local network
#define qMULTICAST_RECEIVE_TIMEOUT_MS 1000

// Results besides a byte count.
#define qMULTICAST_FAILED -1     // the send or receive failed, or nothing came in time
#define qMULTICAST_NONE -2       // no endpoint
#define qMULTICAST_WRONG_KIND -3 // a send on a receiver or a receive on a sender

typedef struct qMulticast qMulticast;

// A new endpoint, or none. Addresses are IPv4 in network byte order; an interface address of 0
// or 127.0.0.1 means the loopback interface. sender: 1 for a sender, 0 for a receiver.
qMulticast* qMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, uint8_t sender);
// Sends one datagram to the group and port: the bytes sent, or one of the results above.
int qMulticast_Send(qMulticast* endpoint, const void* data, size_t length);
// Receives one datagram, waiting at most a second: its length (at most size), or one of the
// results above.
int qMulticast_Receive(qMulticast* endpoint, void* buffer, size_t size);
// Closes and frees the endpoint and clears the pointer: 0, or qMULTICAST_NONE for none.
int qMulticast_Destroy(qMulticast** endpoint);
