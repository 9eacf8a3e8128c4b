// Pacers on a clock the host drives, in one process: every case is exact,
// and no thread sleeps. The threads are ordered by the clock's own settle:
// an advance to the reading the clock has returns once every other thread's
// pacer is back in its wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host_os.h"
#include "varnex/pacer.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

constexpr int64_t kPeriodNs = 1000000;  // 1 kHz
// Reached only by a fault: a host that never comes back.
constexpr int64_t kSettleNs = 30000000000;
constexpr int64_t kShortSettleNs = 20000000;
constexpr uint32_t kAllControls = VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                                  VARNEX_CONTROL_LOCK_MEMORY | VARNEX_CONTROL_DMA_LATENCY |
                                  VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS;

struct ClockDestroy {
    void operator()(varnex_sim_clock* clock) const { varnex_sim_clock_destroy(clock); }
};
using Clock = std::unique_ptr<varnex_sim_clock, ClockDestroy>;
struct PacerDestroy {
    void operator()(varnex_pacer* pacer) const { varnex_pacer_destroy(pacer); }
};
using Pacer = std::unique_ptr<varnex_pacer, PacerDestroy>;

Clock make_clock(uint32_t flags = 0, int64_t start_ns = 0)
{
    varnex_sim_clock_config config{};
    config.size = sizeof config;
    config.flags = flags;
    config.start_ns = start_ns;
    varnex_sim_clock* clock = nullptr;
    EXPECT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    return Clock(clock);
}

varnex_pacer_config config_of(uint32_t rate_hz = 1000, uint32_t missed = VARNEX_MISSED_SKIP, int64_t phase_ns = -1)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = rate_hz;
    config.rate_den = 1;
    config.missed = missed;
    config.burst_cap = 4;
    config.phase_ns = phase_ns;
    return config;
}

Pacer make_pacer(const Clock& clock, const varnex_pacer_config& config = config_of())
{
    varnex_pacer* pacer = nullptr;
    EXPECT_EQ(varnex_pacer_create_on(&config, clock.get(), &pacer), VARNEX_OK);
    return Pacer(pacer);
}

int wait(const Pacer& pacer, varnex_tick& tick)
{
    tick.size = sizeof tick;
    return varnex_pacer_wait(pacer.get(), &tick);
}

// A host on the readiness handle, back after its first wait was not due.
Pacer make_handle_host(const Clock& clock, intptr_t* handle, varnex_pacer_config config = config_of())
{
    config.mode = VARNEX_MODE_SLEEP;
    Pacer pacer = make_pacer(clock, config);
    EXPECT_EQ(varnex_pacer_wait_handle(pacer.get(), handle), VARNEX_OK);
    varnex_tick tick{};
    EXPECT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
    return pacer;
}

varnex_pacer_stats stats_of(const Pacer& pacer)
{
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(varnex_pacer_get_stats(pacer.get(), &stats), VARNEX_OK);
    return stats;
}

int64_t now_of(const Clock& clock)
{
    int64_t now_ns = -1;
    EXPECT_EQ(varnex_sim_clock_now(clock.get(), &now_ns), VARNEX_OK);
    return now_ns;
}

int advance(const Clock& clock, int64_t to_ns, int64_t settle_ns = kSettleNs)
{
    return varnex_sim_clock_advance(clock.get(), to_ns, settle_ns);
}

// Returns once the other threads' pacers are back.
int settle(const Clock& clock, int64_t settle_ns = kSettleNs)
{
    return advance(clock, now_of(clock), settle_ns);
}

// From a thread that waits on no pacer, as a simulator's.
int advance_elsewhere(const Clock& clock, int64_t to_ns, int64_t settle_ns)
{
    int status = VARNEX_E_INVALID_ARGUMENT;
    std::thread([&] { status = advance(clock, to_ns, settle_ns); }).join();
    return status;
}

std::string cause_name(uint32_t cause)
{
    switch (cause) {
    case VARNEX_CAUSE_ON_TIME:
        return "on time";
    case VARNEX_CAUSE_OVERSLEPT:
        return "overslept";
    case VARNEX_CAUSE_PREEMPTED:
        return "preempted";
    case VARNEX_CAUSE_HOST_LATE:
        return "host late";
    default:
        return "unknown";
    }
}

// "tick INDEX +MISSED LATENESS CAUSE", one per tick, the lateness in periods.
std::string table(const std::vector<varnex_tick>& ticks)
{
    std::string rows;
    for (const varnex_tick& tick : ticks) {
        const std::string lateness = tick.lateness_ns % kPeriodNs == 0
                                         ? std::to_string(tick.lateness_ns / kPeriodNs) + "P"
                                         : std::to_string(tick.lateness_ns) + "ns";
        rows += "tick " + std::to_string(tick.index) + " +" + std::to_string(tick.missed) + " " + lateness + " " +
                cause_name(tick.cause) + "; ";
    }
    return rows;
}

// A policy and the ticks it gives, as table() writes them.
struct PolicyTicks {
    uint32_t missed;
    const char* ticks;
};

// A host on a thread of its own: it takes ticks until a wait fails, as a
// cancel makes it.
class Host {
public:
    explicit Host(const Pacer& pacer) : pacer_(pacer) {}
    ~Host() { stop(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    std::vector<varnex_tick> ticks()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return ticks_;
    }
    // The status that ended its waits.
    int stop()
    {
        if (thread_.joinable()) {
            varnex_pacer_cancel(pacer_.get());
            thread_.join();
        }
        return end_;
    }

private:
    void run()
    {
        varnex_tick tick{};
        while ((end_ = wait(pacer_, tick)) == VARNEX_OK) {
            const std::lock_guard<std::mutex> lock(mutex_);
            ticks_.push_back(tick);
        }
    }

    const Pacer& pacer_;
    std::mutex mutex_;
    std::vector<varnex_tick> ticks_;
    int end_ = VARNEX_OK;
    std::thread thread_{[this] { run(); }};
};

// An hour of a 1 kHz loop, a minute where the library runs slowed (a
// sanitizer, emulation, Wine): every tick in turn, at its deadline.
TEST(SimClock, AutoAdvanceRunsAnHourOfTicksEachOnTime)
{
#ifdef VARNEX_SIM_SHORT_RUN
    constexpr uint64_t kTicks = 60000;
#else
    constexpr uint64_t kTicks = 3600000;
#endif
    const Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
    const Pacer pacer = make_pacer(clock);
    varnex_tick tick{};
    uint64_t wrong = 0;
    for (uint64_t k = 0; k < kTicks; ++k) {
        ASSERT_EQ(wait(pacer, tick), VARNEX_OK) << k;
        wrong += tick.index != k || tick.missed != 0 || tick.lateness_ns != 0 || tick.interval_ns != kPeriodNs ||
                 tick.cause != VARNEX_CAUSE_ON_TIME;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(now_of(clock), static_cast<int64_t>(kTicks) * kPeriodNs);
    const varnex_pacer_stats stats = stats_of(pacer);
    EXPECT_EQ(stats.ticks, kTicks);
    EXPECT_EQ(stats.missed + stats.late_ticks + static_cast<uint64_t>(stats.lateness_max_ns), 0u);
    EXPECT_EQ(stats.spin_ns + stats.margin_ns, 0) << "a spin-mode pacer on the clock never spins";
}

// Two pacers of their own rates in two threads: the clock moves to the
// earlier of their deadlines, so that each gets every tick at its deadline.
TEST(SimClock, AutoAdvanceServesTwoPacersInTwoThreadsAtTheirOwnRates)
{
    const Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
    struct Run {
        uint32_t rate_hz;
        uint64_t waits;
        uint64_t wrong = 0;
        int64_t last_return_ns = 0;
    };
    Run runs[] = {{50, 40}, {80, 64}};
    std::vector<Pacer> pacers;
    for (const Run& run : runs) {
        pacers.push_back(make_pacer(clock, config_of(run.rate_hz)));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            Run& run = runs[i];
            const int64_t period_ns = 1000000000 / run.rate_hz;
            varnex_tick tick{};
            for (uint64_t k = 0; k < run.waits; ++k) {
                run.wrong += wait(pacers[i], tick) != VARNEX_OK || tick.index != k || tick.missed != 0 ||
                             tick.lateness_ns != 0 || tick.interval_ns != period_ns;
            }
            run.last_return_ns = now_of(clock);
            // A pacer that stays busy would stall the other's clock.
            pacers[i].reset();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const Run& run : runs) {
        SCOPED_TRACE(run.rate_hz);
        EXPECT_EQ(run.wrong, 0u);
        EXPECT_EQ(run.last_return_ns, 800000000);
    }
}

// The clock jumps 5 periods past the deadline of tick 0 (phase one period:
// tick k is due at (k+1)P) while the host is blocked in its wait for it: it
// gets tick 0 late, overslept, and its next calls get the policy, as a host
// on the counter that came back late.
TEST(SimClock, AJumpOfFivePeriodsUnderAWaitTakesThatTickThenThePolicy)
{
    const PolicyTicks policies[] = {
        {VARNEX_MISSED_SKIP, "tick 0 +0 5P overslept; tick 6 +5 0P on time; "},
        {VARNEX_MISSED_BURST,
         "tick 0 +0 5P overslept; tick 1 +0 4P host late; tick 2 +0 3P host late; tick 3 +0 2P host late; "
         "tick 4 +0 1P host late; tick 5 +0 0P on time; tick 6 +0 0P on time; "},
        {VARNEX_MISSED_DELAY, "tick 0 +0 5P overslept; tick 1 +4 4P host late; tick 2 +0 0P on time; "},
    };
    for (const auto& policy : policies) {
        SCOPED_TRACE(policy.missed);
        const Clock clock = make_clock();
        const Pacer pacer = make_pacer(clock, config_of(1000, policy.missed));
        Host host(pacer);
        ASSERT_EQ(settle(clock), VARNEX_OK);
        ASSERT_EQ(advance(clock, 6 * kPeriodNs), VARNEX_OK);
        ASSERT_EQ(advance(clock, 7 * kPeriodNs), VARNEX_OK);
        EXPECT_EQ(host.stop(), VARNEX_E_CANCELLED);
        const std::vector<varnex_tick> ticks = host.ticks();
        EXPECT_EQ(table(ticks), policy.ticks);
        uint64_t missed = 0;
        for (const varnex_tick& tick : ticks) {
            missed += tick.missed;
        }
        const varnex_pacer_stats stats = stats_of(pacer);
        EXPECT_EQ(stats.ticks, ticks.size());
        EXPECT_EQ(stats.missed, missed);
        EXPECT_EQ(stats.late_overslept, 1u);
    }
}

// The clock reads 5P before the first wait (phase 0: tick k is due at kP):
// the policy applies at the call, as on the counter. The clock advances
// itself to each deadline the host then waits for.
TEST(SimClock, AHostThatCallsFivePeriodsLateGetsThePolicyAtTheCall)
{
    const struct {
        uint32_t missed;
        int waits;
        const char* ticks;
    } policies[] = {
        {VARNEX_MISSED_SKIP, 2, "tick 6 +6 0P on time; tick 7 +0 0P on time; "},
        {VARNEX_MISSED_BURST, 6,
         "tick 0 +0 5P host late; tick 1 +0 4P host late; tick 2 +0 3P host late; tick 3 +0 2P host late; "
         "tick 6 +2 0P on time; tick 7 +0 0P on time; "},
        {VARNEX_MISSED_DELAY, 3, "tick 0 +5 5P host late; tick 1 +0 0P on time; tick 2 +0 0P on time; "},
    };
    for (const auto& policy : policies) {
        SCOPED_TRACE(policy.missed);
        const Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
        const Pacer pacer = make_pacer(clock, config_of(1000, policy.missed, 0));
        ASSERT_EQ(advance(clock, 5 * kPeriodNs, -1), VARNEX_OK);
        std::vector<varnex_tick> ticks(policy.waits);
        for (varnex_tick& tick : ticks) {
            ASSERT_EQ(wait(pacer, tick), VARNEX_OK);
        }
        EXPECT_EQ(table(ticks), policy.ticks);
        EXPECT_EQ(now_of(clock), 7 * kPeriodNs);
    }
}

// A host on the readiness handle is not blocked in a wait as the clock jumps
// to 6P: it gets the policy at its call, as one that calls late; a tick
// already due as its previous wait returned is the host's, as on the counter.
TEST(SimClock, AJumpOfFivePeriodsUnderAHandleHostGivesThePolicyAtItsCall)
{
    const PolicyTicks policies[] = {
        {VARNEX_MISSED_SKIP, "tick 6 +6 0P on time; "},
        {VARNEX_MISSED_BURST,
         "tick 0 +0 5P overslept; tick 1 +0 4P host late; tick 2 +0 3P host late; tick 3 +0 2P host late; "
         "tick 6 +2 0P on time; "},
        {VARNEX_MISSED_DELAY, "tick 0 +5 5P host late; tick 1 +0 0P on time; "},
    };
    for (const auto& policy : policies) {
        SCOPED_TRACE(policy.missed);
        const Clock clock = make_clock();
        varnex_pacer_config config = config_of(1000, policy.missed);
        config.mode = VARNEX_MODE_SLEEP;
        const Pacer pacer = make_pacer(clock, config);
        intptr_t handle = 0;
        ASSERT_EQ(varnex_pacer_wait_handle(pacer.get(), &handle), VARNEX_OK);
        std::vector<varnex_tick> ticks;
        varnex_tick tick{};
        ASSERT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
        for (const int64_t to_ns : {6 * kPeriodNs, 7 * kPeriodNs}) {
            ASSERT_EQ(advance_elsewhere(clock, to_ns, -1), VARNEX_OK);
            for (int status = VARNEX_OK; (status = wait(pacer, tick)) != VARNEX_E_NOT_DUE && ticks.size() < 10;) {
                ASSERT_EQ(status, VARNEX_OK);
                ticks.push_back(tick);
            }
        }
        EXPECT_EQ(table(ticks), policy.ticks);
    }
}

// Each of three controllers has acted on every step before the advance
// returns, and sees every tick once.
TEST(SimClock, SettleRunsThreeControllersInLockstep)
{
    constexpr int kControllers = 3;
    constexpr int kSteps = 1000;
    const Clock clock = make_clock();
    struct Controller {
        Pacer pacer;
        std::atomic<int> taken{0};
        std::vector<uint64_t> indices;
        int end = VARNEX_OK;
        std::thread thread;
    };
    Controller controllers[kControllers];
    for (Controller& controller : controllers) {
        controller.pacer = make_pacer(clock);
        controller.thread = std::thread([&controller] {
            varnex_tick tick{};
            while ((controller.end = wait(controller.pacer, tick)) == VARNEX_OK) {
                controller.indices.push_back(tick.index);
                controller.taken.fetch_add(1);
            }
        });
    }
    EXPECT_EQ(settle(clock), VARNEX_OK);
    int failed_steps = 0;
    int lagging = 0;
    for (int step = 1; step <= kSteps; ++step) {
        failed_steps += advance(clock, step * kPeriodNs) != VARNEX_OK;
        for (const Controller& controller : controllers) {
            lagging += controller.taken.load() != step;
        }
    }
    EXPECT_EQ(failed_steps, 0);
    EXPECT_EQ(lagging, 0) << "an advance returned before a controller acted on its tick";
    for (Controller& controller : controllers) {
        varnex_pacer_cancel(controller.pacer.get());
        controller.thread.join();
        EXPECT_EQ(controller.end, VARNEX_E_CANCELLED);
        EXPECT_EQ(controller.indices.size(), static_cast<size_t>(kSteps));
        bool in_turn = true;
        for (size_t k = 0; k < controller.indices.size(); ++k) {
            in_turn = in_turn && controller.indices[k] == k;
        }
        EXPECT_TRUE(in_turn);
    }
}

// The host takes its tick and then stays away: the advance times out with
// the clock moved, and a settle later succeeds once the host is back.
TEST(SimClock, APacerThatStaysAwayTimesTheSettleOutUntilItIsBack)
{
    const Clock clock = make_clock();
    const Pacer pacer = make_pacer(clock);
    std::promise<void> come_back;
    std::vector<uint64_t> indices;
    int end = VARNEX_OK;
    std::thread host([&] {
        varnex_tick tick{};
        if (wait(pacer, tick) == VARNEX_OK) {
            indices.push_back(tick.index);
        }
        come_back.get_future().wait();
        end = wait(pacer, tick);
    });
    EXPECT_EQ(settle(clock), VARNEX_OK);
    EXPECT_EQ(advance(clock, kPeriodNs, kShortSettleNs), VARNEX_E_TIMEOUT);
    EXPECT_EQ(now_of(clock), kPeriodNs);
    EXPECT_EQ(settle(clock, 0), VARNEX_E_TIMEOUT);
    come_back.set_value();
    EXPECT_EQ(settle(clock), VARNEX_OK);
    varnex_pacer_cancel(pacer.get());
    host.join();
    EXPECT_EQ(end, VARNEX_E_CANCELLED);
    EXPECT_EQ(indices, std::vector<uint64_t>{0});
}

// An advance to an earlier reading R restarts the grid: the next tick is due
// at R plus the phase, its index going on, whether the host was blocked in
// its wait or calls after the reset.
TEST(SimClock, AResetMovesTheNextTickToTheNewReadingPlusThePhase)
{
    constexpr int64_t kStartNs = 10000000000;
    constexpr int64_t kResetNs = 1000000000;
    {
        SCOPED_TRACE("blocked in its wait");
        const Clock clock = make_clock(0, kStartNs);
        const Pacer pacer = make_pacer(clock);
        Host host(pacer);
        ASSERT_EQ(settle(clock), VARNEX_OK);
        ASSERT_EQ(advance(clock, kStartNs + kPeriodNs), VARNEX_OK);
        ASSERT_EQ(advance(clock, kStartNs + 2 * kPeriodNs), VARNEX_OK);
        ASSERT_EQ(advance(clock, kResetNs), VARNEX_OK);
        EXPECT_EQ(now_of(clock), kResetNs);
        EXPECT_EQ(host.ticks().size(), 2u) << "a tick came at the reset";
        ASSERT_EQ(advance(clock, kResetNs + kPeriodNs), VARNEX_OK);
        host.stop();
        EXPECT_EQ(table(host.ticks()), "tick 0 +0 0P on time; tick 1 +0 0P on time; tick 2 +0 0P on time; ");
        const varnex_pacer_stats stats = stats_of(pacer);
        EXPECT_EQ(stats.clock_steps, 1u);
        EXPECT_EQ(stats.clock_step_ns, kStartNs + 2 * kPeriodNs - kResetNs);
    }
    {
        SCOPED_TRACE("calls after the reset");
        const Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE, kStartNs);
        const Pacer pacer = make_pacer(clock);
        std::vector<varnex_tick> ticks(3);
        ASSERT_EQ(wait(pacer, ticks[0]), VARNEX_OK);
        ASSERT_EQ(wait(pacer, ticks[1]), VARNEX_OK);
        ASSERT_EQ(advance(clock, kResetNs, -1), VARNEX_OK);
        ASSERT_EQ(wait(pacer, ticks[2]), VARNEX_OK);
        EXPECT_EQ(now_of(clock), kResetNs + kPeriodNs);
        EXPECT_EQ(table(ticks), "tick 0 +0 0P on time; tick 1 +0 0P on time; tick 2 +0 0P on time; ");
        EXPECT_EQ(stats_of(pacer).clock_steps, 1u);
    }
}

// A cancel wakes a wait blocked on a clock that stands still, and the pacer
// can be destroyed after it.
TEST(SimClock, ACancelEndsAWaitOnAStillClockAtOnce)
{
    const Clock clock = make_clock();
    Pacer pacer = make_pacer(clock);
    int status = VARNEX_OK;
    std::thread host([&] {
        varnex_tick tick{};
        status = wait(pacer, tick);
    });
    EXPECT_EQ(settle(clock), VARNEX_OK);
    varnex_pacer_cancel(pacer.get());
    host.join();
    EXPECT_EQ(status, VARNEX_E_CANCELLED);
    EXPECT_EQ(now_of(clock), 0);
    EXPECT_EQ(stats_of(pacer).ticks, 0u);
    pacer.reset();
    EXPECT_EQ(settle(clock, 0), VARNEX_OK) << "a destroyed pacer is waited for";
}

// Each pacer holds the clock: one ticks on after the host destroyed the
// clock and the other pacer was destroyed. (The clock's pages are mapped: a
// clock freed too soon faults here on every build.)
TEST(SimClock, PacersKeepADestroyedClockAlive)
{
    Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
    Pacer first = make_pacer(clock);
    const Pacer second = make_pacer(clock);
    varnex_sim_clock_destroy(clock.release());
    first.reset();
    varnex_tick tick{};
    for (uint64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(wait(second, tick), VARNEX_OK);
        EXPECT_EQ(tick.index, k);
        EXPECT_EQ(tick.lateness_ns, 0);
    }
}

// In every mode, the handle of a pacer on the clock turns ready when an
// advance makes its tick due, and not before; a wait before that is not due
// and counts the host as back; a cancel makes the handle ready too.
TEST(SimClock, TheReadinessHandleTurnsReadyAtTheAdvanceThatMakesTheTickDue)
{
    for (const varnex_mode mode : {VARNEX_MODE_SPIN, VARNEX_MODE_SLEEP, VARNEX_MODE_HYBRID}) {
        SCOPED_TRACE(mode);
        const Clock clock = make_clock();
        varnex_pacer_config config = config_of();
        config.mode = mode;
        const Pacer pacer = make_pacer(clock, config);
        intptr_t handle = 0;
        ASSERT_EQ(varnex_pacer_wait_handle(pacer.get(), &handle), VARNEX_OK);
        EXPECT_EQ(advance_elsewhere(clock, 0, 0), VARNEX_E_TIMEOUT) << "busy until its first wait";
        varnex_tick tick{};
        EXPECT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
        EXPECT_FALSE(host::handle_ready(handle));
        EXPECT_EQ(advance_elsewhere(clock, 0, 0), VARNEX_OK) << "back once its wait was not due";
        EXPECT_EQ(advance_elsewhere(clock, kPeriodNs - 1, -1), VARNEX_OK);
        EXPECT_FALSE(host::handle_ready(handle));
        EXPECT_EQ(advance_elsewhere(clock, kPeriodNs, -1), VARNEX_OK);
        EXPECT_TRUE(host::eventually([&] { return host::handle_ready(handle); }));
        ASSERT_EQ(wait(pacer, tick), VARNEX_OK);
        EXPECT_EQ(table({tick}), "tick 0 +0 0P on time; ");
        EXPECT_FALSE(host::handle_ready(handle)) << "armed for tick 1";
        EXPECT_EQ(advance_elsewhere(clock, kPeriodNs, 0), VARNEX_E_TIMEOUT) << "busy from its tick to its next wait";
        EXPECT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
        EXPECT_EQ(advance_elsewhere(clock, kPeriodNs, 0), VARNEX_OK);
        varnex_pacer_cancel(pacer.get());
        EXPECT_TRUE(host::eventually([&] { return host::handle_ready(handle); }));
        EXPECT_EQ(wait(pacer, tick), VARNEX_E_CANCELLED);
    }
}

// Every control is accepted; those that act on a sleep or a spin are
// reported unsupported, since a wait on the clock does neither.
TEST(SimClock, EveryControlIsAcceptedAndThoseOfSleepsAndSpinsAreUnsupported)
{
    const Clock clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
    const Pacer pacer = make_pacer(clock);
    const varnex_pacer_controls controls{sizeof controls, kAllControls, 1, 10, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer.get(), &controls), VARNEX_OK);
    varnex_tick tick{};
    for (int waits = 0; waits < 3; ++waits) {
        ASSERT_EQ(wait(pacer, tick), VARNEX_OK);
    }
    const varnex_pacer_stats stats = stats_of(pacer);
    EXPECT_EQ(stats.controls_active | stats.controls_denied | stats.controls_unsupported, kAllControls);
    const uint32_t not_on_a_clock =
        VARNEX_CONTROL_BOOST | VARNEX_CONTROL_REALTIME | VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS;
    EXPECT_EQ(stats.controls_unsupported & not_on_a_clock, not_on_a_clock);
}

TEST(SimClock, BadInputIsRefused)
{
    varnex_sim_clock* clock = nullptr;
    varnex_sim_clock_config config{};
    config.size = sizeof config;
    const auto create = [&](const varnex_sim_clock_config& with) {
        const int status = varnex_sim_clock_create(&with, &clock);
        varnex_sim_clock_destroy(clock);
        return status;
    };
    EXPECT_EQ(create(config), VARNEX_OK);
    for (const size_t size : {sizeof config - 8, sizeof config + 8}) {
        varnex_sim_clock_config sized = config;
        sized.size = static_cast<uint32_t>(size);
        EXPECT_EQ(create(sized), VARNEX_E_INVALID_ARGUMENT) << size;
    }
    varnex_sim_clock_config flagged = config;
    flagged.flags = VARNEX_SIM_AUTO_ADVANCE << 1;
    EXPECT_EQ(create(flagged), VARNEX_E_INVALID_ARGUMENT);
    for (const int64_t start_ns : {int64_t{-1}, (int64_t{1} << 62) + 1}) {
        varnex_sim_clock_config started = config;
        started.start_ns = start_ns;
        EXPECT_EQ(create(started), VARNEX_E_INVALID_ARGUMENT) << start_ns;
    }
    varnex_sim_clock_config latest = config;
    latest.start_ns = int64_t{1} << 62;
    EXPECT_EQ(create(latest), VARNEX_OK);
    const std::string longest(64, 'a');
    for (const std::string& name : {longest, std::string("a/b"), std::string("a b")}) {
        varnex_sim_clock_config named = config;
        std::copy(name.begin(), name.end(), named.name);
        EXPECT_EQ(create(named), VARNEX_E_INVALID_ARGUMENT) << name;
        EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_INVALID_ARGUMENT) << name;
    }
    EXPECT_EQ(varnex_sim_clock_open("", &clock), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_sim_clock_create(nullptr, &clock), VARNEX_E_INVALID_ARGUMENT);

    const Clock made = make_clock();
    EXPECT_EQ(advance(made, -1, -1), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(advance(made, (int64_t{1} << 62) + 1, -1), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(advance(made, 1, -2), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(now_of(made), 0) << "a refused advance moved the clock";
    EXPECT_EQ(varnex_sim_clock_advance(nullptr, 1, -1), VARNEX_E_INVALID_ARGUMENT);

    varnex_pacer* pacer = nullptr;
    for (const uint32_t flag : {VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK, VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | VARNEX_PACER_TAI,
                                VARNEX_PACER_FOLLOW_REFERENCE}) {
        varnex_pacer_config flagged_pacer = config_of();
        flagged_pacer.flags = flag;
        EXPECT_EQ(varnex_pacer_create_on(&flagged_pacer, made.get(), &pacer), VARNEX_E_INVALID_ARGUMENT) << flag;
        EXPECT_EQ(pacer, nullptr);
    }
    const varnex_pacer_config plain = config_of();
    EXPECT_EQ(varnex_pacer_create_on(&plain, nullptr, &pacer), VARNEX_E_INVALID_ARGUMENT);
    varnex_pacer_config hybrid = config_of();
    hybrid.mode = VARNEX_MODE_HYBRID;
    const Pacer on_clock = make_pacer(made, hybrid);
    EXPECT_EQ(varnex_pacer_set_lateness_budget(on_clock.get(), 20000), VARNEX_E_INVALID_MODE);

    std::set<std::string> texts;
    for (int status = VARNEX_E_TIMEOUT; status >= VARNEX_E_ACCESS_DENIED; --status) {
        const std::string text = varnex_strerror(status);
        EXPECT_NE(text, varnex_strerror(1)) << status;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 6u);
}

// A clock at its latest reading and a phase at its largest: a deadline past
// what the clock can read, never due, neither at once nor after a reset.
TEST(SimClock, TheLatestReadingPlusTheLargestPhaseIsNeverDue)
{
    constexpr int64_t kLatestNs = int64_t{1} << 62;
    const Clock clock = make_clock(0, kLatestNs);
    intptr_t handle = 0;
    const Pacer pacer = make_handle_host(clock, &handle, config_of(1, VARNEX_MISSED_SKIP, kLatestNs));
    varnex_tick tick{};
    EXPECT_EQ(advance(clock, 0, kSettleNs), VARNEX_OK);
    EXPECT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
    EXPECT_EQ(advance(clock, kLatestNs), VARNEX_OK);
    ASSERT_EQ(wait(pacer, tick), VARNEX_OK) << "due at the reset's reading plus the phase";
    EXPECT_EQ(table({tick}), "tick 0 +0 0P on time; ");
}

// Thread A advances to 5P and settles on a handle host that took its tick;
// before the host is back, the simulator resets the clock to 0. The host's
// next tick is then due at P, which the clock no longer reaches: A's settle
// ends once the host is back, as it would without the reset.
TEST(SimClock, ASettleEndsWhenAnotherThreadResetsTheClockBelowItsReading)
{
    const Clock clock = make_clock();
    intptr_t handle = 0;
    const Pacer pacer = make_handle_host(clock, &handle);
    std::future<int> settled =
        std::async(std::launch::async, [&] { return advance(clock, 5 * kPeriodNs, kSettleNs); });
    ASSERT_TRUE(host::eventually([&] { return host::handle_ready(handle); }));
    ASSERT_EQ(advance(clock, 0, -1), VARNEX_OK);
    varnex_tick tick{};
    EXPECT_EQ(wait(pacer, tick), VARNEX_E_NOT_DUE);
    EXPECT_EQ(settled.get(), VARNEX_OK);
    EXPECT_EQ(stats_of(pacer).clock_steps, 1u);
}

// Pacers made while another thread resets the clock from 10 s to 1 s: each
// follows the reset, whether it was made before or after it, and its first
// tick is due at 1 s plus its phase. (A pacer that took its reading before
// the reset and its count of resets after it waited for 10 s.)
TEST(SimClock, APacerMadeDuringAResetFollowsIt)
{
    constexpr int64_t kStartNs = 10000000000;
    constexpr int64_t kResetNs = 1000000000;
    // Most of the pacers a clock holds: the later a pacer's slot, the longer
    // its creation takes.
    constexpr int kPacers = 250;
#ifdef VARNEX_SIM_SHORT_RUN
    constexpr int kRounds = 20;
#else
    constexpr int kRounds = 200;
#endif
    int not_due = 0;
    for (int round = 0; round < kRounds && not_due == 0; ++round) {
        const Clock clock = make_clock(0, kStartNs);
        std::atomic<int> made{0};
        std::thread simulator([&] {
            while (made.load() < kPacers - 1 - round % 50) {
            }
            advance(clock, kResetNs, -1);
        });
        std::vector<Pacer> pacers;
        for (int i = 0; i < kPacers; ++i) {
            pacers.push_back(make_pacer(clock));
            made.store(i + 1);
        }
        simulator.join();
        ASSERT_EQ(advance(clock, kResetNs + kPeriodNs, -1), VARNEX_OK);
        for (const Pacer& pacer : pacers) {
            intptr_t handle = 0;
            ASSERT_EQ(varnex_pacer_wait_handle(pacer.get(), &handle), VARNEX_OK);
            varnex_tick tick{};
            not_due += wait(pacer, tick) == VARNEX_E_NOT_DUE;
        }
    }
    EXPECT_EQ(not_due, 0);
}

#ifndef _WIN32
// A forked child's copy of an unnamed clock is its own: its advance moves
// neither the parent's clock nor the parent's handle, which the child's copy
// of the pacer holds until its first call.
TEST(SimClock, AForkedChildsAdvanceLeavesTheParentsClockAndHandle)
{
    const Clock clock = make_clock();
    intptr_t handle = 0;
    const Pacer pacer = make_handle_host(clock, &handle);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(varnex_sim_clock_advance(clock.get(), 5 * kPeriodNs, -1) == VARNEX_OK ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(now_of(clock), 0);
    EXPECT_FALSE(host::handle_ready(handle)) << "the child's advance armed the parent's handle";
}
#endif

}  // namespace
