// The pacer's scheduling controls read back from the kernel while a wait
// holds them and after it: policy and priority, affinity, nice, timer slack,
// locked memory; in a child without privilege, each refusal reported; and
// the waiting thread's CPU time, which ends with the thread.
#include <gtest/gtest.h>

#include <linux/sched.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "varnex/pacer.h"

namespace {

varnex_pacer* create(uint32_t mode, uint32_t flags, uint64_t affinity_mask = 1)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 4;
    config.rate_den = 1;
    config.mode = mode;
    varnex_pacer* pacer = nullptr;
    EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    const varnex_pacer_controls controls{sizeof controls, flags, affinity_mask, 20, 0};
    EXPECT_EQ(varnex_pacer_set_controls(pacer, &controls), VARNEX_OK);
    return pacer;
}

struct ThreadState {
    int policy;
    int priority;
    int nice;
    uint64_t affinity;
    long slack_ns;
};

ThreadState state_of(pid_t tid)
{
    ThreadState state{};
    state.policy = sched_getscheduler(tid);
    sched_param param{};
    sched_getparam(tid, &param);
    state.priority = param.sched_priority;
    state.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(tid, sizeof cpus, &cpus);
    for (int cpu = 0; cpu < 64; ++cpu) {
        state.affinity |= CPU_ISSET(cpu, &cpus) ? uint64_t{1} << cpu : 0;
    }
    // Each thread is a /proc entry of its own; task/ has no timerslack_ns.
    std::ifstream("/proc/" + std::to_string(tid) + "/timerslack_ns") >> state.slack_ns;
    return state;
}

// Runs one wait in a thread of its own; `during` sees the thread's state
// once `held` says the wait holds its controls, within two seconds.
void watch_one_wait(varnex_pacer* pacer, const std::function<bool(const ThreadState&)>& held,
                    ThreadState& before, ThreadState& during, ThreadState& after)
{
    std::atomic<pid_t> tid{0};
    std::atomic<bool> seen{false};
    std::thread waiter([&] {
        before = state_of(gettid());
        tid.store(gettid());
        EXPECT_EQ(varnex_pacer_wait(pacer, nullptr), VARNEX_OK);
        after = state_of(gettid());
    });
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!seen.load() && std::chrono::steady_clock::now() < give_up) {
        if (tid.load() != 0) {
            during = state_of(tid.load());
            seen.store(held(during));
        }
    }
    waiter.join();
    EXPECT_TRUE(seen.load()) << "the wait never held its controls";
}

TEST(PacerControls, ASleepHoldsItsAffinityAndALowSlackAndPutsThemBack)
{
    varnex_pacer* pacer = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_AFFINITY);
    ThreadState before{}, during{}, after{};
    watch_one_wait(
        pacer, [](const ThreadState& state) { return state.affinity == 1 && state.slack_ns == 1; }, before, during,
        after);
    EXPECT_EQ(after.affinity, before.affinity);
    EXPECT_EQ(after.slack_ns, before.slack_ns);
    varnex_pacer_destroy(pacer);
}

// The kernel gives a real-time thread no timer slack at all.
TEST(PacerControls, ASleepHoldsRealTimeAndPutsItBack)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "SCHED_FIFO needs CAP_SYS_NICE; the unprivileged case has its own test";
    }
    varnex_pacer* pacer = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_REALTIME);
    ThreadState before{}, during{}, after{};
    watch_one_wait(pacer, [](const ThreadState& state) { return state.policy == SCHED_FIFO; }, before, during, after);
    EXPECT_EQ(during.priority, 20);
    EXPECT_EQ(after.policy, before.policy);
    EXPECT_EQ(after.priority, before.priority);
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(pacer, &stats);
    EXPECT_EQ(stats.controls_active, VARNEX_CONTROL_REALTIME);
    varnex_pacer_destroy(pacer);
}

TEST(PacerControls, ASpinHoldsTheBoostAndPutsItBack)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a nice below 0 needs CAP_SYS_NICE; the unprivileged case has its own test";
    }
    varnex_pacer* pacer = create(VARNEX_MODE_SPIN, VARNEX_CONTROL_BOOST);
    ThreadState before{}, during{}, after{};
    watch_one_wait(pacer, [](const ThreadState& state) { return state.nice == -20; }, before, during, after);
    EXPECT_EQ(after.nice, before.nice);
    varnex_pacer_destroy(pacer);
}

// A child that gives up root (and with it every capability) asks for each
// privileged control: each is reported denied, and the waits still tick.
TEST(PacerControls, WithoutPrivilegeEachControlIsReportedDenied)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) {
            _exit(10);
        }
        // Real time, and a nice below the host's: both need CAP_SYS_NICE.
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = 50;
        config.rate_den = 1;
        config.mode = VARNEX_MODE_HYBRID;
        varnex_pacer* pacer = nullptr;
        const varnex_pacer_controls controls{
            sizeof controls, VARNEX_CONTROL_REALTIME | VARNEX_CONTROL_BOOST | VARNEX_CONTROL_DMA_LATENCY, 0, 20, 0};
        if (varnex_pacer_create(&config, &pacer) != VARNEX_OK || varnex_pacer_set_controls(pacer, &controls) != VARNEX_OK) {
            _exit(11);
        }
        for (int tick = 0; tick < 20; ++tick) {
            if (varnex_pacer_wait(pacer, nullptr) != VARNEX_OK) {
                _exit(12);
            }
        }
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        varnex_pacer_get_stats(pacer, &stats);
        varnex_pacer_destroy(pacer);
        _exit(stats.controls_denied == controls.flags && stats.controls_active == 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no uid to drop to, 11: not created, 12: a wait failed, "
                                         "13: a control not reported denied";
}

// The Locked and Size fields of the mapping that holds `address`, in kB.
// Read from the task's folder: qemu's user-mode emulation answers
// /proc/self/smaps itself, every Locked field 0; the task's is the kernel's,
// at the same addresses.
std::pair<long, long> locked_and_size_kb(const void* address)
{
    std::ifstream smaps("/proc/self/task/" + std::to_string(gettid()) + "/smaps");
    const auto where = reinterpret_cast<uintptr_t>(address);
    std::string line;
    bool inside = false;
    long size_kb = -1;
    while (std::getline(smaps, line)) {
        uintptr_t start = 0;
        uintptr_t end = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (fields >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= where && where < end;
        } else if (inside && line.rfind("Size:", 0) == 0) {
            size_kb = std::stol(line.substr(5));
        } else if (inside && line.rfind("Locked:", 0) == 0) {
            return {std::stol(line.substr(7)), size_kb};
        }
    }
    return {-1, -1};
}

// A pacer locks its own pages alone: destroying a neighbour with the same
// control leaves it locked whole.
TEST(PacerControls, LockedMemoryIsThePacersOwn)
{
#ifdef VARNEX_SANITIZED
    GTEST_SKIP() << "the sanitizers make mlock a no-op";
#endif
    varnex_pacer* first = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_LOCK_MEMORY);
    varnex_pacer* second = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_LOCK_MEMORY);
    varnex_pacer_destroy(first);
    const auto [locked_kb, size_kb] = locked_and_size_kb(second);
    EXPECT_GT(locked_kb, 0) << "RLIMIT_MEMLOCK refused the lock";
    EXPECT_EQ(locked_kb, size_kb) << "some of the pacer's pages are not locked, or pages not its own are";
    varnex_pacer_destroy(second);
}

// A host that locked all its memory itself keeps it locked: the pacer's
// unlock touches no page of the host's, not even the host memory allocated
// right after the pacer, where a page could be shared.
TEST(PacerControls, AHostsOwnMemoryLockIsLeftAlone)
{
#ifdef VARNEX_SANITIZED
    GTEST_SKIP() << "the sanitizers make mlockall a no-op";
#endif
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        GTEST_SKIP() << "mlockall: " << std::strerror(errno);
    }
    varnex_pacer* pacer = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_LOCK_MEMORY);
    auto* after_first = static_cast<char*>(std::malloc(64));
    const varnex_pacer_controls none{sizeof none, 0, 0, 0, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer, &none), VARNEX_OK);
    const auto after_set = locked_and_size_kb(after_first);
    varnex_pacer* second = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_LOCK_MEMORY);
    auto* after_second = static_cast<char*>(std::malloc(64));
    varnex_pacer_destroy(second);
    const auto after_destroy = locked_and_size_kb(after_second);
    munlockall();
    varnex_pacer_destroy(pacer);
    std::free(after_first);
    std::free(after_second);
    EXPECT_EQ(after_set.first, after_set.second) << "set_controls(0) unlocked host memory";
    EXPECT_EQ(after_destroy.first, after_destroy.second) << "the destroy unlocked host memory";
}

// A SCHED_DEADLINE thread's runtime, deadline and period could not be put
// back through the policy calls: real time leaves it alone, and says so.
struct DeadlineAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime_ns;
    uint64_t deadline_ns;
    uint64_t period_ns;
};

TEST(PacerControls, RealTimeLeavesADeadlineThreadAsItIs)
{
    varnex_pacer* pacer = create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_REALTIME);
    std::string refused;
    DeadlineAttributes before{sizeof before, SCHED_DEADLINE, 0, 0, 0, 30000000, 100000000, 100000000};
    DeadlineAttributes after{};
    int result = VARNEX_OK;
    std::thread waiter([&] {
        if (syscall(SYS_sched_setattr, 0, &before, 0) != 0) {
            refused = std::strerror(errno);
            return;
        }
        result = varnex_pacer_wait(pacer, nullptr);
        syscall(SYS_sched_getattr, 0, &after, sizeof after, 0);
    });
    waiter.join();
    if (!refused.empty()) {
        varnex_pacer_destroy(pacer);
        GTEST_SKIP() << "SCHED_DEADLINE refused: " << refused;
    }
    EXPECT_EQ(result, VARNEX_OK);
    EXPECT_EQ(after.policy, static_cast<uint32_t>(SCHED_DEADLINE));
    EXPECT_EQ(after.runtime_ns, before.runtime_ns);
    EXPECT_EQ(after.deadline_ns, before.deadline_ns);
    EXPECT_EQ(after.period_ns, before.period_ns);
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(pacer, &stats);
    EXPECT_EQ(stats.controls_unsupported, VARNEX_CONTROL_REALTIME);
    EXPECT_EQ(stats.controls_active, 0u);
    varnex_pacer_destroy(pacer);
}

long timer_slack_ns()
{
    return syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0);
}

// The host's own slack survives the sleep's lowered slack, also when it
// does not fit in an int, and survives real time, which clears it.
TEST(PacerControls, TheHostsTimerSlackComesBackWhole)
{
#ifdef VARNEX_EMULATOR
    GTEST_SKIP() << "qemu's user-mode emulation returns PR_GET_TIMERSLACK through an int: a slack of 2^31 ns or "
                    "more cannot be read whole under it";
#endif
    varnex_pacer* sleeper = create(VARNEX_MODE_SLEEP, 0);
    varnex_pacer* realtime = geteuid() == 0 ? create(VARNEX_MODE_SLEEP, VARNEX_CONTROL_REALTIME) : nullptr;
    long wide_after = 0;
    long realtime_after = 0;
    std::thread waiter([&] {
        prctl(PR_SET_TIMERSLACK, 3000000000ul, 0, 0, 0);
        EXPECT_EQ(varnex_pacer_wait(sleeper, nullptr), VARNEX_OK);
        wide_after = timer_slack_ns();
        if (realtime != nullptr) {
            prctl(PR_SET_TIMERSLACK, 200000ul, 0, 0, 0);
            EXPECT_EQ(varnex_pacer_wait(realtime, nullptr), VARNEX_OK);
            realtime_after = timer_slack_ns();
        }
    });
    waiter.join();
    EXPECT_EQ(wide_after, 3000000000l);
    varnex_pacer_destroy(sleeper);
    if (realtime != nullptr) {
        EXPECT_EQ(realtime_after, 200000l);
        varnex_pacer_destroy(realtime);
    }
}

// The thread that first waited is the one measured, and only while it
// lives: a later thread that the kernel gives the same id is not. The id is
// handed on by setting the namespace's last pid, which needs root.
TEST(PacerThread, CpuTimeEndsWithTheThreadThatWaited)
{
    varnex_pacer* pacer = create(VARNEX_MODE_SPIN, 0);
    std::atomic<pid_t> first_tid{0};
    std::thread([&] {
        first_tid.store(gettid());
        EXPECT_EQ(varnex_pacer_wait(pacer, nullptr), VARNEX_OK);
    }).join();
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(pacer, &stats);
    EXPECT_EQ(stats.cpu_ns, -1) << "the thread that waited has ended";

    // Another process may take the id first: a few tries.
    bool reused = false;
    for (int attempt = 0; attempt < 20 && !reused; ++attempt) {
        if (!(std::ofstream("/proc/sys/kernel/ns_last_pid") << first_tid.load() - 1)) {
            varnex_pacer_destroy(pacer);
            GTEST_SKIP() << "the last pid cannot be set here";
        }
        std::atomic<int> successor_state{0};  // 1: another id, 2: the first thread's
        std::atomic<bool> measured{false};
        std::thread successor([&] {
            successor_state.store(gettid() == first_tid.load() ? 2 : 1);
            // Burns CPU under the reused id until the statistics are read.
            while (!measured.load()) {
            }
        });
        while (successor_state.load() == 0) {
        }
        reused = successor_state.load() == 2;
        if (reused) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            varnex_pacer_get_stats(pacer, &stats);
        }
        measured.store(true);
        successor.join();
    }
    varnex_pacer_destroy(pacer);
    if (!reused) {
        GTEST_SKIP() << "other processes took the id first";
    }
    EXPECT_EQ(stats.cpu_ns, -1) << "a thread that reused the id was measured";
}

}  // namespace
