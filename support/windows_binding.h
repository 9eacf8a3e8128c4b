// Varnex.dll as a Windows host binds it: LoadLibrary, then GetProcAddress by
// exported name or by ordinal. Linking windows_binding.cpp also defines each
// function of the public headers to call its export, bound by name at its
// first call, so that a program written against the headers runs unchanged.
#ifndef VARNEX_SUPPORT_WINDOWS_BINDING_H
#define VARNEX_SUPPORT_WINDOWS_BINDING_H

#include <windows.h>

#include "varnex_exports.h"

// The members of CVarnex take `this` in ECX on i686; x86_64 has one convention.
// GCC warns that the attribute is meant for members, and applies it.
#if defined(__i386__)
#define VARNEX_THISCALL __attribute__((thiscall))
#else
#define VARNEX_THISCALL
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
struct VarnexDll {
    HMODULE module = nullptr;
    void* (VARNEX_THISCALL* construct)(void* self) = nullptr;  // ordinal 1 as an MSVC caller sees it
    void* (VARNEX_THISCALL* assign)(void* self, const void* other) = nullptr;
    short (*CloseRTTimer)(void*) = nullptr;
    void* (*OpenRTTimer)(long, int) = nullptr;
    unsigned int (*OpenRTTimerLV)(long, int) = nullptr;
    double (*WaitForRTTimer)(void*) = nullptr;
    double (*WaitForRTTimerLV)(unsigned int) = nullptr;
    int* nVarnex = nullptr;
};
#pragma GCC diagnostic pop

struct VarnexExport {
    int ordinal;
    const char* name;
};

// The exported names of the build, by ordinal.
constexpr VarnexExport kVarnexExports[] = {VARNEX_EXPORT_LIST};

enum class BindBy { kName, kOrdinal };

// Loads Varnex.dll (one more reference to it); a member is null when its
// name or ordinal is missing, and all are when the DLL is.
VarnexDll load_varnex(BindBy bind_by);

#endif
