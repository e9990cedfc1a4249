#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

struct HostEnd {
    int descriptor;
    std::shared_ptr<StreamCalls> calls;
};

HostEnd* host_end(void* reference) { return static_cast<HostEnd*>(reference); }

qErr receive_result(ssize_t received) {
    if (received > 0) return qErrNone;
    if (received == 0) return qErrNotReady;  // the peer closed: nothing more will come
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? qErrNotReady : qErrIO;
}

qErr host_get(uint8_t* byte, void* reference) {
    HostEnd* end = host_end(reference);
    ++end->calls->gets;
    return receive_result(recv(end->descriptor, byte, 1, MSG_DONTWAIT));
}

qErr host_read_available(uint8_t* buffer, size_t capacity, size_t* count, void* reference) {
    HostEnd* end = host_end(reference);
    ++end->calls->bursts;
    ssize_t received = recv(end->descriptor, buffer, capacity, MSG_DONTWAIT);
    if (received > 0) *count = static_cast<size_t>(received);
    return receive_result(received);
}

qErr host_wait_readable(uint32_t timeout_ms, void* reference) {
    HostEnd* end = host_end(reference);
    ++end->calls->waits;
    pollfd waiting{end->descriptor, POLLIN, 0};
    int ready = poll(&waiting, 1, static_cast<int>(timeout_ms));
    if (ready == 0) return qErrTimeout;
    if (ready > 0 && (waiting.revents & POLLHUP) != 0) {
        // A closed peer stays readable with nothing to read: wait out the time instead.
        usleep(timeout_ms * 1000);
        return qErrTimeout;
    }
    return qErrNone;
}

qErr host_write(const uint8_t* data, size_t length, void* reference) {
    HostEnd* end = host_end(reference);
    size_t sent = 0;
    while (sent < length) {
        ssize_t written = send(end->descriptor, data + sent, length - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return qErrIO;
        sent += static_cast<size_t>(written);
    }
    return qErrNone;
}

qErr host_put(const uint8_t* byte, void* reference) { return host_write(byte, 1, reference); }

qErr host_delete(void* reference) {
    HostEnd* end = host_end(reference);
    close(end->descriptor);
    delete end;
    return qErrNone;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string bytes(const std::string& text) {
    std::string result;
    int high = -1;
    for (char c : text) {
        int digit = hex_digit(c);
        if (digit < 0) continue;
        if (high < 0) {
            high = digit;
        } else {
            result.push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    return result;
}

std::string repeated(const std::string& part, size_t count) {
    std::string result;
    for (size_t i = 0; i < count; ++i) result += part;
    return result;
}

std::string hex(const std::string& data) {
    std::string text;
    char pair[4];
    for (unsigned char c : data) {
        snprintf(pair, sizeof pair, "%02X ", c);
        text += pair;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

ScriptedPeer::ScriptedPeer(const SocketPairOptions& options) : calls_(std::make_shared<StreamCalls>()) {
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    peer_ = ends[1];
    auto* end = new HostEnd{ends[0], calls_};
    host_ = qStream_Create(host_get, host_put, host_write, host_delete, end);
    qStream_SetReadyOperations(host_, options.burst_reads ? host_read_available : nullptr,
                               options.readiness_wait ? host_wait_readable : nullptr);
}

ScriptedPeer::~ScriptedPeer() {
    if (host_ != nullptr) qStream_Destroy(&host_);
    close_peer();
}

std::unique_ptr<ScriptedPeer> ScriptedPeer::adopt(int descriptor) {
    auto peer = std::make_unique<ScriptedPeer>();
    if (peer->host_ != nullptr) qStream_Destroy(&peer->host_);
    peer->close_peer();
    peer->peer_ = descriptor;
    return peer;
}

qStream* ScriptedPeer::take_host_stream() {
    qStream* taken = host_;
    host_ = nullptr;
    return taken;
}

void ScriptedPeer::send(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t written = ::send(peer_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        // A pseudo-terminal is no socket.
        if (written < 0 && errno == ENOTSOCK) written = write(peer_, data.data() + sent, data.size() - sent);
        if (written <= 0) return;
        sent += static_cast<size_t>(written);
    }
}

std::string ScriptedPeer::receive(size_t count, std::chrono::milliseconds timeout) {
    std::string received;
    auto deadline = Clock::now() + timeout;
    while (received.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd waiting{peer_, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left)) != 1) break;
        char buffer[4096];
        ssize_t got = read(peer_, buffer, std::min(sizeof buffer, count - received.size()));
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

std::string ScriptedPeer::receive_until_quiet(std::chrono::milliseconds quiet) {
    std::string received;
    for (;;) {
        pollfd waiting{peer_, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(quiet.count())) != 1) break;
        char buffer[4096];
        ssize_t got = read(peer_, buffer, sizeof buffer);
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

std::string ScriptedPeer::expect(const std::string& expected, std::chrono::milliseconds timeout) {
    std::string got = receive(expected.size(), timeout);
    if (got == expected) return "";
    return "host sent [" + hex(got) + "], expected [" + hex(expected) + "]";
}

std::string ScriptedPeer::play(const std::vector<Step>& script) {
    for (size_t i = 0; i < script.size(); ++i) {
        const Step& step = script[i];
        if (step.direction == Direction::PeerSends) {
            send(step.data);
            continue;
        }
        std::string failure = expect(step.data);
        if (!failure.empty()) return "step " + std::to_string(i) + ": " + failure;
    }
    return "";
}

void ScriptedPeer::close_peer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
}

LoopbackListener::LoopbackListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 4);
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (listener_ >= 0) close(listener_);
}

std::unique_ptr<ScriptedPeer> LoopbackListener::accept_peer(std::chrono::milliseconds timeout) {
    int connection = accept_descriptor(timeout);
    return connection < 0 ? nullptr : ScriptedPeer::adopt(connection);
}

int LoopbackListener::accept_descriptor(std::chrono::milliseconds timeout) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) return -1;
    return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
}

uint32_t loopback_address() { return htonl(INADDR_LOOPBACK); }

}  // namespace test_support
