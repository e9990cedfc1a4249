// A bare TCP connection to a module on the loopback, for measuring the raw round trip that the
// link's figures are set against: no link engine, just the request bytes and the reply bytes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

class BareSocket {
public:
    // Connects to 127.0.0.1:port with Nagle off and a 1 s bound on every receive.
    explicit BareSocket(uint16_t port) {
        descriptor_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor_ < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        timeval bound{1, 0};
        setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        connected_ = connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BareSocket() {
        if (descriptor_ >= 0) close(descriptor_);
    }
    BareSocket(const BareSocket&) = delete;
    BareSocket& operator=(const BareSocket&) = delete;

    bool connected() const { return connected_; }

    // Sends the request whole, then reads exactly `reply_length` bytes; false on any shortfall.
    bool exchange(const uint8_t* request, size_t request_length, uint8_t* reply, size_t reply_length) {
        if (!connected_) return false;
        if (send(descriptor_, request, request_length, MSG_NOSIGNAL) != static_cast<ssize_t>(request_length)) {
            return false;
        }
        size_t received = 0;
        while (received < reply_length) {
            ssize_t got = recv(descriptor_, reply + received, reply_length - received, 0);
            if (got <= 0) return false;
            received += static_cast<size_t>(got);
        }
        return true;
    }

private:
    int descriptor_ = -1;
    bool connected_ = false;
};
