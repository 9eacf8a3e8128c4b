// The unit tests' clock memory: this process's, and waits that return at
// once, as if woken: the tests drive the clock from the waiting thread.
#include <algorithm>
#include <new>

#include "platform/clock_memory.h"

namespace platform {

struct ClockMemory {
    void* bytes;
};

ClockMemoryResult create_clock_memory(const char* name, size_t bytes, ClockMemory** memory)
{
    if (name != nullptr) {
        return ClockMemoryResult::kSystemError;
    }
    *memory = new ClockMemory{::operator new(bytes)};
    std::fill_n(static_cast<char*>((*memory)->bytes), bytes, 0);
    return ClockMemoryResult::kOpened;
}

ClockMemoryResult open_clock_memory(const char*, size_t, ClockMemory**)
{
    return ClockMemoryResult::kNotFound;
}

void* clock_memory_bytes(ClockMemory* memory)
{
    return memory->bytes;
}

void close_clock_memory(ClockMemory* memory)
{
    ::operator delete(memory->bytes);
    delete memory;
}

void unlink_clock_memory(ClockMemory*) {}

bool claim_process_slot(ClockMemory*, uint32_t)
{
    return true;
}

void release_process_slot(ClockMemory*, uint32_t) {}

bool process_slot_alive(ClockMemory*, uint32_t)
{
    return true;
}

WordWait wait_on_word(ClockMemory*, uint32_t, std::atomic<uint32_t>*, uint32_t, int64_t)
{
    return WordWait::kWoken;
}

void wake_word(ClockMemory*, uint32_t, std::atomic<uint32_t>*) {}

// Named clocks, which alone have watchers, are not faked.
ClockThread* start_clock_thread(void (*)(void*), void*)
{
    return nullptr;
}

void join_clock_thread(ClockThread*) {}

void forget_clock_thread(ClockThread*) {}

}  // namespace platform
