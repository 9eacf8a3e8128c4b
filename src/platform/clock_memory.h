// The memory of a clock the host drives, and the wake-ups of the threads that
// block on its words: in this process only, or under a name that every
// process of the user maps (Linux: a private file in /dev/shm; Windows: a
// named mapping in the logon session's namespace).
#ifndef VARNEX_PLATFORM_CLOCK_MEMORY_H
#define VARNEX_PLATFORM_CLOCK_MEMORY_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

struct ClockMemory;

enum class ClockMemoryResult {
    kOpened,
    kNoMemory,
    kSystemError,   // no shared memory, or no event, to be had
    kNameInUse,     // create: another process holds the name
    kNotFound,      // open: no such name
    kAccessDenied,  // another user's, or not private
};

// `name` null: zeroed memory of this process. Otherwise create makes the
// name's memory anew, zeroed, where no process holds it (a name whose holders
// all ended is taken over); open maps what a creator made, of at least
// `bytes` (a shorter one is kNotFound's kin: the caller checks the content).
// On Windows a name is held by every process with a view, and a create is
// kNameInUse until all of them closed it, whether the creator lives or not.
ClockMemoryResult create_clock_memory(const char* name, size_t bytes, ClockMemory** memory);
ClockMemoryResult open_clock_memory(const char* name, size_t bytes, ClockMemory** memory);
void* clock_memory_bytes(ClockMemory* memory);
void close_clock_memory(ClockMemory* memory);
// The creator's: a create may take the name from now on, and an open finds
// it no more; the memory stays mapped where it is.
void unlink_clock_memory(ClockMemory* memory);

// A holder of the memory, one per process, whose end the system makes
// known: claim marks the slot this process's for as long as it lives (or
// until released); alive says whether the process that claimed `slot` lives.
// In-process memory has only this process: always alive.
bool claim_process_slot(ClockMemory* memory, uint32_t slot);
void release_process_slot(ClockMemory* memory, uint32_t slot);
bool process_slot_alive(ClockMemory* memory, uint32_t slot);

// A thread of the library's, with every signal blocked, that runs
// `body(argument)`; null when the system gives none. Join waits for its end;
// forget, in a forked child, drops the copy of a parent's thread.
struct ClockThread;
ClockThread* start_clock_thread(void (*body)(void*), void* argument);
void join_clock_thread(ClockThread* thread);
void forget_clock_thread(ClockThread* thread);

// A forked child's copy of named memory is its own open of the file (POSIX:
// reopened by the fork's child handler), with none of the parent's locks.

// Blocks while `word` (in the memory) reads `expected`, for at most
// `timeout_ns` of real time (-1: no limit). `event` names the waiters: one
// thread at a time per event, but for the shared kSettleEvent. Spurious
// wake-ups happen; callers re-check.
constexpr uint32_t kSettleEvent = 0xFFFFFFFF;
enum class WordWait { kWoken, kTimedOut, kInterrupted, kFailed };
WordWait wait_on_word(ClockMemory* memory, uint32_t event, std::atomic<uint32_t>* word, uint32_t expected,
                      int64_t timeout_ns);
// After the caller changed `word`: its waiters wake.
void wake_word(ClockMemory* memory, uint32_t event, std::atomic<uint32_t>* word);

}  // namespace platform

#endif
