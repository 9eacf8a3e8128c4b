// libvarnex.so under load, misuse and interference: many open/close cycles,
// edge-case arguments, hostile neighbours on the shared event, and unloading.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <linux/futex.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>

#include "host_os.h"
#include "stderr_capture.h"
#include "varnex.h"

extern char** environ;

namespace {

using host::seconds_now;
using host::sleep_for;

int entries_in(const char* directory)
{
    int entries = 0;
    DIR* listing = opendir(directory);
    while (const dirent* entry = readdir(listing)) {
        entries += entry->d_name[0] == '.' ? 0 : 1;
    }
    closedir(listing);
    return entries;
}

int threads()
{
    // A sanitizer's runtime starts its own thread at the first creation.
    static const bool runtime_started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)runtime_started;
    return entries_in("/proc/self/task");
}

// Less one: opendir's own descriptor.
int open_descriptors()
{
    return entries_in("/proc/self/fd") - 1;
}

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Polls until `condition` holds or `limit_s` passes.
template <typename Condition>
bool eventually(Condition condition, double limit_s = 5.0)
{
    const double deadline_s = seconds_now() + limit_s;
    while (!condition()) {
        if (seconds_now() > deadline_s) {
            return false;
        }
        sleep_for(0.001);
    }
    return true;
}

TEST(Stress, TenThousandThreadedCyclesLeaveNothingBehind)
{
    const int threads_before = threads();
    const int descriptors_before = open_descriptors();
    constexpr long kRate = 20000;
    int polling_opens = 0;
    void* timer = nullptr;
    for (int cycle = 0; cycle < 10000; ++cycle) {
        switch (cycle % 4) {
        case 0:  // open, wait, close
            timer = OpenRTTimer(kRate, cycle % 3);
            ASSERT_NE(timer, nullptr);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            CloseRTTimer(timer);
            break;
        case 1:  // quick close-then-open
            timer = OpenRTTimer(kRate, 2);
            CloseRTTimer(timer);
            timer = OpenRTTimer(kRate, 2);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            break;
        case 2:  // an open without a close replaces the timer
            timer = OpenRTTimer(kRate, 1);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            break;
        default:
            CloseRTTimer(timer);
            break;
        }
        if (cycle % 50 == 0) {
            const long polling_rate = 10000 + cycle;
            ASSERT_EQ(OpenRTTimerLV(polling_rate, 0), 0xFFFFFFFFu);
            const double threshold_s = (1e9 / polling_rate - 1) / 1e9;
            for (int wait = 0; wait < 3; ++wait) {
                ASSERT_GE(WaitForRTTimerLV(0), threshold_s - 1e-9);
            }
            ++polling_opens;
        }
    }
    CloseRTTimer(timer);
    EXPECT_EQ(polling_opens, 200);
    EXPECT_TRUE(eventually([&] { return threads() == threads_before; })) << threads() << " threads";
    EXPECT_EQ(open_descriptors(), descriptors_before);
    std::printf("10000 cycles: threads %d before, %d after; descriptors %d before, %d after\n",
                threads_before, threads(), descriptors_before, open_descriptors());
    // No worker left spinning: the process is idle.
    const double cpu_before_s = cpu_seconds();
    sleep_for(0.3);
    EXPECT_LT(cpu_seconds() - cpu_before_s, 0.1);
}

long resident_kib()
{
    long pages = 0;
    long resident_pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld %ld", &pages, &resident_pages) != 2) {
        resident_pages = -1;
    }
    if (statm != nullptr) {
        std::fclose(statm);
    }
    return resident_pages * (sysconf(_SC_PAGESIZE) / 1024);
}

// A Linux host cannot close the handle an open gives it: the library must
// reclaim what an ended worker leaves.
TEST(Stress, HundredThousandOpensKeepMemoryFlat)
{
#if defined(VARNEX_SANITIZED)
    GTEST_SKIP() << "a sanitizer's allocator keeps what is freed";
#endif
    long after_first_thousand_kib = 0;
    void* timer = nullptr;
    for (int cycle = 1; cycle <= 100000; ++cycle) {
        timer = OpenRTTimer(20000, 2);
        ASSERT_NE(timer, nullptr);
        ASSERT_GE(WaitForRTTimer(timer), 0.0);
        CloseRTTimer(timer);
        if (cycle == 1000) {
            after_first_thousand_kib = resident_kib();
        }
    }
    EXPECT_TRUE(eventually([&] { return CloseRTTimer(timer) == -1; })) << "a handle the host holds still works";
    const long after_all_kib = resident_kib();
    std::printf("resident: %ld KiB after 1,000 opens, %ld KiB after 100,000\n", after_first_thousand_kib,
                after_all_kib);
    EXPECT_LE(after_all_kib - after_first_thousand_kib, 1024);
}

TEST(BadInput, EveryRateWithEveryPriorityIndex)
{
    constexpr long kFrequency = 1000000000;
    const long rates[] = {LONG_MIN, -1, 0, 1, kFrequency - 1, kFrequency, kFrequency + 1, LONG_MAX};
    const int indexes[] = {INT_MIN, -1, 0, 1, 2, 3, INT_MAX};
    const int threads_before = threads();
    for (const long rate : rates) {
        for (const int index : indexes) {
            SCOPED_TRACE(std::to_string(rate) + " " + std::to_string(index));
            const bool valid = rate > 0 && index >= 0 && index <= 2;
            const char* report = valid ? "" : "Info: Performance counter is not available.\n";
            StderrCapture polling;
            EXPECT_EQ(OpenRTTimerLV(rate, index), valid ? 0xFFFFFFFFu : 0u);
            EXPECT_EQ(polling.text(), report);
            StderrCapture threaded;
            void* timer = OpenRTTimer(rate, index);
            EXPECT_EQ(threaded.text(), report);
            EXPECT_EQ(timer != nullptr, valid);
            // Closed at once; a rate of 1 leaves its worker one second of spin.
            CloseRTTimer(timer);
        }
    }
    EXPECT_TRUE(eventually([&] { return threads() == threads_before; })) << threads() << " threads";
}

TEST(Misuse, HandlesThatAreNotTheTimers)
{
    int not_a_handle = 0;
    EXPECT_EQ(CloseRTTimer(&not_a_handle), 0);
    EXPECT_EQ(CloseRTTimer(reinterpret_cast<void*>(UINTPTR_MAX)), 0);
    void* first = OpenRTTimer(100, 0);
    ASSERT_NE(first, nullptr);
    // The wait uses its handle only to close on failure.
    EXPECT_GT(WaitForRTTimer(&not_a_handle), 0.0);
    EXPECT_EQ(CloseRTTimer(first), 0) << "just after a tick, the worker is in its last spin";
    CloseRTTimer(first);
    EXPECT_TRUE(eventually([&] { return CloseRTTimer(first) == -1; }));
    EXPECT_EQ(WaitForRTTimer(first), -1.0);
}

std::string tick_event_path()
{
    return "/dev/shm/MyTimerSignal." + std::to_string(geteuid());
}

void remove_tick_event_file()
{
    unlink(tick_event_path().c_str());
    rmdir(tick_event_path().c_str());
}

// Anything at the event's path but this user's own file at 0600 could be
// signalled, truncated or locked by someone else: the open refuses it,
// reports why, and leaves nothing running.
TEST(Neighbours, AnEventFileThatIsNotThisUsersOwnFailsTheOpenCleanly)
{
    constexpr uid_t kOtherUser = 12346;
    struct Planted {
        const char* what;
        mode_t mode;
        uid_t owner;
        const char* reason;
    };
    const Planted planted[] = {
        {"directory", 0700, 0, "not a regular file"},
        {"another user's file", 0600, kOtherUser, "owned by uid 12346"},
        {"a file others may write", 0666, 0, "mode 0666"},
        {"a file the group may read", 0640, 0, "mode 0640"},
    };
    for (const Planted& plant : planted) {
        SCOPED_TRACE(plant.what);
        remove_tick_event_file();
        if (plant.mode == 0700) {
            ASSERT_EQ(mkdir(tick_event_path().c_str(), plant.mode), 0);
        } else {
            const int fd = open(tick_event_path().c_str(), O_RDWR | O_CREAT | O_EXCL, plant.mode);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(fchmod(fd, plant.mode), 0);
            const uid_t owner = plant.owner == 0 ? geteuid() : plant.owner;
            // Planting another user's file takes root, as CI has.
            if (fchown(fd, owner, owner) != 0) {
                close(fd);
                GTEST_SKIP() << "cannot plant a file of another user without root";
            }
            close(fd);
        }
        const int threads_before = threads();
        StderrCapture capture;
        EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
        EXPECT_NE(capture.text().find(plant.reason), std::string::npos) << capture.text();
        EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
        EXPECT_TRUE(eventually([&] { return threads() == threads_before; }));
    }
    remove_tick_event_file();
    const mode_t umask_before = umask(0277);
    void* timer = OpenRTTimer(100, 0);
    umask(umask_before);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    struct stat status {};
    ASSERT_EQ(stat(tick_event_path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "made private whatever the umask";
    CloseRTTimer(timer);
}

// Ten ticks per second: the outside signal comes half a period before the
// worker's next tick, and the released wait must return within a quarter.
TEST(Neighbours, ASignalFromOutsideReleasesOneWaitThenTheTicksResume)
{
    constexpr double kPeriod_s = 0.1;
    void* timer = OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    double tick_s = 0.0;
    for (double start_s = 0.0; tick_s - start_s < kPeriod_s / 4;) {
        start_s = seconds_now();
        WaitForRTTimer(timer);
        tick_s = seconds_now();
    }
    const int fd = open(tick_event_path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    auto* word = static_cast<std::atomic<uint32_t>*>(mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    sleep_for(std::max(0.0, tick_s + kPeriod_s / 2 - seconds_now()));
    word->store(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    const double start_s = seconds_now();
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    EXPECT_LT(seconds_now() - start_s, kPeriod_s / 4) << "the outside signal released the wait early";
    WaitForRTTimer(timer);
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 2 * kPeriod_s) << "back on the worker's ticks";
    munmap(word, 4);
    close(fd);
    CloseRTTimer(timer);
}

TEST(Neighbours, AProcessKilledWhileHoldingTheEventLeavesNoStaleTick)
{
    // The peer's worker ticks 300 times a second with no one waiting: the
    // event is signalled when the peer dies.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    const std::string program = VARNEX_TIMER_PEER;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("tick"),
                    const_cast<char*>("300"), const_cast<char*>("30"), nullptr};
    pid_t peer = 0;
    ASSERT_EQ(posix_spawn(&peer, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    char ready[8] = {};
    ASSERT_GT(read(pipe_fds[0], ready, sizeof ready), 0);
    close(pipe_fds[0]);
    sleep_for(0.05);
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);

    const double open_s = seconds_now();
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    EXPECT_GT(seconds_now() - open_s, 0.005) << "the first wait took a tick left by the dead process";
    CloseRTTimer(timer);
}

}  // namespace
