// Finding modules: on USB, Ethernet modules on the local networks, and link sharing servers.
// Each module found is handed to a callback as a linkSpec, which says how to open a link to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "linkSpec.h"
#include "qError.h"

// What a search for sharing servers publishes as its beacon; servers answer with their linkSpec.
#define DISCOVERY_BEACON_FILTER "Lumenvane2-Discovery"

// Called once per module found. Set *found to count the spec; return false to stop the search.
typedef bool (*qDiscoveryCallback)(const linkSpec* spec, bool* found, void* reference);

// Runs the search for one transport; returns how many specs the callback marked found (held at
// 255). USB, TCP/IP and the sharing network are searched; other types find nothing.
// networkInterface (IPv4, network byte order) matters only for the sharing network.
uint8_t qDiscovery_EnumerateModules(linkType type, qDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface);
// A new spec of the module with that serial number (fields as the module reported them), or none.
linkSpec* qDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// A new spec of the first module found with a non-zero serial number, or none.
linkSpec* qDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);
// The sharing-network search (also reached through type linkTypeQEther).
uint8_t qDiscovery_Enumerate_qEtherModules(qDiscoveryCallback callback, void* reference, uint32_t networkInterface);

// Fills up to maximum IPv4 addresses (network byte order) of the host's interfaces; returns the count.
int qDiscovery_GetIPv4Interfaces(uint32_t* addresses, int maximum);
// Writes the dotted form of an address; returns its length, 0 when the buffer is under 16 bytes or it fails.
int qDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

// A zeroed spec with only its type set; a whole-record copy; destroy clears the caller's pointer.
linkSpec* qLinkSpec_Create(linkType type);
linkSpec* qLinkSpec_Copy(const linkSpec* spec);
qErr qLinkSpec_Destroy(linkSpec** spec);
