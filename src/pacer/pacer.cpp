// The pacer's C entry points: they check what the host passes and leave the
// work to the grid, the waits, the controls and the statistics.
#include "varnex/pacer.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <iterator>
#include <new>

#include "pacer/atomics.h"
#include "pacer/controls.h"
#include "pacer/pacer_state.h"
#include "pacer/rate.h"
#include "pacer/reference.h"
#include "pacer/sim_clock.h"
#include "pacer/stats.h"
#include "pacer/waits.h"
#include "platform/pages.h"

static_assert(sizeof(varnex_pacer_config) == 48, "fixed for 32- and 64-bit hosts");
static_assert(offsetof(varnex_pacer_config, rate_hz) == 16 && offsetof(varnex_pacer_config, phase_ns) == 24 &&
                  offsetof(varnex_pacer_config, missed) == 32 && offsetof(varnex_pacer_config, margin_ns) == 44,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_tick) == 56 && offsetof(varnex_tick, index) == 8 &&
                  offsetof(varnex_tick, lateness_ns) == 24 && offsetof(varnex_tick, interval_s) == 48,
              "fixed for 32- and 64-bit hosts");
static_assert(offsetof(varnex_pacer_stats, ticks) == 8 &&
                  offsetof(varnex_pacer_stats, drift_ns) == 56 && offsetof(varnex_pacer_stats, cpu_ns) == 80 &&
                  offsetof(varnex_pacer_stats, margin_ns) == 88 && offsetof(varnex_pacer_stats, controls_active) == 96 &&
                  offsetof(varnex_pacer_stats, clock_steps) == 108 &&
                  offsetof(varnex_pacer_stats, clock_step_ns) == 112 &&
                  offsetof(varnex_pacer_stats, clock_error_us) == 124 &&
                  offsetof(varnex_pacer_stats, late_ticks) == 128 &&
                  offsetof(varnex_pacer_stats, late_host_late) == 152 &&
                  offsetof(varnex_pacer_stats, reference_state) == 160 &&
                  offsetof(varnex_pacer_stats, reference_phase_error_ns) == 168 &&
                  offsetof(varnex_pacer_stats, reference_outliers) == 216 && sizeof(varnex_pacer_stats) == 224,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_reference_options) == 32 && offsetof(varnex_reference_options, step_threshold_ns) == 8 &&
                  offsetof(varnex_reference_options, holdover_ns) == 24,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(varnex_pacer_controls) == 24 && offsetof(varnex_pacer_controls, affinity_mask) == 8 &&
                  offsetof(varnex_pacer_controls, dma_latency_us) == 20,
              "fixed for 32- and 64-bit hosts");

namespace {

constexpr uint32_t kDefaultBurstCap = 4;
constexpr int64_t kDefaultPhase = -1;
// 2^62 ns, 146 years: on a counter of up to 1 GHz the first deadline then
// fits in the counter's 63 bits, with room for the counter's own reading.
constexpr int64_t kMaxPhaseNs = int64_t{1} << 62;
// A sleep looks at the cancel flag at least this often.
constexpr int64_t kCancelCheckNs = 10000000;
// A reading of the counter and the system clock within this is as good as
// the clock's own resolution makes it.
constexpr int64_t kTightMappingNs = 1000;
// What version 1.1's hosts pass as sizeof(varnex_pacer_stats).
constexpr uint32_t kStatsSizeBeforeMargin = 88;

#define VARNEX_STATS_FIELD_END(field) (offsetof(varnex_pacer_stats, field) + sizeof(varnex_pacer_stats::field))
// Where each field from version 1.2's on ends: a host's size that cuts a
// field gets none of it.
constexpr size_t kStatsFieldEnds[] = {
    VARNEX_STATS_FIELD_END(margin_ns),          VARNEX_STATS_FIELD_END(controls_active),
    VARNEX_STATS_FIELD_END(controls_denied),    VARNEX_STATS_FIELD_END(controls_unsupported),
    VARNEX_STATS_FIELD_END(clock_steps),        VARNEX_STATS_FIELD_END(clock_step_ns),
    VARNEX_STATS_FIELD_END(clock_synchronized), VARNEX_STATS_FIELD_END(clock_error_us),
    VARNEX_STATS_FIELD_END(late_ticks),         VARNEX_STATS_FIELD_END(late_overslept),
    VARNEX_STATS_FIELD_END(late_preempted),     VARNEX_STATS_FIELD_END(late_host_late),
    VARNEX_STATS_FIELD_END(reference_state),    VARNEX_STATS_FIELD_END(reference_rebases),
    VARNEX_STATS_FIELD_END(reference_phase_error_ns), VARNEX_STATS_FIELD_END(reference_rate_offset_ppb),
    VARNEX_STATS_FIELD_END(reference_jitter_ns), VARNEX_STATS_FIELD_END(reference_steps),
    VARNEX_STATS_FIELD_END(reference_observations), VARNEX_STATS_FIELD_END(reference_dropped),
    VARNEX_STATS_FIELD_END(reference_outliers),
};
#undef VARNEX_STATS_FIELD_END
static_assert(kStatsFieldEnds[std::size(kStatsFieldEnds) - 1] == sizeof(varnex_pacer_stats),
              "every field of the statistics is listed");

size_t whole_stats_fields_within(uint32_t size)
{
    size_t within = kStatsSizeBeforeMargin;
    for (const size_t field_end : kStatsFieldEnds) {
        if (field_end <= size) {
            within = field_end;
        }
    }
    return within;
}

// The largest reading of a reference: with a counter of up to 1 GHz, its
// ticks' offsets from the grid's start fit in 63 bits with room to slew.
constexpr int64_t kMaxReferenceNs = int64_t{1} << 62;

constexpr uint32_t kAllFlags = VARNEX_PACER_NO_STATS | VARNEX_PACER_RETURN_ON_SIGNAL |
                               VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | VARNEX_PACER_TAI | VARNEX_PACER_FOLLOW_REFERENCE;
// What a pacer on a clock the host drives cannot take: it has no system clock
// and no reference, only the clock.
constexpr uint32_t kFlagsNotOnSimClock =
    VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | VARNEX_PACER_TAI | VARNEX_PACER_FOLLOW_REFERENCE;

bool aligned(const varnex_pacer_config& config)
{
    return (config.flags & VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK) != 0;
}

bool follows_reference(const varnex_pacer_config& config)
{
    return (config.flags & VARNEX_PACER_FOLLOW_REFERENCE) != 0;
}

int config_status(const varnex_pacer_config& config)
{
    if (config.size != sizeof(varnex_pacer_config) || (config.flags & ~kAllFlags) != 0 ||
        ((config.flags & VARNEX_PACER_TAI) != 0 && !aligned(config)) ||
        (aligned(config) && follows_reference(config))) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (config.mode > VARNEX_MODE_HYBRID) {
        return VARNEX_E_INVALID_MODE;
    }
    // The delay policy moves the grid, off the clock it is aligned to or the
    // reference it follows.
    if (config.missed > VARNEX_MISSED_DELAY ||
        ((aligned(config) || follows_reference(config)) && config.missed == VARNEX_MISSED_DELAY)) {
        return VARNEX_E_INVALID_MISSED;
    }
    if (config.phase_ns < kDefaultPhase || config.phase_ns > kMaxPhaseNs) {
        return VARNEX_E_INVALID_PHASE;
    }
    return VARNEX_OK;
}

// The grid of a valid configuration on a clock of `frequency` counts a
// second, its start not yet set.
int grid_at(const varnex_pacer_config& config, int64_t frequency, Grid* grid)
{
    uint32_t rate_num = config.rate_num;
    uint32_t rate_den = config.rate_den;
    if (rate_num == 0 && !rate_from_double(config.rate_hz, &rate_num, &rate_den)) {
        return VARNEX_E_INVALID_RATE;
    }
    if (rate_den == 0) {
        return VARNEX_E_INVALID_RATE;
    }
    const uint64_t counts_per_den = static_cast<uint64_t>(frequency) * rate_den;
    if (counts_per_den < rate_num) {
        return VARNEX_E_INVALID_RATE;
    }
    *grid = {frequency, rate_num, rate_den, counts_per_den, 0};
    return VARNEX_OK;
}

// The grid on the counter.
int grid_of(const varnex_pacer_config& config, Grid* grid)
{
    int64_t frequency = 0;
    if (!platform::query_frequency(&frequency) || frequency <= 0 || frequency > kMaxFrequency) {
        // A bad rate is the host's to hear of first.
        Grid checked{};
        const int status = grid_at(config, platform::kNanosecondsPerSecond, &checked);
        return status != VARNEX_OK ? status : VARNEX_E_NO_COUNTER;
    }
    return grid_at(config, frequency, grid);
}

// An aligned grid's phase lies within its period: phase * rate_num below
// 10^9 * rate_den.
bool phase_within_period(int64_t phase_ns, const Grid& grid)
{
    const U128 phase = multiply(static_cast<uint64_t>(phase_ns), grid.rate_num);
    const U128 period = multiply(platform::kNanosecondsPerSecond, grid.rate_den);
    return phase.high < period.high || (phase.high == period.high && phase.low < period.low);
}

int alignment_status(const varnex_pacer_config& config, const Grid& grid, platform::SystemClock* clock)
{
    if (!aligned(config) && !follows_reference(config)) {
        return VARNEX_OK;
    }
    if (config.phase_ns != kDefaultPhase && !phase_within_period(config.phase_ns, grid)) {
        return VARNEX_E_INVALID_PHASE;
    }
    if (!aligned(config)) {
        return VARNEX_OK;
    }
    *clock = (config.flags & VARNEX_PACER_TAI) != 0 ? platform::SystemClock::kTai : platform::SystemClock::kUtc;
    switch (platform::system_clock_availability(*clock)) {
    case platform::ClockAvailability::kAvailable:
        return VARNEX_OK;
    case platform::ClockAvailability::kUnsupported:
        return VARNEX_E_INVALID_ARGUMENT;
    default:
        return VARNEX_E_NO_COUNTER;
    }
}

// Tick 0 of an aligned grid is where the clock read the phase in 1970; the
// first wait returns the first grid point after now.
bool align_start(varnex_pacer& pacer, int64_t now)
{
    Alignment& alignment = pacer.alignment;
    alignment.mapping = read_mapping(alignment, now);
    if (!within_aligned_range(alignment.mapping, alignment.phase_ns, pacer.grid.frequency)) {
        return false;
    }
    alignment.verified_counts = alignment.mapping.counter;
    place_grid(pacer.grid, alignment);
    pacer.waiter.next_index = static_cast<uint64_t>(latest_due_index(pacer.grid, alignment.mapping.latest_counts) + 1);
    return true;
}

// Whether this is the process whose kernel objects the pacer holds; a
// forked child's copy until its first call that needs them.
bool in_own_process(const varnex_pacer& pacer)
{
    return pacer.process_generation.load(std::memory_order_acquire) == platform::process_generation();
}

// A forked child's copy of the pacer holds what the parent's does: its
// readiness handle's timer (the same kernel timer, which the parent arms), a
// clock of the parent's waiting thread, and the life controls that the fork
// did not carry over (memory locks; the latency request, closed in the child
// at the fork); on a named clock, the parent's slot. The child's first call that needs them gives it its own; a
// timer the system refuses leaves it a copy, to try again at the next call.
int own_process(varnex_pacer& pacer)
{
    if (in_own_process(pacer)) {
        return VARNEX_OK;
    }
    if (on_sim_clock(pacer.clock)) {
        if (const int status = own_sim_place(pacer.clock.sim); status != VARNEX_OK) {
            return status;
        }
    }
    platform::ReadyTimer* ready = pacer.handle.timer.load(kRelaxed);
    if (ready != nullptr && !platform::renew_ready_timer(ready)) {
        return VARNEX_E_NO_COUNTER;
    }
    if (ready != nullptr && on_sim_clock(pacer.clock)) {
        set_sim_handle(pacer.clock.sim, ready);
    }
    if (platform::ThreadClock* thread = pacer.waiting_thread.exchange(nullptr); thread != nullptr) {
        platform::close_thread_clock(thread);
    }
    retake_life_controls(pacer);
    pacer.process_generation.store(platform::process_generation(), std::memory_order_release);
    if (ready != nullptr) {
        arm_for_next_wait(pacer);
    }
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
        return "invalid argument: a null pointer, a struct of unknown size, unknown flags or a value out of range, or "
               "a reference call on a pacer that follows none";
    case VARNEX_E_INVALID_RATE:
        return "invalid rate: it must be finite, above zero, and at least one counter step a tick";
    case VARNEX_E_INVALID_MODE:
        return "invalid mode: not spin, sleep or hybrid; or a spinning pacer asked for a readiness handle; or a "
               "lateness budget for a pacer that is not a hybrid learning its margin";
    case VARNEX_E_INVALID_MISSED:
        return "invalid missed-tick policy: skip, burst or delay";
    case VARNEX_E_INVALID_PHASE:
        return "invalid phase: nanoseconds from 0 to 2^62, or -1 for one period; on the system clock, under one "
               "period";
    case VARNEX_E_NO_MEMORY:
        return "out of memory";
    case VARNEX_E_NO_COUNTER:
        return "no usable high-resolution counter or timer, or for an aligned grid no precise system clock (TAI: no "
               "TAI offset known to the kernel); from a wait: the system refused its sleep or timer, or the system "
               "clock is outside 1970 +/- 2^62 ns; the tick was not taken";
    case VARNEX_E_CANCELLED:
        return "the wait was cancelled";
    case VARNEX_E_INTERRUPTED:
        return "a signal interrupted the wait";
    case VARNEX_E_INVALID_CONTROL:
        return "invalid control: real time for a spinning pacer, an affinity mask with no CPU this thread may use, "
               "or a priority outside 1 to 99";
    case VARNEX_E_NOT_DUE:
        return "not due: the tick's wake-up is still ahead; wait on the readiness handle again";
    case VARNEX_E_TIMEOUT:
        return "timed out: not every pacer the advance made due came back in time; the clock reads the new time";
    case VARNEX_E_NAME_IN_USE:
        return "name in use: a clock whose creator lives holds that name";
    case VARNEX_E_NOT_FOUND:
        return "not found: no clock by that name";
    case VARNEX_E_CLOCK_GONE:
        return "clock gone: the process that created the clock ended, or destroyed it";
    case VARNEX_E_INCOMPATIBLE:
        return "incompatible: the named clock's memory is not a clock of this library's version";
    case VARNEX_E_ACCESS_DENIED:
        return "access denied: the name belongs to another user's clock, or its file is not private to this user";
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
    Grid grid{};
    platform::SystemClock clock{};
    if (int status = config_status(*config); status != VARNEX_OK || (status = grid_of(*config, &grid)) != VARNEX_OK ||
                                             (status = alignment_status(*config, grid, &clock)) != VARNEX_OK) {
        return status;
    }
    void* memory = platform::allocate_pages(sizeof(varnex_pacer));
    if (memory == nullptr) {
        return VARNEX_E_NO_MEMORY;
    }
    auto* created = new (memory) varnex_pacer;
    const int64_t frequency = grid.frequency;
    created->grid = grid;
    created->config.seconds_per_count = 1.0 / static_cast<double>(frequency);
    created->config.cancel_check_counts = ns_to_counts(kCancelCheckNs, frequency);
    created->config.mode = config->mode;
    created->config.missed_policy = {config->missed, config->burst_cap};
    created->config.keep_stats = (config->flags & VARNEX_PACER_NO_STATS) == 0;
    created->config.return_on_signal = (config->flags & VARNEX_PACER_RETURN_ON_SIGNAL) != 0;
    created->config.on_time_counts = ns_to_counts(VARNEX_ON_TIME_NS, frequency);
    const int64_t period_counts = offset_counts(grid, 1);
    created->process_generation.store(platform::process_generation(), std::memory_order_relaxed);
    if (created->config.mode != VARNEX_MODE_SPIN) {
        // Sleep mode learns only the readiness handle's loop latency, for the causes.
        init_margin(created->margin, ns_to_counts(kMarginFloorNs, frequency), ns_to_counts(kWarmUpMarginNs, frequency),
                    period_counts);
    }
    if (created->config.mode == VARNEX_MODE_HYBRID) {
        created->config.fixed_margin_counts = ns_to_counts(config->margin_ns, frequency);
        const int64_t fixed = created->config.fixed_margin_counts;
        publish_margin(created->published, fixed != 0 ? fixed : margin_counts(created->margin));
    }
    if (created->config.mode != VARNEX_MODE_SPIN) {
        created->clock.sleep_timer = platform::create_sleep_timer();
        if (created->clock.sleep_timer == nullptr) {
            varnex_pacer_destroy(created);
            return VARNEX_E_NO_COUNTER;
        }
    }
    const int64_t now = read_clock(created->clock);
    created->waiter.last_return_counts = now;
    if (aligned(*config)) {
        created->alignment = {true, clock, platform::counter_slews_with_system_clock(),
                              config->phase_ns == kDefaultPhase ? 0 : config->phase_ns,
                              ns_to_counts(kTightMappingNs, frequency), {}};
        if (!align_start(*created, now)) {
            varnex_pacer_destroy(created);
            return VARNEX_E_NO_COUNTER;
        }
        *pacer = created;
        return VARNEX_OK;
    }
    // A following pacer's phase is the reference's: on the counter, until
    // the reference speaks, its grid starts a period after the creation.
    if (follows_reference(*config)) {
        created->config.follows_reference = true;
        start_following(created->following, grid, config->phase_ns == kDefaultPhase ? 0 : config->phase_ns);
    }
    const int64_t phase_counts = config->phase_ns == kDefaultPhase || follows_reference(*config)
                                     ? period_counts
                                     : ns_to_counts(config->phase_ns, frequency);
    // Only a counter faster than 1 GHz, or one near the end of its range,
    // cannot hold the first deadline of a phase within the limit.
    if (phase_counts > std::numeric_limits<int64_t>::max() - std::max<int64_t>(now, 0)) {
        varnex_pacer_destroy(created);
        return VARNEX_E_INVALID_PHASE;
    }
    created->grid.start_counts = now + phase_counts;
    *pacer = created;
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_create_on(const varnex_pacer_config* config, varnex_sim_clock* clock,
                                       varnex_pacer** pacer)
{
    if (pacer == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *pacer = nullptr;
    if (config == nullptr || clock == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    Grid grid{};
    if (int status = config_status(*config);
        status != VARNEX_OK || (status = grid_at(*config, platform::kNanosecondsPerSecond, &grid)) != VARNEX_OK) {
        return status;
    }
    if ((config->flags & kFlagsNotOnSimClock) != 0) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (sim_clock_gone(*clock)) {
        return VARNEX_E_CLOCK_GONE;
    }
    void* memory = platform::allocate_pages(sizeof(varnex_pacer));
    if (memory == nullptr) {
        return VARNEX_E_NO_MEMORY;
    }
    auto* created = new (memory) varnex_pacer;
    created->config.mode = config->mode;
    created->config.missed_policy = {config->missed, config->burst_cap};
    created->config.keep_stats = (config->flags & VARNEX_PACER_NO_STATS) == 0;
    created->config.return_on_signal = (config->flags & VARNEX_PACER_RETURN_ON_SIGNAL) != 0;
    created->config.seconds_per_count = 1e-9;
    created->config.on_time_counts = VARNEX_ON_TIME_NS;
    created->process_generation.store(platform::process_generation(), std::memory_order_relaxed);
    const int64_t phase_ns = config->phase_ns == kDefaultPhase ? offset_counts(grid, 1) : config->phase_ns;
    uint32_t resets = 0;
    const int64_t now = sim_reading(*clock, &resets);
    // A reading and a phase of 2^62 each sum to 2^63: such a tick is never due.
    grid.start_counts = phase_ns > std::numeric_limits<int64_t>::max() - now ? std::numeric_limits<int64_t>::max()
                                                                             : now + phase_ns;
    created->grid = grid;
    created->waiter.last_return_counts = now;
    if (!take_sim_slot(*clock, grid.start_counts, resets, &created->clock.sim)) {
        varnex_pacer_destroy(created);
        return VARNEX_E_NO_MEMORY;
    }
    created->clock.sim.phase_ns = phase_ns;
    *pacer = created;
    return VARNEX_OK;
}

void VARNEX_CALL varnex_pacer_destroy(varnex_pacer* pacer)
{
    if (pacer == nullptr) {
        return;
    }
    release_controls(*pacer);
    if (on_sim_clock(pacer->clock)) {
        release_sim_slot(pacer->clock.sim);
    }
    if (platform::ReadyTimer* ready = pacer->handle.timer.load(); ready != nullptr) {
        // A loop that still polls the handle wakes now, not at the old
        // wake-up; a child's copy never arms the parent's timer.
        if (in_own_process(*pacer)) {
            platform::arm_ready_timer(ready, platform::read_counter());
        }
        platform::close_ready_timer(ready);
    }
    if (pacer->clock.sleep_timer != nullptr) {
        platform::close_sleep_timer(pacer->clock.sleep_timer);
    }
    if (platform::ThreadClock* thread = pacer->waiting_thread.load(); thread != nullptr) {
        platform::close_thread_clock(thread);
    }
    pacer->~varnex_pacer();
    platform::free_pages(pacer, sizeof(varnex_pacer));
}

int VARNEX_CALL varnex_pacer_wait(varnex_pacer* pacer, varnex_tick* tick)
{
    if (pacer == nullptr || (tick != nullptr && tick->size < sizeof(varnex_tick))) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (pacer->process_generation.load(kRelaxed) != platform::process_generation()) {
        if (const int status = own_process(*pacer); status != VARNEX_OK) {
            return status;
        }
    }
    return wait_for_tick(*pacer, tick);
}

int VARNEX_CALL varnex_pacer_set_controls(varnex_pacer* pacer, const varnex_pacer_controls* controls)
{
    if (pacer == nullptr || controls == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (const int status = controls_status(*pacer, *controls); status != VARNEX_OK) {
        return status;
    }
    return set_controls(*pacer, *controls);
}

int VARNEX_CALL varnex_pacer_cancel(varnex_pacer* pacer)
{
    if (pacer == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    pacer->cancel_requested.store(1);
    // A loop blocked on the handle wakes, and its wait sees the cancel; in a
    // child whose copy has no timer of its own yet, the flag is all.
    if (in_own_process(*pacer)) {
        wake_handle(pacer->clock, pacer->handle.timer.load());
    }
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
    std::memcpy(stats, &all, whole_stats_fields_within(stats->size));
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_wait_handle(varnex_pacer* pacer, intptr_t* handle)
{
    if (pacer == nullptr || handle == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (pacer->config.mode == VARNEX_MODE_SPIN && !on_sim_clock(pacer->clock)) {
        return VARNEX_E_INVALID_MODE;
    }
    if (const int status = own_process(*pacer); status != VARNEX_OK) {
        return status;
    }
    platform::ReadyTimer* ready = pacer->handle.timer.load();
    if (ready == nullptr) {
        ready = platform::create_ready_timer();
        if (ready == nullptr) {
            return VARNEX_E_NO_COUNTER;
        }
        pacer->handle.timer.store(ready);
        if (on_sim_clock(pacer->clock)) {
            set_sim_handle(pacer->clock.sim, ready);
        }
        arm_for_next_wait(*pacer);
    }
    *handle = platform::ready_timer_host_handle(ready);
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_set_lateness_budget(varnex_pacer* pacer, int64_t p99_ns)
{
    if (pacer == nullptr || p99_ns < 0) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (pacer->config.mode != VARNEX_MODE_HYBRID || pacer->config.fixed_margin_counts != 0 ||
        on_sim_clock(pacer->clock)) {
        return VARNEX_E_INVALID_MODE;
    }
    if (const int status = own_process(*pacer); status != VARNEX_OK) {
        return status;
    }
    // The on-time limit is the budget as the host set it (saturated). For the
    // margin, past the period a budget means none; held there, margin plus
    // budget stays within range.
    const int64_t limit_counts = ns_to_counts(p99_ns == 0 ? VARNEX_ON_TIME_NS : p99_ns, pacer->grid.frequency);
    pacer->margin.budget_counts = p99_ns == 0 ? 0 : std::clamp<int64_t>(limit_counts, 1, offset_counts(pacer->grid, 1));
    pacer->config.on_time_counts = limit_counts;
    // The handle, if it is out, wakes by the new margin, and the statistics
    // show the margin it is armed with.
    if (pacer->handle.timer.load(kRelaxed) != nullptr) {
        arm_for_next_wait(*pacer);
    } else {
        publish_margin(pacer->published, margin_counts(pacer->margin));
    }
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_observe(varnex_pacer* pacer, int64_t reference_ns, int64_t local_ns)
{
    if (pacer == nullptr || !pacer->config.follows_reference || reference_ns < 0 || reference_ns > kMaxReferenceNs ||
        local_ns < -1) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    // A counter faster than 1 GHz counts a reading of up to 2^62 ns in more
    // than 2^62 counts.
    const int64_t frequency = pacer->following.frequency;
    if (frequency > platform::kNanosecondsPerSecond && ns_to_counts(reference_ns, frequency) > kMaxReferenceNs) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (local_ns == -1) {
        local_ns = counts_to_ns(read_clock(pacer->clock), frequency);
    }
    push_observation(pacer->following.queue, reference_ns, local_ns);
    return VARNEX_OK;
}

int VARNEX_CALL varnex_pacer_set_reference_options(varnex_pacer* pacer, const varnex_reference_options* options)
{
    if (pacer == nullptr || options == nullptr || options->size != sizeof(varnex_reference_options) ||
        !pacer->config.follows_reference) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    ReferenceOptions checked{};
    if (!reference_options_of(*options, &checked)) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    pacer->following.options = checked;
    return VARNEX_OK;
}

int64_t VARNEX_CALL varnex_clock_ns(void)
{
    int64_t frequency = 0;
    if (!platform::query_frequency(&frequency) || frequency <= 0 || frequency > kMaxFrequency) {
        return -1;
    }
    return counts_to_ns(platform::read_counter(), frequency);
}

int VARNEX_CALL varnex_pacer_rate(const varnex_pacer* pacer, uint32_t* rate_num, uint32_t* rate_den)
{
    if (pacer == nullptr || rate_num == nullptr || rate_den == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *rate_num = pacer->grid.rate_num;
    *rate_den = pacer->grid.rate_den;
    return VARNEX_OK;
}

}  // extern "C"
