// Linux: what a control's apply sets aside for its restore.
#ifndef VARNEX_PLATFORM_LINUX_SAVED_CONTROL_H
#define VARNEX_PLATFORM_LINUX_SAVED_CONTROL_H

#include <cstdint>

namespace platform {

struct SavedControl {
    int64_t value;
    // Real time: the slack the policy change resets.
    int64_t timer_slack_ns;
    // Latency: its place among the process's requests, which a forked child
    // closes at the fork.
    SavedControl* previous_held;
    SavedControl* next_held;
};

}  // namespace platform

#endif
