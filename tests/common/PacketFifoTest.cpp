#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "packetfifo.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct PacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<qPacket, PacketDeleter>;

// A packet whose first data byte tells packets apart.
Packet tagged(uint8_t tag) {
    uint8_t data[] = {tag};
    return Packet(qPacket_CreateWithData(4, 1, data));
}

uint8_t tag_of(const qPacket* packet) { return packet->data[0]; }

// Owns one FIFO for a test; destroyed at the end unless the test did it.
class Fifo {
public:
    Fifo() : reference_(qPacketFifo_Create()) {}
    ~Fifo() {
        if (reference_ != 0) qPacketFifo_Destroy(&reference_);
    }
    qPacketFifoRef& reference() { return reference_; }
    operator qPacketFifoRef() const { return reference_; }
    void put(uint8_t tag) { ASSERT_EQ(qPacketFifo_Put(reference_, tagged(tag).get()), qErrNone); }

private:
    qPacketFifoRef reference_;
};

bool accept_tag(const qPacket* packet, void* reference) { return tag_of(packet) == *static_cast<uint8_t*>(reference); }
bool accept_all(const qPacket*, void*) { return true; }

// Accepts one tag and counts how often each packet (by tag) was offered.
struct CountingFilter {
    uint8_t wanted;
    std::map<uint8_t, int> offered;  // touched only under the FIFO's lock
    static bool call(const qPacket* packet, void* reference) {
        auto* self = static_cast<CountingFilter*>(reference);
        ++self->offered[tag_of(packet)];
        return tag_of(packet) == self->wanted;
    }
};

std::vector<uint8_t> drain_tags(qPacketFifoRef fifo) {
    std::vector<uint8_t> tags;
    while (Packet packet{qPacketFifo_Get(fifo)}) tags.push_back(tag_of(packet.get()));
    return tags;
}

}  // namespace

TEST(PacketFifo, PutCopiesAndGetReturnsOldestFirst) {
    Fifo fifo;
    ASSERT_NE(fifo.reference(), 0u);
    Packet mine = tagged(1);
    ASSERT_EQ(qPacketFifo_Put(fifo, mine.get()), qErrNone);
    mine->data[0] = 99;  // the caller keeps its own packet; the queue holds a copy
    fifo.put(2);
    fifo.put(3);
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 3u);
    EXPECT_EQ(drain_tags(fifo), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(qPacketFifo_Get(fifo), nullptr);
}

TEST(PacketFifo, RefusesInvalidPacketsAndUnknownReferences) {
    Fifo fifo;
    qPacket forged{};
    EXPECT_EQ(qPacketFifo_Put(fifo, &forged), qErrParam);
    EXPECT_EQ(qPacketFifo_Put(fifo, nullptr), qErrParam);
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 0u);
    EXPECT_EQ(qPacketFifo_Put(0, tagged(1).get()), qErrParam);
    EXPECT_EQ(qPacketFifo_Await(0, 0), nullptr);
    EXPECT_EQ(qPacketFifo_Destroy(nullptr), qErrParam);
}

TEST(PacketFifo, GetFirstTakesTheAcceptedPacketAndKeepsOrder) {
    Fifo fifo;
    fifo.put('A');
    fifo.put('B');
    fifo.put('C');
    uint8_t wanted = 'B';
    Packet first(qPacketFifo_GetFirst(fifo, accept_tag, &wanted));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tag_of(first.get()), 'B');
    wanted = 'Z';
    EXPECT_EQ(qPacketFifo_GetFirst(fifo, accept_tag, &wanted), nullptr);
    EXPECT_EQ(drain_tags(fifo), (std::vector<uint8_t>{'A', 'C'}));
}

TEST(PacketFifo, DrainRemovesAcceptedPacketsOnly) {
    Fifo fifo;
    for (uint8_t tag : {1, 2, 1, 3, 1}) fifo.put(tag);
    uint8_t wanted = 1;
    EXPECT_EQ(qPacketFifo_DrainPackets(fifo, accept_tag, &wanted), 3u);
    EXPECT_EQ(drain_tags(fifo), (std::vector<uint8_t>{2, 3}));

    for (uint8_t tag : {4, 5, 6}) fifo.put(tag);
    EXPECT_EQ(qPacketFifo_DrainPackets(fifo, accept_all, nullptr), 3u);
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 0u);
    EXPECT_EQ(qPacketFifo_DrainPackets(0, accept_all, nullptr), 0u);
}

TEST(PacketFifo, OverflowEmptiesTheQueue) {
    Fifo fifo;
    for (int i = 0; i < qPACKETFIFO_MAX_PACKETS; ++i) fifo.put(static_cast<uint8_t>(i));
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 1000u);
    EXPECT_EQ(qPacketFifo_Put(fifo, tagged(0xEE).get()), qErrNone);
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 0u);
    // The FIFO goes on working, and a filtered wait still sees new packets.
    fifo.put(7);
    uint8_t wanted = 7;
    Packet packet(qPacketFifo_AwaitFirst(fifo, accept_tag, &wanted, 0));
    ASSERT_NE(packet, nullptr);
}

TEST(PacketFifo, AwaitTimesOutOrReturnsAtOnce) {
    Fifo fifo;
    auto start = Clock::now();
    EXPECT_EQ(qPacketFifo_Await(fifo, 0), nullptr);
    EXPECT_EQ(qPacketFifo_Await(fifo, 50), nullptr);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 50ms);
    EXPECT_LT(waited, 1s);

    fifo.put(5);
    Packet packet(qPacketFifo_Await(fifo, 0));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(tag_of(packet.get()), 5);
}

TEST(PacketFifo, FilteredWaitSeesALatePacketAndOffersEachOnce) {
    Fifo fifo;
    fifo.put(1);  // already queued: offered once, refused, left for others
    CountingFilter filter{9, {}};
    std::thread producer([&] {
        std::this_thread::sleep_for(20ms);
        fifo.put(2);
        fifo.put(3);
        std::this_thread::sleep_for(30ms);
        fifo.put(9);
        fifo.put(4);
    });
    auto start = Clock::now();
    Packet packet(qPacketFifo_AwaitFirst(fifo, CountingFilter::call, &filter, 2000));
    auto waited = Clock::now() - start;
    producer.join();

    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(tag_of(packet.get()), 9);
    EXPECT_GE(waited, 45ms);
    EXPECT_LT(waited, 1500ms);
    for (uint8_t tag : {1, 2, 3, 9}) EXPECT_EQ(filter.offered[tag], 1) << int(tag);
    EXPECT_EQ(filter.offered.count(4), 0u);  // the wait ended before it
    EXPECT_EQ(drain_tags(fifo), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(PacketFifo, FilteredWaitersTakeOnlyTheirOwnPackets) {
    Fifo fifo;
    constexpr int WAITERS = 4;
    constexpr int ROUNDS = 50;
    std::atomic<int> received[WAITERS] = {};
    std::vector<std::thread> waiters;
    for (int w = 0; w < WAITERS; ++w) {
        waiters.emplace_back([&, w] {
            uint8_t wanted = static_cast<uint8_t>(w);
            for (int round = 0; round < ROUNDS; ++round) {
                Packet packet(qPacketFifo_AwaitFirst(fifo, accept_tag, &wanted, 5000));
                if (!packet || tag_of(packet.get()) != wanted) return;
                ++received[w];
            }
        });
    }
    for (int round = 0; round < ROUNDS; ++round) {
        for (int w = WAITERS - 1; w >= 0; --w) fifo.put(static_cast<uint8_t>(w));
    }
    for (auto& waiter : waiters) waiter.join();
    for (int w = 0; w < WAITERS; ++w) EXPECT_EQ(received[w].load(), ROUNDS) << w;
    EXPECT_EQ(qPacketFifo_GetLength(fifo), 0u);
}

TEST(PacketFifo, DestroyWakesEveryWaiter) {
    Fifo fifo;
    fifo.put(1);
    const qPacketFifoRef reference = fifo;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    uint8_t never = 0xFF;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (qPacketFifo_AwaitFirst(reference, accept_tag, &never, 10000) == nullptr) ++woken;
        });
    }
    waiters.emplace_back([&] {
        uint8_t wanted = 2;  // also waits: packet 1 is not its
        if (qPacketFifo_AwaitFirst(reference, accept_tag, &wanted, 10000) == nullptr) ++woken;
    });
    std::this_thread::sleep_for(50ms);
    auto start = Clock::now();
    ASSERT_EQ(qPacketFifo_Destroy(&fifo.reference()), qErrNone);
    EXPECT_EQ(fifo.reference(), 0u);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(woken.load(), 3);

    // The old reference names nothing any more.
    qPacketFifoRef stale = reference;
    EXPECT_EQ(qPacketFifo_Destroy(&stale), qErrNotFound);
    EXPECT_EQ(qPacketFifo_Put(reference, tagged(1).get()), qErrParam);
    EXPECT_EQ(qPacketFifo_Get(reference), nullptr);
    EXPECT_EQ(qPacketFifo_Await(reference, 10), nullptr);
    EXPECT_EQ(qPacketFifo_GetFirst(reference, accept_all, nullptr), nullptr);
    EXPECT_EQ(qPacketFifo_AwaitFirst(reference, accept_all, nullptr, 10), nullptr);
    EXPECT_EQ(qPacketFifo_GetLength(reference), 0u);
    EXPECT_EQ(qPacketFifo_DrainPackets(reference, accept_all, nullptr), 0u);
}

TEST(PacketFifo, ReferencesAreNeverReused) {
    qPacketFifoRef first = qPacketFifo_Create();
    qPacketFifoRef kept = first;
    ASSERT_EQ(qPacketFifo_Destroy(&first), qErrNone);
    qPacketFifoRef second = qPacketFifo_Create();
    EXPECT_NE(second, kept);
    EXPECT_EQ(qPacketFifo_Put(kept, tagged(1).get()), qErrParam);
    qPacketFifo_Destroy(&second);
}

TEST(PacketFifo, ConcurrentProducersConsumersAndDestroy) {
    // Threads keep using a FIFO while it is destroyed under them; nothing may crash or hang.
    qPacketFifoRef fifo = qPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (!stop) qPacketFifo_Put(fifo, tagged(1).get());
        });
        threads.emplace_back([&] {
            while (!stop) {
                qPacket* packet = qPacketFifo_Await(fifo, 5);
                if (packet != nullptr) qPacket_Destroy(&packet);
            }
        });
    }
    std::this_thread::sleep_for(50ms);
    qPacketFifoRef doomed = fifo;
    EXPECT_EQ(qPacketFifo_Destroy(&doomed), qErrNone);
    std::this_thread::sleep_for(20ms);
    stop = true;
    for (auto& thread : threads) thread.join();
}
