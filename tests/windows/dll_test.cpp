// Varnex.dll's export table as a host binds it: by name and by ordinal.
#include <gtest/gtest.h>

#include "windows_binding.h"

namespace {

TEST(Exports, EveryNameAndItsOrdinalBindTheSameCode)
{
    const HMODULE module = LoadLibraryA("Varnex.dll");
    ASSERT_NE(module, nullptr);
    for (const VarnexExport& entry : kVarnexExports) {
        SCOPED_TRACE(entry.name);
        const FARPROC by_name = GetProcAddress(module, entry.name);
        EXPECT_NE(by_name, nullptr);
        EXPECT_EQ(by_name, GetProcAddress(module, MAKEINTRESOURCEA(entry.ordinal)));
    }
    // The GCC names stay inside: the module-definition file alone exports.
    EXPECT_EQ(GetProcAddress(module, "_Z13OpenRTTimerLVli"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "OpenRTTimerLV"), nullptr);
}

TEST(Placeholders, ConstructorAndAssignmentHandBackThis)
{
    const VarnexDll dll = load_varnex(BindBy::kOrdinal);
    ASSERT_NE(dll.construct, nullptr);
    alignas(8) char first[8] = {};
    alignas(8) char second[8] = {};
    EXPECT_EQ(dll.construct(first), first);
    EXPECT_EQ(dll.assign(first, second), first);
    EXPECT_EQ(*dll.nVarnex, 0);
}

}  // namespace
