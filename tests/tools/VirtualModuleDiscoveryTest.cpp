// The virtual module's Ethernet discovery answer, inside a private network namespace: a request to
// the discovery group through the chosen interface is answered on UDP 9889 with 16 bytes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ByteText.h"
#include "PrivateNetwork.h"
#include "VirtualModuleProcess.h"

using test_support::Bytes;
using test_support::text_of;
using test_support::VirtualModuleProcess;

namespace {

constexpr const char* kHostAddress = "10.77.0.1";
constexpr const char* kPeerAddress = "10.77.0.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr int kReplyWaitMs = 2000;
constexpr int kQuietWaitMs = 300;

class UdpSocket {
public:
    UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    ~UdpSocket() { ::close(fd_); }
    int fd() const { return fd_; }

private:
    int fd_;
};

sockaddr_in endpoint(const char* address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

// Sends one datagram to the discovery group, out through the interface with this address.
void send_to_group(const Bytes& datagram, const char* interface_address) {
    UdpSocket sender;
    in_addr interface{};
    inet_pton(AF_INET, interface_address, &interface);
    setsockopt(sender.fd(), IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
    sockaddr_in group = endpoint("232.2.2.2", kRequestPort);
    ASSERT_EQ(::sendto(sender.fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
              static_cast<ssize_t>(datagram.size()));
}

Bytes receive(int fd, int timeout_ms) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, timeout_ms) <= 0) return {};
    uint8_t buffer[64];
    ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    return count > 0 ? Bytes(buffer, buffer + count) : Bytes{};
}

}  // namespace

TEST(VirtualModuleDiscovery, RequestThroughTheChosenInterfaceIsAnsweredOnTheReplyPort) {
    std::string problem = test_support::enter_private_network();
    if (!problem.empty()) GTEST_SKIP() << "no private network namespace (" << problem << "): nothing may reach a real network";
    test_support::add_veth_pair({"vm0", kHostAddress, "vm1", kPeerAddress});

    for (const char* interface : {"vm0", kHostAddress}) {  // by name and by address
        SCOPED_TRACE(interface);
        VirtualModuleProcess module({"--tcp", "127.0.0.1:0", "--discovery", interface, "--address", "6", "--serial",
                                     "40F5849A", "--model", "19", "--trace"});
        EXPECT_EQ(module.output_lines().at(1), std::string("discovery ") + interface + " 9888");
        UdpSocket replies;
        sockaddr_in any = endpoint("0.0.0.0", kReplyPort);
        ASSERT_EQ(::bind(replies.fd(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);

        Bytes not_a_request(16, 0);
        send_to_group(not_a_request, kHostAddress);
        EXPECT_EQ(text_of(receive(replies.fd(), kQuietWaitMs)), "") << "a datagram whose first byte is not 1";

        Bytes request(16, 0);
        request[0] = 1;
        send_to_group(request, kHostAddress);
        uint16_t port = module.tcp_port();
        char expected[80];
        std::snprintf(expected, sizeof expected, "02 06 %02X %02X 9A 84 F5 40 00 00 00 00 13 00 00 00", port & 0xFF, port >> 8);
        EXPECT_EQ(text_of(receive(replies.fd(), kReplyWaitMs)), expected);
        EXPECT_EQ(text_of(receive(replies.fd(), kQuietWaitMs)), "") << "one answer per request";
    }
}
