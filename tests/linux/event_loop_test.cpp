// Pacers in an epoll loop beside a pipe: each pacer's readiness handle wakes
// the loop at its wake-up, the wait spins the rest, and the loop serves the
// pipe between ticks, and after a stall of several periods picks up again;
// a cancel and a destroy wake a loop blocked on the handle; a forked child's
// copy of a pacer has kernel objects of its own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "varnex/pacer.hpp"

namespace {

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// A readiness handle is never ready before the wake-up it is armed for: the
// deadline of the tick that the next wait returns, less the margin the pacer
// reports after each return (the one it armed with). Tick k's deadline lies
// k + 1 periods after the pacer's creation, so no earlier than that after a
// reading taken before the creation; and the loop's reading comes after
// epoll_wait has seen the handle ready. A delay before either reading (a
// preemption, an emulator's slow step) can only make the check laxer.
struct PacedLoop {
    int64_t before_creation_ns;
    varnex::Pacer pacer;
    int handle;
    uint32_t rate;
    uint64_t ticks = 0;
    uint64_t missed = 0;
    uint64_t last_index = 0;
    int64_t margin_ns = 0;  // read right after the previous return, whatever its status
    int early_wakes = 0;

    PacedLoop(uint32_t rate_hz, varnex_mode mode)
        : before_creation_ns(monotonic_ns()), pacer(rate_hz, 1, mode),
          handle(static_cast<int>(pacer.wait_handle())), rate(rate_hz)
    {
        margin_ns = pacer.stats().margin_ns;
    }

    // The earliest wake-up of the earliest tick the next wait may return.
    int64_t earliest_wake_ns() const
    {
        const int64_t next_index = ticks == 0 ? 0 : static_cast<int64_t>(last_index) + 1;
        return before_creation_ns + (next_index + 1) * 1000000000 / rate - margin_ns;
    }

    void serve(int64_t ready_ns)
    {
        early_wakes += ready_ns < earliest_wake_ns() ? 1 : 0;
        varnex_tick tick{};
        const int status = pacer.wait(tick);
        margin_ns = pacer.stats().margin_ns;
        if (status == VARNEX_E_NOT_DUE) {
            return;
        }
        ASSERT_EQ(status, VARNEX_OK);
        ++ticks;
        missed += tick.missed;
        last_index = tick.index;
    }
};

TEST(EventLoop, TwoPacersAndAPipeShareOneEpollLoop)
{
    // Before the pacers: their ticks count from their creation, and a slow
    // set-up (a sanitized build's) would otherwise come out as early ticks.
    const int64_t start_ns = monotonic_ns();
    PacedLoop fast(200, VARNEX_MODE_HYBRID);
    PacedLoop slow(50, VARNEX_MODE_SLEEP);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const int loop = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(loop, 0);
    for (const int fd : {fast.handle, slow.handle, pipe_ends[0]}) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = fd;
        ASSERT_EQ(epoll_ctl(loop, EPOLL_CTL_ADD, fd, &interest), 0);
    }
    constexpr int kMessages = 40;
    std::thread writer([&] {
        for (int message = 0; message < kMessages; ++message) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const char byte = 1;
            EXPECT_EQ(write(pipe_ends[1], &byte, 1), 1);
        }
    });
    int served = 0;
    bool stalled = false;
    while (served < kMessages || monotonic_ns() - start_ns < 1000000000) {
        // Once, the loop is busy elsewhere for several periods of both.
        if (!stalled && monotonic_ns() - start_ns > 500000000) {
            stalled = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        epoll_event ready[3];
        const int count = epoll_wait(loop, ready, 3, 2000);
        ASSERT_GT(count, 0) << "the loop was never woken";
        const int64_t ready_ns = monotonic_ns();
        for (int index = 0; index < count; ++index) {
            const int fd = ready[index].data.fd;
            if (fd == pipe_ends[0]) {
                char byte = 0;
                served += read(fd, &byte, 1) == 1 ? 1 : 0;
            } else {
                (fd == fast.handle ? fast : slow).serve(ready_ns);
            }
        }
    }
    const double elapsed_s = static_cast<double>(monotonic_ns() - start_ns) * 1e-9;
    writer.join();
    close(loop);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_EQ(served, kMessages);
    for (const PacedLoop* paced : {&fast, &slow}) {
        const double rate = paced->rate;
        SCOPED_TRACE(rate);
        EXPECT_EQ(paced->ticks + paced->missed, paced->last_index + 1) << "every tick returned or counted missed";
        EXPECT_GT(static_cast<double>(paced->last_index), 0.7 * elapsed_s * rate);
        EXPECT_LT(static_cast<double>(paced->last_index), elapsed_s * rate + 1);
        EXPECT_GT(paced->ticks, paced->last_index / 2) << "most ticks came";
        EXPECT_EQ(paced->early_wakes, 0) << "the handle was ready before its wake-up";
    }
}

TEST(EventLoop, ACancelWakesALoopBlockedOnTheHandleAndAnEarlyWaitIsNotDue)
{
    varnex::Pacer pacer(1, 1, VARNEX_MODE_SLEEP);
    const int handle = static_cast<int>(pacer.wait_handle());
    varnex_tick tick{};
    EXPECT_EQ(pacer.wait(tick), VARNEX_E_NOT_DUE) << "a second before the tick";
    const int loop = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN;
    ASSERT_EQ(epoll_ctl(loop, EPOLL_CTL_ADD, handle, &interest), 0);
    std::atomic<bool> blocking{false};
    int woken = -1;
    int64_t woken_ns = 0;
    std::thread waiter([&] {
        blocking.store(true);
        epoll_event ready{};
        woken = epoll_wait(loop, &ready, 1, 5000);
        woken_ns = monotonic_ns();
    });
    while (!blocking.load()) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t cancelled_ns = monotonic_ns();
    pacer.cancel();
    waiter.join();
    close(loop);
    EXPECT_EQ(woken, 1);
    EXPECT_LT(woken_ns - cancelled_ns, 500000000) << "the cancel woke the loop";
    EXPECT_EQ(pacer.wait(tick), VARNEX_E_CANCELLED);
    EXPECT_EQ(pacer.wait(tick), VARNEX_E_NOT_DUE) << "the tick was not taken";
}

// The descriptors of this process open on a file of the given path.
int descriptors_on(const char* path)
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(fds)) {
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        count += readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strcmp(target, path) == 0 ? 1 : 0;
    }
    closedir(fds);
    return count;
}

bool ready_now(int fd)
{
    pollfd watched{fd, POLLIN, 0};
    return poll(&watched, 1, 0) == 1;
}

TEST(EventLoop, AForkedChildsCopyOfAPacerHasATimerAThreadClockAndALatencyRequestOfItsOwn)
{
    constexpr const char* kLatencyFile = "/dev/cpu_dma_latency";
    // A tick every 2 s: the parent's handle is not ready while the child runs.
    varnex::Pacer pacer(1, 2, VARNEX_MODE_HYBRID);
    const int handle = static_cast<int>(pacer.wait_handle());
    varnex_tick tick{};
    ASSERT_EQ(pacer.wait(tick), VARNEX_E_NOT_DUE) << "a wait opens the waiting thread's clock";
    varnex_pacer_controls controls{sizeof controls, VARNEX_CONTROL_DMA_LATENCY, 0, 0, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer.get(), &controls), VARNEX_OK);
    // Where the system gives the request (root, and the file): one descriptor holds it.
    const bool latency_held = (pacer.stats().controls_active & VARNEX_CONTROL_DMA_LATENCY) != 0;
    const int latency_before = descriptors_on(kLatencyFile);
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char step = 0;
        if (descriptors_on(kLatencyFile) != latency_before - (latency_held ? 1 : 0)) {
            _exit(2);
        }
        varnex_pacer_cancel(pacer.get());
        if (write(to_parent[1], "c", 1) != 1 || read(to_child[0], &step, 1) != 1) {
            _exit(3);
        }
        if (pacer.wait(tick) != VARNEX_E_CANCELLED || pacer.wait(tick) != VARNEX_E_NOT_DUE) {
            _exit(4);
        }
        const int64_t cpu_ns = pacer.stats().cpu_ns;
        timespec own_cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &own_cpu);
        if (cpu_ns < 0 || cpu_ns > int64_t{own_cpu.tv_sec} * 1000000000 + own_cpu.tv_nsec) {
            _exit(5);
        }
        itimerspec armed{};
        if (timerfd_gettime(static_cast<int>(pacer.wait_handle()), &armed) != 0 ||
            (armed.it_value.tv_sec == 0 && armed.it_value.tv_nsec == 0)) {
            _exit(6);
        }
        if (descriptors_on(kLatencyFile) != latency_before) {
            _exit(7);
        }
        _exit(0);
    }
    // A child that ends early ends the parent's read.
    close(to_parent[1]);
    close(to_child[0]);
    char step = 0;
    ASSERT_EQ(read(to_parent[0], &step, 1), 1) << "the child ended before its cancel";
    EXPECT_FALSE(ready_now(handle)) << "the child's cancel armed the parent's timer";
    ASSERT_EQ(write(to_child[1], "p", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "in the child: 2, the parent's latency request still open; 4, the "
                                         "cancel; 5, CPU time not its own thread's; 6, no timer armed; 7, no "
                                         "request of its own";
    EXPECT_FALSE(ready_now(handle));
    EXPECT_EQ(descriptors_on(kLatencyFile), latency_before);
    close(to_parent[0]);
    close(to_child[1]);
}

TEST(EventLoop, ADestroyWakesALoopStillBlockedOnTheHandle)
{
    // A tick every 10 s: a poll left to the expiry would block that long.
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1;
    config.rate_den = 10;
    config.mode = VARNEX_MODE_SLEEP;
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    std::atomic<pid_t> polling{0};
    int woken = -1;
    int64_t woken_ns = 0;
    std::thread loop([&] {
        pollfd watched{static_cast<int>(handle), POLLIN, 0};
        polling.store(gettid());
        woken = poll(&watched, 1, 20000);
        woken_ns = monotonic_ns();
    });
    // Once the loop's thread sleeps in the kernel.
    char state = 0;
    while (state != 'S') {
        std::this_thread::yield();
        std::string stat;
        if (polling.load() != 0) {
            std::getline(std::ifstream("/proc/self/task/" + std::to_string(polling.load()) + "/stat"), stat);
        }
        const size_t after_name = stat.rfind(')');
        state = after_name != std::string::npos && after_name + 2 < stat.size() ? stat[after_name + 2] : 0;
    }
    const int64_t destroyed_ns = monotonic_ns();
    varnex_pacer_destroy(pacer);
    loop.join();
    EXPECT_EQ(woken, 1);
    EXPECT_LT(woken_ns - destroyed_ns, 5000000000) << "the poll waited for the old expiry";
}

}  // namespace

// On a clock the host drives, the handles are ready as the simulator's
// advances make their pacers due, and an epoll loop serves both pacers in
// lockstep: every tick, exactly on time, and each wait after it not due.
TEST(EventLoop, PacersOnASimulatedClockServeAnEpollLoopInLockstep)
{
    varnex_sim_clock_config clock_config{sizeof(varnex_sim_clock_config), 0, 0, {}};
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&clock_config, &clock), VARNEX_OK);
    const int loop = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(loop, 0);
    varnex_pacer* pacers[2] = {};
    const double rates[2] = {200.0, 50.0};
    for (int i = 0; i < 2; ++i) {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_hz = rates[i];
        ASSERT_EQ(varnex_pacer_create_on(&config, clock, &pacers[i]), VARNEX_OK);
        intptr_t handle = -1;
        ASSERT_EQ(varnex_pacer_wait_handle(pacers[i], &handle), VARNEX_OK);
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u32 = static_cast<uint32_t>(i);
        ASSERT_EQ(epoll_ctl(loop, EPOLL_CTL_ADD, static_cast<int>(handle), &interest), 0);
    }
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u32 = 2;
    ASSERT_EQ(epoll_ctl(loop, EPOLL_CTL_ADD, stop[0], &interest), 0);
    std::thread simulator([&] {
        constexpr int64_t kStepNs = 1000000;
        for (int64_t step = 0; step <= 100; ++step) {
            EXPECT_EQ(varnex_sim_clock_advance(clock, step * kStepNs, 10000000000), VARNEX_OK) << step;
        }
        EXPECT_EQ(write(stop[1], "x", 1), 1);
    });
    // Each pacer is back once its wait is not due; the first is before any tick.
    uint64_t ticks[2] = {};
    uint64_t next_index[2] = {};
    for (varnex_pacer* pacer : pacers) {
        EXPECT_EQ(varnex_pacer_wait(pacer, nullptr), VARNEX_E_NOT_DUE);
    }
    for (bool stopped = false; !stopped;) {
        epoll_event ready[3];
        const int count = epoll_wait(loop, ready, 3, 10000);
        ASSERT_GT(count, 0) << "the loop was never woken";
        for (int index = 0; index < count; ++index) {
            const uint32_t which = ready[index].data.u32;
            if (which == 2) {
                stopped = true;
                continue;
            }
            // Back at its not-due wait, the pacer lets the simulator go on: a
            // slow loop (an emulated one) may find its next tick due already.
            varnex_tick tick{};
            tick.size = sizeof tick;
            for (int status; (status = varnex_pacer_wait(pacers[which], &tick)) != VARNEX_E_NOT_DUE;) {
                ASSERT_EQ(status, VARNEX_OK);
                EXPECT_EQ(tick.index, next_index[which]);
                EXPECT_EQ(tick.lateness_ns, 0);
                next_index[which] = tick.index + 1;
                ++ticks[which];
            }
        }
    }
    simulator.join();
    // 100 ms of the clock: ticks at 5, 10, ..., 100 ms and at 20, 40, ..., 100 ms.
    EXPECT_EQ(ticks[0], 20u);
    EXPECT_EQ(ticks[1], 5u);
    close(loop);
    close(stop[0]);
    close(stop[1]);
    for (varnex_pacer* pacer : pacers) {
        varnex_pacer_destroy(pacer);
    }
    varnex_sim_clock_destroy(clock);
}
