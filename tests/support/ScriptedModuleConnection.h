// A Module connected over TCP to a far end that the test plays byte for byte, and a helper that
// runs one operation while the far end checks the request and answers it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <string>

#include "Module.h"
#include "PeerLink.h"
#include "ScriptedPeer.h"

namespace test_support {

inline linkSpec loopback_tcp_spec(uint16_t port) {
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.transport.ip.address = loopback_address();
    spec.transport.ip.port = port;
    return spec;
}

// Networking mode is off, so connecting sends nothing but the link's own start.
struct ScriptedModuleConnection {
    LoopbackListener listener;
    Tolveric::Lumenvane::Module module;
    std::unique_ptr<ScriptedPeer> peer;

    explicit ScriptedModuleConnection(uint8_t address = 6) : module(address, false, 0) {
        if (module.connectFromSpec(loopback_tcp_spec(listener.port())) != qErrNone) return;
        peer = listener.accept_peer();
        // A started link announces itself with a force-route 1.
        if (peer && !peer->expect(force_route_on()).empty()) peer.reset();
    }
    bool ready() const { return peer != nullptr && module.isConnected(); }

    // Runs `call` while the far end expects `request` and then sends `reply` (hexadecimal text;
    // empty: no answer). Returns the call's result.
    qErr exchange(const std::function<qErr()>& call, const std::string& request, const std::string& reply) {
        auto running = std::async(std::launch::async, call);
        EXPECT_EQ(peer->expect(bytes(request)), "") << "request " << request;
        if (!reply.empty()) peer->send(bytes(reply));
        return running.get();
    }
};

}  // namespace test_support
