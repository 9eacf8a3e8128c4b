// Linux: the named event is a futex word in POSIX shared memory, so that
// processes of one user share ticks as they do on Windows.
#include <cstdio>
#include <cstring>
#include <string>

#include "dropin/platform/linux_handles.h"

namespace platform {

namespace detail {

EventObject::~EventObject()
{
    close_shared_file(&file);
}

WaitResult wait_for_event(SharedEvent& event, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        uint32_t pending = 1;
        if (event.pending.compare_exchange_strong(pending, 0)) {
            return WaitResult::kSignalled;
        }
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return WaitResult::kTimedOut;
        }
        const timespec remaining = to_timespec(remaining_ns);
        // Woken: a signal handed its tick to this waiter and kept nothing.
        if (futex_wait(&event.pending, 0, &remaining, true) == 0) {
            return WaitResult::kSignalled;
        }
    }
}

}  // namespace detail

using namespace detail;

namespace {

// As Windows' auto-reset event: a signal goes to one waiting thread, any one,
// or, with none waiting, is kept (one at most) for the next wait.
void signal_event(SharedEvent& event)
{
    if (futex_wake(&event.pending, 1, true) == 1) {
        return;
    }
    // A waiter about to sleep finds the word changed and takes the signal.
    event.pending.store(1);
    // One that fell asleep between the wake and the store would sleep on
    // beside the kept signal: it is woken as the signal's taker, and the
    // signal is taken back (unless a waiter arriving in the same instant
    // took it first: then both are released).
    if (futex_wake(&event.pending, 1, true) == 1) {
        uint32_t kept = 1;
        event.pending.compare_exchange_strong(kept, 0);
    }
}

// The open fails; the host learns why on stderr, as it learns of a failed
// open's message box. A file that could not be sized or mapped fails it
// without a word.
void report_refusal(SharedFileResult result, const SharedFile& file)
{
    std::string reason;
    switch (result) {
    case SharedFileResult::kSystemError:
        reason = std::strerror(file.error_number);
        break;
    case SharedFileResult::kNotRegularFile:
        reason = "not a regular file";
        break;
    case SharedFileResult::kForeignOwner:
        reason = "owned by uid " + std::to_string(file.owner_uid) + ", not by this user";
        break;
    case SharedFileResult::kWrongMode: {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.mode));
        reason = std::string("mode ") + mode + ", not 0600";
        break;
    }
    case SharedFileResult::kLockedByOther:
        reason = "another process keeps it locked";
        break;
    case SharedFileResult::kOpened:
    case SharedFileResult::kResizeFailed:
    case SharedFileResult::kMapFailed:
        return;
    }
    std::fprintf(stderr, "Varnex: the tick event %s is not used: %s\n", file.path.c_str(), reason.c_str());
}

}  // namespace

Handle create_named_event(const char* name)
{
    auto event = std::make_shared<EventObject>();
    const SharedFileResult opened = open_shared_file(name, sizeof(SharedEvent), &event->file);
    if (opened != SharedFileResult::kOpened) {
        report_refusal(opened, event->file);
        return nullptr;
    }
    // A file that no one held was zeroed: the event starts unsignalled.
    event->shared = static_cast<SharedEvent*>(event->file.memory);
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (EventSlot& slot : table.event_slots) {
        if (slot.handle.load() == 0) {
            const uintptr_t handle = issue_handle(table, 0);
            slot.event.store(event.get());
            slot.handle.store(handle);
            table.events.emplace(handle, std::move(event));
            return reinterpret_cast<Handle>(handle);
        }
    }
    return nullptr;
}

void set_event(Handle handle)
{
    // No lock: a worker held here from outside must not hold up the host.
    HandleTable* table = handle_table_if_created();
    if (table == nullptr) {
        return;
    }
    for (const EventSlot& slot : table->event_slots) {
        if (slot.handle.load() == reinterpret_cast<uintptr_t>(handle)) {
            signal_event(*slot.event.load()->shared);
            return;
        }
    }
}

void reset_event(Handle handle)
{
    const std::shared_ptr<EventObject> event = find_event(handle);
    if (event) {
        event->shared->pending.store(0);
    }
}

}  // namespace platform
