// The pacer's state record, in groups: its configuration, fixed at create;
// the grid; the waiting thread's own state; the margin and the controls; the
// readiness handle; and the counters it publishes to any thread.
#ifndef VARNEX_PACER_STATE_H
#define VARNEX_PACER_STATE_H

#include <atomic>
#include <cstdint>

#include "pacer/alignment.h"
#include "pacer/clock.h"
#include "pacer/grid.h"
#include "pacer/histogram.h"
#include "pacer/margin.h"
#include "pacer/reference.h"
#include "pacer/steering.h"
#include "platform/controls.h"
#include "platform/timers.h"
#include "varnex/pacer.h"

// Which controls were tried in one wait, and how each fared.
struct ControlOutcome {
    uint32_t tried;
    uint32_t applied;
    uint32_t denied;
};

struct PacerControls {
    uint32_t flags = 0;  // VARNEX_CONTROL_*, as the host set them
    platform::ControlRequest request{};
    // What the controls held for the pacer's life put back at their release.
    platform::SavedControl memory_saved{};
    platform::SavedControl latency_saved{};
    uint32_t held_for_life = 0;
    ControlOutcome outcome{};  // this wait's, published as it ends
};

// Fixed at create, but for the on-time limit, which the lateness budget sets
// between waits.
struct PacerConfig {
    uint32_t mode = VARNEX_MODE_SPIN;
    MissedPolicy missed_policy{};
    bool keep_stats = true;
    bool return_on_signal = false;
    bool follows_reference = false;
    int64_t fixed_margin_counts = 0;
    int64_t cancel_check_counts = 0;  // a sleep's slice, and an aligned spin's
    double seconds_per_count = 0.0;
    // The lateness a tick may have and be on time: the budget, or
    // VARNEX_ON_TIME_NS.
    int64_t on_time_counts = 0;
};

// The previous tick's lateness and spin, recorded in the statistics as the
// next wait begins: the host gets its tick without waiting for them.
struct UnrecordedTick {
    int64_t lateness_ns = 0;
    int64_t spin_counts = 0;
    bool lateness_held = false;
};

// The readiness handle, once the host asked for it.
struct ReadyHandle {
    // Created once, between waits; from then on every wait is on it.
    std::atomic<platform::ReadyTimer*> timer{nullptr};
    // The wake-up as last armed, the margin it left, and the loop's latency
    // then learned: a call later than that after the wake-up is the host's
    // own lateness.
    int64_t armed_wake_counts = 0;
    int64_t armed_margin_counts = 0;
    int64_t armed_latency_counts = 0;
};

// What the waiting thread publishes and any thread reads.
struct PublishedCounters {
    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> missed{0};
    std::atomic<int64_t> spin_counts{0};
    std::atomic<int64_t> sleep_counts{0};
    std::atomic<int64_t> margin_counts{0};
    std::atomic<uint32_t> controls_active{0};
    std::atomic<uint32_t> controls_denied{0};
    std::atomic<uint32_t> controls_unsupported{0};
    std::atomic<uint32_t> clock_steps{0};
    std::atomic<int64_t> clock_step_ns{0};
    std::atomic<uint64_t> late_ticks{0};
    std::atomic<uint64_t> late_by_cause[3] = {};  // overslept, preempted, host late
    LatenessStats lateness{};
};

// Each group has one writer. After create, the grid and the waiter change
// only through the wait's one function that applies a change; `published`
// only through the statistics' functions.
struct varnex_pacer {
    PacerConfig config{};
    PacerClock clock{};
    // The grid's start moves under the delay policy, with the system clock
    // it is aligned to, and with a reference it follows.
    Grid grid{};
    Alignment alignment{};
    WaiterState waiter{};
    UnrecordedTick unrecorded{};
    MarginEstimator margin{};
    PacerControls controls{};
    ReadyHandle handle{};
    // Set by any thread, taken by the waiting thread.
    std::atomic<uint32_t> cancel_requested{0};
    // platform::process_generation() when this process's kernel objects
    // were made: a forked child's copy differs until its first wait.
    std::atomic<uint32_t> process_generation{0};
    // The clock of the thread that first waited, for cpu_ns.
    std::atomic<platform::ThreadClock*> waiting_thread{nullptr};
    PublishedCounters published{};
    // Last: its queue is large, and only a pacer that follows a reference
    // touches it.
    Following following{};
};

#endif
