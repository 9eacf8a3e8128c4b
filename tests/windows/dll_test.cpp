// Varnex.dll through LoadLibrary and GetProcAddress, under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "varnex_dll.h"

namespace {

int64_t counter_frequency()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

double seconds_now()
{
    LARGE_INTEGER reading;
    QueryPerformanceCounter(&reading);
    return static_cast<double>(reading.QuadPart) / static_cast<double>(counter_frequency());
}

// Must run first in its process: nothing has opened a timer yet.
TEST(FreshLibrary, NothingIsOpenAfterLoading)
{
    const VarnexDll dll = load_varnex(BindBy::kName);
    ASSERT_NE(dll.module, nullptr);
    EXPECT_EQ(*dll.nVarnex, 0);
    EXPECT_EQ(dll.WaitForRTTimerLV(0), -1.0);
    const double start_s = seconds_now();
    EXPECT_EQ(dll.WaitForRTTimer(nullptr), -1.0);
    EXPECT_LT(seconds_now() - start_s, 5.0);
    EXPECT_EQ(dll.CloseRTTimer(nullptr), 0);
}

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

struct BadOpen {
    const char* what;
    bool threaded;
    long rate;
    int priority_index;
};

class FailedOpen : public ::testing::TestWithParam<BadOpen> {};

TEST_P(FailedOpen, ShowsTheModalBoxAndReturnsZeroOnceDismissed)
{
    const VarnexDll dll = load_varnex(BindBy::kName);
    ASSERT_NE(dll.OpenRTTimerLV, nullptr);
    const BadOpen bad = GetParam();
    bool returned_zero = false;
    bool dismissed_before_return = false;
    {
        MessageBoxDismisser dismisser;
        if (bad.threaded) {
            returned_zero = dll.OpenRTTimer(bad.rate, bad.priority_index) == nullptr;
        } else {
            returned_zero = dll.OpenRTTimerLV(bad.rate, bad.priority_index) == 0;
        }
        dismissed_before_return = dismisser.dismissing();
        EXPECT_EQ(dismisser.caption(), "Info");
        EXPECT_EQ(dismisser.text(), "Performance counter is not available.");
    }
    EXPECT_TRUE(returned_zero);
    EXPECT_TRUE(dismissed_before_return) << "the open returned before its box was dismissed";
}

INSTANTIATE_TEST_SUITE_P(Opens, FailedOpen,
                         ::testing::Values(BadOpen{"polling priority 3", false, 100, 3},
                                           BadOpen{"polling rate 0", false, 0, 0},
                                           BadOpen{"threaded priority -1", true, 100, -1}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(PollingTimer, WaitsAtHundredTicksPerSecondNeverReturnLessThanTheThreshold)
{
    const VarnexDll dll = load_varnex(BindBy::kName);
    ASSERT_NE(dll.OpenRTTimerLV, nullptr);
    const int64_t frequency = counter_frequency();
    const double threshold_s = static_cast<double>(frequency / 100 - 1) / static_cast<double>(frequency);
    const unsigned int token = dll.OpenRTTimerLV(100, 0);
    ASSERT_EQ(token, 0xFFFFFFFFu);
    std::vector<double> intervals_s;
    for (int wait = 0; wait < 50; ++wait) {
        intervals_s.push_back(dll.WaitForRTTimerLV(token));
    }
    for (const double interval_s : intervals_s) {
        EXPECT_GE(interval_s, threshold_s);
    }
    std::sort(intervals_s.begin(), intervals_s.end());
    EXPECT_LT(intervals_s[intervals_s.size() / 2], 0.02);
}

}  // namespace
