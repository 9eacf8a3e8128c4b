// Opens the polling timer of an installed Varnex and waits three ticks, then
// paces three ticks with a pacer.
#include <varnex.h>
#include <varnex/pacer.hpp>

#include <cstdint>
#include <cstdio>

int main()
{
    const unsigned int token = OpenRTTimerLV(1000, 2);
    if (token != 0xFFFFFFFFu) {
        std::fprintf(stderr, "the polling open failed\n");
        return 1;
    }
    for (int wait = 0; wait < 3; ++wait) {
        if (WaitForRTTimerLV(token) < 0.000999) {
            std::fprintf(stderr, "polling wait %d came early\n", wait);
            return 2;
        }
    }
    // A stall of a period on a busy machine skips a tick: the indexes only
    // have to rise.
    varnex::Pacer pacer(1000, 1);
    varnex_tick tick{};
    uint64_t last_index = 0;
    for (int wait = 0; wait < 3; ++wait) {
        if (pacer.wait(tick) != VARNEX_OK || (wait > 0 && tick.index <= last_index)) {
            std::fprintf(stderr, "pacer wait %d: tick %llu after %llu\n", wait,
                         static_cast<unsigned long long>(tick.index), static_cast<unsigned long long>(last_index));
            return 3;
        }
        last_index = tick.index;
    }
    std::printf("consumer paced by Varnex\n");
    return 0;
}
