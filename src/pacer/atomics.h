// The pacer's counters have one writer, the waiting thread, and readers on any
// thread: plain relaxed loads and stores, never a locked instruction on the
// waiting thread.
#ifndef VARNEX_PACER_ATOMICS_H
#define VARNEX_PACER_ATOMICS_H

#include <atomic>
#include <cstdint>

constexpr auto kRelaxed = std::memory_order_relaxed;

template <typename T>
inline void add_relaxed(std::atomic<T>& total, T amount)
{
    total.store(total.load(kRelaxed) + amount, kRelaxed);
}

#endif
