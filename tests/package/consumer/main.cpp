// Opens the polling timer of an installed Varnex and waits three ticks.
#include <varnex.h>

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
    std::printf("consumer paced by Varnex\n");
    return 0;
}
