#include "qMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "qDebugging.h"

struct qMulticast {
    addrinfo* groupAddress = nullptr;      // the send target: group and port
    addrinfo* bindAddress = nullptr;       // receiver: any address with the port; sender: the interface, port 0
    addrinfo* interfaceAddress = nullptr;  // the interface, port 0
    int socket = -1;
    uint8_t sender = 0;
};

namespace {

constexpr const char* ANY_PORT = "0";

// Resolves an IPv4 host text (none: any address) and port for a UDP socket.
addrinfo* resolve(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the membership and interface options below are IPv4 ones
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (host == nullptr ? AI_PASSIVE : 0);
    addrinfo* result = nullptr;
    int error = getaddrinfo(host, port, &hints, &result);
    if (error != 0) {
        qDebugging_Trace(qDEBUG_MULTICAST, "getaddrinfo(%s, %s) failed with error code %d",
                         host != nullptr ? host : "any", port, error);
        return nullptr;
    }
    return result;
}

in_addr ipv4_of(const addrinfo* address) { return reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr; }

bool set_option(int fd, int level, int name, const void* value, socklen_t size, const char* what) {
    if (setsockopt(fd, level, name, value, size) == 0) return true;
    qDebugging_Trace(qDEBUG_MULTICAST, "%s: setsockopt failed with error code %d", what, errno);
    return false;
}

bool configure(qMulticast* endpoint) {
    int fd = endpoint->socket;
    int off = 0;
    if (!set_option(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off, "SetReuseAddress")) return false;
    if (!endpoint->sender && bind(fd, endpoint->bindAddress->ai_addr, endpoint->bindAddress->ai_addrlen) != 0) {
        qDebugging_Trace(qDEBUG_MULTICAST, "bind() failed with error code %d", errno);
        return false;
    }
    ip_mreq membership{};
    membership.imr_multiaddr = ipv4_of(endpoint->groupAddress);
    membership.imr_interface = ipv4_of(endpoint->interfaceAddress);
    if (!set_option(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership, "JoinMulticastGroup")) {
        return false;
    }
    in_addr interface = ipv4_of(endpoint->interfaceAddress);
    unsigned char ttl = qMULTICAST_TTL;
    unsigned char loop = 1;  // a server and its searcher on one host must hear each other
    timeval timeout{qMULTICAST_RECEIVE_TIMEOUT_MS / 1000, (qMULTICAST_RECEIVE_TIMEOUT_MS % 1000) * 1000};
    return set_option(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface, "SetSendInterface") &&
           set_option(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, "SetMulticastTTL") &&
           set_option(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout, "SetReceiveTimeout") &&
           set_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop, "SetMulticastLoopback");
}

}  // namespace

qMulticast* qMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, uint8_t sender) {
    if (interfaceAddress == htonl(INADDR_ANY)) interfaceAddress = htonl(INADDR_LOOPBACK);
    char groupText[INET_ADDRSTRLEN] = {};
    char interfaceText[INET_ADDRSTRLEN] = {};
    char portText[8] = {};
    in_addr group{groupAddress};
    in_addr interface{interfaceAddress};
    if (inet_ntop(AF_INET, &group, groupText, sizeof groupText) == nullptr ||
        inet_ntop(AF_INET, &interface, interfaceText, sizeof interfaceText) == nullptr) {
        return nullptr;
    }
    snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

    qMulticast* endpoint = new (std::nothrow) qMulticast;
    if (endpoint == nullptr) return nullptr;
    endpoint->sender = sender != 0 ? 1 : 0;
    endpoint->groupAddress = resolve(groupText, portText);
    endpoint->bindAddress = endpoint->sender ? resolve(interfaceText, ANY_PORT) : resolve(nullptr, portText);
    endpoint->interfaceAddress = resolve(interfaceText, ANY_PORT);
    bool resolved = endpoint->groupAddress != nullptr && endpoint->bindAddress != nullptr &&
                    endpoint->interfaceAddress != nullptr;
    if (resolved) {
        const addrinfo* target = endpoint->groupAddress;
        endpoint->socket = socket(target->ai_family, target->ai_socktype | SOCK_CLOEXEC, target->ai_protocol);
        if (endpoint->socket < 0) qDebugging_Trace(qDEBUG_MULTICAST, "socket() failed with error code %d", errno);
    }
    if (endpoint->socket < 0 || !configure(endpoint)) {
        qMulticast_Destroy(&endpoint);
        return nullptr;
    }
    return endpoint;
}

int qMulticast_Send(qMulticast* endpoint, const void* data, size_t length) {
    if (endpoint == nullptr) return qMULTICAST_NONE;
    if (!endpoint->sender) return qMULTICAST_WRONG_KIND;
    if (data == nullptr && length > 0) return qMULTICAST_FAILED;
    ssize_t sent = sendto(endpoint->socket, data, length, 0, endpoint->groupAddress->ai_addr,
                          endpoint->groupAddress->ai_addrlen);
    if (sent < 0) {
        qDebugging_Trace(qDEBUG_MULTICAST, "sendto() failed with error code %d", errno);
        return qMULTICAST_FAILED;
    }
    return static_cast<int>(sent);
}

int qMulticast_Receive(qMulticast* endpoint, void* buffer, size_t size) {
    if (endpoint == nullptr) return qMULTICAST_NONE;
    if (endpoint->sender) return qMULTICAST_WRONG_KIND;
    if (buffer == nullptr) return qMULTICAST_FAILED;
    // The socket's receive time-out bounds the wait, MSG_WAITALL or not.
    ssize_t received = recv(endpoint->socket, buffer, size, MSG_WAITALL);
    return received < 0 ? qMULTICAST_FAILED : static_cast<int>(received);
}

int qMulticast_Destroy(qMulticast** endpoint) {
    if (endpoint == nullptr || *endpoint == nullptr) return qMULTICAST_NONE;
    qMulticast* record = *endpoint;
    if (record->groupAddress != nullptr) freeaddrinfo(record->groupAddress);
    if (record->bindAddress != nullptr) freeaddrinfo(record->bindAddress);
    if (record->interfaceAddress != nullptr) freeaddrinfo(record->interfaceAddress);
    if (record->socket >= 0) close(record->socket);
    delete record;
    *endpoint = nullptr;
    return 0;
}
