// The search for link sharing servers: on this host by multicast on the loopback interface, or
// on a network through UDP beacons. Each server reports its module as a 128-byte linkSpec.
#include <czmq.h>

#include <cstring>
#include <vector>

#include "discover.h"
#include "discoverInternal.h"
#include "qDebugging.h"
#include "qMulticast.h"
#include "unix_discovery.h"
#include "zBeaconInterface.h"

namespace {

constexpr uint32_t LOOPBACK_ADDRESS = discover_IPv4Address(127, 0, 0, 1);

// Servers on this host: one port pair per server, the request port held by the server.
constexpr uint32_t SHARING_GROUP = discover_IPv4Address(224, 0, 0, 7);
constexpr uint16_t SHARING_REQUEST_PORT_BASE = 9850;
constexpr uint16_t SHARING_REPLY_PORT_BASE = 9950;
constexpr uint16_t SHARING_PORT_COUNT = 50;
constexpr uint8_t SHARING_REQUEST[] = {0xBA, 0xDC, 0xCD, 0xAB};  // 0xABCDDCBA, least significant byte first

// Servers on a network: they answer our beacon with beacons of their own.
constexpr int BEACON_PORT = 8585;
constexpr int BEACON_INTERVAL_MS = 100;
constexpr int BEACON_RECEIVE_WAIT_MS = 100;
constexpr int BEACON_PASSES = 22;
constexpr int BEACON_CONFIGURE_WAIT_MS = 2000;  // the beacon's answer to its configuration

constexpr int INTERFACE_LIST_LIMIT = 50;
constexpr size_t DOTTED_TEXT_SIZE = 16;

// One search's record of what it reported: a server heard twice, or two servers sharing one
// module, give one report.
class SharingSearch {
public:
    SharingSearch(qDiscoveryCallback callback, void* reference, bool localOnly)
        : callback_(callback), reference_(reference), localOnly_(localOnly) {}

    // Takes a datagram or beacon payload; true to go on searching. Only a whole linkSpec is one;
    // with local-only on, only a server at 127.0.0.1 or at `ownAddress` counts.
    bool take(const uint8_t* payload, size_t length, uint32_t ownAddress) {
        if (length != LINKSPEC_SIZE) return true;
        linkSpec spec;
        memcpy(&spec, payload, sizeof spec);
        // A path from the wire is never trusted to end inside the record.
        spec.transport.serial.port[LINKSPEC_SERIAL_PORT_SIZE - 1] = '\0';
        for (const linkSpec& seen : seen_) {
            if (seen.serialNumber == spec.serialNumber) return true;
        }
        uint32_t address = spec.transport.ip.address;
        if (localOnly_ && address != LOOPBACK_ADDRESS && (ownAddress == 0 || address != ownAddress)) return true;
        seen_.push_back(spec);
        return discover_Offer(spec, callback_, reference_, count_);
    }

    uint8_t count() const { return count_.value; }

private:
    qDiscoveryCallback callback_;
    void* reference_;
    bool localOnly_;
    std::vector<linkSpec> seen_;
    DiscoverFoundCount count_;
};

// Asks the server that may hold this port pair; true to go on with the next pair.
bool ask_server_on_port(SharingSearch& search, uint16_t offset) {
    uint16_t request_port = static_cast<uint16_t>(SHARING_REQUEST_PORT_BASE + offset);
    // Receivers bind without address reuse: when ours binds, no server holds the port.
    qMulticast* probe = qMulticast_Create(0, SHARING_GROUP, request_port, 0);
    if (probe != nullptr) {
        qMulticast_Destroy(&probe);
        return true;
    }
    auto reply_port = static_cast<uint16_t>(SHARING_REPLY_PORT_BASE + offset);
    qMulticast* replies = qMulticast_Create(0, SHARING_GROUP, reply_port, 0);
    qMulticast* requests = qMulticast_Create(0, SHARING_GROUP, request_port, 1);
    constexpr int request_size = static_cast<int>(sizeof SHARING_REQUEST);
    bool going_on = true;
    if (replies != nullptr && requests != nullptr &&
        qMulticast_Send(requests, SHARING_REQUEST, sizeof SHARING_REQUEST) == request_size) {
        uint8_t reply[LINKSPEC_SIZE + 1];  // one byte more, so that a longer reply shows as such
        int length = qMulticast_Receive(replies, reply, sizeof reply);
        if (length > 0) going_on = search.take(reply, static_cast<size_t>(length), 0);
        else qDebugging_Trace(qDEBUG_DISCOVERY, "no answer from the sharing server on port %u", request_port);
    }
    qMulticast_Destroy(&replies);
    qMulticast_Destroy(&requests);
    return going_on;
}

uint8_t multicast_search(qDiscoveryCallback callback, void* reference) {
    SharingSearch search(callback, reference, true);
    for (uint16_t offset = 0; offset < SHARING_PORT_COUNT; ++offset) {
        if (!ask_server_on_port(search, offset)) break;
    }
    return search.count();
}

// Runs on the beacon interface already chosen.
uint8_t beacon_search(qDiscoveryCallback callback, void* reference, bool localOnly) {
    zBeaconInterface_prepare();
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon == nullptr) {
        qDebugging_Trace(qDEBUG_BEACON, "beacon could not be started");
        return 0;
    }
    SharingSearch search(callback, reference, localOnly);
    zsock_set_rcvtimeo(beacon, BEACON_CONFIGURE_WAIT_MS);
    zsock_send(beacon, "si", "CONFIGURE", BEACON_PORT);
    char* host = zstr_recv(beacon);
    // An empty host address: no interface here can carry beacons, so none would be heard.
    if (host != nullptr && host[0] != '\0') {
        uint32_t own_address = 0;
        unix_discovery_ParseIPv4(host, &own_address);
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, strlen(DISCOVERY_BEACON_FILTER),
                   BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
        zsock_set_rcvtimeo(beacon, BEACON_RECEIVE_WAIT_MS);
        bool going_on = true;
        for (int pass = 0; pass < BEACON_PASSES && going_on; ++pass) {
            zmsg_t* message = zmsg_recv(beacon);  // sender's address, then the payload
            if (message == nullptr) continue;
            char* sender = zmsg_popstr(message);
            zframe_t* payload = zmsg_pop(message);
            if (payload != nullptr) going_on = search.take(zframe_data(payload), zframe_size(payload), own_address);
            zframe_destroy(&payload);
            zstr_free(&sender);
            zmsg_destroy(&message);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    } else {
        qDebugging_Trace(qDEBUG_BEACON, "no interface for beacons");
    }
    zstr_free(&host);
    zactor_destroy(&beacon);
    return search.count();
}

}  // namespace

uint8_t qDiscovery_Enumerate_qEtherModules(qDiscoveryCallback callback, void* reference, uint32_t networkInterface) {
    if (callback == nullptr) return 0;
    bool local = networkInterface == 0 || networkInterface == LOOPBACK_ADDRESS;
    uint32_t interfaces[INTERFACE_LIST_LIMIT];
    int interface_count = qDiscovery_GetIPv4Interfaces(interfaces, INTERFACE_LIST_LIMIT);
    if (local || interface_count == 0) return multicast_search(callback, reference);

    char interface_text[DOTTED_TEXT_SIZE] = {};
    qDiscovery_ConvertIPv4Interface(networkInterface, interface_text, sizeof interface_text);
    // The interface setting is process-wide: it is held for the whole search and put back after.
    if (!zBeaconInterface_backupSetAndLock(interface_text)) return beacon_search(callback, reference, false);
    uint8_t count = beacon_search(callback, reference, false);
    zBeaconInterface_restoreAndUnlock();
    return count;
}
