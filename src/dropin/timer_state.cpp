#include "dropin/timer_state.h"

#include "platform/counter.h"
#include "dropin/platform/message_box.h"

constinit TimerState timer_state{};

bool open_prologue(long rate_ticks_per_second, int priority_index)
{
    int64_t frequency = 0;
    const bool counter_exists = platform::query_frequency(&frequency);
    timer_state.liFrequency.store(frequency);
    // A rate of 0 would divide by zero in the threshold and a negative one
    // would give a negative period, so both fail like a bad priority index.
    const bool valid = counter_exists && frequency > 0 && priority_index >= 0 &&
                       priority_index <= 2 && rate_ticks_per_second > 0;
    if (!valid) {
        platform::show_message_box(kOpenFailureText, kOpenFailureCaption);
    }
    return valid;
}

void set_threshold(long rate_ticks_per_second)
{
    const int64_t frequency = timer_state.liFrequency.load();
    timer_state.liThreshold.store(frequency / static_cast<int64_t>(rate_ticks_per_second) - 1);
}

SpinEnd spin_wait(int64_t reference_reading, int64_t* latest_reading)
{
    for (;;) {
        const int64_t reading = platform::read_counter();
        *latest_reading = reading;
        const int64_t elapsed_counts = reading - reference_reading;
        // Read afresh at every comparison: an open of either timer changes
        // the period of a spin already under way.
        if (elapsed_counts >= timer_state.liThreshold.load(std::memory_order_relaxed)) {
            return {elapsed_counts, reading};
        }
    }
}

double counts_to_seconds(int64_t elapsed_counts)
{
    return static_cast<double>(elapsed_counts) /
           static_cast<double>(timer_state.liFrequency.load());
}
