#include "DiscoveryResponder.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "SystemError.h"

namespace virtual_module {

namespace {

constexpr size_t kLargestRequest = 1500;
constexpr const char* kTraceName = "discovery";

}  // namespace

DiscoveryResponder::DiscoveryResponder(const std::string& interface, const DiscoveryAnswer& answer) : answer_(answer) {
    ip_mreqn membership{};
    inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
    if (inet_pton(AF_INET, interface.c_str(), &membership.imr_address) != 1) {
        unsigned index = if_nametoindex(interface.c_str());
        if (index == 0) throw std::runtime_error("unknown discovery interface " + interface);
        membership.imr_ifindex = static_cast<int>(index);
    }

    socket_ = FileDescriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_.valid()) throw system_error("cannot make a UDP socket");
    // Several modules on one host all answer: each binds the request port with address reuse.
    int on = 1;
    setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryRequestPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        throw system_error("cannot bind UDP port " + std::to_string(kDiscoveryRequestPort));
    }
    if (setsockopt(socket_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        throw system_error(std::string("cannot join ") + kDiscoveryGroup + " on " + interface);
    }
}

void DiscoveryResponder::take_waiting_requests(const TraceLog& log, bool answer) {
    uint8_t request[kLargestRequest];
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t count = ::recvfrom(socket_.get(), request, sizeof request, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) return;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
        if (!is_discovery_request(request, static_cast<size_t>(count))) {
            if (log.packets()) log.line(kTraceName, std::string("-- datagram from ") + text + " is no request");
            continue;
        }
        if (!answer) {
            if (log.packets()) log.line(kTraceName, std::string("-- request from ") + text + " unanswered: the module is away");
            continue;
        }
        auto reply = discovery_reply(answer_);
        sockaddr_in destination = sender;
        destination.sin_port = htons(kDiscoveryReplyPort);
        ssize_t sent = ::sendto(socket_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                                sizeof destination);
        if (log.packets()) {
            log.line(kTraceName, std::string(sent == static_cast<ssize_t>(reply.size()) ? "-- answered " : "-- could not answer ") +
                                     text + ":" + std::to_string(kDiscoveryReplyPort));
        }
    }
}

}  // namespace virtual_module
