// Linux: a clock's memory is a private mapping, or the user's private file in
// /dev/shm; its words are futexes (shared ones for the file); a process's
// life is a lock on one byte of the file, which the kernel drops as the
// process ends, however it ends.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <new>
#include <string>

#include "platform/clock_memory.h"
#include "platform/linux_internal.h"
#include "platform/linux_shared_file.h"

namespace platform {

struct ClockMemory {
    void* bytes = nullptr;
    size_t size = 0;
    int fd = -1;  // a named clock's file
    std::string shm_name;
    // The process's named clocks, which a forked child reopens.
    ClockMemory* next_named = nullptr;
};

namespace {

pthread_mutex_t named_lock = PTHREAD_MUTEX_INITIALIZER;
ClockMemory* named_memories = nullptr;

void add_named(ClockMemory* memory)
{
    pthread_mutex_lock(&named_lock);
    memory->next_named = named_memories;
    named_memories = memory;
    pthread_mutex_unlock(&named_lock);
}

void remove_named(ClockMemory* memory)
{
    pthread_mutex_lock(&named_lock);
    for (ClockMemory** link = &named_memories; *link != nullptr; link = &(*link)->next_named) {
        if (*link == memory) {
            *link = memory->next_named;
            break;
        }
    }
    pthread_mutex_unlock(&named_lock);
}

// The locks lie past the memory, where nothing maps: the creator's byte, then
// one per process slot.
constexpr off_t kCreatorLockOffset = off_t{1} << 30;
constexpr off_t kProcessLockOffset = kCreatorLockOffset + 1;

std::string clock_file_name(const char* name)
{
    std::string file = "varnex-clock.";
    file += name;
    return private_shm_name(file.c_str());
}

struct flock one_byte(short type, off_t offset)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    return lock;
}

// An open file description's lock on one byte: every descriptor of this open
// shares it, and only this open's last close, or the process's end, drops it.
bool lock_byte(int fd, off_t offset)
{
    struct flock lock = one_byte(F_WRLCK, offset);
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void unlock_byte(int fd, off_t offset)
{
    struct flock lock = one_byte(F_UNLCK, offset);
    fcntl(fd, F_OFD_SETLK, &lock);
}

// Whether another open holds the byte; an unknown answer counts as held.
bool byte_held(int fd, off_t offset)
{
    struct flock lock = one_byte(F_WRLCK, offset);
    return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

ClockMemoryResult refusal(SharedFileResult result)
{
    switch (result) {
    case SharedFileResult::kForeignOwner:
    case SharedFileResult::kWrongMode:
    case SharedFileResult::kNotRegularFile:
        return ClockMemoryResult::kAccessDenied;
    default:
        return ClockMemoryResult::kSystemError;
    }
}

ClockMemoryResult map_file(ClockMemory* memory, size_t bytes)
{
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory->fd, 0);
    if (mapped == MAP_FAILED) {
        return ClockMemoryResult::kSystemError;
    }
    memory->bytes = mapped;
    memory->size = bytes;
    return ClockMemoryResult::kOpened;
}

ClockMemoryResult create_fresh(ClockMemory* memory, size_t bytes)
{
    SharedFile file;
    bool created = false;
    const SharedFileResult found = open_private_file(memory->shm_name, true, &file, &created);
    if (found != SharedFileResult::kOpened) {
        return refusal(found);
    }
    memory->fd = file.fd;
    if (!created) {
        return ClockMemoryResult::kNameInUse;
    }
    if (ftruncate(memory->fd, static_cast<off_t>(bytes)) != 0 || !lock_byte(memory->fd, kCreatorLockOffset)) {
        shm_unlink(memory->shm_name.c_str());
        return ClockMemoryResult::kSystemError;
    }
    return map_file(memory, bytes);
}

ClockMemoryResult create_named(ClockMemory* memory, size_t bytes)
{
    ClockMemoryResult result = create_fresh(memory, bytes);
    if (result != ClockMemoryResult::kNameInUse) {
        return result;
    }
    // The creator's lock of a name whose creator ended, taken here, makes this
    // process the one that takes the name over, and no other: held until the
    // new file is made, so that no later taker unlinks that one.
    const int found = memory->fd;
    memory->fd = -1;
    if (lock_byte(found, kCreatorLockOffset)) {
        shm_unlink(memory->shm_name.c_str());
        result = create_fresh(memory, bytes);
    }
    close(found);
    return result;
}

}  // namespace

ClockMemoryResult create_clock_memory(const char* name, size_t bytes, ClockMemory** memory)
{
    auto* made = new (std::nothrow) ClockMemory;
    if (made == nullptr) {
        return ClockMemoryResult::kNoMemory;
    }
    ClockMemoryResult result = ClockMemoryResult::kOpened;
    if (name == nullptr) {
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            result = ClockMemoryResult::kNoMemory;
        } else {
            made->bytes = mapped;
            made->size = bytes;
        }
    } else {
        made->shm_name = clock_file_name(name);
        result = create_named(made, bytes);
    }
    if (result != ClockMemoryResult::kOpened) {
        close_clock_memory(made);
        return result;
    }
    if (made->fd >= 0) {
        add_named(made);
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
    opened->shm_name = clock_file_name(name);
    SharedFile file;
    bool created = false;
    const SharedFileResult found = open_private_file(opened->shm_name, false, &file, &created);
    ClockMemoryResult result = ClockMemoryResult::kOpened;
    if (found != SharedFileResult::kOpened) {
        result = found == SharedFileResult::kSystemError && file.error_number == ENOENT ? ClockMemoryResult::kNotFound
                                                                                         : refusal(found);
    } else {
        opened->fd = file.fd;
        // A file shorter than a clock is no clock: mapped, it would fault.
        const off_t size = lseek(opened->fd, 0, SEEK_END);
        result = size < static_cast<off_t>(bytes) ? ClockMemoryResult::kNotFound : map_file(opened, bytes);
    }
    if (result != ClockMemoryResult::kOpened) {
        close_clock_memory(opened);
        return result;
    }
    add_named(opened);
    *memory = opened;
    return result;
}

void* clock_memory_bytes(ClockMemory* memory)
{
    return memory->bytes;
}

void close_clock_memory(ClockMemory* memory)
{
    if (memory->fd >= 0) {
        remove_named(memory);
    }
    if (memory->bytes != nullptr) {
        munmap(memory->bytes, memory->size);
    }
    if (memory->fd >= 0) {
        close(memory->fd);
    }
    delete memory;
}

void unlink_clock_memory(ClockMemory* memory)
{
    if (memory->fd >= 0) {
        shm_unlink(memory->shm_name.c_str());
    }
}

bool claim_process_slot(ClockMemory* memory, uint32_t slot)
{
    return memory->fd < 0 || lock_byte(memory->fd, kProcessLockOffset + slot);
}

void release_process_slot(ClockMemory* memory, uint32_t slot)
{
    if (memory->fd >= 0) {
        unlock_byte(memory->fd, kProcessLockOffset + slot);
    }
}

bool process_slot_alive(ClockMemory* memory, uint32_t slot)
{
    return memory->fd < 0 || byte_held(memory->fd, kProcessLockOffset + slot);
}

WordWait wait_on_word(ClockMemory* memory, uint32_t /*event*/, std::atomic<uint32_t>* word, uint32_t expected,
                      int64_t timeout_ns)
{
    const timespec timeout = detail::to_timespec(timeout_ns);
    if (detail::futex_wait(word, expected, timeout_ns < 0 ? nullptr : &timeout, memory->fd >= 0) == 0) {
        return WordWait::kWoken;
    }
    switch (errno) {
    case ETIMEDOUT:
        return WordWait::kTimedOut;
    case EINTR:
        return WordWait::kInterrupted;
    case EAGAIN:
        return WordWait::kWoken;
    default:
        return WordWait::kFailed;
    }
}

void wake_word(ClockMemory* memory, uint32_t /*event*/, std::atomic<uint32_t>* word)
{
    detail::futex_wake(word, INT32_MAX, memory->fd >= 0);
}

struct ClockThread {
    pthread_t thread;
    void (*body)(void*);
    void* argument;
};

namespace {

void* run_clock_thread(void* started)
{
    auto* thread = static_cast<ClockThread*>(started);
    thread->body(thread->argument);
    return nullptr;
}

}  // namespace

ClockThread* start_clock_thread(void (*body)(void*), void* argument)
{
    auto* thread = new (std::nothrow) ClockThread{{}, body, argument};
    if (thread == nullptr) {
        return nullptr;
    }
    // The host's signals go to its own threads.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int failed = pthread_create(&thread->thread, nullptr, run_clock_thread, thread);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_clock_thread(ClockThread* thread)
{
    pthread_join(thread->thread, nullptr);
    delete thread;
}

void forget_clock_thread(ClockThread* thread)
{
    delete thread;
}

namespace detail {

void lock_clock_memories()
{
    pthread_mutex_lock(&named_lock);
}

void unlock_clock_memories()
{
    pthread_mutex_unlock(&named_lock);
}

// Only system calls, in the child's only thread. An open that fails leaves
// the copy, which still maps the clock but holds the parent's locks.
void reopen_clock_memories_in_child()
{
    for (ClockMemory* memory = named_memories; memory != nullptr; memory = memory->next_named) {
        char path[32] = "/proc/self/fd/";
        *std::to_chars(path + 14, path + sizeof path - 1, memory->fd).ptr = 0;
        const int own = open(path, O_RDWR | O_CLOEXEC);
        if (own >= 0) {
            dup3(own, memory->fd, O_CLOEXEC);
            close(own);
        }
    }
}

}  // namespace detail

}  // namespace platform
