// Pacers in an epoll loop beside a pipe: each pacer's readiness handle wakes
// the loop at its wake-up, the wait spins the rest, and the loop serves the
// pipe between ticks, and after a stall of several periods picks up again.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "varnex/pacer.hpp"

namespace {

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The readiness handle's wake-up is checked against the deadline the tick
// reports, taken from a reading just after the wait: the re-arm that ends
// the wait lies between the two.
constexpr int64_t kReadingGapNs = 50000;

struct PacedLoop {
    varnex::Pacer pacer;
    int handle;
    uint64_t ticks = 0;
    uint64_t missed = 0;
    uint64_t last_index = 0;
    int64_t margin_ns = 0;  // read right after the previous return, whatever its status
    int early_wakes = 0;

    PacedLoop(uint32_t rate, varnex_mode mode) : pacer(rate, 1, mode), handle(static_cast<int>(pacer.wait_handle()))
    {
        margin_ns = pacer.stats().margin_ns;
    }

    void serve(int64_t ready_ns)
    {
        varnex_tick tick{};
        const int status = pacer.wait(tick);
        const int64_t returned_ns = monotonic_ns();
        if (status == VARNEX_E_NOT_DUE) {
            margin_ns = pacer.stats().margin_ns;
            return;
        }
        ASSERT_EQ(status, VARNEX_OK);
        // A tick with none missed is the one the handle was armed for.
        const int64_t deadline_ns = returned_ns - tick.lateness_ns;
        early_wakes += tick.missed == 0 && ready_ns < deadline_ns - margin_ns - kReadingGapNs ? 1 : 0;
        ++ticks;
        missed += tick.missed;
        last_index = tick.index;
        margin_ns = pacer.stats().margin_ns;
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
        const double rate = paced == &fast ? 200.0 : 50.0;
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

}  // namespace
