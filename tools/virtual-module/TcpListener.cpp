#include "TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "SystemError.h"

namespace virtual_module {

namespace {

constexpr int kListenBacklog = 8;

}  // namespace

TcpListener::TcpListener(const TcpEndpoint& endpoint) : address_(endpoint.address) {
    socket_ = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_.valid()) throw system_error("cannot make a TCP socket");
    int on = 1;
    setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    inet_pton(AF_INET, endpoint.address.c_str(), &address.sin_addr);
    std::string where = endpoint.address + ":" + std::to_string(endpoint.port);
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw system_error("cannot listen on " + where);
    }
    if (::listen(socket_.get(), kListenBacklog) != 0) throw system_error("cannot listen on " + where);
    socklen_t length = sizeof address;
    getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

FileDescriptor TcpListener::accept(std::string& peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    FileDescriptor connection(
        ::accept4(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!connection.valid()) return connection;
    int on = 1;
    setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // packets are tiny; send at once
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    peer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
    return connection;
}

}  // namespace virtual_module
