// The private shared-memory file on its own: what it refuses and why, and
// who finds it zeroed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/linux_shared_file.h"

namespace {

using platform::SharedFile;
using platform::SharedFileResult;

const std::string kName = "VarnexSharedFileTest" + std::to_string(getpid());
const std::string kPath = "/dev/shm/" + kName + "." + std::to_string(geteuid());

size_t open_descriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

void plant_file(mode_t mode)
{
    const int fd = open(kPath.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, mode), 0);
    ASSERT_EQ(write(fd, "stale", 5), 5);
    close(fd);
}

TEST(SharedFile, AnythingButThisUsersOwnFileAt0600IsRefusedWithWhatWasFound)
{
    const size_t descriptors_before = open_descriptors();
    SharedFile file;
    std::filesystem::remove_all(kPath);
    ASSERT_EQ(mkdir(kPath.c_str(), 0700), 0);
    EXPECT_EQ(platform::open_shared_file(kName.c_str(), 4, &file), SharedFileResult::kNotRegularFile);
    EXPECT_EQ(file.path, kPath);
    std::filesystem::remove_all(kPath);
    ASSERT_EQ(symlink("/dev/null", kPath.c_str()), 0);
    EXPECT_EQ(platform::open_shared_file(kName.c_str(), 4, &file), SharedFileResult::kNotRegularFile);
    std::filesystem::remove_all(kPath);
    plant_file(0640);
    EXPECT_EQ(platform::open_shared_file(kName.c_str(), 4, &file), SharedFileResult::kWrongMode);
    EXPECT_EQ(file.mode, 0640u);
    // Held exclusively, as by a process stopped while it starts the file.
    ASSERT_EQ(chmod(kPath.c_str(), 0600), 0);
    const int holder = open(kPath.c_str(), O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_EQ(platform::open_shared_file(kName.c_str(), 4, &file), SharedFileResult::kLockedByOther);
    close(holder);
    EXPECT_EQ(open_descriptors(), descriptors_before) << "a refusal left a descriptor open";
    EXPECT_EQ(file.fd, -1);
    EXPECT_EQ(file.memory, nullptr);
    std::filesystem::remove_all(kPath);
}

TEST(SharedFile, OnlyAHolderWithNoOtherFindsItZeroed)
{
    std::filesystem::remove_all(kPath);
    plant_file(0600);
    SharedFile first;
    ASSERT_EQ(platform::open_shared_file(kName.c_str(), sizeof(uint64_t), &first), SharedFileResult::kOpened);
    EXPECT_EQ(*static_cast<uint64_t*>(first.memory), 0u) << "a killed holder's bytes were kept";
    *static_cast<uint64_t*>(first.memory) = 42;
    SharedFile second;
    ASSERT_EQ(platform::open_shared_file(kName.c_str(), sizeof(uint64_t), &second), SharedFileResult::kOpened);
    EXPECT_EQ(*static_cast<uint64_t*>(second.memory), 42u) << "a second holder zeroed the first's";
    platform::close_shared_file(&first);
    platform::close_shared_file(&second);
    SharedFile alone;
    ASSERT_EQ(platform::open_shared_file(kName.c_str(), sizeof(uint64_t), &alone), SharedFileResult::kOpened);
    EXPECT_EQ(*static_cast<uint64_t*>(alone.memory), 0u);
    platform::close_shared_file(&alone);
    std::filesystem::remove_all(kPath);
}

}  // namespace
