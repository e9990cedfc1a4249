// The reader thread against a scripted peer: synchronisation, framing loss, heartbeats, the
// user filter, filtered waits and the cost of an idle or busy link.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "PeerLink.h"
#include "qLinkManagerInternal.h"

using namespace std::chrono_literals;
using namespace test_support;
using Clock = std::chrono::steady_clock;

namespace {

struct PacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<qPacket, PacketDeleter>;

std::string wire_form(const qPacket* packet) {
    std::string wire{static_cast<char>(packet->address), static_cast<char>(packet->length)};
    wire.append(reinterpret_cast<const char*>(packet->data), packet->length);
    return wire;
}

// A heartbeat answer is queued after anything the reader queued before it, so receiving it
// next proves nothing else (no sync round, no earlier answer) went out in between.
std::string heartbeat_probe(PeerLink& link) {
    link.peer.send(bytes("04 02 00 01"));
    return link.peer.expect(bytes("04 02 00 03"));
}

bool accept_all(const qPacket*, void* reference) {
    ++*static_cast<std::atomic<int>*>(reference);
    return true;
}

bool from_address_6(const qPacket* packet, void*) { return packet->address == 6; }

}  // namespace

TEST(LinkSynchronisation, AnswersCompleteOrRestartTheSynchronisation) {
    struct Case {
        const char* answer;        // the peer's bytes after the first sync round
        bool restarts;             // a second sync round goes out
    };
    const Case cases[] = {
        {"04 00 04 00", false},  // two zero-length answers from one module
        {"04 00 06 00", true},   // two different addresses
        {"03", true},            // an odd address
        {"00", true},            // no address
        {"04 01 00", true},      // an answer that is not zero-length
        {"04 00 04 01 00", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        PeerLink link;
        ASSERT_TRUE(link.started()) << link.start_failure;
        ASSERT_EQ(link.start_synchronising(), "");
        EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusSynchronising);

        link.peer.send(bytes(c.answer));
        if (c.restarts) {
            EXPECT_EQ(link.peer.expect(sync_round()), "");
            EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusSynchronising);
            link.peer.send(bytes("04 00 04 00"));
        }
        EXPECT_TRUE(status_becomes(link.id, qLinkStatusRunning));
        EXPECT_EQ(heartbeat_probe(link), "");
        // Bytes used by synchronisation never arrive as packets.
        EXPECT_EQ(qLink_GetPacket(link.id), nullptr);
    }
}

TEST(LinkSynchronisation, BytesThatCannotBelongToAPacketSendTheLinkBackToSynchronising) {
    const char* breaks[] = {"05", "00", "04 1D"};  // odd address, no address, length above 28
    for (const char* broken : breaks) {
        SCOPED_TRACE(broken);
        PeerLink link;
        ASSERT_TRUE(link.started()) << link.start_failure;
        // A whole packet first: it is delivered, the break after it is not.
        link.peer.send(bytes("04 02 07 08") + bytes(broken));
        EXPECT_EQ(link.peer.expect(sync_round()), "");
        EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusSynchronising);
        Packet delivered(qLink_AwaitPacket(link.id, 1000));
        ASSERT_NE(delivered, nullptr);
        EXPECT_EQ(wire_form(delivered.get()), bytes("04 02 07 08"));

        link.peer.send(bytes("04 00 04 00 04 00 04 00"));
        EXPECT_TRUE(status_becomes(link.id, qLinkStatusRunning));
        // The surplus answers after synchronisation are ordinary zero-length packets.
        Packet surplus(qLink_AwaitPacket(link.id, 1000));
        ASSERT_NE(surplus, nullptr);
        EXPECT_EQ(wire_form(surplus.get()), bytes("04 00"));
    }
}

TEST(LinkSynchronisation, SyncRequestWaitsForTheModuleAndEmptiesBothFifos) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    link.peer.send(bytes("04 01 55"));  // waiting in the inbound FIFO: stale once synchronised
    qPacketFifoRef inbound = sGetLink(link.id)->inbound;
    auto deadline = Clock::now() + 1s;
    while (qPacketFifo_GetLength(inbound) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(qPacketFifo_GetLength(inbound), 1u);

    auto sync = std::async(std::launch::async, [&] { return qLink_Sync(link.id); });
    EXPECT_EQ(link.peer.expect(sync_round()), "");
    link.peer.send(repeated(bytes("04 00"), 6));
    EXPECT_EQ(sync.get(), qErrNone);
    EXPECT_EQ(qLink_GetPacket(link.id), nullptr);
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusRunning);
}

TEST(LinkSynchronisation, SilentModuleIsAskedAgainAtAPaceNotFlooded) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    auto started = Clock::now();
    EXPECT_EQ(qLink_Sync(link.id), qErrNotReady);
    EXPECT_GE(Clock::now() - started, 2000ms);
    // Over the two seconds: the first round and one new round per second at most.
    std::string sent = link.peer.receive_until_quiet(50ms);
    size_t rounds = sent.size() / sync_round().size();
    EXPECT_EQ(sent, repeated(sync_round(), rounds));
    EXPECT_GE(rounds, 2u);
    EXPECT_LE(rounds, 3u);
}

TEST(LinkHeartbeats, AreAnsweredWithTheirValuePlusTwoAndNeverQueued) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    const std::pair<const char*, const char*> exchanges[] = {
        {"04 02 00 00", "04 02 00 02"},  // up
        {"04 02 00 01", "04 02 00 03"},  // down
        {"08 02 00 07", "08 02 00 09"},  // any other value, to the sender's address
    };
    for (const auto& [heartbeat, answer] : exchanges) {
        link.peer.send(bytes(heartbeat));
        EXPECT_EQ(link.peer.expect(bytes(answer)), "") << heartbeat;
    }
    // Not heartbeats: a different command byte, or a different length.
    link.peer.send(bytes("04 02 01 00 04 03 00 00 00"));
    Packet first(qLink_AwaitPacket(link.id, 1000));
    Packet second(qLink_AwaitPacket(link.id, 1000));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(wire_form(first.get()), bytes("04 02 01 00"));
    EXPECT_EQ(wire_form(second.get()), bytes("04 03 00 00 00"));
    EXPECT_EQ(qLink_GetPacket(link.id), nullptr);
}

TEST(LinkUserFilter, TakesEveryPacketItAcceptsHeartbeatsIncluded) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    std::atomic<int> seen{0};
    ASSERT_EQ(qLink_InstallUserPacketFilter(link.id, accept_all, &seen), qErrNone);
    link.peer.send(bytes("04 02 00 00 04 01 09"));
    auto deadline = Clock::now() + 1s;
    while (seen < 2 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(seen, 2);

    ASSERT_EQ(qLink_InstallUserPacketFilter(link.id, nullptr, nullptr), qErrNone);
    // The next answer is to this heartbeat: the one the filter took was never answered.
    EXPECT_EQ(heartbeat_probe(link), "");
    EXPECT_EQ(qLink_GetPacket(link.id), nullptr);
}

TEST(LinkAwaitFirst, FindsTheWantedPacketAndGivesUpWhenTheLinkLosesStep) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    link.peer.send(bytes("04 01 01 06 01 02"));
    Packet wanted(qLink_AwaitFirst(link.id, from_address_6, nullptr, 1000));
    ASSERT_NE(wanted, nullptr);
    EXPECT_EQ(wire_form(wanted.get()), bytes("06 01 02"));
    Packet other(qLink_GetPacket(link.id));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->address, 4);

    // A waiter gives up soon after the link leaves the running state.
    auto waiting = std::async(std::launch::async, [&] {
        auto start = Clock::now();
        Packet none(qLink_AwaitFirst(link.id, from_address_6, nullptr, 5000));
        return std::make_pair(none == nullptr, Clock::now() - start);
    });
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(link.start_synchronising(), "");
    auto [gave_up, waited] = waiting.get();
    EXPECT_TRUE(gave_up);
    EXPECT_LT(waited, 1000ms);
    // Already out of step: no wait at all.
    EXPECT_EQ(qLink_AwaitFirst(link.id, from_address_6, nullptr, 1000), nullptr);
}

TEST(LinkReaderCost, AnIdleLinkWaitsInsteadOfPolling) {
    const SocketPairOptions kinds[] = {{true, true}, {true, false}, {false, false}};
    for (const SocketPairOptions& kind : kinds) {
        SCOPED_TRACE(testing::Message() << "burst " << kind.burst_reads << " wait " << kind.readiness_wait);
        PeerLink link(kind);
        ASSERT_TRUE(link.started()) << link.start_failure;
        int before = link.peer.calls().gets + link.peer.calls().bursts;
        std::this_thread::sleep_for(400ms);
        int reads = link.peer.calls().gets + link.peer.calls().bursts - before;
        // Waiting streams are read a few times a second; the others a few dozen at most.
        EXPECT_LT(reads, kind.readiness_wait ? 15 : 120);
        // A packet is still taken up promptly.
        EXPECT_EQ(heartbeat_probe(link), "");
    }
}

TEST(LinkReaderCost, PacketsAreReadInBurstsNotBytes) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    int bursts_before = link.peer.calls().bursts;
    std::string packets;
    for (int i = 0; i < 20; ++i) packets += bytes("04 1C") + std::string(28, static_cast<char>(i));
    link.peer.send(packets);
    for (int i = 0; i < 20; ++i) {
        Packet packet(qLink_AwaitPacket(link.id, 1000));
        ASSERT_NE(packet, nullptr) << i;
        EXPECT_EQ(packet->data[27], i);
    }
    EXPECT_EQ(link.peer.calls().gets, 0);
    // 600 bytes arrive in a handful of reads, not one per byte (empty reads between included).
    EXPECT_LT(link.peer.calls().bursts - bursts_before, 30);
}

namespace {

// Stops the reader from inside, right after the first packet, while the rest of its burst is
// still unread.
bool stop_after_first_packet(const qPacket*, void* reference) {
    static_cast<qLinkRecord*>(reference)->running = 0;
    return false;
}

}  // namespace

TEST(LinkReaderCost, BytesReadAheadGoBackToTheStreamWhenTheReaderStops) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    qLinkRecord* record = sGetLink(link.id);
    ASSERT_EQ(qLink_InstallUserPacketFilter(link.id, stop_after_first_packet, record), qErrNone);
    link.peer.send(bytes("04 01 AA 04 01 BB 04 01 CC"));
    Packet first(qLink_AwaitPacket(link.id, 1000));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->data[0], 0xAA);

    ASSERT_EQ(qLink_Stop(record), qErrNone);
    std::string rest(6, '\0');
    EXPECT_EQ(qStream_Read(record->stream, rest.data(), rest.size()), qErrNone);
    EXPECT_EQ(rest, bytes("04 01 BB 04 01 CC"));
}
