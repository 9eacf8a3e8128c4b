// The MMCSS control loads avrt.dll from the system folder only: a copy of
// that name in the host's own folder, searched first by LoadLibrary, never
// runs inside the host.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>

#include "varnex/pacer.hpp"

namespace {

TEST(Planting, TheMmcssControlLoadsAvrtFromTheSystemFolderOnly)
{
    varnex::Pacer pacer(100, 1, VARNEX_MODE_SLEEP);
    const varnex_pacer_controls controls{sizeof controls, VARNEX_CONTROL_MMCSS, 0, 0, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer.get(), &controls), VARNEX_OK);
    varnex_tick tick{};
    ASSERT_EQ(pacer.wait(tick), VARNEX_OK);
    wchar_t marker[16] = {};
    EXPECT_EQ(GetEnvironmentVariableW(L"VARNEX_PLANTED_AVRT", marker, 16), 0u) << "the planted avrt.dll was loaded";
    if (HMODULE avrt = GetModuleHandleW(L"avrt.dll"); avrt != nullptr) {
        wchar_t loaded[MAX_PATH] = {};
        wchar_t system[MAX_PATH] = {};
        ASSERT_GT(GetModuleFileNameW(avrt, loaded, MAX_PATH), 0u);
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        ASSERT_GT(length, 0u);
        EXPECT_EQ(_wcsnicmp(loaded, system, length), 0) << "avrt.dll came from outside the system folder";
    }
}

}  // namespace
