// Links from creation to destruction: the table, use counts, start and stop, reset, and the
// module identification queries.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>

#include "PeerLink.h"
#include "qLinkManagerInternal.h"

using namespace std::chrono_literals;
using namespace test_support;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<int> broken_streams_deleted{0};

qErr broken_get(uint8_t*, void*) { return qErrIO; }
qErr broken_write(const uint8_t*, size_t, void*) { return qErrIO; }
qErr broken_delete(void*) {
    ++broken_streams_deleted;
    return qErrNone;
}

struct PacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<qPacket, PacketDeleter>;

Packet make_packet(const std::string& wire) {
    return Packet(qPacket_CreateWithData(static_cast<uint8_t>(wire[0]), static_cast<uint8_t>(wire[1]),
                                         reinterpret_cast<const uint8_t*>(wire.data()) + 2));
}

bool accept_all(const qPacket*, void*) { return true; }

// A TCP/IP link to the listener and the peer at its far end, which has seen the start's
// force-route 1; id 0 or no peer when that did not work.
struct TcpLink {
    qLinkID id = 0;
    std::unique_ptr<ScriptedPeer> peer;
};

TcpLink open_tcp_link(LoopbackListener& listener) {
    TcpLink link;
    link.id = qLink_CreateTCPIP(loopback_address(), listener.port());
    if (link.id != 0) link.peer = listener.accept_peer();
    if (link.peer != nullptr && !link.peer->expect(force_route_on()).empty()) link.peer.reset();
    return link;
}

}  // namespace

TEST(LinkLifecycle, StartAnnouncesTheLinkAndStopSendsWhatIsQueuedThenForceRouteOff) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusRunning);

    Packet request = make_packet(bytes("04 03 01 02 03"));
    ASSERT_EQ(qLink_PutPacket(link.id, request.get()), qErrNone);
    qLinkID id = link.id;
    EXPECT_EQ(qLink_Destroy(&link.id), qErrNone);
    EXPECT_EQ(link.id, 0u);
    EXPECT_EQ(link.peer.expect(bytes("04 03 01 02 03") + force_route_off()), "");
    EXPECT_EQ(link.peer.receive_until_quiet(20ms), "");
    EXPECT_EQ(qLink_GetStatus(id), qLinkStatusNoStream);
    EXPECT_EQ(qLink_Destroy(&id), qErrParam);
}

TEST(LinkLifecycle, UnknownIdsAreRefusedAndIdsAreNeverReused) {
    const qLinkID unknown = 0xFFFFFF00;
    qLinkID id = unknown;
    EXPECT_EQ(qLink_GetStatus(unknown), qLinkStatusNoStream);
    EXPECT_EQ(qLink_Destroy(&id), qErrParam);
    EXPECT_EQ(id, 0u);
    Packet packet = make_packet(bytes("04 00"));
    EXPECT_EQ(qLink_PutPacket(unknown, packet.get()), qErrParam);
    EXPECT_EQ(qLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(qLink_AwaitPacket(unknown, 10), nullptr);
    EXPECT_EQ(qLink_AwaitFirst(unknown, accept_all, nullptr, 10), nullptr);
    EXPECT_EQ(qLink_DrainPackets(unknown, accept_all, nullptr), 0u);
    EXPECT_EQ(qLink_InstallUserPacketFilter(unknown, accept_all, nullptr), qErrParam);
    EXPECT_EQ(qLink_EnablePooledPackets(unknown, true), qErrParam);
    EXPECT_EQ(qLink_Reset(unknown), qErrParam);
    EXPECT_EQ(qLink_CreateServer(1, nullptr, nullptr, false), 0u);
    EXPECT_EQ(qLink_CreateClient(1, 1, 0), 0u);

    qLinkID first = 0;
    {
        PeerLink link;
        ASSERT_TRUE(link.started()) << link.start_failure;
        first = link.id;
        EXPECT_EQ(qLink_PutPacket(link.id, nullptr), qErrParam);
    }
    PeerLink second;
    ASSERT_TRUE(second.started()) << second.start_failure;
    EXPECT_GT(second.id, first);
}

TEST(LinkLifecycle, LinksToOneModuleShareOneLinkUntilTheLastUseEnds) {
    LoopbackListener listener;
    auto [first, peer] = open_tcp_link(listener);
    ASSERT_NE(first, 0u);
    ASSERT_NE(peer, nullptr);

    qLinkID second = qLink_CreateTCPIP(loopback_address(), listener.port());
    EXPECT_EQ(second, first);
    EXPECT_EQ(listener.accept_peer(50ms), nullptr);  // no second connection

    EXPECT_EQ(qLink_Destroy(&first), qErrNone);
    EXPECT_EQ(qLink_GetStatus(second), qLinkStatusRunning);
    peer->send(bytes("04 02 00 00"));
    EXPECT_EQ(peer->expect(bytes("04 02 00 02")), "");  // still served, no force-route 0

    qLinkID last = second;
    EXPECT_EQ(qLink_Destroy(&second), qErrNone);
    EXPECT_EQ(peer->expect(force_route_off()), "");
    EXPECT_EQ(qLink_GetStatus(last), qLinkStatusNoStream);
    EXPECT_EQ(sLookupEntryByIdentifier(loopback_address()), nullptr);
}

TEST(LinkLifecycle, ModulesOnOneAddressWithOtherPortsGetLinksOfTheirOwn) {
    LoopbackListener first_module;
    LoopbackListener second_module;
    auto [first, first_peer] = open_tcp_link(first_module);
    auto [second, second_peer] = open_tcp_link(second_module);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    ASSERT_NE(second_peer, nullptr);
    EXPECT_EQ(qLink_Destroy(&first), qErrNone);
    EXPECT_EQ(qLink_GetStatus(second), qLinkStatusRunning);
    EXPECT_EQ(qLink_Destroy(&second), qErrNone);
}

TEST(LinkLifecycle, LinksThatCannotConnectLeaveNothingBehind) {
    uint16_t closed_port;
    {
        LoopbackListener gone;
        closed_port = gone.port();
    }
    EXPECT_EQ(qLink_CreateTCPIP(loopback_address(), closed_port), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(loopback_address()), nullptr);

    const uint32_t serial_identifier = 0x5E71A100;
    EXPECT_EQ(qLink_CreateSerial(serial_identifier, "/dev/no-such-port", 9600), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial_identifier), nullptr);
}

TEST(LinkLifecycle, SerialLinkWithAnUnlistedRateLeavesNoEntryAndAListedOneWorks) {
    int controller = -1;
    int port = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&controller, &port, name, nullptr, nullptr), 0);
    close(port);  // the link opens the port by its name
    auto peer = ScriptedPeer::adopt(controller);
    const uint32_t identifier = 0x5E71A101;

    EXPECT_EQ(qLink_CreateSerial(identifier, name, 300), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(identifier), nullptr);

    qLinkID id = qLink_CreateSerial(identifier, name, 9600);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(peer->expect(force_route_on()), "");
    peer->send(bytes("04 02 00 01"));
    EXPECT_EQ(peer->expect(bytes("04 02 00 03")), "");
    qLinkID again = qLink_CreateSerial(identifier, name, 9600);
    EXPECT_EQ(again, id);
    EXPECT_EQ(qLink_Destroy(&again), qErrNone);
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_EQ(peer->expect(force_route_off()), "");
}

TEST(LinkLifecycle, ALinkThatNeverRunsFailsAfterTwoSecondsAndReleasesItsStream) {
    broken_streams_deleted = 0;
    qStream* broken = qStream_Create(broken_get, nullptr, broken_write, broken_delete, nullptr);
    ASSERT_NE(broken, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(qLink_Create(broken), 0u);
    EXPECT_GE(Clock::now() - start, 2000ms);
    EXPECT_EQ(broken_streams_deleted, 1);
    EXPECT_EQ(sLookupEntryByIdentifier(qLINK_STREAM_IDENTIFIER), nullptr);

    EXPECT_EQ(qLink_Create(nullptr), 0u);
}

TEST(LinkLifecycle, ResetReconnectsATcpLinkAsNew) {
    LoopbackListener listener;
    auto [id, first] = open_tcp_link(listener);
    ASSERT_NE(id, 0u);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(qLink_InstallUserPacketFilter(id, accept_all, nullptr), qErrNone);
    ASSERT_EQ(qLink_EnablePooledPackets(id, true), qErrNone);
    ASSERT_EQ(qLink_PacketDebug_Enable(id), qErrNone);

    auto reset = std::async(std::launch::async, [&] { return qLink_Reset(id); });
    EXPECT_EQ(first->expect(force_route_off()), "");
    auto second = listener.accept_peer();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reset.get(), qErrNone);
    EXPECT_EQ(second->expect(force_route_on()), "");
    EXPECT_EQ(qLink_GetStatus(id), qLinkStatusRunning);
    EXPECT_EQ(qLink_PacketDebug_Disable(id), qErrNotReady);  // no log after a reset
    // The filter went with the reset: heartbeats are answered again.
    second->send(bytes("04 02 00 00"));
    EXPECT_EQ(second->expect(bytes("04 02 00 02")), "");
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

TEST(LinkLifecycle, ResetOfALinkThatCannotBeRemadeFailsAtOnce) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    auto start = Clock::now();
    EXPECT_EQ(qLink_Reset(link.id), qErrParam);
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusNoStream);
    Packet packet = make_packet(bytes("04 00"));
    EXPECT_NE(qLink_PutPacket(link.id, packet.get()), qErrNone);
    EXPECT_EQ(qLink_Destroy(&link.id), qErrNone);
}

TEST(LinkIdentification, ModuleAddressAndModelComeFromTheModulesAnswers) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    struct Case {
        const char* answer;
        qErr result;
        uint8_t address;
    };
    for (const Case& c : {Case{"06 00", qErrNone, 6}, Case{"06 01 00", qErrIO, 0}}) {
        uint8_t address = 0;
        auto asked = std::async(std::launch::async, [&] { return _qLink_GetModuleAddress(link.id, &address); });
        EXPECT_EQ(link.peer.expect(bytes("AD 00")), "");
        link.peer.send(bytes(c.answer));
        EXPECT_EQ(asked.get(), c.result) << c.answer;
        EXPECT_EQ(address, c.address) << c.answer;
    }
    struct ModelCase {
        const char* answer;
        qErr result;
        uint8_t model;
    };
    for (const ModelCase& c : {ModelCase{"06 04 03 08 00 2A", qErrNone, 0x2A}, ModelCase{"08 04 03 08 00 2A", qErrIO, 0},
                               ModelCase{"06 03 03 08 00", qErrIO, 0}}) {
        uint8_t model = 0;
        auto asked = std::async(std::launch::async, [&] { return _qLink_GetModel(link.id, 6, &model); });
        EXPECT_EQ(link.peer.expect(bytes("06 03 03 48 20")), "");
        link.peer.send(bytes(c.answer));
        EXPECT_EQ(asked.get(), c.result) << c.answer;
        EXPECT_EQ(model, c.model) << c.answer;
    }
    uint8_t address = 0;
    EXPECT_EQ(_qLink_GetModuleAddress(link.id, &address), qErrTimeout);  // a silent module
}
