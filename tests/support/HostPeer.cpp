#include "HostPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

namespace test_support {

namespace {

constexpr std::chrono::milliseconds kQuietTime{100};  // how long "nothing more" is waited for

std::runtime_error failure(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

HostPeer HostPeer::connect_tcp(uint16_t port, const std::string& address) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw failure("socket");
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        throw failure("connect to " + address + ":" + std::to_string(port));
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return HostPeer(fd);
}

HostPeer HostPeer::open_serial(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw failure("open " + path);
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return HostPeer(fd);
}

HostPeer::HostPeer(HostPeer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

HostPeer& HostPeer::operator=(HostPeer&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

HostPeer::~HostPeer() {
    if (fd_ >= 0) ::close(fd_);
}

void HostPeer::send(const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t count = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) throw failure("write");
        sent += static_cast<size_t>(count);
    }
}

Bytes HostPeer::read(size_t count, std::chrono::milliseconds timeout) {
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) break;
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buffer[512];
        ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

Bytes HostPeer::read_for(std::chrono::milliseconds wait) {
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buffer[512];
        ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

bool HostPeer::closed_within(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return false;
        pollfd watched{fd_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) return false;
        uint8_t buffer[512];
        ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

void expect_exchanges(HostPeer& peer, const std::vector<Exchange>& steps) {
    for (const Exchange& step : steps) {
        SCOPED_TRACE(step.what);
        peer.send(step.host_sends);
        BytePattern expected(step.module_answers);
        if (expected.size() == 0) continue;
        Bytes answer = peer.read(expected.size());
        EXPECT_TRUE(expected.matches(answer)) << "sent     " << step.host_sends << "\nexpected " << expected.text()
                                              << "\nreceived " << text_of(answer);
    }
    Bytes stray = peer.read_for(kQuietTime);
    EXPECT_TRUE(stray.empty()) << "unexpected bytes after the exchange: " << text_of(stray);
}

}  // namespace test_support
