// The TCP side of an Ethernet module: a listening socket whose connections each become a link.
#pragma once

#include <cstdint>
#include <string>

#include "FileDescriptor.h"
#include "Options.h"

namespace virtual_module {

class TcpListener {
public:
    // Listens on the endpoint; throws std::runtime_error when it cannot.
    explicit TcpListener(const TcpEndpoint& endpoint);

    int fd() const { return socket_.get(); }
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }

    // The next waiting connection, non-blocking and without send delay; invalid when none waits.
    FileDescriptor accept(std::string& peer);

private:
    FileDescriptor socket_;
    std::string address_;
    uint16_t port_ = 0;
};

}  // namespace virtual_module
