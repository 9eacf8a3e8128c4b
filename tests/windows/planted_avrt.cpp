// A stand-in for avrt.dll, put in the test program's own folder as a
// planted copy would be: loading it marks the process, and its functions
// fail.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        SetEnvironmentVariableW(L"VARNEX_PLANTED_AVRT", L"loaded");
    }
    return TRUE;
}

extern "C" __declspec(dllexport) HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR, LPDWORD)
{
    return nullptr;
}

extern "C" __declspec(dllexport) BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE)
{
    return FALSE;
}
