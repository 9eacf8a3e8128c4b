#include "pacer/waits.h"

#include <algorithm>

#include "pacer/alignment.h"
#include "pacer/atomics.h"
#include "pacer/controls.h"
#include "pacer/reference.h"
#include "pacer/stats.h"

namespace {

// How a stretch of a wait (a spin, a sleep, a look at the clock) ended, and
// the last reading it took.
enum class End { kReached, kCancelled, kInterrupted, kNoTimer, kClockStepped };
struct Reading {
    int64_t counts;
    End end;
};

// The status of a wait that ends without a tick. A step of the clock ends no
// wait: the wait chooses its tick anew from the reading that found it.
int status_of(End end)
{
    switch (end) {
    case End::kInterrupted:
        return VARNEX_E_INTERRUPTED;
    case End::kNoTimer:
        return VARNEX_E_NO_COUNTER;
    default:
        return VARNEX_E_CANCELLED;
    }
}

bool take_cancel(varnex_pacer& pacer)
{
    return pacer.cancel_requested.load(kRelaxed) != 0 && pacer.cancel_requested.exchange(0) != 0;
}

enum class ClockCheck { kSteady, kStepped, kOutOfRange };

// Measures the mapping anew from the reading `*now`, which becomes the last
// reading taken, and places the grid by it. A step forward passes over the
// grid points up to the clock's new time at the step, the last reading that
// found the old mapping true, mapped with the new one: whatever the policy,
// they are missed. The points after it that the clock has passed by now are
// owed: returned late, never passed over. A step back needs nothing more:
// the tick after the last one returned comes when the clock is back at it.
// A clock outside the range a pacer can be created on moves nothing.
// `at_call`: the look as a wait is called. A host that comes when the old
// mapping has more than its next tick due is late by its own doing: nothing is
// owed to it, and the missed-tick policy takes the ticks due, as for any late
// host, rather than each tick it was away for coming back late.
ClockCheck follow_system_clock(varnex_pacer& pacer, int64_t* now, bool at_call = false)
{
    Alignment& alignment = pacer.alignment;
    const ClockMapping current = read_mapping(alignment, *now);
    *now = current.latest_counts;
    if (!within_aligned_range(current, alignment.phase_ns, pacer.grid.frequency)) {
        return ClockCheck::kOutOfRange;
    }
    const bool host_behind =
        at_call && latest_due_index(pacer.grid, *now) > static_cast<int64_t>(pacer.waiter.next_index);
    const ClockChange change = compare_mappings(alignment, current, pacer.grid);
    // A counter slewed with the clock keeps their difference: the tighter
    // reading of it is the better one. Apart, only a fresh one follows.
    if (change.step || !alignment.counter_slews ||
        current.uncertainty_counts <= alignment.mapping.uncertainty_counts) {
        alignment.mapping = current;
        place_grid(pacer.grid, alignment);
    }
    const int64_t before_step = alignment.verified_counts;
    alignment.verified_counts = current.counter;
    if (!change.step) {
        return ClockCheck::kSteady;
    }
    add_relaxed(pacer.published.clock_steps, uint32_t{1});
    add_relaxed(pacer.published.clock_step_ns, change.size_ns);
    if (change.change_ns > 0) {
        const auto first_after = static_cast<uint64_t>(latest_due_index(pacer.grid, before_step) + 1);
        if (first_after > pacer.waiter.next_index) {
            pacer.waiter.missed_carried += first_after - pacer.waiter.next_index;
            pacer.waiter.next_index = first_after;
            pacer.waiter.burst_returns = 0;
        }
        if (!host_behind) {
            pacer.waiter.owed_end =
                std::max(pacer.waiter.owed_end, static_cast<uint64_t>(latest_due_index(pacer.grid, *now) + 1));
        }
    }
    return ClockCheck::kStepped;
}

// How a look at the clock in the middle of a wait ends it: not at all
// (kReached), or with the tick to choose anew, or with no tick.
inline End clock_look(varnex_pacer& pacer, int64_t* now)
{
    switch (follow_system_clock(pacer, now)) {
    case ClockCheck::kSteady:
        return End::kReached;
    case ClockCheck::kStepped:
        return End::kClockStepped;
    default:
        return End::kNoTimer;
    }
}

// Spins until the counter reaches `deadline`, or a cancel. An aligned spin longer than a slice looks at the clock every
// slice, but never in the last one before the deadline: no turn pays for it.
Reading spin_loop(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const int64_t start = now;
    const int64_t slice = pacer.config.cancel_check_counts;
    // A spin that starts before the deadline reads the counter on until it
    // ends: its last reading before the deadline lies at least the lateness
    // from the one that ended it, and no turn needs to keep it.
    pacer.waiter.spun_before_deadline = now < deadline;
    for (;;) {
        const int64_t until =
            pacer.alignment.on && deadline - now > slice ? std::min(now + slice, deadline - slice) : deadline;
        while (now < until) {
            if (take_cancel(pacer)) {
                pacer.waiter.unrecorded_spin_counts += now - start;
                return {now, End::kCancelled};
            }
            now = platform::read_counter();
        }
        if (until == deadline) {
            break;
        }
        if (const End looked = clock_look(pacer, &now); looked != End::kReached) {
            pacer.waiter.unrecorded_spin_counts += now - start;
            return {now, looked};
        }
    }
    pacer.waiter.unrecorded_spin_counts += now - start;
    return {now, End::kReached};
}

// Sleeps in slices, so that a cancel is seen within one slice, and an aligned
// pacer looks at the clock after each; a wake that comes early sleeps again,
// and so does one a signal ended unless the host asked to hear of it. A sleep
// the system refuses ends the wait: retried, it would spin and call itself a
// sleep.
Reading sleep_loop(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const int64_t sleep_start = now;
    while (now < deadline) {
        if (take_cancel(pacer)) {
            return {now, End::kCancelled};
        }
        const platform::SleepResult slept =
            platform::sleep_until(pacer.config.sleep_timer, std::min(deadline, now + pacer.config.cancel_check_counts));
        if (slept == platform::SleepResult::kFailed) {
            return {now, End::kNoTimer};
        }
        if (slept == platform::SleepResult::kInterrupted && pacer.config.return_on_signal) {
            return {now, End::kInterrupted};
        }
        now = platform::read_counter();
        // At the deadline, the wait's own look follows. A look that ends the
        // sleep keeps its time in the statistics, as the spin's does.
        if (pacer.alignment.on && now < deadline) {
            if (const End looked = clock_look(pacer, &now); looked != End::kReached) {
                if (pacer.config.keep_stats) {
                    add_relaxed(pacer.published.sleep_counts, now - sleep_start);
                }
                return {now, looked};
            }
        }
    }
    if (pacer.config.keep_stats) {
        add_relaxed(pacer.published.sleep_counts, now - sleep_start);
    }
    return {now, End::kReached};
}

// The spin, boosted for its own length.
Reading spin_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const HeldControl boost(pacer, VARNEX_CONTROL_BOOST, now < deadline);
    return spin_loop(pacer, deadline, now);
}

// The sleep, in real time: the wake-up preempts other work, and the spin
// after it runs as the host's thread ran before.
Reading sleep_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const HeldControl realtime(pacer, VARNEX_CONTROL_REALTIME, now < deadline);
    return sleep_loop(pacer, deadline, now);
}

// Sleeps until the margin before `deadline`, learning how late the sleep woke,
// then spins the rest.
Reading sleep_then_spin_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const bool learning = pacer.config.fixed_margin_counts == 0;
    const int64_t margin = learning ? margin_counts(pacer.margin) : pacer.config.fixed_margin_counts;
    int64_t wake = deadline - margin;
    const bool probe = learning && wake <= now && margin >= pacer.margin.period_counts && probe_now(pacer.margin);
    if (probe) {
        wake = now + (deadline - now) / 2;
    }
    if (wake > now) {
        const Reading slept = sleep_to(pacer, wake, now);
        if (slept.end != End::kReached) {
            return slept;
        }
        now = slept.counts;
        if (probe) {
            learn_probe(pacer.margin, now - wake, margin);
        } else if (learning) {
            learn_oversleep(pacer.margin, now - wake, margin);
        }
    }
    if (learning) {
        count_margin_tick(pacer.margin);
        pacer.published.margin_counts.store(margin_counts(pacer.margin), kRelaxed);
    }
    return spin_to(pacer, deadline, now);
}

// The wake-up that the readiness handle is armed for: the margin before the
// deadline in hybrid mode, at most half the period (a loop later than that
// gets its tick late, never a longer spin), and the deadline in sleep mode.
int64_t handle_margin_counts(const varnex_pacer& pacer)
{
    if (pacer.config.mode != VARNEX_MODE_HYBRID) {
        return 0;
    }
    const int64_t fixed = pacer.config.fixed_margin_counts;
    const int64_t margin = fixed != 0 ? fixed : margin_counts(pacer.margin);
    return std::min(margin, pacer.margin.half_period_counts);
}

// What every wait does first; false when a cancel ends it at once.
bool begin_wait(varnex_pacer& pacer)
{
    if (take_cancel(pacer)) {
        return false;
    }
    record_previous_tick(pacer);
    if (pacer.config.keep_stats && pacer.waiting_thread.load(kRelaxed) == nullptr) {
        pacer.waiting_thread.store(platform::open_thread_clock());
    }
    return true;
}

// A wait that takes no tick puts back what it wrote before the reading.
struct EarlyTick {
    varnex_tick* tick;
    uint64_t index_before;
    uint64_t missed_before;
};

// Whatever does not depend on the reading that ends the wait is written
// before it: from the deadline on, the host is kept waiting.
EarlyTick write_early(varnex_tick* tick, const Target& target)
{
    if (tick == nullptr) {
        return {nullptr, 0, 0};
    }
    const EarlyTick early{tick, tick->index, tick->missed};
    tick->index = target.index;
    tick->missed = target.missed;
    return early;
}

void put_back(const EarlyTick& early)
{
    if (early.tick != nullptr) {
        early.tick->index = early.index_before;
        early.tick->missed = early.missed_before;
    }
}

// Why a tick came `lateness_counts` after its deadline: the first cause that
// applies, once it is later than its on-time limit. A spin that read the
// counter before the deadline and still ended this late has two readings
// further apart than the limit: between them, it was not running.
inline uint32_t cause_of(const varnex_pacer& pacer, int64_t lateness_counts, bool host_late)
{
    if (lateness_counts <= pacer.waiter.on_time_counts) {
        return VARNEX_CAUSE_ON_TIME;
    }
    if (host_late) {
        return VARNEX_CAUSE_HOST_LATE;
    }
    return pacer.waiter.spun_before_deadline ? VARNEX_CAUSE_PREEMPTED : VARNEX_CAUSE_OVERSLEPT;
}

// The tick the next return gives, as the missed-tick policy chooses it at
// `now`; but a tick that a step of the clock made due unseen is owed, and
// comes next whatever the policy.
inline Target target_of(const varnex_pacer& pacer, int64_t now)
{
    const WaiterState& waiter = pacer.waiter;
    Target target = waiter.next_index < waiter.owed_end
                        ? Target{waiter.next_index, 0, 0, false}
                        : choose_target(pacer.grid, pacer.config.missed_policy, waiter.next_index,
                                        waiter.burst_returns, now);
    target.missed += waiter.missed_carried;
    return target;
}

// Everything after the reading `now` that ended the wait for `target`;
// `host_late`: the tick is late by the host's doing.
inline void take_tick(varnex_pacer& pacer, varnex_tick* tick, const Target& target, int64_t deadline, int64_t now,
                      bool host_late)
{
    const int64_t lateness_counts = now - deadline;
    const int64_t interval_counts = now - pacer.waiter.last_return_counts;
    const int64_t lateness_ns = counts_to_ns(pacer.grid, lateness_counts);
    const uint32_t cause =
        pacer.config.keep_stats ? cause_of(pacer, lateness_counts, host_late)
                                : static_cast<uint32_t>(VARNEX_CAUSE_UNKNOWN);
    if (tick != nullptr) {
        tick->cause = cause;
        tick->lateness_ns = lateness_ns;
        tick->interval_ns = counts_to_ns(pacer.grid, interval_counts);
        tick->lateness_s = static_cast<double>(lateness_counts) * pacer.config.seconds_per_count;
        tick->interval_s = static_cast<double>(interval_counts) * pacer.config.seconds_per_count;
    }
    // Tick index's deadline becomes this return under the delay policy: the
    // next is one period on.
    pacer.grid.start_counts += target.reanchor ? lateness_counts : 0;
    pacer.waiter.next_index = target.index + 1;
    pacer.waiter.missed_carried = 0;
    pacer.waiter.host_passed_over = false;
    pacer.waiter.last_return_counts = now;
    add_relaxed(pacer.published.ticks, uint64_t{1});
    add_relaxed(pacer.published.missed, target.missed);
    // Counted with the tick, as `ticks` is: a reader never sees a late tick
    // that is not yet counted late.
    if (cause >= VARNEX_CAUSE_OVERSLEPT) {
        add_relaxed(pacer.published.late_ticks, uint64_t{1});
        add_relaxed(pacer.published.late_by_cause[cause - VARNEX_CAUSE_OVERSLEPT], uint64_t{1});
    }
    pacer.waiter.unrecorded_lateness_ns = lateness_ns;
    pacer.waiter.lateness_unrecorded = pacer.config.keep_stats;
}

// Once the host holds the readiness handle, the wait never sleeps: the loop
// slept on the handle until the wake-up, and the wait spins the rest. What
// it learns is the loop's own latency, from the armed wake-up to this call:
// a learning hybrid's margin, and in every mode the limit past which a late
// tick is the host's.
int wait_on_handle(varnex_pacer& pacer, varnex_tick* tick)
{
    if (!begin_wait(pacer)) {
        return VARNEX_E_CANCELLED;
    }
    int64_t now = platform::read_counter();
    const int64_t since_wake = now - pacer.handle.armed_wake_counts;
    if (pacer.config.follows_reference) {
        follow_reference(pacer, now);
    }
    const bool late_call = since_wake > pacer.handle.armed_latency_counts;
    if (since_wake >= 0) {
        learn_oversleep(pacer.margin, since_wake, pacer.handle.armed_margin_counts);
    }
    if (pacer.alignment.on && follow_system_clock(pacer, &now, true) == ClockCheck::kOutOfRange) {
        return VARNEX_E_NO_COUNTER;
    }
    for (;;) {
        const Target target = target_of(pacer, now);
        const int64_t deadline = deadline_counts(pacer.grid, target.index);
        // A loop that comes at the wake-up the handle was armed for is due,
        // also when the margin it has just learned is narrower.
        if (now < deadline - std::max(handle_margin_counts(pacer), pacer.handle.armed_margin_counts)) {
            // A later tick that the policy chose over the missed ones is the
            // one the handle is armed for, and the choice holds: chosen afresh
            // when its wake-up comes, it would be passed over in turn, and so on.
            if (target.index > pacer.waiter.next_index) {
                pacer.waiter.missed_carried = target.missed;
                pacer.waiter.next_index = target.index;
                pacer.waiter.burst_returns = target.burst_returns;
                pacer.waiter.host_passed_over = true;
            }
            return VARNEX_E_NOT_DUE;
        }
        pacer.waiter.burst_returns = target.burst_returns;
        count_margin_tick(pacer.margin);
        // The host's: ticks passed over for its lateness, a tick already due
        // as the previous wait returned (a catch-up), or a call later after
        // the wake-up than the loop's own latency. Not a tick a step owes.
        const bool host_late = target.index >= pacer.waiter.owed_end &&
                               (target.missed > pacer.waiter.missed_carried || pacer.waiter.host_passed_over ||
                                deadline <= pacer.waiter.last_return_counts || late_call);
        // Real time holds for a sleep, and this wait has none: reported, not silent.
        pacer.controls.outcome.tried |= pacer.controls.flags & VARNEX_CONTROL_REALTIME;
        const EarlyTick early = write_early(tick, target);
        const Reading spun = spin_to(pacer, deadline, now);
        now = spun.counts;
        if (spun.end != End::kReached) {
            put_back(early);
            if (spun.end == End::kClockStepped) {
                continue;
            }
            return status_of(spun.end);
        }
        // A step during the spin moved the tick: it is chosen anew.
        int64_t checked = now;
        const ClockCheck check = pacer.alignment.on ? follow_system_clock(pacer, &checked) : ClockCheck::kSteady;
        if (check == ClockCheck::kSteady) {
            take_tick(pacer, tick, target, deadline, now, host_late);
            return VARNEX_OK;
        }
        put_back(early);
        if (check == ClockCheck::kOutOfRange) {
            return VARNEX_E_NO_COUNTER;
        }
        now = checked;
    }
}

}  // namespace

void arm_for_next_wait(varnex_pacer& pacer, bool retry)
{
    platform::ReadyTimer* timer = pacer.handle.timer.load(kRelaxed);
    const int64_t now = platform::read_counter();
    if (retry) {
        // The wait found no clock to follow: a loop comes back a period (at
        // most a slice) later, neither at once nor never.
        pacer.handle.armed_wake_counts = now + std::min(pacer.margin.period_counts, pacer.config.cancel_check_counts);
    } else {
        const Target next = target_of(pacer, now);
        const int64_t margin = handle_margin_counts(pacer);
        pacer.handle.armed_margin_counts = margin;
        pacer.handle.armed_wake_counts = deadline_counts(pacer.grid, next.index) - margin;
        pacer.published.margin_counts.store(margin, kRelaxed);
    }
    pacer.handle.armed_latency_counts = oversleep_p99_counts(pacer.margin);
    platform::arm_ready_timer(timer, pacer.handle.armed_wake_counts);
    // A cancel that armed the handle for now just before this arm is not
    // hidden by it.
    if (pacer.cancel_requested.load() != 0) {
        platform::arm_ready_timer(timer, now);
    }
}

namespace {

int wait_by_mode(varnex_pacer& pacer, varnex_tick* tick)
{
    if (pacer.handle.timer.load(kRelaxed) != nullptr) {
        const int status = wait_on_handle(pacer, tick);
        arm_for_next_wait(pacer, status == VARNEX_E_NO_COUNTER);
        return status;
    }
    if (!begin_wait(pacer)) {
        return VARNEX_E_CANCELLED;
    }
    int64_t now = platform::read_counter();
    const bool aligned = pacer.alignment.on;
    if (aligned && follow_system_clock(pacer, &now, true) == ClockCheck::kOutOfRange) {
        return VARNEX_E_NO_COUNTER;
    }
    if (pacer.config.follows_reference) {
        follow_reference(pacer, now);
    }
    for (;;) {
        // A sleep-mode wait sent on by a step has no spin of its own.
        pacer.waiter.spun_before_deadline = false;
        const Target target = target_of(pacer, now);
        pacer.waiter.burst_returns = target.burst_returns;
        const int64_t deadline = deadline_counts(pacer.grid, target.index);
        const bool host_late = now >= deadline && target.index >= pacer.waiter.owed_end;
        const EarlyTick early = write_early(tick, target);
        Reading reached{};
        switch (pacer.config.mode) {
        case VARNEX_MODE_SLEEP:
            reached = sleep_to(pacer, deadline, now);
            break;
        case VARNEX_MODE_HYBRID:
            reached = sleep_then_spin_to(pacer, deadline, now);
            break;
        default:
            reached = spin_to(pacer, deadline, now);
            break;
        }
        now = reached.counts;
        if (reached.end != End::kReached) {
            put_back(early);
            if (reached.end == End::kClockStepped) {
                continue;
            }
            return status_of(reached.end);
        }
        // A step during the wait moved its tick: the wait goes on to the one
        // the grid gives now. The lateness is the reading that ended it.
        int64_t checked = now;
        const ClockCheck check = aligned ? follow_system_clock(pacer, &checked) : ClockCheck::kSteady;
        if (check == ClockCheck::kSteady) {
            take_tick(pacer, tick, target, deadline, now, host_late);
            return VARNEX_OK;
        }
        put_back(early);
        if (check == ClockCheck::kOutOfRange) {
            return VARNEX_E_NO_COUNTER;
        }
        now = checked;
    }
}

}  // namespace

int wait_for_tick(varnex_pacer& pacer, varnex_tick* tick)
{
    if (pacer.controls.flags == 0) {
        return wait_by_mode(pacer, tick);
    }
    const WaitControls held(pacer);
    return wait_by_mode(pacer, tick);
}
