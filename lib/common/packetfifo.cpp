#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

struct qPacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using OwnedPacket = std::unique_ptr<qPacket, qPacketDeleter>;

// One queued entry: its sequence number and the FIFO's own copy of the packet.
class SerialPacket {
public:
    SerialPacket(int64_t id, OwnedPacket packet) : id_(id), packet_(std::move(packet)) {}
    int64_t getId() const { return id_; }
    const qPacket* getPacket() const { return packet_.get(); }
    qPacket* releasePacket() { return packet_.release(); }

private:
    int64_t id_;
    OwnedPacket packet_;
};

class packetFifo {
public:
    using Queue = std::deque<SerialPacket>;

    std::mutex mutex;
    std::condition_variable changed;  // signalled after every put and on destruction
    Queue queue;                      // oldest first
    std::atomic<bool> active{true};
    // Sequence number of the oldest queued packet, or of the next put when the queue is empty.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextNumber{0};

    // Both keep windowStart in step with the queue; the caller holds the mutex.
    void eraseAndSyncWindow(Queue::iterator entry) {
        queue.erase(entry);
        syncWindow();
    }
    void clearAndSyncWindow() {
        queue.clear();
        syncWindow();
    }
    void syncWindow() { windowStart = queue.empty() ? nextNumber.load() : queue.front().getId(); }

    // Removes the entry and hands its packet to the caller. The queue's copy changes owner
    // instead of being copied again, so taking a packet cannot fail for want of memory.
    qPacket* take(Queue::iterator entry) {
        qPacket* packet = entry->releasePacket();
        eraseAndSyncWindow(entry);
        return packet;
    }
};

using FifoHold = std::shared_ptr<packetFifo>;

// The registry outlives every thread that may still call in while the process ends, so it is
// made once and never destroyed.
struct Registry {
    std::mutex gpPacketFifoDictionaryMutex;
    std::map<qPacketFifoRef, FifoHold> gpPacketFifoDictionary;
    std::atomic<qPacketFifoRef> gpSequentialId{1};
};

Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

// The registry lock is held only to find the FIFO; the shared hold keeps it alive while the
// caller works on it, even if another thread destroys it meanwhile.
FifoHold lookup(qPacketFifoRef reference) {
    if (reference == 0) return nullptr;
    Registry& fifos = registry();
    std::lock_guard<std::mutex> lock(fifos.gpPacketFifoDictionaryMutex);
    auto found = fifos.gpPacketFifoDictionary.find(reference);
    return found == fifos.gpPacketFifoDictionary.end() ? nullptr : found->second;
}

std::chrono::steady_clock::time_point deadline_after(uint32_t timeout_ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

}  // namespace

qPacketFifoRef qPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        Registry& fifos = registry();
        qPacketFifoRef reference = 0;
        while (reference == 0) reference = fifos.gpSequentialId++;
        std::lock_guard<std::mutex> lock(fifos.gpPacketFifoDictionaryMutex);
        fifos.gpPacketFifoDictionary.emplace(reference, std::move(fifo));
        return reference;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

qErr qPacketFifo_Destroy(qPacketFifoRef* reference) {
    if (reference == nullptr) return qErrParam;
    try {
        FifoHold fifo;
        {
            Registry& fifos = registry();
            std::lock_guard<std::mutex> lock(fifos.gpPacketFifoDictionaryMutex);
            auto found = fifos.gpPacketFifoDictionary.find(*reference);
            if (found == fifos.gpPacketFifoDictionary.end()) return qErrNotFound;
            fifo = std::move(found->second);
            fifos.gpPacketFifoDictionary.erase(found);
        }
        *reference = 0;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->active = false;
        }
        fifo->changed.notify_all();
        return qErrNone;
    } catch (...) {
        return qErrUnknown;
    }
}

size_t qPacketFifo_GetLength(qPacketFifoRef reference) {
    FifoHold fifo = lookup(reference);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
}

qErr qPacketFifo_Put(qPacketFifoRef reference, const qPacket* packet) {
    if (!qVALIDPACKET(packet)) return qErrParam;
    FifoHold fifo = lookup(reference);
    if (!fifo) return qErrParam;
    OwnedPacket copy(qPacket_Copy(packet));
    if (!copy) return qErrParam;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        try {
            fifo->queue.emplace_back(fifo->nextNumber.load(), std::move(copy));
        } catch (const std::bad_alloc&) {
            return qErrResource;
        }
        ++fifo->nextNumber;
        if (fifo->queue.size() > qPACKETFIFO_MAX_PACKETS) {
            // Nobody is taking packets: drop them all rather than grow without bound.
            fifo->clearAndSyncWindow();
            return qErrNone;
        }
        fifo->syncWindow();
    }
    fifo->changed.notify_all();
    return qErrNone;
}

qPacket* qPacketFifo_Get(qPacketFifoRef reference) {
    FifoHold fifo = lookup(reference);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty()) return nullptr;
    return fifo->take(fifo->queue.begin());
}

qPacket* qPacketFifo_Await(qPacketFifoRef reference, uint32_t timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    FifoHold fifo = lookup(reference);
    if (!fifo) return nullptr;
    std::unique_lock<std::mutex> lock(fifo->mutex);
    fifo->changed.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->active; });
    if (fifo->queue.empty()) return nullptr;
    return fifo->take(fifo->queue.begin());
}

qPacket* qPacketFifo_GetFirst(qPacketFifoRef reference, qPacketFilter filter, void* filter_reference) {
    if (filter == nullptr) return nullptr;
    FifoHold fifo = lookup(reference);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
        if (filter(entry->getPacket(), filter_reference)) return fifo->take(entry);
    }
    return nullptr;
}

qPacket* qPacketFifo_AwaitFirst(qPacketFifoRef reference, qPacketFilter filter, void* filter_reference,
                                uint32_t timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    if (filter == nullptr) return nullptr;
    FifoHold fifo = lookup(reference);
    if (!fifo) return nullptr;

    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Entries numbered up to lastExamined have been offered to the filter already in this call;
    // a wake-up only offers the ones that arrived since, so no packet is offered twice.
    int64_t lastExamined = fifo->windowStart - 1;
    // Set only when the predicate ends the wait, so it is used before the queue can change.
    bool found = false;
    packetFifo::Queue::iterator accepted;
    auto examine_new_entries = [&] {
        for (auto entry = fifo->queue.begin(); entry != fifo->queue.end(); ++entry) {
            if (entry->getId() <= lastExamined) continue;
            lastExamined = entry->getId();
            if (filter(entry->getPacket(), filter_reference)) {
                accepted = entry;
                found = true;
                return true;
            }
        }
        return !fifo->active;
    };
    fifo->changed.wait_until(lock, deadline, examine_new_entries);
    return found ? fifo->take(accepted) : nullptr;
}

size_t qPacketFifo_DrainPackets(qPacketFifoRef reference, qPacketFilter filter, void* filter_reference) {
    if (filter == nullptr) return 0;
    FifoHold fifo = lookup(reference);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    size_t removed = 0;
    for (auto entry = fifo->queue.begin(); entry != fifo->queue.end();) {
        if (filter(entry->getPacket(), filter_reference)) {
            entry = fifo->queue.erase(entry);
            ++removed;
        } else {
            ++entry;
        }
    }
    fifo->syncWindow();
    return removed;
}
