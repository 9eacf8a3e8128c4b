// Linux: the handles that stand for the drop-in timers' events and threads,
// and what their files share. A handle is a number, never a pointer, so that
// a wrong value from a host finds nothing instead of memory.
#ifndef VARNEX_DROPIN_PLATFORM_LINUX_HANDLES_H
#define VARNEX_DROPIN_PLATFORM_LINUX_HANDLES_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "dropin/platform/event.h"
#include "dropin/platform/threads.h"
#include "platform/linux_internal.h"
#include "platform/linux_shared_file.h"

namespace platform::detail {

// Handles are issued in an increasing series: serial << 3, plus
// kThreadHandleTag for a thread.
constexpr uintptr_t kThreadHandleTag = 4;
constexpr uintptr_t kHandleKindBits = 7;

// Events alive at once in one process: the timer's, and one for each worker
// held from outside inside its signal. An open beyond that fails cleanly.
constexpr int kEventSlots = 16;

struct ThreadObject {
    ThreadRoutine routine = nullptr;
    pthread_t pthread{};
    std::atomic<uint32_t> tid{0};
    std::atomic<uint32_t> resumed{0};
    std::atomic<uint32_t> routine_returned{0};
};

// The page every process of the user maps for one event name. `pending` is
// the signal kept while no one waits; waiting threads are the futex's queue,
// which the kernel keeps exact, dropping a waiter that dies.
struct SharedEvent {
    std::atomic<uint32_t> pending;
};

struct EventObject {
    SharedFile file;
    SharedEvent* shared = nullptr;
    ~EventObject();
};

// set_event's lookup, without a lock: written under the table's mutex, read
// by the worker. A slot is emptied only by close_handle, which never runs
// while a set_event on the same event does.
struct EventSlot {
    std::atomic<uintptr_t> handle{0};
    std::atomic<EventObject*> event{nullptr};
};

struct HandleTable {
    std::mutex mutex;
    uintptr_t last_serial = 0;
    // Until joined. A thread's entry then goes, and its handle reports the
    // end by its number alone: memory stays flat however many opens a host
    // makes, although it can never close a thread handle.
    std::unordered_map<uintptr_t, std::shared_ptr<ThreadObject>> threads;
    std::unordered_map<uintptr_t, std::shared_ptr<EventObject>> events;
    EventSlot event_slots[kEventSlots];
};

// The process's table, created on first use.
HandleTable& handle_table();
// Without creating it: null before the first use and after the unload.
HandleTable* handle_table_if_created();
// Called with table.mutex held.
uintptr_t issue_handle(HandleTable& table, uintptr_t tag);
std::shared_ptr<ThreadObject> find_thread(Handle handle);
std::shared_ptr<EventObject> find_event(Handle handle);

// Joins the threads whose routine has returned; they are past the library's
// code or about to be. Called with table.mutex held; a finished worker never
// takes it.
void join_finished_threads(HandleTable& table);
WaitResult wait_for_thread(const std::shared_ptr<ThreadObject>& thread, uint32_t timeout_ms);
WaitResult wait_for_event(SharedEvent& event, uint32_t timeout_ms);

}  // namespace platform::detail

#endif
