#include <windows.h>

// Loading and unloading do no work of the library's own: the state is
// constant-initialised and a threaded timer is closed by the host.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
