// The queue between the thread that observes a reference and the thread that
// waits: one writer and one reader, and neither ever blocks. The writer never
// waits for the reader: when the queue is full it overwrites the oldest, and
// the reader counts what it lost. Each slot carries the number of the
// observation it holds, written last and read twice around the data (a
// sequence lock), so that the reader can tell a slot the writer overwrote
// while it read.
#ifndef VARNEX_PACER_OBSERVATIONS_H
#define VARNEX_PACER_OBSERVATIONS_H

#include <atomic>
#include <cstdint>

#include "pacer/atomics.h"

constexpr uint64_t kObservationSlots = 256;

struct ObservationSlot {
    std::atomic<uint64_t> number{0};  // the observation's number plus 1; 0 while it is written
    std::atomic<int64_t> reference_ns{0};
    std::atomic<int64_t> local_ns{0};
};

struct ObservationQueue {
    std::atomic<uint64_t> written{0};  // the writer's
    uint64_t read = 0;                 // the reader's
    ObservationSlot slots[kObservationSlots];
};

inline void push_observation(ObservationQueue& queue, int64_t reference_ns, int64_t local_ns)
{
    const uint64_t number = queue.written.load(kRelaxed);
    ObservationSlot& slot = queue.slots[number % kObservationSlots];
    slot.number.store(0, kRelaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.reference_ns.store(reference_ns, kRelaxed);
    slot.local_ns.store(local_ns, kRelaxed);
    slot.number.store(number + 1, std::memory_order_release);
    queue.written.store(number + 1, std::memory_order_release);
}

// How many the writer has published; each of them was stamped before this.
inline uint64_t observations_written(const ObservationQueue& queue)
{
    return queue.written.load(std::memory_order_acquire);
}

// Hands each observation not yet read, of the first `written`, to
// take(reference_ns, local_ns), the oldest first; returns how many the writer
// overwrote before they were read.
template <typename Take>
uint64_t drain_observations(ObservationQueue& queue, uint64_t written, Take take)
{
    uint64_t lost = 0;
    if (written - queue.read > kObservationSlots) {
        lost = written - queue.read - kObservationSlots;
        queue.read = written - kObservationSlots;
    }
    for (; queue.read < written; ++queue.read) {
        const ObservationSlot& slot = queue.slots[queue.read % kObservationSlots];
        const uint64_t before = slot.number.load(std::memory_order_acquire);
        const int64_t reference_ns = slot.reference_ns.load(kRelaxed);
        const int64_t local_ns = slot.local_ns.load(kRelaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before != queue.read + 1 || slot.number.load(kRelaxed) != before) {
            ++lost;
            continue;
        }
        take(reference_ns, local_ns);
    }
    return lost;
}

#endif
