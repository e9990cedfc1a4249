#include "discover.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "discoverInternal.h"
#include "lvusb_driver.h"
#include "qDebugging.h"
#include "unix_discovery.h"

namespace {

// USB: modules report their serial number as exactly eight hexadecimal digits.
constexpr size_t USB_SERIAL_DIGITS = 8;

// Ethernet: one request to the modules' group, answered by each module on the reply port.
constexpr uint32_t ETHERNET_REQUEST_GROUP = discover_IPv4Address(232, 2, 2, 2);
constexpr uint16_t ETHERNET_REQUEST_PORT = 9888;
constexpr uint16_t ETHERNET_REPLY_PORT = 9889;
constexpr int ETHERNET_REPLY_WAIT_MS = 2000;  // after the request and after each reply
// The whole reply phase, however many replies keep coming: a search always ends.
constexpr int ETHERNET_SEARCH_LIMIT_MS = 10000;
constexpr size_t ETHERNET_DATAGRAM_SIZE = 16;
constexpr uint8_t ETHERNET_REQUEST_MARK = 1;  // first byte of a request
// Reply layout, multi-byte fields least significant byte first.
constexpr size_t REPLY_ADDRESS_OFFSET = 1;
constexpr size_t REPLY_PORT_OFFSET = 2;
constexpr size_t REPLY_SERIAL_OFFSET = 4;
constexpr size_t REPLY_MODEL_OFFSET = 12;
constexpr size_t REPLY_SHORTEST = REPLY_SERIAL_OFFSET + sizeof(uint32_t);  // up to the serial number
constexpr uint8_t MODEL_NOT_REPORTED = 255;  // a reply that ends before the model code

uint32_t little_endian_32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
}

// ---- USB ----

bool parse_usb_serial(const char* text, uint32_t* serial_number) {
    if (strlen(text) != USB_SERIAL_DIGITS) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < USB_SERIAL_DIGITS; ++i) {
        char digit = text[i];
        uint32_t nibble;
        if (digit >= '0' && digit <= '9') {
            nibble = static_cast<uint32_t>(digit - '0');
        } else if (digit >= 'A' && digit <= 'F') {
            nibble = static_cast<uint32_t>(digit - 'A' + 10);
        } else if (digit >= 'a' && digit <= 'f') {
            nibble = static_cast<uint32_t>(digit - 'a' + 10);
        } else {
            return false;  // not a module's serial number, whatever its length
        }
        value = (value << 4) | nibble;
    }
    *serial_number = value;
    return true;
}

struct UsbSearch {
    qDiscoveryCallback callback;
    void* reference;
    DiscoverFoundCount count;
};

bool visit_usb_module(const char* serial_text, uint16_t product_id, void* reference) {
    auto* search = static_cast<UsbSearch*>(reference);
    linkSpec spec{};
    spec.type = linkTypeUSB;
    if (!parse_usb_serial(serial_text, &spec.serialNumber)) {
        qDebugging_Trace(qDEBUG_DISCOVERY, "USB device with serial string \"%s\" passed over", serial_text);
        return true;
    }
    spec.model = product_id & 0xFF;
    spec.transport.usb.serialNumber = spec.serialNumber;
    return discover_Offer(spec, search->callback, search->reference, search->count);
}

uint8_t enumerate_usb(qDiscoveryCallback callback, void* reference) {
    UsbSearch search{callback, reference, {}};
    if (!lvusb_visit_modules(visit_usb_module, &search)) qDebugging_Trace(qDEBUG_DISCOVERY, "no USB device list");
    return search.count.value;
}

// ---- Ethernet ----

// Sends the request through every interface; true when at least one went out.
bool send_ethernet_requests() {
    uint8_t request[ETHERNET_DATAGRAM_SIZE] = {ETHERNET_REQUEST_MARK};
    std::vector<uint32_t> interfaces;
    if (!unix_discovery_RequestInterfaces(&interfaces)) {
        return unix_discovery_SendMulticast(0, ETHERNET_REQUEST_GROUP, ETHERNET_REQUEST_PORT, request, sizeof request);
    }
    bool any_sent = false;
    // An interface that cannot send (no multicast on it, say) costs only its own request.
    for (uint32_t interface : interfaces) {
        any_sent |= unix_discovery_SendMulticast(interface, ETHERNET_REQUEST_GROUP, ETHERNET_REQUEST_PORT, request,
                                                 sizeof request);
    }
    return any_sent;
}

linkSpec spec_from_ethernet_reply(const uint8_t* reply, uint32_t sender) {
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.serialNumber = little_endian_32(reply + REPLY_SERIAL_OFFSET);
    spec.moduleAddress = reply[REPLY_ADDRESS_OFFSET];
    spec.routerAddress = spec.moduleAddress;
    spec.routerSerialNumber = spec.serialNumber;
    spec.model = reply[REPLY_MODEL_OFFSET];
    spec.transport.ip.address = sender;
    spec.transport.ip.port = uint32_t{reply[REPLY_PORT_OFFSET]} | (uint32_t{reply[REPLY_PORT_OFFSET + 1]} << 8);
    return spec;
}

uint8_t enumerate_ethernet(qDiscoveryCallback callback, void* reference) {
    DiscoverFoundCount count;
    int replies = unix_discovery_OpenReplySocket(ETHERNET_REPLY_PORT);
    if (replies < 0) return 0;
    if (!send_ethernet_requests()) {
        unix_discovery_CloseSocket(replies);
        return 0;
    }
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ETHERNET_SEARCH_LIMIT_MS);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            qDebugging_Trace(qDEBUG_DISCOVERY, "Ethernet search: replies still coming after %d ms; search ended",
                             ETHERNET_SEARCH_LIMIT_MS);
            break;
        }
        // Cleared each time, so that a short reply never shows what a longer one left behind.
        uint8_t reply[ETHERNET_DATAGRAM_SIZE] = {};
        reply[REPLY_MODEL_OFFSET] = MODEL_NOT_REPORTED;
        uint32_t sender = 0;
        int wait = static_cast<int>(std::min<long long>(ETHERNET_REPLY_WAIT_MS, left.count()));
        int length = unix_discovery_Receive(replies, reply, sizeof reply, wait, &sender);
        if (length < 0) break;
        if (static_cast<size_t>(length) < REPLY_SHORTEST) {
            qDebugging_Trace(qDEBUG_DISCOVERY, "Ethernet reply of %d bytes has no serial number; passed over", length);
            continue;
        }
        if (!discover_Offer(spec_from_ethernet_reply(reply, sender), callback, reference, count)) break;
    }
    unix_discovery_CloseSocket(replies);
    return count.value;
}

// ---- ready-made searches ----

bool match_serial_number(const linkSpec* spec, bool* found, void* reference) {
    auto* wanted = static_cast<linkSpec*>(reference);
    if (spec->serialNumber != wanted->serialNumber) return true;
    *wanted = *spec;
    *found = true;
    return false;
}

bool take_first_module(const linkSpec* spec, bool* found, void* reference) {
    if (spec->serialNumber == 0) return true;
    *static_cast<linkSpec*>(reference) = *spec;
    *found = true;
    return false;
}

linkSpec* search_for_one(linkType type, uint32_t serialNumber, qDiscoveryCallback callback, uint32_t networkInterface) {
    linkSpec* spec = qLinkSpec_Create(type);
    if (spec == nullptr) return nullptr;
    spec->serialNumber = serialNumber;
    if (qDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0) qLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

uint8_t qDiscovery_EnumerateModules(linkType type, qDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface) {
    if (callback == nullptr) return 0;
    switch (type) {
        case linkTypeUSB: return enumerate_usb(callback, reference);
        case linkTypeTCPIP: return enumerate_ethernet(callback, reference);
        case linkTypeQEther: return qDiscovery_Enumerate_qEtherModules(callback, reference, networkInterface);
        default: return 0;
    }
}

linkSpec* qDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return search_for_one(type, serialNumber, match_serial_number, networkInterface);
}

linkSpec* qDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return search_for_one(type, 0, take_first_module, networkInterface);
}

linkSpec* qLinkSpec_Create(linkType type) {
    linkSpec* spec = new (std::nothrow) linkSpec{};
    if (spec != nullptr) spec->type = type;
    return spec;
}

linkSpec* qLinkSpec_Copy(const linkSpec* spec) {
    if (spec == nullptr) return nullptr;
    linkSpec* copy = new (std::nothrow) linkSpec;
    if (copy != nullptr) memcpy(copy, spec, sizeof *copy);
    return copy;
}

qErr qLinkSpec_Destroy(linkSpec** spec) {
    if (spec == nullptr || *spec == nullptr) return qErrParam;
    delete *spec;
    *spec = nullptr;
    return qErrNone;
}
