// The pacer's scheduling controls read back from the kernel while a wait
// holds them and after it: policy and priority, affinity, nice, timer slack;
// and, in a child without privilege, each refusal reported.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

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

}  // namespace
