// Linux: the table of the handles that stand for events and threads, the
// waits on them, and their release at the unload.
#include "dropin/platform/linux_handles.h"
#include "dropin/platform/unload.h"

namespace platform {

namespace detail {

namespace {

std::mutex handle_table_creation;
std::atomic<HandleTable*> handle_table_instance{nullptr};

bool issued_thread_handle(const HandleTable& table, uintptr_t handle)
{
    return (handle & kHandleKindBits) == kThreadHandleTag && (handle >> 3) >= 1 &&
           (handle >> 3) <= table.last_serial;
}

}  // namespace

HandleTable& handle_table()
{
    HandleTable* table = handle_table_instance.load(std::memory_order_acquire);
    if (table == nullptr) {
        std::lock_guard<std::mutex> lock(handle_table_creation);
        table = handle_table_instance.load();
        if (table == nullptr) {
            table = new HandleTable;
            handle_table_instance.store(table, std::memory_order_release);
        }
    }
    return *table;
}

uintptr_t issue_handle(HandleTable& table, uintptr_t tag)
{
    return (++table.last_serial << 3) | tag;
}

HandleTable* handle_table_if_created()
{
    return handle_table_instance.load(std::memory_order_acquire);
}

std::shared_ptr<ThreadObject> find_thread(Handle handle)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.threads.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.threads.end() ? nullptr : found->second;
}

std::shared_ptr<EventObject> find_event(Handle handle)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.events.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.events.end() ? nullptr : found->second;
}

}  // namespace detail

using namespace detail;

WaitResult wait_for(Handle handle, uint32_t timeout_ms)
{
    if (const std::shared_ptr<EventObject> event = find_event(handle)) {
        return wait_for_event(*event->shared, timeout_ms);
    }
    if (const std::shared_ptr<ThreadObject> thread = find_thread(handle)) {
        return wait_for_thread(thread, timeout_ms);
    }
    // A thread handle that was issued and is no longer in the table: its
    // thread has ended and been joined.
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return issued_thread_handle(table, reinterpret_cast<uintptr_t>(handle)) ? WaitResult::kSignalled : WaitResult::kFailed;
}

void close_handle(Handle handle)
{
    // A thread's entry stays until the thread is joined.
    HandleTable& table = handle_table();
    std::shared_ptr<EventObject> released;
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.events.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.events.end()) {
        return;
    }
    released = std::move(found->second);
    table.events.erase(found);
    for (EventSlot& slot : table.event_slots) {
        if (slot.handle.load() == reinterpret_cast<uintptr_t>(handle)) {
            slot.handle.store(0);
            slot.event.store(nullptr);
        }
    }
}

void release_at_unload()
{
    HandleTable* table = handle_table_instance.load();
    if (table == nullptr) {
        return;
    }
    // Every worker has been told to stop and ends within microseconds; each
    // is joined, so none is left running code that is about to be unmapped.
    // The table goes only after: a worker caught inside its signal by the
    // close still closes the event through it on its way out, and would
    // otherwise make a table of its own that nothing frees. (No worker adds
    // to or takes from the threads now.)
    for (auto& [handle, thread] : table->threads) {
        while (thread->routine_returned.load() == 0) {
            futex_wait(&thread->routine_returned, 0, nullptr, false);
        }
        pthread_join(thread->pthread, nullptr);
    }
    delete handle_table_instance.exchange(nullptr);
}

}  // namespace platform
