#include "UdpResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "linkSpec.h"

namespace test_support {

namespace {

in_addr ipv4(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) throw std::runtime_error("not an IPv4 address: " + text);
    return address;
}

std::runtime_error failure(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

UdpResponder::UdpResponder(uint16_t port, const std::string& group, const std::vector<std::string>& interfaces,
                           Answering answering)
    : answering_(std::move(answering)) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) throw failure("socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(socket_);
        throw failure("bind UDP port " + std::to_string(port));
    }
    for (const std::string& interface : interfaces) {
        ip_mreq membership{ipv4(group), ipv4(interface)};
        if (setsockopt(socket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
            ::close(socket_);
            throw failure("join " + group + " on " + interface);
        }
    }
    if (!interfaces.empty()) {
        in_addr out = ipv4(interfaces.front());
        setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(socket_);
        throw failure("pipe");
    }
    thread_ = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder() {
    ssize_t ignored = ::write(wake_[1], "x", 1);
    (void)ignored;
    thread_.join();
    for (int descriptor : {socket_, wake_[0], wake_[1]}) ::close(descriptor);
}

std::vector<UdpDatagram> UdpResponder::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void UdpResponder::run() {
    pollfd watched[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) return;
        if (watched[1].revents != 0) return;
        if (watched[0].revents == 0) continue;
        uint8_t buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t count = ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
        UdpDatagram request{Bytes(buffer, buffer + count), text, ntohs(sender.sin_port)};
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        for (const UdpDatagram& answer : answering_(request)) {
            sockaddr_in destination{};
            destination.sin_family = AF_INET;
            destination.sin_port = htons(answer.port);
            if (inet_pton(AF_INET, answer.address.c_str(), &destination.sin_addr) != 1) continue;
            ::sendto(socket_, answer.bytes.data(), answer.bytes.size(), 0, reinterpret_cast<sockaddr*>(&destination),
                     sizeof destination);
        }
    }
}

Bytes sharing_server_record(uint32_t serial_number, const std::string& address, uint16_t port) {
    linkSpec spec{};
    spec.type = linkTypeQEther;
    spec.serialNumber = serial_number;
    spec.transport.ip.address = ipv4(address).s_addr;
    spec.transport.ip.port = port;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
    return Bytes(bytes, bytes + sizeof spec);
}

}  // namespace test_support
