// The Linux side of discovery: the host's IPv4 interfaces, address texts, and the UDP sockets
// the Ethernet search sends its request and reads its replies with. Addresses are IPv4 values
// in network byte order; ports are plain numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The addresses a discovery request goes out through: every IPv4 address of an interface that
// is up and not the loopback, without 0.0.0.0 and 127.0.0.1, in the order the system lists
// them. False when the interface list cannot be read.
bool unix_discovery_RequestInterfaces(std::vector<uint32_t>* addresses);

// True when the text is an IPv4 address in dotted form; its value goes to *address (may be none).
bool unix_discovery_ParseIPv4(const char* text, uint32_t* address);

// A UDP socket with address reuse on, bound to the port on all local addresses; -1 on failure.
int unix_discovery_OpenReplySocket(uint16_t port);
// Sends one datagram to the multicast group and port out through the interface with that
// address (0: the system's choice), from a socket made for it and closed again. True when the
// whole datagram went out.
bool unix_discovery_SendMulticast(uint32_t interfaceAddress, uint32_t group, uint16_t port, const uint8_t* data,
                                  size_t length);
// Waits up to timeoutMs for one datagram and reads at most size bytes of it. Returns the bytes
// read and sets *sender to the sender's address; -1 on failure or when the time is up.
int unix_discovery_Receive(int socket, uint8_t* buffer, size_t size, int timeoutMs, uint32_t* sender);
void unix_discovery_CloseSocket(int socket);
