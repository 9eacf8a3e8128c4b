#include "pacer/waits.h"

#include <algorithm>

#include "pacer/alignment.h"
#include "pacer/atomics.h"
#include "pacer/controls.h"
#include "pacer/reference.h"
#include "pacer/stats.h"

namespace {

// How a stretch of a wait (a spin, a sleep, a look at the clock) ended, the
// last reading it took, and whether it spun from before its end: a spin that
// starts before the deadline reads the clock on until it ends, so its last
// reading before the deadline lies at least the lateness from the one that
// ended it, and no turn needs to keep it.
enum class End { kReached, kCancelled, kInterrupted, kNoTimer, kClockStepped };
struct Reading {
    int64_t counts;
    End end;
    bool spun_early;
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

// After create, the one writer of the grid and the waiter.
inline void apply(varnex_pacer& pacer, const Change& change)
{
    WaiterState& waiter = pacer.waiter;
    if (change.moves_grid) {
        pacer.grid.start_counts = change.start_counts;
        pacer.grid.counts_per_den = change.counts_per_den;
    }
    if (change.takes_tick) {
        waiter.missed_carried = 0;
        waiter.host_passed_over = false;
        waiter.last_return_counts = change.return_counts;
    }
    if (change.moves_last_return) {
        waiter.last_return_counts = change.last_return_counts;
    }
    if (change.moves_next) {
        waiter.next_index = change.next_index;
        waiter.missed_carried += change.missed;
    }
    if (change.rebase) {
        waiter.host_passed_over = false;
    }
    if (change.host_passed_over) {
        waiter.host_passed_over = true;
    }
    if (change.burst_reset) {
        waiter.burst_returns = 0;
    }
    if (change.sets_burst) {
        waiter.burst_returns = change.burst_returns;
    }
    waiter.owed_end = std::max(waiter.owed_end, change.owed_end);
    if (change.clock_stepped) {
        publish_clock_step(pacer.published, change.clock_step_ns);
    }
}

// The instant the wait aims for with tick k: its deadline. Every use of a
// tick's instant goes through here (the target's choice, by which a tick is
// due once the clock reaches it; host-late; the lateness; the handle's
// arming; the delay policy's re-anchor).
inline int64_t aimed_counts(const varnex_pacer& pacer, uint64_t k)
{
    return deadline_counts(pacer.grid, k);
}

// A look at the system clock from the reading `*now`, applied.
ClockCheck look_at_clock(varnex_pacer& pacer, int64_t* now, bool at_call = false)
{
    const ClockLook look = follow_system_clock(pacer.alignment, pacer.grid, pacer.waiter, now, at_call);
    apply(pacer, look.change);
    return look.check;
}

// The steering as a wait is called, from the reading `*now`; false when the
// system clock is out of range.
bool steer_at_call(varnex_pacer& pacer, int64_t* now)
{
    if (pacer.alignment.on && look_at_clock(pacer, now, true) == ClockCheck::kOutOfRange) {
        return false;
    }
    if (pacer.config.follows_reference) {
        take_observations(pacer.following, pacer.clock);
        apply(pacer, follow_reference(pacer.following, pacer.grid, pacer.waiter, *now));
    }
    return true;
}

// How a look at the clock in the middle of a wait ends it: not at all
// (kReached), or with the tick to choose anew, or with no tick.
inline End clock_look(varnex_pacer& pacer, int64_t* now)
{
    switch (look_at_clock(pacer, now)) {
    case ClockCheck::kSteady:
        return End::kReached;
    case ClockCheck::kStepped:
        return End::kClockStepped;
    default:
        return End::kNoTimer;
    }
}

// Spins until the clock reaches `deadline`, or a cancel. An aligned spin
// longer than a slice looks at the clock every slice, but never in the last
// one before the deadline: no turn pays for it.
Reading spin_loop(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const int64_t start = now;
    const int64_t slice = pacer.config.cancel_check_counts;
    const bool spun_early = now < deadline;
    for (;;) {
        const int64_t until =
            pacer.alignment.on && deadline - now > slice ? std::min(now + slice, deadline - slice) : deadline;
        while (now < until) {
            if (take_cancel(pacer)) {
                hold_spin(pacer.unrecorded, now - start);
                return {now, End::kCancelled, spun_early};
            }
            now = read_clock(pacer.clock);
        }
        if (until == deadline) {
            break;
        }
        if (const End looked = clock_look(pacer, &now); looked != End::kReached) {
            hold_spin(pacer.unrecorded, now - start);
            return {now, looked, spun_early};
        }
    }
    hold_spin(pacer.unrecorded, now - start);
    return {now, End::kReached, spun_early};
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
            return {now, End::kCancelled, false};
        }
        const platform::SleepResult slept =
            block_until(pacer.clock, std::min(deadline, now + pacer.config.cancel_check_counts));
        if (slept == platform::SleepResult::kFailed) {
            return {now, End::kNoTimer, false};
        }
        if (slept == platform::SleepResult::kInterrupted && pacer.config.return_on_signal) {
            return {now, End::kInterrupted, false};
        }
        now = read_clock(pacer.clock);
        // At the deadline, the wait's own look follows. A look that ends the
        // sleep keeps its time in the statistics, as the spin's does.
        if (pacer.alignment.on && now < deadline) {
            if (const End looked = clock_look(pacer, &now); looked != End::kReached) {
                if (pacer.config.keep_stats) {
                    publish_sleep(pacer.published, now - sleep_start);
                }
                return {now, looked, false};
            }
        }
    }
    if (pacer.config.keep_stats) {
        publish_sleep(pacer.published, now - sleep_start);
    }
    return {now, End::kReached, false};
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
        publish_margin(pacer.published, margin_counts(pacer.margin));
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

// Why a tick came `lateness_counts` after its instant: the first cause that
// applies, once it is later than its on-time limit. A spin that read the
// clock before the instant and still ended this late has two readings
// further apart than the limit: between them, it was not running.
inline uint32_t cause_of(const PacerConfig& config, int64_t lateness_counts, bool host_late, bool spun_early)
{
    if (lateness_counts <= config.on_time_counts) {
        return VARNEX_CAUSE_ON_TIME;
    }
    if (host_late) {
        return VARNEX_CAUSE_HOST_LATE;
    }
    return spun_early ? VARNEX_CAUSE_PREEMPTED : VARNEX_CAUSE_OVERSLEPT;
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

inline Change burst_of(const Target& target)
{
    Change change;
    change.sets_burst = true;
    change.burst_returns = target.burst_returns;
    return change;
}

// Everything after the reading that ended the wait for `target`, whose
// instant is `aim`; `host_late`: the tick is late by the host's doing.
inline void take_tick(varnex_pacer& pacer, varnex_tick* tick, const Target& target, int64_t aim,
                      const Reading& reached, bool host_late)
{
    const int64_t now = reached.counts;
    const int64_t lateness_counts = now - aim;
    const int64_t interval_counts = now - pacer.waiter.last_return_counts;
    const int64_t lateness_ns = counts_to_ns(pacer.grid, lateness_counts);
    const uint32_t cause = pacer.config.keep_stats
                               ? cause_of(pacer.config, lateness_counts, host_late, reached.spun_early)
                               : static_cast<uint32_t>(VARNEX_CAUSE_UNKNOWN);
    if (tick != nullptr) {
        tick->cause = cause;
        tick->lateness_ns = lateness_ns;
        tick->interval_ns = counts_to_ns(pacer.grid, interval_counts);
        tick->lateness_s = static_cast<double>(lateness_counts) * pacer.config.seconds_per_count;
        tick->interval_s = static_cast<double>(interval_counts) * pacer.config.seconds_per_count;
    }
    Change change;
    // Tick index's instant becomes this return under the delay policy: the
    // next is one period on.
    if (target.reanchor) {
        change.moves_grid = true;
        change.start_counts = pacer.grid.start_counts + lateness_counts;
        change.counts_per_den = pacer.grid.counts_per_den;
    }
    change.takes_tick = true;
    change.return_counts = now;
    change.moves_next = true;
    change.next_index = target.index + 1;
    apply(pacer, change);
    publish_tick(pacer.published, target.missed, cause);
    hold_for_record(pacer.config, pacer.unrecorded, lateness_ns);
}

// A handle that no advance made due is armed this far ahead in real time, a
// span that every system's timer takes: a loop woken then finds its tick not
// due, and the handle armed again.
constexpr int64_t kNeverSeconds = 86400;

// Not a status: the wait chooses its tick anew.
constexpr int kChooseAgain = 1;

// How a wait for `target` ends once its stretch to `aim` ended with
// `reached`: with the tick taken; with no tick; or, where the clock stepped
// during it (seen in the stretch, or by the look after it), with the tick to
// choose anew from `*now`. The lateness is the reading that ended the stretch.
inline int end_wait(varnex_pacer& pacer, varnex_tick* tick, const EarlyTick& early, const Target& target,
                    int64_t aim, const Reading& reached, bool host_late, int64_t* now)
{
    *now = reached.counts;
    if (reached.end == End::kReached) {
        const ClockCheck check = pacer.alignment.on ? look_at_clock(pacer, now) : ClockCheck::kSteady;
        if (check == ClockCheck::kSteady) {
            take_tick(pacer, tick, target, aim, reached, host_late);
            return VARNEX_OK;
        }
        put_back(early);
        return check == ClockCheck::kOutOfRange ? VARNEX_E_NO_COUNTER : kChooseAgain;
    }
    put_back(early);
    return reached.end == End::kClockStepped ? kChooseAgain : status_of(reached.end);
}

// A later tick that the missed-tick policy chose over the missed ones, for a
// host on the handle that was not due: the handle is armed for it, and the
// choice holds; chosen afresh when its wake-up comes, it would be passed over
// in turn, and so on.
void hold_passed_over(varnex_pacer& pacer, const Target& target)
{
    if (target.index > pacer.waiter.next_index) {
        Change change = burst_of(target);
        change.moves_next = true;
        change.next_index = target.index;
        change.missed = target.missed - pacer.waiter.missed_carried;
        change.host_passed_over = true;
        apply(pacer, change);
    }
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
    int64_t now = read_clock(pacer.clock);
    const int64_t since_wake = now - pacer.handle.armed_wake_counts;
    const bool late_call = since_wake > pacer.handle.armed_latency_counts;
    if (since_wake >= 0) {
        learn_oversleep(pacer.margin, since_wake, pacer.handle.armed_margin_counts);
    }
    if (!steer_at_call(pacer, &now)) {
        return VARNEX_E_NO_COUNTER;
    }
    for (;;) {
        const Target target = target_of(pacer, now);
        const int64_t aim = aimed_counts(pacer, target.index);
        // A loop that comes at the wake-up the handle was armed for is due,
        // also when the margin it has just learned is narrower.
        if (now < aim - std::max(handle_margin_counts(pacer), pacer.handle.armed_margin_counts)) {
            hold_passed_over(pacer, target);
            return VARNEX_E_NOT_DUE;
        }
        apply(pacer, burst_of(target));
        count_margin_tick(pacer.margin);
        // The host's: ticks passed over for its lateness, a tick already due
        // as the previous wait returned (a catch-up), or a call later after
        // the wake-up than the loop's own latency. Not a tick a step owes.
        const bool host_late = target.index >= pacer.waiter.owed_end &&
                               (target.missed > pacer.waiter.missed_carried || pacer.waiter.host_passed_over ||
                                aim <= pacer.waiter.last_return_counts || late_call);
        // Real time holds for a sleep, and this wait has none: reported, not silent.
        pacer.controls.outcome.tried |= pacer.controls.flags & VARNEX_CONTROL_REALTIME;
        const EarlyTick early = write_early(tick, target);
        const Reading spun = spin_to(pacer, aim, now);
        if (const int status = end_wait(pacer, tick, early, target, aim, spun, host_late, &now);
            status != kChooseAgain) {
            return status;
        }
    }
}

// A reset of the clock the host drives that the pacer has not applied: its
// next tick is due at the reset's reading plus its phase, its index going on.
void apply_unseen_reset(varnex_pacer& pacer, int64_t* now)
{
    SimPlace& place = pacer.clock.sim;
    uint32_t resets = 0;
    int64_t reset_to_ns = 0;
    if (!unseen_reset(place, &resets, &reset_to_ns)) {
        return;
    }
    place.resets_seen = resets;
    apply(pacer, reset_onto(pacer.grid, pacer.waiter, reset_to_ns, reset_to_ns + place.phase_ns));
    *now = read_clock(pacer.clock);
}

// On a clock the host drives, the wait blocks on the clock, and with the
// readiness handle out it does not block at all: not due, the pacer is back
// until an advance arms the handle. What keeps the host waiting is the
// clock, so a tick late by more than its limit is the host's when its
// deadline had passed at the call (with the handle, as the previous wait
// returned: a catch-up), else overslept.
int wait_on_sim_clock(varnex_pacer& pacer, varnex_tick* tick)
{
    if (!begin_wait(pacer)) {
        return VARNEX_E_CANCELLED;
    }
    SimPlace& place = pacer.clock.sim;
    const bool on_handle = pacer.handle.timer.load(kRelaxed) != nullptr;
    pacer.controls.outcome.tried |= pacer.controls.flags & (VARNEX_CONTROL_BOOST | VARNEX_CONTROL_REALTIME);
    int64_t now = read_clock(pacer.clock);
    apply_unseen_reset(pacer, &now);
    for (;;) {
        const Target target = target_of(pacer, now);
        const int64_t aim = aimed_counts(pacer, target.index);
        if (on_handle && now < aim) {
            hold_passed_over(pacer, target);
            // The creator's end arms the handle; no tick comes after it.
            if (sim_clock_gone(*place.clock)) {
                return VARNEX_E_CLOCK_GONE;
            }
            if (!back_on_handle(place, aim)) {
                return VARNEX_E_NOT_DUE;
            }
            now = read_clock(pacer.clock);
            continue;
        }
        apply(pacer, burst_of(target));
        const bool host_late = target.missed > pacer.waiter.missed_carried || pacer.waiter.host_passed_over ||
                               aim <= pacer.waiter.last_return_counts || (now >= aim && !on_handle);
        const EarlyTick early = write_early(tick, target);
        const SimReached reached = block_on_clock(place, aim, pacer.cancel_requested, pacer.config.return_on_signal);
        if (pacer.config.keep_stats && reached.blocked_ns != 0) {
            publish_sleep(pacer.published, reached.blocked_ns);
        }
        now = reached.now_ns;
        switch (reached.end) {
        case SimBlock::kReached:
            take_tick(pacer, tick, target, aim, {now, End::kReached, false}, host_late);
            return VARNEX_OK;
        case SimBlock::kReset:
            put_back(early);
            apply_unseen_reset(pacer, &now);
            break;
        case SimBlock::kCancelled:
            put_back(early);
            return VARNEX_E_CANCELLED;
        case SimBlock::kInterrupted:
            put_back(early);
            return VARNEX_E_INTERRUPTED;
        default:
            put_back(early);
            return VARNEX_E_CLOCK_GONE;
        }
    }
}

// A handle on a clock the host drives is ready while its tick is due, and
// otherwise waits for the advance that makes it due.
void arm_on_sim_clock(varnex_pacer& pacer, platform::ReadyTimer* timer)
{
    const int64_t now = read_clock(pacer.clock);
    const Target next = target_of(pacer, now);
    const int64_t aim = aimed_counts(pacer, next.index);
    if (aim <= now || pacer.cancel_requested.load() != 0) {
        platform::arm_ready_timer(timer, platform::read_counter());
        return;
    }
    int64_t frequency = 0;
    platform::query_frequency(&frequency);
    platform::arm_ready_timer(timer, platform::read_counter() + frequency * kNeverSeconds);
    // An advance that armed the handle between the reading and this arm
    // must not be undone by it.
    if (aim <= read_clock(pacer.clock) || pacer.cancel_requested.load() != 0) {
        platform::arm_ready_timer(timer, platform::read_counter());
    }
}

}  // namespace

void arm_for_next_wait(varnex_pacer& pacer, bool retry)
{
    platform::ReadyTimer* timer = pacer.handle.timer.load(kRelaxed);
    if (on_sim_clock(pacer.clock)) {
        arm_on_sim_clock(pacer, timer);
        return;
    }
    const int64_t now = read_clock(pacer.clock);
    if (retry) {
        // The wait found no clock to follow: a loop comes back a period (at
        // most a slice) later, neither at once nor never.
        pacer.handle.armed_wake_counts = now + std::min(pacer.margin.period_counts, pacer.config.cancel_check_counts);
    } else {
        const Target next = target_of(pacer, now);
        const int64_t margin = handle_margin_counts(pacer);
        pacer.handle.armed_margin_counts = margin;
        pacer.handle.armed_wake_counts = aimed_counts(pacer, next.index) - margin;
        publish_margin(pacer.published, margin);
    }
    pacer.handle.armed_latency_counts = oversleep_p99_counts(pacer.margin);
    arm_handle(pacer.clock, timer, pacer.handle.armed_wake_counts);
    // A cancel that armed the handle for now just before this arm is not
    // hidden by it.
    if (pacer.cancel_requested.load() != 0) {
        arm_handle(pacer.clock, timer, now);
    }
}

namespace {

int wait_by_mode(varnex_pacer& pacer, varnex_tick* tick)
{
    if (on_sim_clock(pacer.clock)) {
        const int status = wait_on_sim_clock(pacer, tick);
        if (pacer.handle.timer.load(kRelaxed) != nullptr) {
            arm_for_next_wait(pacer);
        }
        return status;
    }
    if (pacer.handle.timer.load(kRelaxed) != nullptr) {
        const int status = wait_on_handle(pacer, tick);
        arm_for_next_wait(pacer, status == VARNEX_E_NO_COUNTER);
        return status;
    }
    if (!begin_wait(pacer)) {
        return VARNEX_E_CANCELLED;
    }
    int64_t now = read_clock(pacer.clock);
    if (!steer_at_call(pacer, &now)) {
        return VARNEX_E_NO_COUNTER;
    }
    for (;;) {
        const Target target = target_of(pacer, now);
        apply(pacer, burst_of(target));
        const int64_t aim = aimed_counts(pacer, target.index);
        const bool host_late = now >= aim && target.index >= pacer.waiter.owed_end;
        const EarlyTick early = write_early(tick, target);
        Reading reached{};
        switch (pacer.config.mode) {
        case VARNEX_MODE_SLEEP:
            reached = sleep_to(pacer, aim, now);
            break;
        case VARNEX_MODE_HYBRID:
            reached = sleep_then_spin_to(pacer, aim, now);
            break;
        default:
            reached = spin_to(pacer, aim, now);
            break;
        }
        if (const int status = end_wait(pacer, tick, early, target, aim, reached, host_late, &now);
            status != kChooseAgain) {
            return status;
        }
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
