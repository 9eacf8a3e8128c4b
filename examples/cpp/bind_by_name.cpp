// A Windows host that binds Varnex.dll by hand, by decorated name or by ordinal.
#include <cstdio>
#include <windows.h>

int main()
{
    HMODULE varnex = LoadLibraryA("Varnex.dll");
    if (varnex == nullptr) return 1;
    auto open = (unsigned int (*)(long, int))GetProcAddress(varnex, "?OpenRTTimerLV@@YAIJH@Z");
    auto wait = (double (*)(unsigned int))GetProcAddress(varnex, MAKEINTRESOURCEA(7));
    if (open == nullptr || wait == nullptr || open(100, 2) == 0) return 1;
    double seconds = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        seconds = wait(0);
    }
    std::printf("bound by name and ordinal: the last of 20 ticks took %.4f s\n", seconds);
}
