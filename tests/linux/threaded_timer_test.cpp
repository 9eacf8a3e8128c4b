// libvarnex.so's threaded timer on real threads and the shared event. Timing
// assertions are lower bounds, counts, and upper bounds far from any
// plausible delay.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "varnex.h"

extern char** environ;

namespace {

constexpr double kPeriod100s = 0.01;
constexpr double kPeriod10s = 0.1;

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleep_for(double seconds)
{
    const timespec pause{static_cast<time_t>(seconds),
                         static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    nanosleep(&pause, nullptr);
}

// A sanitizer's runtime starts a thread of its own at the first thread
// creation; making one first keeps it out of the counts below.
void start_runtime_threads()
{
    static const bool started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)started;
}

std::set<int> thread_ids()
{
    start_runtime_threads();
    std::set<int> ids;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ids.insert(std::atoi(entry->d_name));
        }
    }
    closedir(tasks);
    return ids;
}

// The thread that an open added to the process.
int new_thread(const std::set<int>& before)
{
    for (const int id : thread_ids()) {
        if (before.count(id) == 0) {
            return id;
        }
    }
    return 0;
}

int nice_of(int thread_id)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread_id) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    // Field 19 of stat is the nice value; fields from the third on follow ')'.
    for (int index = 3; index <= 19; ++index) {
        fields >> field;
    }
    return std::stoi(field);
}

// Closes, then waits (at most `limit_s`) for the worker to end; the seconds
// that took, or a negative number if it did not end.
double close_and_time_the_end(void* timer, double limit_s = 2.0)
{
    const double start_s = seconds_now();
    CloseRTTimer(timer);
    while (seconds_now() - start_s < limit_s) {
        if (CloseRTTimer(timer) == -1) {
            return seconds_now() - start_s;
        }
    }
    return -1.0;
}

TEST(ThreadedTimer, PriorityIndexSetsTheWorkersNiceBelowTheProcesses)
{
    const int process_nice = nice_of(getpid());
    // Raising a thread needs CAP_SYS_NICE; without it the request is refused
    // and ignored.
    const bool may_raise = geteuid() == 0;
    const int expected_offset[] = {may_raise ? -10 : 0, may_raise ? -5 : 0, 0};
    for (int index = 0; index <= 2; ++index) {
        SCOPED_TRACE(index);
        const std::set<int> before = thread_ids();
        void* timer = OpenRTTimer(100, index);
        ASSERT_NE(timer, nullptr);
        const int worker = new_thread(before);
        ASSERT_NE(worker, 0);
        EXPECT_EQ(nice_of(worker) - process_nice, expected_offset[index]);
        EXPECT_GE(close_and_time_the_end(timer), 0.0);
    }
}

TEST(ThreadedTimer, WaitsAtHundredTicksPerSecond)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    // The first wait after loading measures from reading 0: the whole uptime.
    EXPECT_GT(WaitForRTTimer(timer), 0.1);
    std::vector<double> intervals_s;
    const double start_s = seconds_now();
    for (int wait = 0; wait < 50; ++wait) {
        intervals_s.push_back(WaitForRTTimer(timer));
    }
    const double total_s = seconds_now() - start_s;
    EXPECT_GE(total_s, 49 * kPeriod100s * 0.99);
    std::sort(intervals_s.begin(), intervals_s.end());
    EXPECT_GT(intervals_s.front(), 0.0);
    EXPECT_GT(intervals_s[intervals_s.size() / 2], 0.008);
    EXPECT_LT(intervals_s[intervals_s.size() / 2], 0.02);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

// Returns once a wait has blocked until a fresh tick, with the time it
// returned: the phase then comes from a tick, not from a wait that may have
// returned late, or at once on a held tick.
double wait_for_a_fresh_tick(void* timer, double period_s)
{
    for (;;) {
        const double start_s = seconds_now();
        WaitForRTTimer(timer);
        const double returned_s = seconds_now();
        if (returned_s - start_s > period_s / 4) {
            return returned_s;
        }
    }
}

// Ten ticks per second, so that every bound lies a quarter period (25 ms) or
// more from both the expected time and the time a failure would show.
TEST(ThreadedTimer, LateCallerGetsOneImmediateReturnThenWaitsForTheNextTick)
{
    void* timer = OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    const double tick_s = wait_for_a_fresh_tick(timer, kPeriod10s);
    // 2.5 periods elsewhere, busy so that a sleep's overshoot cannot move the
    // phase: two ticks came and one is held; the next is half a period away.
    while (seconds_now() < tick_s + 2.5 * kPeriod10s) {
    }
    double start_s = seconds_now();
    const double late_interval_s = WaitForRTTimer(timer);
    EXPECT_LT(seconds_now() - start_s, kPeriod10s / 4) << "the held tick returns at once";
    EXPECT_GE(late_interval_s, 2.5 * kPeriod10s);
    // Had the missed ticks been kept, the next two waits would return at once
    // too; the next two ticks come at least a period apart, wherever the
    // phase lies.
    start_s = seconds_now();
    const double next_intervals_s = WaitForRTTimer(timer) + WaitForRTTimer(timer);
    EXPECT_GT(seconds_now() - start_s, kPeriod10s / 2) << "missed ticks are not delivered";
    EXPECT_LT(next_intervals_s, 3 * kPeriod10s);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

TEST(ThreadedTimer, WorkerEndsWithinAPeriodOfTheClose)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    WaitForRTTimer(timer);
    const std::set<int> with_worker = thread_ids();
    EXPECT_EQ(CloseRTTimer(timer), 0) << "the worker is in its last spin";
    const double end_s = close_and_time_the_end(timer);
    EXPECT_GE(end_s, 0.0);
    EXPECT_LT(end_s, 5 * kPeriod100s);
    // The handle reports the end as the routine returns; the kernel's task
    // goes a moment later.
    const double deadline_s = seconds_now() + 1.0;
    while (thread_ids().size() >= with_worker.size() && seconds_now() < deadline_s) {
        sleep_for(0.001);
    }
    EXPECT_EQ(thread_ids().size(), with_worker.size() - 1);
    EXPECT_EQ(CloseRTTimer(timer), -1);
    const double start_s = seconds_now();
    EXPECT_EQ(WaitForRTTimer(timer), -1.0);
    EXPECT_LT(seconds_now() - start_s, 0.5) << "a wait after the close fails at once";
}

std::atomic<int> worker_held{0};

// Delivered to the worker alone: holds it here, as SuspendThread would.
void hold_thread(int)
{
    worker_held.store(1);
    while (worker_held.load() == 1) {
        syscall(SYS_futex, &worker_held, 0 /* FUTEX_WAIT */, 1, nullptr, nullptr, 0);
    }
}

TEST(ThreadedTimer, SuspendedWorkerMakesTheWaitFailAfterTenSecondsAndClose)
{
    struct sigaction action {};
    action.sa_handler = hold_thread;
    sigaction(SIGUSR1, &action, nullptr);
    const std::set<int> before = thread_ids();
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    const int worker = new_thread(before);
    WaitForRTTimer(timer);
    syscall(SYS_tgkill, getpid(), worker, SIGUSR1);
    const double hold_deadline_s = seconds_now() + 5.0;
    while (worker_held.load() == 0 && seconds_now() < hold_deadline_s) {
        sleep_for(0.001);
    }
    ASSERT_EQ(worker_held.load(), 1) << "the worker never took the signal";
    // A tick may already be held in the event; the wait after it times out.
    double failed_after_s = -1.0;
    for (int wait = 0; wait < 2 && failed_after_s < 0; ++wait) {
        const double start_s = seconds_now();
        if (WaitForRTTimer(timer) == -1.0) {
            failed_after_s = seconds_now() - start_s;
        }
    }
    EXPECT_GE(failed_after_s, 9.9);
    EXPECT_LT(failed_after_s, 20.0);
    const double start_s = seconds_now();
    EXPECT_EQ(WaitForRTTimer(timer), -1.0) << "the failed wait closed the timer";
    EXPECT_LT(seconds_now() - start_s, 0.5);

    worker_held.store(0);
    syscall(SYS_futex, &worker_held, 1 /* FUTEX_WAKE */, 1, nullptr, nullptr, 0);
    EXPECT_GE(close_and_time_the_end(timer), 0.0) << "released, the worker finds nRunning 0";
}

TEST(ThreadedTimer, ReopeningLeavesExactlyOneWorkerTicking)
{
    const size_t threads_before = thread_ids().size();
    void* first = OpenRTTimer(100, 2);
    ASSERT_NE(first, nullptr);
    CloseRTTimer(first);
    void* second = OpenRTTimer(100, 2);
    ASSERT_NE(second, nullptr);
    void* third = OpenRTTimer(100, 2);
    ASSERT_NE(third, nullptr);
    sleep_for(5 * kPeriod100s);
    EXPECT_EQ(thread_ids().size(), threads_before + 1);
    // Two workers on the event would deliver 50 ticks in about 0.25 s.
    WaitForRTTimer(third);
    const double start_s = seconds_now();
    for (int wait = 0; wait < 50; ++wait) {
        ASSERT_GE(WaitForRTTimer(third), 0.0);
    }
    EXPECT_GE(seconds_now() - start_s, 49 * kPeriod100s * 0.9);
    EXPECT_GE(close_and_time_the_end(third), 0.0);
    EXPECT_EQ(CloseRTTimer(first), -1);
    EXPECT_EQ(CloseRTTimer(second), -1);
}

TEST(ThreadedTimer, PollingOpenChangesARunningWorkersPeriod)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    WaitForRTTimer(timer);
    WaitForRTTimer(timer);
    ASSERT_EQ(OpenRTTimerLV(25, 0), 0xFFFFFFFFu);
    WaitForRTTimer(timer);
    // Three periods of 40 ms, measured over all three so that one late
    // return does not shorten the next: at the old 10 ms they take 30 ms.
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 0.075);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

// Runs tests/linux/timer_peer; returns its stdout's reader and its pid.
struct Peer {
    pid_t pid = 0;
    FILE* output = nullptr;
};

Peer start_peer(const std::vector<std::string>& arguments)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    std::vector<char*> argv;
    const std::string program = VARNEX_TIMER_PEER;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    Peer peer;
    EXPECT_EQ(posix_spawn(&peer.pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    peer.output = fdopen(pipe_fds[0], "r");
    char line[64] = {};
    EXPECT_NE(fgets(line, sizeof line, peer.output), nullptr);
    EXPECT_STREQ(line, "ready\n");
    return peer;
}

int finish_peer(Peer& peer)
{
    int count = -1;
    if (fscanf(peer.output, "%d", &count) != 1) {
        count = -1;
    }
    fclose(peer.output);
    int status = 0;
    waitpid(peer.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return count;
}

// Alone, 0.5 s of waits at 100 ticks per second return about 50 times.
TEST(ThreadedTimer, AnotherProcesssWorkerReleasesOurWaits)
{
    Peer peer = start_peer({"tick", "300", "1.5"});
    void* timer = OpenRTTimer(100, 2);
    ASSERT_NE(timer, nullptr);
    int waits = 0;
    const double end_s = seconds_now() + 0.5;
    while (seconds_now() < end_s) {
        waits += WaitForRTTimer(timer) >= 0 ? 1 : 0;
    }
    EXPECT_GE(waits, 100);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
    finish_peer(peer);
}

TEST(ThreadedTimer, OurWorkerReleasesAnotherProcesssWaits)
{
    void* timer = OpenRTTimer(300, 2);
    ASSERT_NE(timer, nullptr);
    Peer peer = start_peer({"count", "100", "0.5"});
    EXPECT_GE(finish_peer(peer), 100);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

}  // namespace
