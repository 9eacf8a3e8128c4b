#include "pacer/controls.h"

#include <cstddef>

#include "pacer/stats.h"

namespace {

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

// The statistics show, for each control tried, how it fared the last time.
void publish_controls(varnex_pacer& pacer)
{
    publish_control_outcome(pacer.published, pacer.controls.outcome);
    pacer.controls.outcome = ControlOutcome{};
}

}  // namespace

bool apply_control(varnex_pacer& pacer, uint32_t flag, platform::SavedControl* saved)
{
    PacerControls& controls = pacer.controls;
    if ((controls.flags & flag) == 0) {
        return false;
    }
    if (on_sim_clock(pacer.clock) && (flag & kControlsNotOnSimClock) != 0) {
        controls.outcome.tried |= flag;
        return false;
    }
    const platform::ControlResult result = platform::apply_control(control_of(flag), controls.request, saved);
    controls.outcome.tried |= flag;
    controls.outcome.applied |= result == platform::ControlResult::kApplied ? flag : 0;
    controls.outcome.denied |= result == platform::ControlResult::kDenied ? flag : 0;
    return result == platform::ControlResult::kApplied;
}

void restore_control(varnex_pacer& pacer, uint32_t flag, const platform::SavedControl& saved)
{
    platform::restore_control(control_of(flag), pacer.controls.request, saved);
}

int controls_status(const varnex_pacer& pacer, const varnex_pacer_controls& controls)
{
    if (controls.size < sizeof(varnex_pacer_controls) || (controls.flags & ~kAllControls) != 0) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    const uint32_t flags = controls.flags;
    if (((flags & VARNEX_CONTROL_REALTIME) != 0 &&
         ((pacer.config.mode == VARNEX_MODE_SPIN && !on_sim_clock(pacer.clock)) || controls.realtime_priority < 1 ||
          controls.realtime_priority > 99)) ||
        ((flags & VARNEX_CONTROL_AFFINITY) != 0 && !platform::affinity_usable(controls.affinity_mask))) {
        return VARNEX_E_INVALID_CONTROL;
    }
    return VARNEX_OK;
}

namespace {

void release_life_controls(varnex_pacer& pacer)
{
    PacerControls& controls = pacer.controls;
    if ((controls.held_for_life & VARNEX_CONTROL_LOCK_MEMORY) != 0) {
        restore_control(pacer, VARNEX_CONTROL_LOCK_MEMORY, controls.memory_saved);
    }
    if ((controls.held_for_life & VARNEX_CONTROL_DMA_LATENCY) != 0) {
        restore_control(pacer, VARNEX_CONTROL_DMA_LATENCY, controls.latency_saved);
    }
    controls.held_for_life = 0;
}

void hold_life_controls(varnex_pacer& pacer)
{
    PacerControls& held = pacer.controls;
    held.held_for_life |=
        apply_control(pacer, VARNEX_CONTROL_LOCK_MEMORY, &held.memory_saved) ? VARNEX_CONTROL_LOCK_MEMORY : 0;
    held.held_for_life |=
        apply_control(pacer, VARNEX_CONTROL_DMA_LATENCY, &held.latency_saved) ? VARNEX_CONTROL_DMA_LATENCY : 0;
}

}  // namespace

int set_controls(varnex_pacer& pacer, const varnex_pacer_controls& controls)
{
    PacerControls& held = pacer.controls;
    const uint32_t flags = controls.flags;
    platform::AffinityStore* affinity_store = held.request.affinity_store;
    if ((flags & VARNEX_CONTROL_AFFINITY) != 0 && affinity_store == nullptr) {
        affinity_store = platform::create_affinity_store();
        if (affinity_store == nullptr) {
            return VARNEX_E_NO_MEMORY;
        }
    }
    release_life_controls(pacer);
    held.flags = flags;
    // The pacer's whole memory is pages of its own.
    held.request = {controls.affinity_mask, controls.realtime_priority, controls.dma_latency_us, &pacer,
                    sizeof pacer, affinity_store};
    hold_life_controls(pacer);
    publish_controls_asked(pacer.published, flags);
    publish_controls(pacer);
    return VARNEX_OK;
}

void release_controls(varnex_pacer& pacer)
{
    release_life_controls(pacer);
    if (pacer.controls.request.affinity_store != nullptr) {
        platform::close_affinity_store(pacer.controls.request.affinity_store);
        pacer.controls.request.affinity_store = nullptr;
    }
}

void retake_life_controls(varnex_pacer& pacer)
{
    if (pacer.controls.held_for_life == 0) {
        return;
    }
    release_life_controls(pacer);
    hold_life_controls(pacer);
    publish_controls(pacer);
}

namespace {

// Held for the whole wait, and put back as it ends, last first; the boost
// and real time are held inside it, for the spin and the sleep.
constexpr uint32_t kHeldForTheWait[] = {VARNEX_CONTROL_AFFINITY, VARNEX_CONTROL_NO_THROTTLING, VARNEX_CONTROL_MMCSS};

}  // namespace

WaitControls::WaitControls(varnex_pacer& pacer) : pacer_(pacer)
{
    static_assert(sizeof kHeldForTheWait / sizeof kHeldForTheWait[0] == kHeld, "one slot per control");
    for (int index = 0; index < kHeld; ++index) {
        held_[index] = apply_control(pacer_, kHeldForTheWait[index], &saved_[index]);
    }
}

WaitControls::~WaitControls()
{
    for (int index = kHeld; index-- > 0;) {
        if (held_[index]) {
            restore_control(pacer_, kHeldForTheWait[index], saved_[index]);
        }
    }
    publish_controls(pacer_);
}
