// One host link to a module, whatever carries its bytes (TCP, a pseudo-terminal, an emulated USB
// device): bytes from the host go in, the module's bytes come out when they are due. The link cuts
// the byte stream into packets, answers synchronisation requests and address queries, ignores
// force-route packets, runs the heartbeats, hands everything else to the module and sends stream
// samples. Packets addressed to a module behind the router on its I2C bus go to that module, which
// answers from its own address over this same link; it keeps its own per-link state here. No sockets and no clock of its own: the transport passes the time in and asks
// next_deadline() when to call tick() again.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "Heartbeat.h"
#include "LinkObserver.h"
#include "LinkState.h"
#include "Module.h"
#include "Packet.h"

namespace virtual_module {

constexpr uint8_t kSyncAddress = 0xAD;        // length 0: synchronisation request or address query
constexpr uint8_t kForceRouteAddress = 0xAF;  // length 1: route value; nothing is answered
constexpr std::chrono::milliseconds kStreamCheckInterval{100};
// The last guard against a host that sends and never reads; transports stop reading from a host
// well before this (see kInputPauseBytes in the program), so nothing is dropped in practice.
constexpr size_t kMaxQueuedOutputBytes = 64 * 1024;

// Misbehaviour on request, for tests of the host's error paths.
struct LinkFaults {
    bool silent_to_sync = false;             // no answer to sync requests and address queries
    std::chrono::milliseconds reply_delay{0};  // every answer to the host waits this long
    uint64_t drop_after_packets = 0;         // the link ends when this packet arrives (0: never)
};

enum class LinkEnd {
    Open,
    Dropped,    // end the connection now, unsent bytes and all
    Restarted,  // the module restarted: end the connection once the output is sent
};

class ModuleLink {
public:
    ModuleLink(Module& module, const LinkFaults& faults, TimePoint now, LinkObserver* observer = nullptr);

    void receive(const uint8_t* bytes, size_t count, TimePoint now);
    void tick(TimePoint now);
    // The bytes of every queued packet that is due, whole packets back to back.
    std::vector<uint8_t> take_output(TimePoint now);
    // When tick() or take_output() next has something to do. A transport that cannot take output
    // now (its own buffer is full) leaves the output out, or it would wake at once and again.
    std::optional<TimePoint> next_deadline(bool output_can_be_taken = true) const;

    LinkEnd end() const;
    bool output_pending() const { return !output_.empty(); }
    size_t queued_output_bytes() const { return queued_bytes_; }
    const LinkState& state() const { return state_; }
    const HeartbeatMonitor& heartbeat() const { return heartbeat_; }
    size_t framing_errors() const { return reader_.framing_errors(); }

private:
    struct QueuedPacket {
        Packet packet;
        TimePoint due;
    };
    // What a routed module remembers about this link; it starts over when that module restarts.
    struct RoutedLinkState {
        LinkState state;
        uint64_t module_generation = 0;
    };

    void handle(const Packet& packet, TimePoint now);
    void handle_routed(Module& routed, const Packet& packet, TimePoint now);
    void answer(Module& module, LinkState& state, const Packet& packet, TimePoint now);
    LinkState& routed_state(Module& routed);
    bool streaming() const;
    void send_heartbeat_if_due(TimePoint now);
    void collect_samples(TimePoint now, TimePoint due);
    void queue(Packet packet, TimePoint due);
    void note(const std::string& text) const;

    Module& module_;
    LinkFaults faults_;
    LinkObserver* observer_;
    PacketReader reader_;
    LinkState state_;
    std::map<uint8_t, RoutedLinkState> routed_states_;  // by routed module address
    HeartbeatMonitor heartbeat_;
    std::deque<QueuedPacket> output_;
    size_t queued_bytes_ = 0;
    uint64_t packets_received_ = 0;
    bool dropped_ = false;
    uint64_t module_generation_;
    TimePoint next_stream_check_;
};

}  // namespace virtual_module
