// Varnex.dll's threaded timer where Windows differs: the worker's priority
// read back, and handle values that Wine hands out again.
#include <gtest/gtest.h>

#include "varnex_dll.h"

namespace {

const VarnexDll& dll()
{
    static const VarnexDll loaded = load_varnex(BindBy::kName);
    return loaded;
}

// Closes, then waits (at most `limit_s`) for the worker to end; the seconds
// that took, or a negative number if it did not end.
double close_and_time_the_end(void* timer, double limit_s = 5.0)
{
    const double start_s = seconds_now();
    dll().CloseRTTimer(timer);
    while (seconds_now() - start_s < limit_s) {
        if (dll().CloseRTTimer(timer) == -1) {
            return seconds_now() - start_s;
        }
        Sleep(1);
    }
    return -1.0;
}

TEST(ThreadedTimer, PriorityIndexSetsTheWorkersPriority)
{
    ASSERT_NE(dll().OpenRTTimer, nullptr);
    const int expected[] = {THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_NORMAL};
    for (int index = 0; index <= 2; ++index) {
        void* timer = dll().OpenRTTimer(100, index);
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(GetThreadPriority(timer), expected[index]) << index;
        EXPECT_GE(close_and_time_the_end(timer), 0.0);
    }
}

// Wine hands a released handle value to the next object created: a stale
// SetEvent from the worker's last pass would signal this unrelated event.
TEST(ThreadedTimer, UnrelatedEventCreatedAfterTheCloseIsNeverSignalled)
{
    for (int round = 0; round < 20; ++round) {
        void* timer = dll().OpenRTTimer(1000, 0);
        ASSERT_NE(timer, nullptr);
        dll().WaitForRTTimer(timer);
        dll().CloseRTTimer(timer);
        HANDLE unrelated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(unrelated, 20), static_cast<DWORD>(WAIT_TIMEOUT)) << round;
        EXPECT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0);
        CloseHandle(unrelated);
        CloseHandle(timer);
    }
}

}  // namespace
