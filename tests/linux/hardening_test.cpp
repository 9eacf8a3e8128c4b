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

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>

#include "stderr_capture.h"
#include "varnex.h"

extern char** environ;

namespace {

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleep_for(double seconds)
{
    const auto whole = static_cast<time_t>(seconds);
    const timespec pause{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    nanosleep(&pause, nullptr);
}

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
    return "/dev/shm/MyTimerSignal." + std::to_string(getuid());
}

TEST(Neighbours, AnUnusableEventNameFailsTheOpenCleanly)
{
    // Whatever an earlier run left there, file or directory, goes first.
    unlink(tick_event_path().c_str());
    rmdir(tick_event_path().c_str());
    ASSERT_EQ(mkdir(tick_event_path().c_str(), 0700), 0);
    const int threads_before = threads();
    StderrCapture capture;
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
    EXPECT_EQ(capture.text(), "") << "no report, as for any failed creation";
    EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
    EXPECT_TRUE(eventually([&] { return threads() == threads_before; }));
    rmdir(tick_event_path().c_str());
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    CloseRTTimer(timer);
}

TEST(Neighbours, ASignalFromOutsideReleasesOneWaitThenTheTicksResume)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    WaitForRTTimer(timer);
    WaitForRTTimer(timer);
    const int fd = open(tick_event_path().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    auto* word = static_cast<std::atomic<uint32_t>*>(mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    sleep_for(0.002);
    word->store(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    const double start_s = seconds_now();
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    EXPECT_LT(seconds_now() - start_s, 0.004) << "the outside signal released the wait early";
    WaitForRTTimer(timer);
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 0.02) << "back on the worker's ticks";
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
