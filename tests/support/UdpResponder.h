// A stand-in peer for the discovery tests: a UDP socket that holds a port (bound without address
// reuse, as a sharing server holds its port), joins a multicast group on chosen interfaces and
// answers every datagram from a thread of its own. What it received, and from where, is kept.
// Use it only inside a private network (PrivateNetwork.h).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ByteText.h"

namespace test_support {

struct UdpDatagram {
    Bytes bytes;
    std::string address;  // dotted IPv4: the sender of a request, the destination of an answer
    uint16_t port = 0;
};

class UdpResponder {
public:
    // The answers to one request (none: silence), each with its destination.
    using Answering = std::function<std::vector<UdpDatagram>(const UdpDatagram& request)>;

    // Binds the port on all addresses and joins `group` on each interface address; multicast
    // answers go out through the first of them. Throws std::runtime_error when it cannot.
    UdpResponder(uint16_t port, const std::string& group, const std::vector<std::string>& interfaces,
                 Answering answering);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    std::vector<UdpDatagram> requests() const;

private:
    void run();

    int socket_ = -1;
    int wake_[2] = {-1, -1};
    Answering answering_;
    mutable std::mutex mutex_;
    std::vector<UdpDatagram> requests_;
    std::thread thread_;
};

// A 128-byte link record as a sharing server reports it: its module's serial number, the
// server's address and port.
Bytes sharing_server_record(uint32_t serial_number, const std::string& address, uint16_t port);

}  // namespace test_support
