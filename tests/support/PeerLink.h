// A link over a scripted peer, made with qLink_Create and destroyed with the object, and the
// byte sequences every link test meets.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "ScriptedPeer.h"
#include "qLink.h"

namespace test_support {

inline std::string force_route_on() { return bytes("AF 01 01"); }
inline std::string force_route_off() { return bytes("AF 01 00"); }
// One round of synchronisation requests: six zero-length packets to address 0xAD.
inline std::string sync_round() { return repeated(bytes("AD 00"), 6); }

// Polls the link's status until it is `status` or the time is up.
inline bool status_becomes(qLinkID id, int status,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (qLink_GetStatus(id) != status) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class PeerLink {
public:
    explicit PeerLink(const SocketPairOptions& options = {}) : peer(options) {
        id = qLink_Create(peer.take_host_stream());
        // A started link announces itself with a force-route 1.
        if (id != 0) start_failure = peer.expect(force_route_on());
    }
    ~PeerLink() {
        if (id != 0) qLink_Destroy(&id);
    }
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    bool started() const { return id != 0 && start_failure.empty(); }

    // Breaks the packet framing with an odd address byte and checks that a sync round goes out.
    std::string start_synchronising() {
        peer.send(bytes("05"));
        return peer.expect(sync_round());
    }

    ScriptedPeer peer;
    qLinkID id = 0;
    std::string start_failure = "no link";
};

}  // namespace test_support
