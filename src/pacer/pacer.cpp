// The pacer: a grid of deadlines anchored to its start, waited on by spinning
// on the counter or by the operating system's absolute-deadline sleep. It
// shares only the platform layer with the eight timer exports.
#include "varnex/pacer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

#include "pacer/histogram.h"
#include "pacer/margin.h"
#include "pacer/rate.h"
#include "pacer/wide_math.h"
#include "platform/platform.h"

static_assert(sizeof(varnex_pacer_config) == 48, "fixed for 32- and 64-bit hosts");
static_assert(offsetof(varnex_pacer_config, rate_hz) == 16 && offsetof(varnex_pacer_config, phase_ns) == 24 &&
                  offsetof(varnex_pacer_config, missed) == 32 && offsetof(varnex_pacer_config, margin_ns) == 44,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_tick) == 56 && offsetof(varnex_tick, index) == 8 &&
                  offsetof(varnex_tick, lateness_ns) == 24 && offsetof(varnex_tick, interval_s) == 48,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_pacer_stats) == 112 && offsetof(varnex_pacer_stats, ticks) == 8 &&
                  offsetof(varnex_pacer_stats, drift_ns) == 56 && offsetof(varnex_pacer_stats, cpu_ns) == 80 &&
                  offsetof(varnex_pacer_stats, margin_ns) == 88 && offsetof(varnex_pacer_stats, controls_active) == 96,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_pacer_controls) == 24 && offsetof(varnex_pacer_controls, affinity_mask) == 8 &&
                  offsetof(varnex_pacer_controls, dma_latency_us) == 20,
              "fixed for 32- and 64-bit hosts");

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr uint32_t kDefaultBurstCap = 4;
constexpr int64_t kDefaultPhase = -1;
// A sleep looks at the cancel flag at least this often.
constexpr int64_t kCancelCheckNs = 10000000;
// The least hybrid margin: a wake-up is never this punctual.
constexpr int64_t kMarginFloorNs = 10000;
// What version 1.1's hosts pass as sizeof(varnex_pacer_stats).
constexpr uint32_t kStatsSizeBeforeMargin = 88;
// The grid's arithmetic keeps frequency * rate_den within 64 bits.
constexpr int64_t kMaxFrequency = 0xFFFFFFFF;

}  // namespace

namespace {

// Which controls were tried in one wait, and how each fared.
struct ControlOutcome {
    uint32_t tried;
    uint32_t applied;
    uint32_t denied;
};

constexpr uint32_t kAllControls = VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                                  VARNEX_CONTROL_LOCK_MEMORY | VARNEX_CONTROL_DMA_LATENCY |
                                  VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS;

}  // namespace

struct varnex_pacer {
    int64_t frequency = 0;
    uint32_t rate_num = 0;
    uint32_t rate_den = 0;
    uint64_t counts_per_den = 0;  // frequency * rate_den
    int64_t cancel_check_counts = 0;
    uint32_t mode = VARNEX_MODE_SPIN;
    uint32_t missed_policy = VARNEX_MISSED_SKIP;
    uint32_t burst_cap = kDefaultBurstCap;
    bool keep_stats = true;
    bool return_on_signal = false;
    int64_t fixed_margin_counts = 0;
    platform::Handle sleep_timer = nullptr;

    // The waiting thread's own.
    int64_t start_counts = 0;  // tick 0's deadline
    uint64_t next_index = 0;
    uint32_t burst_returns = 0;
    int64_t last_return_counts = 0;
    double seconds_per_count = 0.0;
    // The previous tick's lateness and spin, recorded as the next wait
    // begins: the host gets its tick without waiting for the statistics.
    int64_t unrecorded_lateness_ns = 0;
    int64_t unrecorded_spin_counts = 0;
    bool lateness_unrecorded = false;
    MarginEstimator margin{};
    // The controls the host set, and what this wait found of them.
    uint32_t controls = 0;
    platform::ControlRequest control_request{};
    int64_t memory_saved = 0;
    int64_t latency_saved = 0;
    uint32_t held_for_life = 0;
    ControlOutcome outcome{};

    std::atomic<uint32_t> cancel_requested{0};
    std::atomic<platform::Handle> waiting_thread{nullptr};
    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> missed{0};
    std::atomic<int64_t> spin_counts{0};
    std::atomic<int64_t> sleep_counts{0};
    std::atomic<int64_t> margin_counts{0};
    std::atomic<uint32_t> controls_active{0};
    std::atomic<uint32_t> controls_denied{0};
    std::atomic<uint32_t> controls_unsupported{0};
    LatenessStats lateness{};
};

namespace {

int64_t saturated(const U128& value)
{
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return value.high != 0 || value.low > kMax ? std::numeric_limits<int64_t>::max()
                                               : static_cast<int64_t>(value.low);
}

int64_t offset_counts(const varnex_pacer& pacer, uint64_t k)
{
    return saturated(tick_offset_counts(k, pacer.counts_per_den, pacer.rate_num));
}

int64_t deadline_counts(const varnex_pacer& pacer, uint64_t k)
{
    const int64_t offset = offset_counts(pacer, k);
    return offset > std::numeric_limits<int64_t>::max() - pacer.start_counts ? std::numeric_limits<int64_t>::max()
                                                                             : pacer.start_counts + offset;
}

// The last tick whose deadline is at or before `now`; -1 before tick 0's.
int64_t latest_due_index(const varnex_pacer& pacer, int64_t now)
{
    if (now < pacer.start_counts) {
        return -1;
    }
    // A double estimate, set exact against the integer deadlines.
    const double elapsed = static_cast<double>(now - pacer.start_counts);
    auto index = static_cast<int64_t>(elapsed * pacer.rate_num / static_cast<double>(pacer.counts_per_den));
    index = std::max<int64_t>(index, 0);
    while (index > 0 && deadline_counts(pacer, static_cast<uint64_t>(index)) > now) {
        --index;
    }
    while (deadline_counts(pacer, static_cast<uint64_t>(index) + 1) <= now) {
        ++index;
    }
    return index;
}

int64_t counts_to_ns(const varnex_pacer& pacer, int64_t counts)
{
    if (pacer.frequency == kNanosecondsPerSecond) {
        return counts;
    }
    const bool negative = counts < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(counts) : static_cast<uint64_t>(counts);
    const U128 ns = multiply(magnitude, kNanosecondsPerSecond);
    // frequency <= kMaxFrequency, so it is a 32-bit divisor.
    const int64_t result = saturated(divide(ns, static_cast<uint32_t>(pacer.frequency)));
    return negative ? -result : result;
}

int64_t ns_to_counts(int64_t ns, int64_t frequency)
{
    return saturated(divide(multiply(static_cast<uint64_t>(ns), static_cast<uint64_t>(frequency)), kNanosecondsPerSecond));
}

void add_relaxed(std::atomic<int64_t>& total, int64_t amount)
{
    total.store(total.load(kRelaxed) + amount, kRelaxed);
}

bool take_cancel(varnex_pacer& pacer)
{
    return pacer.cancel_requested.load(kRelaxed) != 0 && pacer.cancel_requested.exchange(0) != 0;
}

platform::Control control_of(uint32_t flag)
{
    switch (flag) {
    case VARNEX_CONTROL_BOOST:
        return platform::Control::kBoost;
    case VARNEX_CONTROL_AFFINITY:
        return platform::Control::kAffinity;
    case VARNEX_CONTROL_REALTIME:
        return platform::Control::kRealtime;
    case VARNEX_CONTROL_LOCK_MEMORY:
        return platform::Control::kLockMemory;
    case VARNEX_CONTROL_DMA_LATENCY:
        return platform::Control::kDmaLatency;
    case VARNEX_CONTROL_NO_THROTTLING:
        return platform::Control::kNoThrottling;
    default:
        return platform::Control::kMmcss;
    }
}

// Applies one control if the host set it; true when it took effect, and its
// restore is then due.
bool apply_control(varnex_pacer& pacer, uint32_t flag, int64_t* saved)
{
    if ((pacer.controls & flag) == 0) {
        return false;
    }
    const platform::ControlResult result = platform::apply_control(control_of(flag), pacer.control_request, saved);
    pacer.outcome.tried |= flag;
    pacer.outcome.applied |= result == platform::ControlResult::kApplied ? flag : 0;
    pacer.outcome.denied |= result == platform::ControlResult::kDenied ? flag : 0;
    return result == platform::ControlResult::kApplied;
}

void restore_control(varnex_pacer& pacer, uint32_t flag, int64_t saved)
{
    platform::restore_control(control_of(flag), pacer.control_request, saved);
}

// The statistics show, for each control tried, how it fared the last time.
void publish_controls(varnex_pacer& pacer)
{
    const ControlOutcome& outcome = pacer.outcome;
    auto update = [&](std::atomic<uint32_t>& bits, uint32_t now) {
        bits.store((bits.load(kRelaxed) & ~outcome.tried) | (now & outcome.tried), kRelaxed);
    };
    update(pacer.controls_active, outcome.applied);
    update(pacer.controls_denied, outcome.denied);
    update(pacer.controls_unsupported, outcome.tried & ~outcome.applied & ~outcome.denied);
    pacer.outcome = ControlOutcome{};
}

void release_life_controls(varnex_pacer& pacer)
{
    if ((pacer.held_for_life & VARNEX_CONTROL_LOCK_MEMORY) != 0) {
        restore_control(pacer, VARNEX_CONTROL_LOCK_MEMORY, pacer.memory_saved);
    }
    if ((pacer.held_for_life & VARNEX_CONTROL_DMA_LATENCY) != 0) {
        restore_control(pacer, VARNEX_CONTROL_DMA_LATENCY, pacer.latency_saved);
    }
    pacer.held_for_life = 0;
}

// What a wait that ends early returns in place of its last reading.
constexpr int64_t kCancelled = -1;
constexpr int64_t kInterrupted = -2;

// Spins until the counter reaches `deadline`; the reading that ended it, or
// kCancelled.
int64_t spin_loop(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    pacer.unrecorded_spin_counts = -now;
    while (now < deadline) {
        if (take_cancel(pacer)) {
            pacer.unrecorded_spin_counts = 0;
            return kCancelled;
        }
        now = platform::read_counter();
    }
    pacer.unrecorded_spin_counts += now;
    return now;
}

// Sleeps in slices, so that a cancel is seen within kCancelCheckNs; a wake
// that comes early sleeps again, and so does one a signal ended unless the
// host asked to hear of it.
int64_t sleep_loop(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const int64_t sleep_start = now;
    while (now < deadline) {
        if (take_cancel(pacer)) {
            return kCancelled;
        }
        if (!platform::sleep_until(pacer.sleep_timer, std::min(deadline, now + pacer.cancel_check_counts)) &&
            pacer.return_on_signal) {
            return kInterrupted;
        }
        now = platform::read_counter();
    }
    if (pacer.keep_stats) {
        add_relaxed(pacer.sleep_counts, now - sleep_start);
    }
    return now;
}

// Runs `loop` to `deadline` holding one control, if the host asked for it,
// for the loop's own length.
int64_t holding(uint32_t flag, int64_t (*loop)(varnex_pacer&, int64_t, int64_t), varnex_pacer& pacer,
                int64_t deadline, int64_t now)
{
    int64_t saved = 0;
    const bool held = now < deadline && apply_control(pacer, flag, &saved);
    now = loop(pacer, deadline, now);
    if (held) {
        restore_control(pacer, flag, saved);
    }
    return now;
}

// The spin, boosted.
int64_t spin_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    return holding(VARNEX_CONTROL_BOOST, spin_loop, pacer, deadline, now);
}

// The sleep, in real time: the wake-up preempts other work, and the spin
// after it runs as the host's thread ran before.
int64_t sleep_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    return holding(VARNEX_CONTROL_REALTIME, sleep_loop, pacer, deadline, now);
}

// Sleeps until the margin before `deadline`, learning how late the sleep woke,
// then spins the rest.
int64_t sleep_then_spin_to(varnex_pacer& pacer, int64_t deadline, int64_t now)
{
    const bool learning = pacer.fixed_margin_counts == 0;
    const int64_t margin = learning ? margin_counts(pacer.margin) : pacer.fixed_margin_counts;
    int64_t wake = deadline - margin;
    const bool probe = learning && wake <= now && margin >= pacer.margin.period_counts && probe_now(pacer.margin);
    if (probe) {
        wake = now + (deadline - now) / 2;
    }
    if (wake > now) {
        now = sleep_to(pacer, wake, now);
        if (now < 0) {
            return now;
        }
        if (probe) {
            learn_probe(pacer.margin, now - wake, margin);
        } else if (learning) {
            learn_oversleep(pacer.margin, now - wake, margin);
        }
    }
    if (learning) {
        count_margin_tick(pacer.margin);
        pacer.margin_counts.store(margin_counts(pacer.margin), kRelaxed);
    }
    return spin_to(pacer, deadline, now);
}

// The previous tick's share of the statistics.
void record_previous_tick(varnex_pacer& pacer)
{
    if (!pacer.keep_stats) {
        return;
    }
    if (pacer.unrecorded_spin_counts != 0) {
        add_relaxed(pacer.spin_counts, pacer.unrecorded_spin_counts);
        pacer.unrecorded_spin_counts = 0;
    }
    if (pacer.lateness_unrecorded) {
        record_lateness(pacer.lateness, pacer.unrecorded_lateness_ns);
        pacer.lateness_unrecorded = false;
    }
}

struct Target {
    uint64_t index;
    uint64_t missed;
    bool reanchor;
};

// Which tick this wait returns, by the missed-tick policy.
Target choose_target(varnex_pacer& pacer, int64_t now)
{
    const uint64_t next = pacer.next_index;
    const int64_t latest = latest_due_index(pacer, now);
    if (latest <= static_cast<int64_t>(next)) {
        pacer.burst_returns = 0;
        return {next, 0, false};
    }
    const auto passed = static_cast<uint64_t>(latest) - next;
    switch (pacer.missed_policy) {
    case VARNEX_MISSED_BURST:
        if (pacer.burst_returns < pacer.burst_cap) {
            ++pacer.burst_returns;
            return {next, 0, false};
        }
        break;
    case VARNEX_MISSED_DELAY:
        return {next, passed, true};
    default:
        break;
    }
    pacer.burst_returns = 0;
    return {static_cast<uint64_t>(latest) + 1, passed + 1, false};
}

bool valid_config(const varnex_pacer_config& config)
{
    return config.size == sizeof(varnex_pacer_config) &&
           (config.flags & ~(VARNEX_PACER_NO_STATS | VARNEX_PACER_RETURN_ON_SIGNAL)) == 0;
}

int config_status(const varnex_pacer_config& config)
{
    if (!valid_config(config)) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (config.mode > VARNEX_MODE_HYBRID) {
        return VARNEX_E_INVALID_MODE;
    }
    if (config.missed > VARNEX_MISSED_DELAY) {
        return VARNEX_E_INVALID_MISSED;
    }
    if (config.phase_ns < kDefaultPhase) {
        return VARNEX_E_INVALID_PHASE;
    }
    return VARNEX_OK;
}

void fill_stats(const varnex_pacer& pacer, varnex_pacer_stats& stats)
{
    stats.ticks = pacer.ticks.load(kRelaxed);
    stats.missed = pacer.missed.load(kRelaxed);
    stats.cpu_ns = -1;
    stats.margin_ns = counts_to_ns(pacer, pacer.margin_counts.load(kRelaxed));
    stats.controls_active = pacer.controls_active.load(kRelaxed);
    stats.controls_denied = pacer.controls_denied.load(kRelaxed);
    stats.controls_unsupported = pacer.controls_unsupported.load(kRelaxed);
    if (!pacer.keep_stats) {
        return;
    }
    stats.lateness_p50_ns = lateness_percentile(pacer.lateness, 0.5);
    stats.lateness_p99_ns = lateness_percentile(pacer.lateness, 0.99);
    stats.lateness_p999_ns = lateness_percentile(pacer.lateness, 0.999);
    stats.lateness_max_ns = pacer.lateness.max_ns.load(kRelaxed);
    stats.drift_ns = lateness_drift(pacer.lateness);
    stats.spin_ns = counts_to_ns(pacer, pacer.spin_counts.load(kRelaxed));
    stats.sleep_ns = counts_to_ns(pacer, pacer.sleep_counts.load(kRelaxed));
    if (platform::Handle thread = pacer.waiting_thread.load(); thread != nullptr) {
        stats.cpu_ns = platform::thread_cpu_ns(thread);
    }
}

int wait_for_tick(varnex_pacer* pacer, varnex_tick* tick)
{
    if (take_cancel(*pacer)) {
        return VARNEX_E_CANCELLED;
    }
    record_previous_tick(*pacer);
    if (pacer->keep_stats && pacer->waiting_thread.load(kRelaxed) == nullptr) {
        pacer->waiting_thread.store(platform::open_thread_clock());
    }
    int64_t now = platform::read_counter();
    const Target target = choose_target(*pacer, now);
    const int64_t deadline = deadline_counts(*pacer, target.index);
    // Whatever does not depend on the reading that ends the wait is done
    // before it: from the deadline on, the host is kept waiting.
    if (tick != nullptr) {
        tick->index = target.index;
        tick->missed = target.missed;
    }
    const int64_t previous_return = pacer->last_return_counts;
    switch (pacer->mode) {
    case VARNEX_MODE_SLEEP:
        now = sleep_to(*pacer, deadline, now);
        break;
    case VARNEX_MODE_HYBRID:
        now = sleep_then_spin_to(*pacer, deadline, now);
        break;
    default:
        now = spin_to(*pacer, deadline, now);
        break;
    }
    if (now < 0) {
        return now == kInterrupted ? VARNEX_E_INTERRUPTED : VARNEX_E_CANCELLED;
    }
    const int64_t lateness_counts = now - deadline;
    const int64_t interval_counts = now - previous_return;
    const int64_t lateness_ns = counts_to_ns(*pacer, lateness_counts);
    if (tick != nullptr) {
        tick->lateness_ns = lateness_ns;
        tick->interval_ns = counts_to_ns(*pacer, interval_counts);
        tick->lateness_s = static_cast<double>(lateness_counts) * pacer->seconds_per_count;
        tick->interval_s = static_cast<double>(interval_counts) * pacer->seconds_per_count;
    }
    // Tick index's deadline becomes this return under the delay policy: the
    // next is one period on.
    pacer->start_counts += target.reanchor ? lateness_counts : 0;
    pacer->next_index = target.index + 1;
    pacer->last_return_counts = now;
    pacer->ticks.store(pacer->ticks.load(kRelaxed) + 1, kRelaxed);
    pacer->missed.store(pacer->missed.load(kRelaxed) + target.missed, kRelaxed);
    pacer->unrecorded_lateness_ns = lateness_ns;
    pacer->lateness_unrecorded = pacer->keep_stats;
    return VARNEX_OK;
}

}  // namespace

extern "C" {

uint32_t VARNEX_CALL varnex_version(void)
{
    return VARNEX_VERSION;
}

const char* VARNEX_CALL varnex_strerror(int status)
{
    switch (status) {
    case VARNEX_OK:
        return "success";
    case VARNEX_E_INVALID_ARGUMENT:
        return "invalid argument: a null pointer, or a struct of unknown size or with reserved fields set";
    case VARNEX_E_INVALID_RATE:
        return "invalid rate: it must be finite, above zero, and at least one counter step a tick";
    case VARNEX_E_INVALID_MODE:
        return "invalid mode: spin, sleep or hybrid";
    case VARNEX_E_INVALID_MISSED:
        return "invalid missed-tick policy: skip, burst or delay";
    case VARNEX_E_INVALID_PHASE:
        return "invalid phase: nanoseconds from 0, or -1 for one period";
    case VARNEX_E_NO_MEMORY:
        return "out of memory";
    case VARNEX_E_NO_COUNTER:
        return "no usable high-resolution counter or sleep timer";
    case VARNEX_E_CANCELLED:
        return "the wait was cancelled";
    case VARNEX_E_INTERRUPTED:
        return "a signal interrupted the wait";
    case VARNEX_E_INVALID_CONTROL:
        return "invalid control: real time for a spinning pacer, an empty affinity mask, or a priority outside 1 to 99";
    default:
        return "unknown status";
    }
}

void VARNEX_CALL varnex_pacer_config_init(varnex_pacer_config* config)
{
    if (config == nullptr) {
        return;
    }
    *config = varnex_pacer_config{};
    config->size = sizeof(varnex_pacer_config);
    config->mode = VARNEX_MODE_SPIN;
    config->phase_ns = kDefaultPhase;
    config->missed = VARNEX_MISSED_SKIP;
    config->burst_cap = kDefaultBurstCap;
}

int VARNEX_CALL varnex_pacer_create(const varnex_pacer_config* config, varnex_pacer** pacer)
{
    if (pacer == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *pacer = nullptr;
    if (config == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (const int status = config_status(*config); status != VARNEX_OK) {
        return status;
    }
    uint32_t rate_num = config->rate_num;
    uint32_t rate_den = config->rate_den;
    if (rate_num == 0 && !rate_from_double(config->rate_hz, &rate_num, &rate_den)) {
        return VARNEX_E_INVALID_RATE;
    }
    if (rate_den == 0) {
        return VARNEX_E_INVALID_RATE;
    }
    int64_t frequency = 0;
    if (!platform::query_frequency(&frequency) || frequency <= 0 || frequency > kMaxFrequency) {
        return VARNEX_E_NO_COUNTER;
    }
    const uint64_t counts_per_den = static_cast<uint64_t>(frequency) * rate_den;
    if (counts_per_den < rate_num) {
        return VARNEX_E_INVALID_RATE;
    }
    auto* created = new (std::nothrow) varnex_pacer;
    if (created == nullptr) {
        return VARNEX_E_NO_MEMORY;
    }
    created->frequency = frequency;
    created->rate_num = rate_num;
    created->rate_den = rate_den;
    created->counts_per_den = counts_per_den;
    created->seconds_per_count = 1.0 / static_cast<double>(frequency);
    created->cancel_check_counts = ns_to_counts(kCancelCheckNs, frequency);
    created->mode = config->mode;
    created->missed_policy = config->missed;
    created->burst_cap = config->burst_cap;
    created->keep_stats = (config->flags & VARNEX_PACER_NO_STATS) == 0;
    created->return_on_signal = (config->flags & VARNEX_PACER_RETURN_ON_SIGNAL) != 0;
    if (created->mode == VARNEX_MODE_HYBRID) {
        created->fixed_margin_counts = ns_to_counts(config->margin_ns, frequency);
        init_margin(created->margin, ns_to_counts(kMarginFloorNs, frequency), ns_to_counts(kWarmUpMarginNs, frequency),
                    offset_counts(*created, 1));
        created->margin_counts.store(created->fixed_margin_counts != 0 ? created->fixed_margin_counts
                                                                       : margin_counts(created->margin));
    }
    if (created->mode != VARNEX_MODE_SPIN) {
        created->sleep_timer = platform::create_sleep_timer();
        if (created->sleep_timer == nullptr) {
            delete created;
            return VARNEX_E_NO_COUNTER;
        }
    }
    const int64_t now = platform::read_counter();
    const int64_t phase_counts =
        config->phase_ns == kDefaultPhase
            ? offset_counts(*created, 1)
            : ns_to_counts(config->phase_ns, frequency);
    created->start_counts = now + phase_counts;
    created->last_return_counts = now;
    *pacer = created;
    return VARNEX_OK;
}

void VARNEX_CALL varnex_pacer_destroy(varnex_pacer* pacer)
{
    if (pacer == nullptr) {
        return;
    }
    release_life_controls(*pacer);
    if (pacer->sleep_timer != nullptr) {
        platform::close_sleep_timer(pacer->sleep_timer);
    }
    if (platform::Handle thread = pacer->waiting_thread.load(); thread != nullptr) {
        platform::close_thread_clock(thread);
    }
    delete pacer;
}

int VARNEX_CALL varnex_pacer_wait(varnex_pacer* pacer, varnex_tick* tick)
{
    if (pacer == nullptr || (tick != nullptr && tick->size < sizeof(varnex_tick))) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (pacer->controls == 0) {
        return wait_for_tick(pacer, tick);
    }
    // Held for the whole wait, and put back as it ends, last first; the
    // boost and real time are held inside it, for the spin and the sleep.
    constexpr uint32_t kHeldForTheWait[] = {VARNEX_CONTROL_AFFINITY, VARNEX_CONTROL_NO_THROTTLING,
                                            VARNEX_CONTROL_MMCSS};
    constexpr size_t kCount = sizeof kHeldForTheWait / sizeof kHeldForTheWait[0];
    int64_t saved[kCount] = {};
    bool held[kCount] = {};
    for (size_t index = 0; index < kCount; ++index) {
        held[index] = apply_control(*pacer, kHeldForTheWait[index], &saved[index]);
    }
    const int status = wait_for_tick(pacer, tick);
    for (size_t index = kCount; index-- > 0;) {
        if (held[index]) {
            restore_control(*pacer, kHeldForTheWait[index], saved[index]);
        }
    }
    publish_controls(*pacer);
    return status;
}

int VARNEX_CALL varnex_pacer_set_controls(varnex_pacer* pacer, const varnex_pacer_controls* controls)
{
    if (pacer == nullptr || controls == nullptr || controls->size < sizeof(varnex_pacer_controls) ||
        (controls->flags & ~kAllControls) != 0) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    const uint32_t flags = controls->flags;
    if (((flags & VARNEX_CONTROL_REALTIME) != 0 &&
         (pacer->mode == VARNEX_MODE_SPIN || controls->realtime_priority < 1 || controls->realtime_priority > 99)) ||
        ((flags & VARNEX_CONTROL_AFFINITY) != 0 && controls->affinity_mask == 0)) {
        return VARNEX_E_INVALID_CONTROL;
    }
    release_life_controls(*pacer);
    pacer->controls = flags;
    pacer->control_request = {controls->affinity_mask, controls->realtime_priority, controls->dma_latency_us, pacer,
                              sizeof *pacer};
    pacer->held_for_life |= apply_control(*pacer, VARNEX_CONTROL_LOCK_MEMORY, &pacer->memory_saved)
                                ? VARNEX_CONTROL_LOCK_MEMORY
                                : 0;
    pacer->held_for_life |= apply_control(*pacer, VARNEX_CONTROL_DMA_LATENCY, &pacer->latency_saved)
                                ? VARNEX_CONTROL_DMA_LATENCY
                                : 0;
    // What was set before and is no longer asked for shows nothing.
    for (std::atomic<uint32_t>* bits : {&pacer->controls_active, &pacer->controls_denied, &pacer->controls_unsupported}) {
        bits->store(bits->load(kRelaxed) & flags, kRelaxed);
    }
    publish_controls(*pacer);
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_cancel(varnex_pacer* pacer)
{
    if (pacer == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    pacer->cancel_requested.store(1);
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_get_stats(varnex_pacer* pacer, varnex_pacer_stats* stats)
{
    if (pacer == nullptr || stats == nullptr || stats->size < kStatsSizeBeforeMargin) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    varnex_pacer_stats all{};
    all.size = stats->size;
    fill_stats(*pacer, all);
    // A host built against an older, shorter struct gets its own part.
    std::memcpy(stats, &all, std::min<size_t>(stats->size, sizeof all));
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_rate(const varnex_pacer* pacer, uint32_t* rate_num, uint32_t* rate_den)
{
    if (pacer == nullptr || rate_num == nullptr || rate_den == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *rate_num = pacer->rate_num;
    *rate_den = pacer->rate_den;
    return VARNEX_OK;
}

}  // extern "C"
