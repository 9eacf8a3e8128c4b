// The pacer's scheduling and power controls: which are held for a whole
// wait, which inside it, which for the pacer's life, and how each fared.
#ifndef VARNEX_PACER_CONTROLS_H
#define VARNEX_PACER_CONTROLS_H

#include <cstdint>

#include "pacer/pacer_state.h"

constexpr uint32_t kAllControls = VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                                  VARNEX_CONTROL_LOCK_MEMORY | VARNEX_CONTROL_DMA_LATENCY |
                                  VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS;
// What a wait on a clock the host drives has no use for: it neither spins nor
// sleeps toward a deadline, and its thread's own timing is not what paces it.
constexpr uint32_t kControlsNotOnSimClock =
    VARNEX_CONTROL_BOOST | VARNEX_CONTROL_REALTIME | VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS;

// Applies one control if the host set it; true when it took effect, and its
// restore is then due.
bool apply_control(varnex_pacer& pacer, uint32_t flag, platform::SavedControl* saved);
void restore_control(varnex_pacer& pacer, uint32_t flag, const platform::SavedControl& saved);

// One control held for the guard's scope (a spin's boost, a sleep's real
// time), if the host set it and the stretch is `wanted`.
class HeldControl {
public:
    HeldControl(varnex_pacer& pacer, uint32_t flag, bool wanted)
        : pacer_(pacer), flag_(flag), held_(wanted && apply_control(pacer, flag, &saved_))
    {
    }
    ~HeldControl()
    {
        if (held_) {
            restore_control(pacer_, flag_, saved_);
        }
    }
    HeldControl(const HeldControl&) = delete;
    HeldControl& operator=(const HeldControl&) = delete;

private:
    varnex_pacer& pacer_;
    uint32_t flag_;
    platform::SavedControl saved_{};
    bool held_;
};

// The controls held for a whole wait (affinity, no throttling, MMCSS): applied
// as the guard begins, put back as it ends, last first; the statistics then
// show how each control of the wait fared.
class WaitControls {
public:
    explicit WaitControls(varnex_pacer& pacer);
    ~WaitControls();
    WaitControls(const WaitControls&) = delete;
    WaitControls& operator=(const WaitControls&) = delete;

private:
    static constexpr int kHeld = 3;
    varnex_pacer& pacer_;
    platform::SavedControl saved_[kHeld] = {};
    bool held_[kHeld] = {};
};

// VARNEX_OK, or the status that varnex_pacer_set_controls returns for them.
int controls_status(const varnex_pacer& pacer, const varnex_pacer_controls& controls);
// Takes the host's controls (checked) between waits: what the last ones held
// for the pacer's life is put back, and the new ones take hold. VARNEX_OK, or
// VARNEX_E_NO_MEMORY with nothing changed.
int set_controls(varnex_pacer& pacer, const varnex_pacer_controls& controls);
// Puts back what is held for the pacer's life, and frees what the controls
// keep.
void release_controls(varnex_pacer& pacer);
// In a forked child: puts back what the copy holds for the pacer's life,
// none of it the parent's, and takes it anew for this process.
void retake_life_controls(varnex_pacer& pacer);

#endif
