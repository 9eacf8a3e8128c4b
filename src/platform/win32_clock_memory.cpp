// Windows: a clock's memory is this process's pages, or a named mapping in
// the logon session's namespace (Local\), which only that session's user
// opens and which vanishes with its last handle; its words' waiters block on
// manual-reset events, one per waiter, made as they are first needed, and
// named after the clock's for a named one. A process's life is its id and
// creation time in the mapping's table, which the process's end leaves behind.
#include <windows.h>

#include <algorithm>
#include <new>
#include <string>

#include "platform/clock_memory.h"

namespace platform {

namespace {

constexpr int64_t kSettleSliceNs = 10000000;

// A pacer slot's event, a process watcher's, and the settlers'.
constexpr uint32_t kProcessSlots = 64;
constexpr uint32_t kEvents = 256 + kProcessSlots + 1;

// The platform's part of a named mapping, past the clock's bytes: the same
// on 32 and 64 bits. A process slot's word is its holder's id over the low
// half of its creation time; zero is free.
struct NamedTable {
    std::atomic<uint32_t> unlinked;
    uint32_t reserved;
    std::atomic<uint64_t> holders[kProcessSlots];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the table is shared between processes");
static_assert(sizeof(NamedTable) == 8 + 8 * kProcessSlots, "the table is shared by 32- and 64-bit processes");

constexpr size_t kTableAlignment = 8;

}  // namespace

struct ClockMemory {
    void* bytes = nullptr;
    size_t size = 0;
    HANDLE mapping = nullptr;  // a named clock's
    NamedTable* table = nullptr;
    std::wstring name;  // Local\varnex-clock.NAME
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
    // A named clock's event is every process's: the first to need it makes it,
    // the others open it.
    std::wstring event_name;
    if (memory->mapping != nullptr) {
        event_name = memory->name + L"." + std::to_wstring(event_index(event));
    }
    HANDLE made = CreateEventW(nullptr, TRUE, FALSE, event_name.empty() ? nullptr : event_name.c_str());
    if (made == nullptr) {
        return nullptr;
    }
    if (!slot.compare_exchange_strong(existing, made)) {
        CloseHandle(made);
        return existing;
    }
    return made;
}

size_t table_offset(size_t bytes)
{
    return (bytes + kTableAlignment - 1) / kTableAlignment * kTableAlignment;
}

size_t mapping_size(size_t bytes)
{
    return table_offset(bytes) + sizeof(NamedTable);
}

// Names are [A-Za-z0-9._-]: each character widens as it is.
std::wstring mapping_name(const char* name)
{
    std::wstring wide = L"Local\\varnex-clock.";
    for (const char* c = name; *c != 0; ++c) {
        wide += static_cast<wchar_t>(*c);
    }
    return wide;
}

ClockMemoryResult map_view(ClockMemory* memory, size_t bytes)
{
    memory->bytes = MapViewOfFile(memory->mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (memory->bytes == nullptr) {
        return ClockMemoryResult::kSystemError;
    }
    // A mapping smaller than a clock is no clock: its pages past the end fault.
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(memory->bytes, &region, sizeof region) == 0 || region.RegionSize < mapping_size(bytes)) {
        return ClockMemoryResult::kNotFound;
    }
    memory->size = bytes;
    memory->table = reinterpret_cast<NamedTable*>(static_cast<char*>(memory->bytes) + table_offset(bytes));
    return ClockMemoryResult::kOpened;
}

// The word a process slot holds for this process, or for `pid` at `created`.
uint64_t holder_word(DWORD pid, const FILETIME& created)
{
    return (uint64_t{pid} << 32) | created.dwLowDateTime;
}

uint64_t this_process_word()
{
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return holder_word(GetCurrentProcessId(), created);
}

// Whether the process the word names runs: one that ended, or an id reused by
// a process created at another time, is gone. An unknown answer (a process
// this user may not query) counts as running.
bool holder_alive(uint64_t word)
{
    if (word == 0) {
        return false;
    }
    const auto pid = static_cast<DWORD>(word >> 32);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                       GetProcessTimes(process, &created, &ended, &kernel, &user) &&
                       holder_word(pid, created) == word;
    CloseHandle(process);
    return alive;
}

}  // namespace

// Windows' rule for a name: its mapping lives while any process holds a
// handle to it, and a create cannot make the name anew before then. So a
// name stays in use after its creator ended (or destroyed its clock) until
// every process that opened it closed its view.
ClockMemoryResult create_clock_memory(const char* name, size_t bytes, ClockMemory** memory)
{
    auto* made = new (std::nothrow) ClockMemory;
    if (made == nullptr) {
        return ClockMemoryResult::kNoMemory;
    }
    ClockMemoryResult result = ClockMemoryResult::kOpened;
    if (name == nullptr) {
        made->bytes = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        made->size = bytes;
        result = made->bytes == nullptr ? ClockMemoryResult::kNoMemory : ClockMemoryResult::kOpened;
    } else {
        made->name = mapping_name(name);
        const auto size = static_cast<uint64_t>(mapping_size(bytes));
        // Only an existing name sets the error: a fresh one leaves it as it was.
        SetLastError(ERROR_SUCCESS);
        made->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                           static_cast<DWORD>(size >> 32), static_cast<DWORD>(size),
                                           made->name.c_str());
        if (made->mapping == nullptr) {
            result = GetLastError() == ERROR_ACCESS_DENIED ? ClockMemoryResult::kAccessDenied
                                                           : ClockMemoryResult::kSystemError;
        } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
            result = ClockMemoryResult::kNameInUse;
        } else {
            result = map_view(made, bytes);
        }
    }
    if (result != ClockMemoryResult::kOpened) {
        close_clock_memory(made);
        return result;
    }
    *memory = made;
    return result;
}

ClockMemoryResult open_clock_memory(const char* name, size_t bytes, ClockMemory** memory)
{
    auto* opened = new (std::nothrow) ClockMemory;
    if (opened == nullptr) {
        return ClockMemoryResult::kNoMemory;
    }
    opened->name = mapping_name(name);
    ClockMemoryResult result = ClockMemoryResult::kOpened;
    opened->mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, opened->name.c_str());
    if (opened->mapping == nullptr) {
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
            result = ClockMemoryResult::kNotFound;
            break;
        case ERROR_ACCESS_DENIED:
            result = ClockMemoryResult::kAccessDenied;
            break;
        default:
            result = ClockMemoryResult::kSystemError;
            break;
        }
    } else {
        result = map_view(opened, bytes);
        // The name lives on with its last holders after the creator's destroy,
        // but no clock is found by it any more.
        if (result == ClockMemoryResult::kOpened && opened->table->unlinked.load() != 0) {
            result = ClockMemoryResult::kNotFound;
        }
    }
    if (result != ClockMemoryResult::kOpened) {
        close_clock_memory(opened);
        return result;
    }
    *memory = opened;
    return result;
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
    if (memory->mapping != nullptr) {
        if (memory->bytes != nullptr) {
            UnmapViewOfFile(memory->bytes);
        }
        CloseHandle(memory->mapping);
    } else if (memory->bytes != nullptr) {
        VirtualFree(memory->bytes, 0, MEM_RELEASE);
    }
    delete memory;
}

void unlink_clock_memory(ClockMemory* memory)
{
    if (memory->table != nullptr) {
        memory->table->unlinked.store(1);
    }
}

// A compare and swap, so that of two processes that found a slot's holder
// gone, one takes it.
bool claim_process_slot(ClockMemory* memory, uint32_t slot)
{
    if (memory->table == nullptr) {
        return true;
    }
    if (slot >= kProcessSlots) {
        return false;
    }
    const uint64_t mine = this_process_word();
    uint64_t held = memory->table->holders[slot].load();
    if (held == mine) {
        return true;
    }
    return !holder_alive(held) && memory->table->holders[slot].compare_exchange_strong(held, mine);
}

void release_process_slot(ClockMemory* memory, uint32_t slot)
{
    if (memory->table != nullptr && slot < kProcessSlots) {
        uint64_t mine = this_process_word();
        memory->table->holders[slot].compare_exchange_strong(mine, 0);
    }
}

bool process_slot_alive(ClockMemory* memory, uint32_t slot)
{
    return memory->table == nullptr || (slot < kProcessSlots && holder_alive(memory->table->holders[slot].load()));
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
    // Settlers share one event, and one's reset may clear a wake-up meant for
    // another that has checked the word but not yet waited: theirs look again
    // every slice.
    if (event == kSettleEvent && (timeout_ns < 0 || timeout_ns > kSettleSliceNs)) {
        timeout_ns = kSettleSliceNs;
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

// An in-process event that was never made has no waiter; a named clock's
// waiter may be another process's, whose event this one opens.
void wake_word(ClockMemory* memory, uint32_t event, std::atomic<uint32_t>*)
{
    HANDLE handle = memory->mapping != nullptr ? event_of(memory, event) : memory->events[event_index(event)].load();
    if (handle != nullptr) {
        SetEvent(handle);
    }
}

}  // namespace platform
