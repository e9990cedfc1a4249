// How to reach one module: the transport and its addressing, as a fixed 128-byte record.
// Sharing servers send this record as it stands, so its layout is a wire format: 32-bit fields
// in host order (least significant byte first on the hosts served), offsets fixed below.
#pragma once

#include <cstddef>
#include <cstdint>

typedef enum {
    linkTypeNone = 0,
    linkTypeUSB = 1,
    linkTypeTCPIP = 2,
    linkTypeSerial = 3,
    linkTypeQEther = 4,  // a link sharing server on the network
} linkType;

#define LINKSPEC_SIZE 128
#define LINKSPEC_SERIAL_PORT_SIZE 100

typedef struct {
    uint32_t type;                // linkType
    uint32_t serialNumber;
    uint32_t moduleAddress;       // 0 when not learned
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        struct {
            uint32_t address;     // IPv4, network byte order
            uint32_t port;        // 16-bit value
        } ip;                     // TCP/IP and sharing network
        struct {
            uint32_t baud;
            char port[LINKSPEC_SERIAL_PORT_SIZE];  // zero-terminated path
        } serial;
        struct {
            uint32_t serialNumber;  // the module's serial number again
            uint32_t reserved;      // 0
        } usb;
    } transport;
} linkSpec;

static_assert(sizeof(linkSpec) == LINKSPEC_SIZE, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, moduleAddress) == 8);
static_assert(offsetof(linkSpec, routerAddress) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, transport.ip.address) == 24);
static_assert(offsetof(linkSpec, transport.ip.port) == 28);
static_assert(offsetof(linkSpec, transport.serial.baud) == 24);
static_assert(offsetof(linkSpec, transport.serial.port) == 28);
