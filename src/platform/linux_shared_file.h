// Linux: a file of POSIX shared memory that every process of one user maps
// by one name, and no other user can reach.
#ifndef VARNEX_PLATFORM_LINUX_SHARED_FILE_H
#define VARNEX_PLATFORM_LINUX_SHARED_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace platform {

enum class SharedFileResult {
    kOpened,
    kSystemError,     // the open or the status read failed: error_number
    kNotRegularFile,  // a directory, a link, a device, ...
    kForeignOwner,    // another user's file: owner_uid
    kWrongMode,       // this user's, but not at 0600: mode
    kResizeFailed,
    kMapFailed,
    kLockedByOther,   // another process kept the holders' lock exclusively
};

struct SharedFile {
    int fd = -1;
    void* memory = nullptr;
    size_t bytes = 0;
    // For the caller's report of a refusal: the file's path, and what was
    // found there.
    std::string path;
    int error_number = 0;
    uid_t owner_uid = 0;
    mode_t mode = 0;
};

// Maps `bytes` of /dev/shm/NAME.EUID: a function of the user alone, so that
// every process of the user finds it whatever its environment. The file is
// created at 0600 whatever the umask, or found as this user's own regular
// file at 0600; anything else is refused, since /dev/shm is world-writable
// and another user's file there could be written, truncated (SIGBUS on the
// next read) or locked by that user. Each holder keeps a shared lock on it
// until the close; a file that no other process holds is zeroed first,
// whatever a holder that was killed left in it. On a refusal nothing stays
// open, and `file` says what was found.
SharedFileResult open_shared_file(const char* name, size_t bytes, SharedFile* file);
void close_shared_file(SharedFile* file);

// NAME.EUID, as shm_open takes it.
std::string private_shm_name(const char* name);
// The file alone, unsized and unmapped: created at 0600 (when `may_create`,
// and then `*created`), or found and checked as open_shared_file checks it.
SharedFileResult open_private_file(const std::string& shm_name, bool may_create, SharedFile* file,
                                   bool* created);

}  // namespace platform

#endif
