// A stand-in for the host at the byte level: it sends raw bytes to a module over TCP or a serial
// port (a pseudo-terminal) and reads what comes back, with bounded waits. It knows nothing of
// packets, so it checks a module without trusting the host library.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteText.h"

namespace test_support {

class HostPeer {
public:
    static HostPeer connect_tcp(uint16_t port, const std::string& address = "127.0.0.1");
    // Opens a serial device (the slave of a pseudo-terminal) in raw mode.
    static HostPeer open_serial(const std::string& path);

    HostPeer(HostPeer&& other) noexcept;
    HostPeer& operator=(HostPeer&& other) noexcept;
    ~HostPeer();

    void send(const Bytes& bytes);
    void send(const std::string& text) { send(bytes_of(text)); }
    // Exactly count bytes, or what arrived before the time ran out or the other end closed.
    Bytes read(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // Whatever arrives within the wait.
    Bytes read_for(std::chrono::milliseconds wait);
    // True when the other end closes (or hangs up) within the time.
    bool closed_within(std::chrono::milliseconds timeout);

private:
    explicit HostPeer(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// One step of a scripted exchange: what the host sends, and the pattern of what the module
// answers (empty: nothing, which the next step or the final check then proves).
struct Exchange {
    std::string what;
    std::string host_sends;
    std::string module_answers;
};

// Runs the steps in order with gtest expectations, then checks that nothing more arrives.
void expect_exchanges(HostPeer& peer, const std::vector<Exchange>& steps);

}  // namespace test_support
