// Stream subscriptions of a Link with the virtual module's samples (its signal entity changes
// on demand) and with a scripted peer: the subscribe requests, the cache, wildcard
// subscriptions, callbacks on the worker thread, a full callback queue, and the worker's end.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Threads of this process: the stream worker is the one that comes and goes.
int thread_count() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

template <typename Condition>
bool becomes_true(Condition condition, std::chrono::milliseconds timeout = 2000ms) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// What the callbacks saw: how many calls, on which threads, the last value. A gate can hold
// the first call until the test opens it.
class CallbackRecorder {
public:
    Link::StreamCallback callback() {
        return [this](const qPacket* packet, void* reference) -> uint8_t {
            uint32_t value = 0;
            Link::getStreamSample(packet, nullptr, &value, nullptr);
            {
                std::unique_lock lock(mutex_);
                threads_.push_back(std::this_thread::get_id());
                references_ok_ = references_ok_ && reference == this;
                last_value_ = value;
                ++calls_;
                changed_.notify_all();
                changed_.wait_for(lock, 20s, [this] { return !gated_; });
            }
            return 0;
        };
    }
    void close_gate() { gated_ = true; }
    void open_gate() {
        std::lock_guard lock(mutex_);
        gated_ = false;
        changed_.notify_all();
    }
    bool wait_for_calls(int count, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ >= count; });
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    uint32_t last_value() {
        std::lock_guard lock(mutex_);
        return last_value_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }
    bool references_ok() {
        std::lock_guard lock(mutex_);
        return references_ok_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread::id> threads_;
    bool references_ok_ = true;
    bool gated_ = false;
    uint32_t last_value_ = 0;
    int calls_ = 0;
};

uint8_t streaming(Link& link) {
    uint8_t answer = 0xEE;
    EXPECT_EQ(link.isLinkStreaming(MODULE, &answer), qErrNone);
    return answer;
}

}  // namespace

TEST(StreamSubscriptions, ExactSubscriptionCachesValuesAndCallsBackOnTheWorker) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    const int threads_before = thread_count();
    CallbackRecorder recorder;

    ASSERT_EQ(link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true, recorder.callback(), &recorder),
              qErrNone);
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_EQ(streaming(link), 1);
    uint32_t value = 0;
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrNotFound);

    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, 0x12345678), qErrNone);
    ASSERT_TRUE(recorder.wait_for_calls(1));
    EXPECT_EQ(recorder.last_value(), 0x12345678u);
    EXPECT_TRUE(recorder.references_ok());
    EXPECT_NE(recorder.threads().front(), std::this_thread::get_id());

    // Fresh once, then stale until the next sample.
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrNone);
    EXPECT_EQ(value, 0x12345678u);
    value = 0;
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrStreamStale);
    EXPECT_EQ(value, 0x12345678u);
    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, 7), qErrNone);
    ASSERT_TRUE(recorder.wait_for_calls(2));
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrNone);
    EXPECT_EQ(value, 7u);
    auto threads = recorder.threads();
    EXPECT_EQ(threads.front(), threads.back());

    // Replies that are not samples still reach the caller.
    uei reply{};
    ASSERT_EQ(get_option(link, cmdSIGNAL, SIGNAL_INT, &reply), qErrNone);
    EXPECT_EQ(reply.value.intVal, 7u);

    // Unsubscribing ends the worker and forgets the cached values.
    ASSERT_EQ(link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, false, nullptr, nullptr), qErrNone);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrNotFound);
    EXPECT_EQ(streaming(link), 0);
    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, 8), qErrNone);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(recorder.calls(), 2);
}

TEST(StreamSubscriptions, WildcardSubscriptionCachesEachValueUnderItsOwnKey) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    ASSERT_EQ(link.enableStream(MODULE, cmdSIGNAL, Link::STREAM_WILDCARD, 0, true), qErrNone);

    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_BYTE, ueiTypeByte, 0x11), qErrNone);
    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_SHORT, ueiTypeShort, 0x2222), qErrNone);
    ASSERT_EQ(link.sendUEI(message(cmdSIGNAL, 0x80 | SIGNAL_SHORT_SUBINDEX, 0x20, ueiTypeShort, 0x3333), 3), qErrNone);

    Link::StreamStatusEntry entries[8] = {};
    size_t count = 0;
    ASSERT_TRUE(becomes_true([&] {
        link.getStreamStatus(MODULE, cmdSIGNAL, Link::STREAM_WILDCARD, 0, Link::STREAM_WILDCARD, entries, 8, &count);
        return count == 3;
    }));
    // Listed in key order; the subscription itself is no value and is not listed.
    EXPECT_EQ(entries[0].key, Link::createStreamKey(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0));
    EXPECT_EQ(entries[0].value, 0x11u);
    EXPECT_EQ(entries[1].key, Link::createStreamKey(MODULE, cmdSIGNAL, SIGNAL_SHORT, 0, 0));
    EXPECT_EQ(entries[1].value, 0x2222u);
    EXPECT_EQ(entries[2].key, Link::createStreamKey(MODULE, cmdSIGNAL, SIGNAL_SHORT_SUBINDEX, 0, 3));
    EXPECT_EQ(entries[2].value, 0x3333u);
    uint32_t value = 0;
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_SHORT_SUBINDEX, 0, 3, &value), qErrNone);
    EXPECT_EQ(value, 0x3333u);

    EXPECT_EQ(link.getStreamStatus(MODULE, cmdSIGNAL, Link::STREAM_WILDCARD, 0, Link::STREAM_WILDCARD, entries, 1,
                                   &count),
              qErrSize);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(link.getStreamStatus(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0, entries, 8, &count), qErrNone);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(link.getStreamStatus(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0, nullptr, 8, &count), qErrParam);
    EXPECT_EQ(link.getStreamStatus(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0, entries, 0, &count), qErrParam);

    ASSERT_EQ(link.enableStream(MODULE, cmdSIGNAL, Link::STREAM_WILDCARD, 0, false), qErrNone);
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

TEST(StreamSubscriptions, FullQueueDropsCallbacksButNeverCacheUpdates) {
    VirtualModuleLink target({"--heartbeat-ms", "0"});
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    CallbackRecorder recorder;
    recorder.close_gate();
    ASSERT_EQ(link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true, recorder.callback(), &recorder),
              qErrNone);

    // The worker holds the first sample in its callback; 499 wait behind it, the rest find no room.
    constexpr uint32_t SAMPLES = 600;
    for (uint32_t value = 1; value <= SAMPLES; ++value) {
        ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, value), qErrNone);
    }
    uint32_t cached = 0;
    EXPECT_TRUE(becomes_true([&] {
        return link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &cached) == qErrNone && cached == SAMPLES;
    }));
    recorder.open_gate();
    ASSERT_TRUE(recorder.wait_for_calls(499, 5000ms));
    std::this_thread::sleep_for(100ms);
    EXPECT_GE(recorder.calls(), 499);
    EXPECT_LE(recorder.calls(), 500);
    EXPECT_LT(recorder.last_value(), SAMPLES);

    // Room again: the next sample is called back.
    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, SAMPLES + 1), qErrNone);
    EXPECT_TRUE(becomes_true([&] { return recorder.last_value() == SAMPLES + 1; }));
}

TEST(StreamSubscriptions, RefusedRequestsChangeNothing) {
    VirtualModuleLink target;
    Link& link = target.link;
    CallbackRecorder recorder;
    EXPECT_EQ(link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true, recorder.callback(), &recorder),
              qErrConnection);
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    Link::StreamStatusEntry entry{};
    size_t count = 0;
    EXPECT_EQ(link.getStreamStatus(MODULE, 0xFF, 0xFF, 0xFF, 0xFF, &entry, 1, &count), qErrConnection);

    ASSERT_EQ(link.connect(), qErrNone);
    const int threads_before = thread_count();
    EXPECT_EQ(link.enableStream(0xFF, cmdSIGNAL, SIGNAL_INT, 0, true), qErrParam);
    EXPECT_EQ(link.enableStream(3, cmdSIGNAL, SIGNAL_INT, 0, true), qErrParam);
    // The module has no entity 0x71: its refusal undoes the subscription, and with nothing
    // left to stream no worker stays behind.
    EXPECT_EQ(link.registerStreamCallback(MODULE, 0x71, 1, 0, true, recorder.callback(), &recorder),
              qErrInvalidEntity);
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(streaming(link), 0);

    // A refusal next to a working subscription takes only its own entry away.
    ASSERT_EQ(link.enableStream(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, true), qErrNone);
    EXPECT_EQ(link.enableStream(MODULE, cmdSIGNAL, 9, 0, true), qErrInvalidOption);
    EXPECT_EQ(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true),
              std::vector<uint64_t>{Link::createStreamKey(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0xFF)});
    EXPECT_EQ(thread_count(), threads_before + 1);
}

TEST(StreamSubscriptions, DisconnectAndResetEndSubscriptions) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    const int threads_before = thread_count();
    ASSERT_EQ(link.enableStream(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true), qErrNone);
    ASSERT_EQ(set_option(link, cmdSIGNAL, SIGNAL_INT, ueiTypeInt, 5), qErrNone);
    uint32_t value = 0;
    ASSERT_TRUE(becomes_true([&] { return link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value) == qErrNone; }));

    // The remade link's far end has no subscriptions: no cache may pretend otherwise.
    EXPECT_EQ(link.reset(), qErrNone);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value), qErrNotFound);
    ASSERT_TRUE(link.isConnected());
    EXPECT_EQ(streaming(link), 0);

    ASSERT_EQ(link.enableStream(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true), qErrNone);
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_LT(thread_count(), threads_before);  // the worker and the engine's threads are gone
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

namespace {

std::string sample_of_kind_3(uint32_t value) {
    char text[64];
    snprintf(text, sizeof text, "02 11 70 03 40 03 00 00 00 00 00 00 00 01 %02X %02X %02X %02X 00", value >> 24,
             (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
    return bytes(text);
}

}  // namespace

TEST(StreamSubscriptions, RequestsAndSamplesByteForByte) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    Link& link = target.link;
    CallbackRecorder recorder;

    // Subscribe: 5D 81 20 and the module, command, option and index; acknowledged 5D C1 00.
    auto subscribing = std::async(std::launch::async, [&] {
        return link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, true, recorder.callback(), &recorder);
    });
    EXPECT_EQ(target.peer->expect(bytes("02 07 5D 81 20 02 70 03 00")), "");
    target.peer->send(bytes("02 03 5D C1 00"));
    ASSERT_EQ(subscribing.get(), qErrNone);

    // A kind-1 sample one byte too long is taken off the link but caches nothing.
    target.peer->send(bytes("02 0F 70 03 40 01 00 00 00 00 00 00 00 01 AB CD 00"));
    target.peer->send(sample_of_kind_3(0xA1B2C3D4));
    uint32_t value = 0;
    ASSERT_TRUE(becomes_true([&] { return link.getStreamValue(MODULE, cmdSIGNAL, SIGNAL_INT, 0, 0, &value) == qErrNone; }));
    EXPECT_EQ(value, 0xA1B2C3D4u);
    EXPECT_TRUE(recorder.wait_for_calls(1));
    const uint8_t match[] = {cmdSIGNAL};
    uint8_t length = sizeof match;
    uint8_t data[28];
    EXPECT_EQ(link.receivePacket(MODULE, match, &length, data), qErrTimeout);

    // A subscription the module does not acknowledge in time is undone.
    auto unanswered = std::async(std::launch::async, [&] {
        return link.enableStream(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, true);
    });
    EXPECT_EQ(target.peer->expect(bytes("02 07 5D 81 20 02 70 01 00")), "");
    EXPECT_EQ(unanswered.get(), qErrTimeout);
    EXPECT_EQ(link.filterActiveStreamKeys(MODULE, cmdSIGNAL, SIGNAL_BYTE, 0, 0xFF, true).size(), 0u);

    // Unsubscribe: 5D 82 20 ...; acknowledged 5D C2 00.
    auto unsubscribing = std::async(std::launch::async, [&] {
        return link.registerStreamCallback(MODULE, cmdSIGNAL, SIGNAL_INT, 0, false, nullptr, nullptr);
    });
    EXPECT_EQ(target.peer->expect(bytes("02 07 5D 82 20 02 70 03 00")), "");
    target.peer->send(bytes("02 03 5D C2 00"));
    EXPECT_EQ(unsubscribing.get(), qErrNone);
    // Samples that still arrive now wait for a caller like any other packet.
    target.peer->send(sample_of_kind_3(1));
    length = sizeof match;
    EXPECT_EQ(link.receivePacket(MODULE, match, &length, data), qErrNone);
}
