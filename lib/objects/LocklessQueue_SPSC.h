// A bounded ring for exactly one producer thread and one consumer thread, without a lock.
// It holds at most N - 1 items: the slot in front of the read index is never written, which is
// what tells a full ring from an empty one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <utility>

namespace Tolveric::Lumenvane {

template <typename T, uint16_t N>
class LocklessQueue_SPSC {
    static_assert(N >= 2, "a ring needs one free slot besides the items");

public:
    static constexpr uint16_t capacity = N - 1;

    // Producer only. False when the ring is full; the item is then left untouched.
    bool push(T&& item) {
        uint16_t next = advance(writeIndex.load(std::memory_order_relaxed));
        if (next == readIndex.load(std::memory_order_acquire)) return false;
        slots[next] = std::move(item);
        // The slot is written before the index that hands it to the consumer.
        writeIndex.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when the ring is empty.
    bool pop(T& item) {
        uint16_t read = readIndex.load(std::memory_order_relaxed);
        if (read == writeIndex.load(std::memory_order_acquire)) return false;
        uint16_t next = advance(read);
        item = std::move(slots[next]);
        // The slot is read before the index that gives it back to the producer.
        readIndex.store(next, std::memory_order_release);
        return true;
    }

private:
    static uint16_t advance(uint16_t index) { return static_cast<uint16_t>(index + 1 == N ? 0 : index + 1); }

    std::array<T, N> slots{};
    std::atomic<uint16_t> writeIndex{0};
    std::atomic<uint16_t> readIndex{0};
};

}  // namespace Tolveric::Lumenvane
