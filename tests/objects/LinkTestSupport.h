// Links to the two kinds of far end the object-layer tests use: a scripted peer over TCP, which
// checks the exact bytes the host sends and answers what the test says, and the virtual module.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Link.h"
#include "PeerLink.h"
#include "ScriptedPeer.h"
#include "VirtualModuleProcess.h"
#include "qModuleContract.h"

namespace link_test {

using Tolveric::Lumenvane::Link;
using Tolveric::Lumenvane::qEtherConfig;

inline linkSpec tcp_spec(uint16_t port, uint32_t address = test_support::loopback_address()) {
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.transport.ip.address = address;
    spec.transport.ip.port = port;
    return spec;
}

inline linkSpec usb_spec(uint32_t serialNumber) {
    linkSpec spec{};
    spec.type = linkTypeUSB;
    spec.serialNumber = serialNumber;
    spec.transport.usb.serialNumber = serialNumber;
    return spec;
}

// Steps of a scripted exchange, written as hexadecimal text.
inline test_support::ScriptedPeer::Step host(const std::string& wire) {
    return {test_support::ScriptedPeer::Direction::HostSends, test_support::bytes(wire)};
}
inline test_support::ScriptedPeer::Step module(const std::string& wire) {
    return {test_support::ScriptedPeer::Direction::PeerSends, test_support::bytes(wire)};
}

// A connected Link whose far end is played by the test.
struct ScriptedModule {
    test_support::LoopbackListener listener;
    Link link{tcp_spec(listener.port()), "scripted"};
    std::unique_ptr<test_support::ScriptedPeer> peer;

    ScriptedModule() {
        if (link.connect() != qErrNone) return;
        peer = listener.accept_peer();
        // A started link announces itself with a force-route 1.
        if (peer && !peer->expect(test_support::force_route_on()).empty()) peer.reset();
    }
    bool ready() const { return peer != nullptr && link.isConnected(); }
};

// A connected Link to a virtual module (address 2 unless the arguments say otherwise).
struct VirtualModuleLink {
    test_support::VirtualModuleProcess module;
    Link link;

    explicit VirtualModuleLink(std::vector<std::string> arguments = {})
        : module(with_tcp(std::move(arguments))), link(tcp_spec(module.tcp_port()), "virtual") {}

    static std::vector<std::string> with_tcp(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--tcp", "127.0.0.1:0"});
        return arguments;
    }
};

constexpr uint8_t MODULE = 2;            // the virtual module's default address
constexpr uint8_t cmdSIGNAL = 0x70;      // the virtual module's signal entity
constexpr uint8_t SIGNAL_BYTE = 1;       // options of the signal entity: 8, 16 and 32 bits,
constexpr uint8_t SIGNAL_SHORT = 2;      // then the same with four sub-indices
constexpr uint8_t SIGNAL_INT = 3;
constexpr uint8_t SIGNAL_BYTE_SUBINDEX = 4;
constexpr uint8_t SIGNAL_SHORT_SUBINDEX = 5;
constexpr uint8_t SIGNAL_INT_SUBINDEX = 6;

inline uei message(uint8_t command, uint8_t option, uint8_t specifier, int type = ueiTypeVoid, uint32_t value = 0) {
    uei record{};
    record.module = MODULE;
    record.command = command;
    record.option = option;
    record.specifier = specifier;
    record.type = type;
    if (type == ueiTypeByte) record.value.byteVal = static_cast<uint8_t>(value);
    if (type == ueiTypeShort) record.value.shortVal = static_cast<uint16_t>(value);
    if (type == ueiTypeInt) record.value.intVal = value;
    return record;
}

// A set (or call) of option `option` of entity (command, index 0) as an entity does it: the
// request, then the acknowledgement. Returns the link's result, or the module's error code.
inline qErr set_option(Link& link, uint8_t command, uint8_t option, int type, uint32_t value) {
    qErr result = link.sendUEI(message(command, qUEI_OPERATION_SET | option, qUEI_INDEX_REQUEST, type, value));
    if (result != qErrNone) return result;
    uei reply = message(command, qUEI_OPERATION_ACK | option, 0);
    result = link.receiveUEI(MODULE, reply.command, reply.option, reply.specifier, &reply);
    if (result != qErrNone) return result;
    return (reply.specifier & qUEI_INDEX_ERROR) ? static_cast<qErr>(reply.value.byteVal) : qErrNone;
}

// A get as an entity does it; the reply record (kind and value) comes back in *reply.
inline qErr get_option(Link& link, uint8_t command, uint8_t option, uei* reply) {
    qErr result = link.sendUEI(message(command, qUEI_OPERATION_GET | option, qUEI_INDEX_REQUEST));
    if (result != qErrNone) return result;
    *reply = message(command, option, 0);
    return link.receiveUEI(MODULE, command, option, 0, reply);
}

}  // namespace link_test
