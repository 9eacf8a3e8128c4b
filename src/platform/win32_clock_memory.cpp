// Windows: a clock's memory is this process's pages; its words' waiters block
// on manual-reset events, one per waiter, made as they are first needed.
#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/clock_memory.h"

namespace platform {

namespace {

// A pacer slot's event, a process watcher's, and the settlers'.
constexpr uint32_t kEvents = 256 + 64 + 1;

}  // namespace

struct ClockMemory {
    void* bytes = nullptr;
    size_t size = 0;
    std::atomic<HANDLE> events[kEvents] = {};
};

namespace {

uint32_t event_index(uint32_t event)
{
    return event == kSettleEvent ? kEvents - 1 : event;
}

HANDLE event_of(ClockMemory* memory, uint32_t event)
{
    std::atomic<HANDLE>& slot = memory->events[event_index(event)];
    HANDLE existing = slot.load();
    if (existing != nullptr) {
        return existing;
    }
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (made == nullptr) {
        return nullptr;
    }
    if (!slot.compare_exchange_strong(existing, made)) {
        CloseHandle(made);
        return existing;
    }
    return made;
}

}  // namespace

ClockMemoryResult create_clock_memory(const char* name, size_t bytes, ClockMemory** memory)
{
    if (name != nullptr) {
        return ClockMemoryResult::kSystemError;
    }
    auto* made = new (std::nothrow) ClockMemory;
    if (made == nullptr) {
        return ClockMemoryResult::kNoMemory;
    }
    made->bytes = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (made->bytes == nullptr) {
        delete made;
        return ClockMemoryResult::kNoMemory;
    }
    made->size = bytes;
    *memory = made;
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
    for (std::atomic<HANDLE>& event : memory->events) {
        if (HANDLE made = event.load(); made != nullptr) {
            CloseHandle(made);
        }
    }
    VirtualFree(memory->bytes, 0, MEM_RELEASE);
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

struct ClockThread {
    HANDLE thread;
    void (*body)(void*);
    void* argument;
};

namespace {

DWORD WINAPI run_clock_thread(void* started)
{
    auto* thread = static_cast<ClockThread*>(started);
    thread->body(thread->argument);
    return 0;
}

}  // namespace

ClockThread* start_clock_thread(void (*body)(void*), void* argument)
{
    auto* thread = new (std::nothrow) ClockThread{nullptr, body, argument};
    if (thread == nullptr) {
        return nullptr;
    }
    thread->thread = CreateThread(nullptr, 0, run_clock_thread, thread, 0, nullptr);
    if (thread->thread == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_clock_thread(ClockThread* thread)
{
    WaitForSingleObject(thread->thread, INFINITE);
    CloseHandle(thread->thread);
    delete thread;
}

// Windows has no fork.
void forget_clock_thread(ClockThread* thread)
{
    delete thread;
}

// Reset, then the word checked: a waker changes the word before it sets the
// event, so that a change after the check leaves the event set.
WordWait wait_on_word(ClockMemory* memory, uint32_t event, std::atomic<uint32_t>* word, uint32_t expected,
                      int64_t timeout_ns)
{
    HANDLE handle = event_of(memory, event);
    if (handle == nullptr) {
        return WordWait::kFailed;
    }
    ResetEvent(handle);
    if (word->load() != expected) {
        return WordWait::kWoken;
    }
    const DWORD timeout_ms =
        timeout_ns < 0 ? INFINITE : static_cast<DWORD>(std::min<int64_t>((timeout_ns + 999999) / 1000000, 0x7FFFFFFF));
    switch (WaitForSingleObject(handle, timeout_ms)) {
    case WAIT_OBJECT_0:
        return WordWait::kWoken;
    case WAIT_TIMEOUT:
        return WordWait::kTimedOut;
    default:
        return WordWait::kFailed;
    }
}

void wake_word(ClockMemory* memory, uint32_t event, std::atomic<uint32_t>*)
{
    if (HANDLE handle = memory->events[event_index(event)].load(); handle != nullptr) {
        SetEvent(handle);
    }
}

}  // namespace platform
