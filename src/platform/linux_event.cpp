// Linux: the named event is a futex word in POSIX shared memory, so that
// processes of one user share ticks as they do on Windows.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux_internal.h"

namespace platform {

namespace detail {

EventObject::~EventObject()
{
    if (shared != nullptr) {
        munmap(shared, sizeof(SharedEvent));
    }
    if (fd >= 0) {
        close(fd);
    }
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

// Another process of this user holds the event's lock exclusively only while
// it starts the event; one that keeps it fails our open instead of hanging it.
constexpr int kLockAttempts = 200;
constexpr long kLockRetryNs = 1000000;

// Where glibc's shm_open keeps its objects.
constexpr const char* kShmDirectory = "/dev/shm";

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
// open's message box.
void refuse_event(const std::string& path, const std::string& reason)
{
    std::fprintf(stderr, "Varnex: the tick event %s%s is not used: %s\n", kShmDirectory, path.c_str(),
                 reason.c_str());
}

// This user's event file, created at 0600 or found; anything else at the path
// is refused. /dev/shm is world-writable: a file another user put there could
// be signalled, truncated (SIGBUS on the next tick) or locked by that user.
int open_private_event_file(const std::string& path)
{
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        // The umask may have taken bits that every process of the user needs.
        fchmod(fd, 0600);
        return fd;
    }
    // Without O_CREAT, so that fs.protected_regular cannot refuse the open of
    // a file that is ours; shm_open adds O_NOFOLLOW.
    if (errno == EEXIST) {
        fd = shm_open(path.c_str(), O_RDWR, 0);
    }
    if (fd < 0) {
        const int open_error = errno;
        // shm_open turns EISDIR into EINVAL, and a link gives ELOOP.
        struct stat status {};
        const bool irregular = lstat((kShmDirectory + path).c_str(), &status) == 0 && !S_ISREG(status.st_mode);
        refuse_event(path, irregular ? "not a regular file" : std::strerror(open_error));
        return -1;
    }
    struct stat status {};
    std::string reason;
    if (fstat(fd, &status) != 0) {
        reason = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        reason = "not a regular file";
    } else if (status.st_uid != geteuid()) {
        reason = "owned by uid " + std::to_string(status.st_uid) + ", not by this user";
    } else if ((status.st_mode & 07777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        reason = std::string("mode ") + mode + ", not 0600";
    }
    if (!reason.empty()) {
        refuse_event(path, reason);
        close(fd);
        return -1;
    }
    return fd;
}

bool take_shared_lock(int fd)
{
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            return true;
        }
        const timespec pause{0, kLockRetryNs};
        nanosleep(&pause, nullptr);
    }
    return false;
}

}  // namespace

Handle create_named_event(const char* name)
{
    // A function of the user alone, so that every process of the user finds
    // it, whatever its environment.
    // Appended piece by piece: GCC 12's "/" + std::string warns falsely (-Wrestrict) at -O3.
    std::string path = "/";
    path += name;
    path += ".";
    path += std::to_string(geteuid());
    auto event = std::make_shared<EventObject>();
    event->fd = open_private_event_file(path);
    if (event->fd < 0) {
        return nullptr;
    }
    if (ftruncate(event->fd, sizeof(SharedEvent)) != 0) {
        return nullptr;
    }
    void* page = mmap(nullptr, sizeof(SharedEvent), PROT_READ | PROT_WRITE, MAP_SHARED, event->fd, 0);
    if (page == MAP_FAILED) {
        return nullptr;
    }
    event->shared = static_cast<SharedEvent*>(page);
    // Every holder keeps a shared lock, so the first creator, the one that
    // gets the exclusive lock, knows the object is not in use and starts it
    // unsignalled. The kernel drops the lock of a process that was killed.
    if (flock(event->fd, LOCK_EX | LOCK_NB) == 0) {
        event->shared->pending.store(0);
    }
    if (!take_shared_lock(event->fd)) {
        refuse_event(path, "another process keeps it locked");
        return nullptr;
    }
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
