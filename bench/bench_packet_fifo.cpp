// Cross-thread request and reply through two packet FIFOs, as a caller and a link's reader do:
// one thread puts a request and awaits its reply with a filter, another awaits the request with
// a filter and answers. The same ping-pong over a bare mutex and condition variable, in the
// same run, shows what the FIFO layer costs on top of the wake-up itself.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUND_TRIPS = 20000;
constexpr int WARM_UP = 1000;
constexpr uint32_t WAIT_MS = 1000;
constexpr uint8_t MODULE = 4;
constexpr uint8_t REQUEST = 0x49;
constexpr uint8_t REPLY = 0x4A;

struct Wanted {
    uint8_t command;
    uint8_t sequence;
};

bool matches(const qPacket* packet, void* reference) {
    auto* wanted = static_cast<Wanted*>(reference);
    return packet->length == 2 && packet->data[0] == wanted->command && packet->data[1] == wanted->sequence;
}

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

struct Figures {
    double median;
    double p99;
};

Figures summarise(std::vector<double>& samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

Figures fifo_ping_pong() {
    qPacketFifoRef requests = qPacketFifo_Create();
    qPacketFifoRef replies = qPacketFifo_Create();
    const int total = WARM_UP + ROUND_TRIPS;

    std::thread responder([&] {
        for (int i = 0; i < total; ++i) {
            Wanted wanted{REQUEST, static_cast<uint8_t>(i)};
            qPacket* request = qPacketFifo_AwaitFirst(requests, matches, &wanted, WAIT_MS);
            if (request == nullptr) return;
            uint8_t answer[] = {REPLY, request->data[1]};
            qPacket* reply = qPacket_CreateWithData(MODULE, sizeof answer, answer);
            qPacketFifo_Put(replies, reply);
            qPacket_Destroy(&reply);
            qPacket_Destroy(&request);
        }
    });

    std::vector<double> samples;
    samples.reserve(ROUND_TRIPS);
    for (int i = 0; i < total; ++i) {
        uint8_t data[] = {REQUEST, static_cast<uint8_t>(i)};
        qPacket* request = qPacket_CreateWithData(MODULE, sizeof data, data);
        Wanted wanted{REPLY, static_cast<uint8_t>(i)};
        auto start = Clock::now();
        qPacketFifo_Put(requests, request);
        qPacket* reply = qPacketFifo_AwaitFirst(replies, matches, &wanted, WAIT_MS);
        auto spent = Clock::now() - start;
        qPacket_Destroy(&request);
        if (reply == nullptr) break;
        qPacket_Destroy(&reply);
        if (i >= WARM_UP) samples.push_back(microseconds(spent));
    }
    responder.join();
    qPacketFifo_Destroy(&requests);
    qPacketFifo_Destroy(&replies);
    if (samples.empty()) return {0, 0};
    return summarise(samples);
}

// One slot per direction, each with its own mutex and condition variable.
struct Slot {
    std::mutex mutex;
    std::condition_variable changed;
    bool full = false;
    int value = 0;

    void put(int v) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            value = v;
            full = true;
        }
        changed.notify_all();
    }
    bool take(int* v) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::milliseconds(WAIT_MS), [&] { return full; })) return false;
        full = false;
        *v = value;
        return true;
    }
};

Figures bare_ping_pong() {
    Slot requests, replies;
    const int total = WARM_UP + ROUND_TRIPS;
    std::thread responder([&] {
        int value;
        for (int i = 0; i < total && requests.take(&value); ++i) replies.put(value);
    });
    std::vector<double> samples;
    samples.reserve(ROUND_TRIPS);
    for (int i = 0; i < total; ++i) {
        int value;
        auto start = Clock::now();
        requests.put(i);
        if (!replies.take(&value)) break;
        auto spent = Clock::now() - start;
        if (i >= WARM_UP) samples.push_back(microseconds(spent));
    }
    responder.join();
    if (samples.empty()) return {0, 0};
    return summarise(samples);
}

}  // namespace

int main() {
    Figures fifo = fifo_ping_pong();
    Figures bare = bare_ping_pong();
    std::printf("round trips per method: %d (after %d to warm up)\n", ROUND_TRIPS, WARM_UP);
    std::printf("packet FIFOs, filtered await:   median %8.2f us   p99 %8.2f us\n", fifo.median, fifo.p99);
    std::printf("bare mutex + condition variable: median %8.2f us   p99 %8.2f us\n", bare.median, bare.p99);
    if (bare.median > 0) std::printf("ratio FIFO / bare (median): %.2f\n", fifo.median / bare.median);
    return 0;
}
