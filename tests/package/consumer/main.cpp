// Opens the polling timer of an installed Varnex and waits three ticks, then
// paces three ticks with a pacer.
#include <varnex.h>
#include <varnex/pacer.hpp>

#include <cstdio>

int main()
{
    const unsigned int token = OpenRTTimerLV(1000, 2);
    if (token != 0xFFFFFFFFu) {
        return 1;
    }
    for (int wait = 0; wait < 3; ++wait) {
        if (WaitForRTTimerLV(token) < 0.000999) {
            return 2;
        }
    }
    varnex::Pacer pacer(1000, 1);
    varnex_tick tick{};
    for (int wait = 0; wait < 3; ++wait) {
        if (pacer.wait(tick) != VARNEX_OK || tick.index != static_cast<uint64_t>(wait)) {
            return 3;
        }
    }
    std::printf("consumer paced by Varnex\n");
    return 0;
}
