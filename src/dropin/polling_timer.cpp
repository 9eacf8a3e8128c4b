#include "dropin/timer_state.h"
#include "platform/counter.h"
#include "varnex.h"

namespace {
constexpr unsigned int kPollingToken = 0xFFFFFFFFu;
}

unsigned int OpenRTTimerLV(long rate, int priorityIndex)
{
    if (!open_prologue(rate, priorityIndex)) {
        return 0;
    }
    set_threshold(rate);
    timer_state.liLastTickLV = platform::read_counter();
    return kPollingToken;
}

double WaitForRTTimerLV(unsigned int)
{
    // Before any open there is no frequency to divide by and no reference to
    // spin from.
    if (timer_state.liFrequency.load() <= 0) {
        return -1.0;
    }
    timer_state.liPrevTickLV = timer_state.liLastTickLV;
    const SpinEnd end = spin_wait(timer_state.liPrevTickLV, &timer_state.liLastTickLV);
    return counts_to_seconds(end.elapsed_counts);
}
