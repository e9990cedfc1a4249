#include "unix_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "discover.h"
#include "qDebugging.h"

namespace {

constexpr size_t DOTTED_TEXT_MINIMUM = 16;  // "255.255.255.255" and its terminator

bool is_ipv4(const ifaddrs* entry) { return entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET; }

uint32_t address_of(const ifaddrs* entry) {
    return reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
}

sockaddr_in endpoint(uint32_t address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = address;
    result.sin_port = htons(port);
    return result;
}

int udp_socket() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

bool reuse_address(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace

int qDiscovery_GetIPv4Interfaces(uint32_t* addresses, int maximum) {
    if (addresses == nullptr || maximum <= 0) return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int count = 0;
    for (const ifaddrs* entry = list; entry != nullptr && count < maximum; entry = entry->ifa_next) {
        if (is_ipv4(entry)) addresses[count++] = address_of(entry);
    }
    freeifaddrs(list);
    return count;
}

int qDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    memset(buffer, 0, size);
    if (size < DOTTED_TEXT_MINIMUM) return 0;
    in_addr value{};
    value.s_addr = address;
    if (inet_ntop(AF_INET, &value, buffer, static_cast<socklen_t>(size)) == nullptr) {
        memset(buffer, 0, size);
        return 0;
    }
    return static_cast<int>(strlen(buffer));
}

bool unix_discovery_RequestInterfaces(std::vector<uint32_t>* addresses) {
    if (addresses == nullptr) return false;
    addresses->clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (!is_ipv4(entry)) continue;
        // A request through the loopback or a down interface reaches no module.
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        uint32_t address = address_of(entry);
        if (address == htonl(INADDR_ANY) || address == htonl(INADDR_LOOPBACK)) continue;
        addresses->push_back(address);
    }
    freeifaddrs(list);
    return true;
}

bool unix_discovery_ParseIPv4(const char* text, uint32_t* address) {
    in_addr parsed{};
    if (text == nullptr || inet_pton(AF_INET, text, &parsed) != 1) return false;
    if (address != nullptr) *address = parsed.s_addr;
    return true;
}

int unix_discovery_OpenReplySocket(uint16_t port) {
    int fd = udp_socket();
    if (fd < 0) {
        qDebugging_Trace(qDEBUG_DISCOVERY, "reply socket: socket() failed with error code %d", errno);
        return -1;
    }
    sockaddr_in any = endpoint(htonl(INADDR_ANY), port);
    if (!reuse_address(fd) || bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        qDebugging_Trace(qDEBUG_DISCOVERY, "reply socket: bind() to port %u failed with error code %d", port, errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool unix_discovery_SendMulticast(uint32_t interfaceAddress, uint32_t group, uint16_t port, const uint8_t* data,
                                  size_t length) {
    if (data == nullptr) return false;
    int fd = udp_socket();
    if (fd < 0) return false;
    bool sent = reuse_address(fd);
    if (sent && interfaceAddress != htonl(INADDR_ANY)) {
        in_addr interface{};
        interface.s_addr = interfaceAddress;
        sent = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) == 0;
    }
    if (sent) {
        sockaddr_in target = endpoint(group, port);
        ssize_t count = sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        sent = count == static_cast<ssize_t>(length);
    }
    if (!sent) qDebugging_Trace(qDEBUG_DISCOVERY, "discovery request not sent: error code %d", errno);
    close(fd);
    return sent;
}

int unix_discovery_Receive(int socket, uint8_t* buffer, size_t size, int timeoutMs, uint32_t* sender) {
    if (socket < 0 || buffer == nullptr) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    pollfd waiting{socket, POLLIN, 0};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int ready = poll(&waiting, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) break;
        if (ready == 0 || errno != EINTR) return -1;
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t count = recvfrom(socket, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0) return -1;
    if (sender != nullptr) *sender = from.sin_addr.s_addr;
    return static_cast<int>(count);
}

void unix_discovery_CloseSocket(int socket) {
    if (socket >= 0) close(socket);
}
