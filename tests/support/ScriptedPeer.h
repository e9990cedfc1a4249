// A module's side of a link, played by the test over a socket pair: the host end is a qStream
// for qLink_Create, the peer end a descriptor the test writes answers to and reads the host's
// bytes from. Scripts are tables of steps ("host sends X", "peer answers Y").
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "qStream.h"

namespace test_support {

// Bytes from text of hexadecimal pairs: bytes("AD 00 04 02") is "\xAD\x00\x04\x02".
std::string bytes(const std::string& hex);
// The bytes `count` times over.
std::string repeated(const std::string& part, size_t count);
// Text of hexadecimal pairs for failure messages.
std::string hex(const std::string& data);

// What the host-side stream has been asked, counted for tests of the reader's pacing.
struct StreamCalls {
    std::atomic<int> gets{0};
    std::atomic<int> bursts{0};
    std::atomic<int> waits{0};
};

struct SocketPairOptions {
    bool burst_reads = true;      // offer qStream_ReadAvailable's burst operation
    bool readiness_wait = true;   // offer qStream_WaitReadable
};

class ScriptedPeer {
public:
    enum class Direction { HostSends, PeerSends };
    struct Step {
        Direction direction;
        std::string data;
    };

    explicit ScriptedPeer(const SocketPairOptions& options = {});
    // Plays the peer on a connection the test already has (an accepted TCP connection, a
    // pseudo-terminal's controller side); takes the descriptor. There is no host stream.
    static std::unique_ptr<ScriptedPeer> adopt(int descriptor);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // The host end, once; whoever takes it owns it (qLink_Create does).
    qStream* take_host_stream();
    const StreamCalls& calls() const { return *calls_; }

    void send(const std::string& data);
    // Up to `count` bytes from the host, waiting at most `timeout` for them all.
    std::string receive(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // Everything the host sends within `quiet` of silence after the last byte.
    std::string receive_until_quiet(std::chrono::milliseconds quiet);
    // Gtest-friendly: empty when the host sent exactly `expected` next, else a description.
    std::string expect(const std::string& expected, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // Runs the steps in order; empty on success, else what went wrong at which step.
    std::string play(const std::vector<Step>& script);
    // Closes the peer end: the host sees the connection end.
    void close_peer();

private:
    int peer_ = -1;
    qStream* host_ = nullptr;
    std::shared_ptr<StreamCalls> calls_;
};

// A TCP listener on 127.0.0.1 with a port of the system's choosing, for TCP/IP links.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    uint16_t port() const { return port_; }
    // The next connection as a peer, waiting at most `timeout`; none when nobody connected.
    std::unique_ptr<ScriptedPeer> accept_peer(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // The same as a bare descriptor that the caller closes; -1 when nobody connected.
    int accept_descriptor(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

private:
    int listener_ = -1;
    uint16_t port_ = 0;
};

// 127.0.0.1 as a link takes it: 32 bits in network byte order.
uint32_t loopback_address();

}  // namespace test_support
