#include <windows.h>

// Loading and unloading do no work of the library's own: the state is
// constant-initialised, and a worker still running holds the module loaded,
// so an unload never finds one to stop. (Nothing here may wait for a thread:
// the loader lock is held.)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
