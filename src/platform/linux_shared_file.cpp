// Linux: the user's private file of shared memory, checked before it is
// mapped and held under a lock that tells its first holder.
#include "platform/linux_shared_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// Another process of this user holds the lock exclusively only while it
// starts the file; one that keeps it fails our open instead of hanging it.
constexpr int kLockAttempts = 200;
constexpr long kLockRetryNs = 1000000;

// Where glibc's shm_open keeps its objects.
constexpr const char* kShmDirectory = "/dev/shm";

}  // namespace

SharedFileResult open_private_file(const std::string& shm_name, bool may_create, SharedFile* file,
                                   bool* created)
{
    *created = false;
    int fd = may_create ? shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600) : -1;
    if (fd >= 0) {
        // The umask may have taken bits that every process of the user needs.
        fchmod(fd, 0600);
        file->fd = fd;
        *created = true;
        return SharedFileResult::kOpened;
    }
    // Without O_CREAT, so that fs.protected_regular cannot refuse the open of
    // a file that is ours; shm_open adds O_NOFOLLOW.
    if (!may_create || errno == EEXIST) {
        fd = shm_open(shm_name.c_str(), O_RDWR, 0);
    }
    if (fd < 0) {
        file->error_number = errno;
        // shm_open turns EISDIR into EINVAL, and a link gives ELOOP.
        struct stat status {};
        const bool irregular = lstat(file->path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
        return irregular ? SharedFileResult::kNotRegularFile : SharedFileResult::kSystemError;
    }
    struct stat status {};
    SharedFileResult result = SharedFileResult::kOpened;
    if (fstat(fd, &status) != 0) {
        file->error_number = errno;
        result = SharedFileResult::kSystemError;
    } else if (!S_ISREG(status.st_mode)) {
        result = SharedFileResult::kNotRegularFile;
    } else if (status.st_uid != geteuid()) {
        file->owner_uid = status.st_uid;
        result = SharedFileResult::kForeignOwner;
    } else if ((status.st_mode & 07777) != 0600) {
        file->mode = status.st_mode & 07777;
        result = SharedFileResult::kWrongMode;
    }
    if (result != SharedFileResult::kOpened) {
        close(fd);
        return result;
    }
    file->fd = fd;
    return result;
}

std::string private_shm_name(const char* name)
{
    // Appended piece by piece: GCC 12's "/" + std::string warns falsely (-Wrestrict) at -O3.
    std::string shm_name = "/";
    shm_name += name;
    shm_name += ".";
    shm_name += std::to_string(geteuid());
    return shm_name;
}

namespace {

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

SharedFileResult open_shared_file(const char* name, size_t bytes, SharedFile* file)
{
    const std::string shm_name = private_shm_name(name);
    file->path = kShmDirectory;
    file->path += shm_name;
    bool created = false;
    SharedFileResult result = open_private_file(shm_name, true, file, &created);
    if (result != SharedFileResult::kOpened) {
        return result;
    }
    if (ftruncate(file->fd, static_cast<off_t>(bytes)) != 0) {
        result = SharedFileResult::kResizeFailed;
    } else if (void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
               memory == MAP_FAILED) {
        result = SharedFileResult::kMapFailed;
    } else {
        file->memory = memory;
        file->bytes = bytes;
        // Every holder keeps a shared lock, so the one that gets the exclusive
        // lock knows the file is not in use. The kernel drops the lock of a
        // process that was killed.
        if (flock(file->fd, LOCK_EX | LOCK_NB) == 0) {
            std::memset(memory, 0, bytes);
        }
        if (!take_shared_lock(file->fd)) {
            result = SharedFileResult::kLockedByOther;
        }
    }
    if (result != SharedFileResult::kOpened) {
        close_shared_file(file);
    }
    return result;
}

void close_shared_file(SharedFile* file)
{
    if (file->memory != nullptr) {
        munmap(file->memory, file->bytes);
        file->memory = nullptr;
    }
    if (file->fd >= 0) {
        close(file->fd);
        file->fd = -1;
    }
}

}  // namespace platform
