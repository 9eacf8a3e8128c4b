// A Windows host that binds Varnex.dll by hand, by decorated name or by ordinal.
#include <cstdio>
#include <windows.h>

// GetProcAddress hands every export back as FARPROC, a type no export has. The
// cast goes through void (*)(), which stands for any function, to the type the
// host knows the export to have.
template <typename Function>
Function bind_export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

int main()
{
    HMODULE varnex = LoadLibraryA("Varnex.dll");
    if (varnex == nullptr) return 1;
    auto open = bind_export<unsigned int (*)(long, int)>(varnex, "?OpenRTTimerLV@@YAIJH@Z");
    auto wait = bind_export<double (*)(unsigned int)>(varnex, MAKEINTRESOURCEA(7));
    if (open == nullptr || wait == nullptr || open(100, 2) == 0) return 1;
    double seconds = 0;
    for (int cycle = 0; cycle < 20; ++cycle) {
        seconds = wait(0);
    }
    std::printf("bound by name and ordinal: the last of 20 ticks took %.4f s\n", seconds);
}
