// The writer thread: one stream write per packet, or pooled batches that never split a packet.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "PeerLink.h"
#include "qLink.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

// A stream that keeps every write it is given, and can hold the writer inside a write until
// the test lets it go. It never has bytes to read.
class RecordingStream {
public:
    qStream* make() {
        qStream* stream = qStream_Create(get, nullptr, write, nullptr, this);
        qStream_SetReadyOperations(stream, nullptr, wait_readable);
        return stream;
    }
    // The next write waits until release().
    void hold_next_write() {
        std::lock_guard lock(mutex_);
        hold_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        hold_ = false;
        changed_.notify_all();
    }
    // Waits until `count` writes have been made (or at least begun, for a held one).
    bool writes_reach(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 2s, [&] { return writes_.size() >= count; });
    }
    bool bytes_reach(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 2s, [&] {
            size_t total = 0;
            for (const auto& write : writes_) total += write.size();
            return total >= count;
        });
    }
    std::vector<std::string> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    static qErr get(uint8_t*, void*) { return qErrNotReady; }
    static qErr wait_readable(uint32_t timeout_ms, void*) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return qErrTimeout;
    }
    static qErr write(const uint8_t* data, size_t length, void* reference) {
        auto* self = static_cast<RecordingStream*>(reference);
        std::unique_lock lock(self->mutex_);
        self->writes_.emplace_back(reinterpret_cast<const char*>(data), length);
        self->changed_.notify_all();
        self->changed_.wait(lock, [&] { return !self->hold_; });
        return qErrNone;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool hold_ = false;
    std::vector<std::string> writes_;
};

std::string numbered_packet(int number) {
    std::string wire = bytes("04 1C");
    for (int i = 0; i < 28; ++i) wire.push_back(static_cast<char>(number + i));
    return wire;
}

qErr put(qLinkID id, const std::string& wire) {
    qPacket* packet = qPacket_CreateWithData(static_cast<uint8_t>(wire[0]), static_cast<uint8_t>(wire[1]),
                                             reinterpret_cast<const uint8_t*>(wire.data()) + 2);
    qErr result = qLink_PutPacket(id, packet);
    qPacket_Destroy(&packet);
    return result;
}

}  // namespace

TEST(LinkWriter, PooledModeSendsQueuedPacketsInBatchesOfWholePacketsUpTo4096Bytes) {
    RecordingStream recorder;
    qLinkID id = qLink_Create(recorder.make());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(recorder.writes_reach(1));  // the force-route 1
    ASSERT_EQ(qLink_EnablePooledPackets(id, true), qErrNone);

    // Hold the writer in the write of a first packet while 200 more are queued behind it.
    recorder.hold_next_write();
    ASSERT_EQ(put(id, bytes("04 00")), qErrNone);
    ASSERT_TRUE(recorder.writes_reach(2));
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(put(id, numbered_packet(i)), qErrNone);
        expected += numbered_packet(i);
    }
    recorder.release();
    ASSERT_TRUE(recorder.bytes_reach(3 + 2 + expected.size()));

    std::vector<std::string> writes = recorder.writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0], force_route_on());
    EXPECT_EQ(writes[1], bytes("04 00"));
    // 136 packets of 30 bytes (4080) fill a batch: a 137th would pass 4096.
    EXPECT_EQ(writes[2], expected.substr(0, 136 * 30));
    EXPECT_EQ(writes[3], expected.substr(136 * 30));
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

TEST(LinkWriter, WithoutPoolingEachPacketIsOneWrite) {
    RecordingStream recorder;
    qLinkID id = qLink_Create(recorder.make());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(recorder.writes_reach(1));
    recorder.hold_next_write();
    ASSERT_EQ(put(id, bytes("04 00")), qErrNone);
    ASSERT_TRUE(recorder.writes_reach(2));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(put(id, numbered_packet(i)), qErrNone);
    recorder.release();
    ASSERT_TRUE(recorder.writes_reach(5));
    std::vector<std::string> writes = recorder.writes();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(writes[2 + i], numbered_packet(i));
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_EQ(recorder.writes().back(), force_route_off());
}
