// Stream keys, the layout of sample packets and the callback queue: the parts of stream
// subscriptions that need no link.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "ScriptedPeer.h"

using Tolveric::Lumenvane::Link;
using Tolveric::Lumenvane::LocklessQueue_SPSC;
using test_support::bytes;

namespace {

struct PacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<qPacket, PacketDeleter>;

// A packet from module 2 with these data bytes.
Packet packet(const std::string& hex_data) {
    std::string data = bytes(hex_data);
    return Packet(qPacket_CreateWithData(2, static_cast<uint8_t>(data.size()),
                                         reinterpret_cast<const uint8_t*>(data.data())));
}

const std::string TIMESTAMP = "00 00 00 01 00 00 00 02 ";  // 2^32 + 2

}  // namespace

TEST(StreamKey, PacksTheFiveFieldsAndTakesThemBackOut) {
    uint64_t key = Link::createStreamKey(2, 3, 4, 5, 0xFF);
    EXPECT_EQ(key, 0xFF02030405u);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::KEY_MODULE), 2);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::KEY_COMMAND), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::KEY_OPTION), 4);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::KEY_INDEX), 5);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::KEY_SUBINDEX), 0xFF);
    EXPECT_EQ(Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(5)), 0);
}

TEST(StreamPacket, ClassifiesAndDecodesSamples) {
    struct Case {
        const char* what;
        std::string data;
        bool stream;
        int kind;          // what getStreamPacketType reports
        qErr sample;       // what getStreamSample returns
        uint32_t value;
        uint8_t subindex;
    } cases[] = {
        {"8-bit", "70 01 40 01 " + TIMESTAMP + "AB 00", true, 1, qErrNone, 0xAB, 0},
        {"16-bit", "70 02 41 02 " + TIMESTAMP + "12 34 00", true, 2, qErrNone, 0x1234, 0},
        {"32-bit", "70 03 40 03 " + TIMESTAMP + "DE AD BE EF 00", true, 3, qErrNone, 0xDEADBEEF, 0},
        {"8-bit with subindex", "70 04 40 05 02 " + TIMESTAMP + "CD 00", true, 5, qErrNone, 0xCD, 2},
        {"16-bit with subindex", "70 05 40 06 03 " + TIMESTAMP + "56 78 00", true, 6, qErrNone, 0x5678, 3},
        {"32-bit with subindex", "70 06 40 07 01 " + TIMESTAMP + "01 02 03 04 00", true, 7, qErrNone, 0x01020304, 1},
        {"8-bit one byte too long", "70 01 40 01 " + TIMESTAMP + "AB CD 00", true, 1, qErrPacket, 0, 0},
        {"32-bit one byte short", "70 03 40 03 " + TIMESTAMP + "DE AD BE 00", true, 3, qErrPacket, 0, 0},
        {"part of a byte-array run", "70 01 40 01 " + TIMESTAMP + "AB 80", true, 4, qErrSize, 0, 0},
        {"later packet of a run", "70 01 40 01 " + TIMESTAMP + "AB 01", true, 4, qErrSize, 0, 0},
        {"unknown kind", "70 01 40 09 " + TIMESTAMP + "AB 00", true, 0, qErrUnknown, 0, 0},
        {"a get reply, not a sample", "70 41 40 01 " + TIMESTAMP + "AB 00", false, 0, qErrPacket, 0, 0},
        {"no stream flag", "70 01 00 01 " + TIMESTAMP + "AB 00", false, 0, qErrPacket, 0, 0},
        {"a store-slot packet", "04 01 40 01 " + TIMESTAMP + "AB 00", false, 0, qErrPacket, 0, 0},
        {"too short", "70 01 40 01", false, 0, qErrPacket, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Packet sample = packet(c.data);
        ASSERT_TRUE(sample);
        EXPECT_EQ(Link::isStreamPacket(sample.get()), c.stream);
        Link::STREAM_PACKET kind = Link::STREAM_PACKET_BYTES;
        EXPECT_EQ(Link::getStreamPacketType(sample.get(), &kind), c.kind != 0);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(Link::isSubindexType(kind), c.kind >= 5);
        EXPECT_EQ(Link::isStreamSample(sample.get()), c.sample == qErrNone);
        uint64_t timestamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0xEE;
        ASSERT_EQ(Link::getStreamSample(sample.get(), &timestamp, &value, &subindex), c.sample);
        if (c.sample != qErrNone) continue;
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(subindex, c.subindex);
        EXPECT_EQ(timestamp, 0x100000002u);
        EXPECT_EQ(Link::getStreamSample(sample.get(), nullptr, nullptr, nullptr), qErrNone);
    }
    EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), qErrPacket);

    uint32_t high = 0;
    uint32_t low = 0;
    Link::getTimestampParts(0x0123456789ABCDEFu, &high, &low);
    EXPECT_EQ(high, 0x01234567u);
    EXPECT_EQ(low, 0x89ABCDEFu);
}

TEST(LocklessQueue, HoldsOneItemLessThanItsSlotsInOrder) {
    LocklessQueue_SPSC<int, 500> queue;
    for (int item = 0; item < 499; ++item) ASSERT_TRUE(queue.push(int{item})) << item;
    int refused = 499;
    EXPECT_FALSE(queue.push(std::move(refused)));

    int taken = -1;
    ASSERT_TRUE(queue.pop(taken));
    EXPECT_EQ(taken, 0);
    EXPECT_TRUE(queue.push(int{499}));
    EXPECT_FALSE(queue.push(int{500}));
    for (int expected = 1; expected <= 499; ++expected) {
        ASSERT_TRUE(queue.pop(taken));
        EXPECT_EQ(taken, expected);
    }
    EXPECT_FALSE(queue.pop(taken));
}

TEST(LocklessQueue, MovesItemsFromOneThreadToAnotherWithoutLossOrReordering) {
    constexpr int ITEMS = 20000;
    LocklessQueue_SPSC<std::unique_ptr<int>, 8> queue;  // a small ring wraps often
    std::thread producer([&] {
        for (int item = 0; item < ITEMS; ++item) {
            auto boxed = std::make_unique<int>(item);
            while (!queue.push(std::move(boxed))) std::this_thread::yield();
        }
    });
    int expected = 0;
    bool in_order = true;
    while (expected < ITEMS) {
        std::unique_ptr<int> item;
        if (!queue.pop(item)) {
            std::this_thread::yield();
            continue;
        }
        in_order = in_order && item != nullptr && *item == expected;
        ++expected;
    }
    producer.join();
    EXPECT_TRUE(in_order);
}
