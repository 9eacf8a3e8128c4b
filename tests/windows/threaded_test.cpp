// Varnex.dll's threaded timer where Windows differs: the timer is the
// worker's thread handle, and Wine hands released handle values out again.
#include <gtest/gtest.h>

#include <windows.h>

#include "varnex.h"

namespace {

DWORD WINAPI sleep_200ms(LPVOID)
{
    Sleep(200);
    return 0;
}

// The close reads whatever thread the handle names.
TEST(ThreadedTimer, CloseOfAnotherThreadsHandleReadsWhetherItEnded)
{
    HANDLE sleeper = CreateThread(nullptr, 0, sleep_200ms, nullptr, 0, nullptr);
    EXPECT_EQ(CloseRTTimer(sleeper), 0) << "another thread, still running";
    WaitForSingleObject(sleeper, INFINITE);
    EXPECT_EQ(CloseRTTimer(sleeper), -1) << "another thread, ended";
    CloseHandle(sleeper);
}

// Wine hands a released handle value to the next object created: a stale
// SetEvent from the worker's last pass would signal this unrelated event.
TEST(ThreadedTimer, UnrelatedEventCreatedAfterTheCloseIsNeverSignalled)
{
    for (int round = 0; round < 20; ++round) {
        void* timer = OpenRTTimer(1000, 0);
        ASSERT_NE(timer, nullptr);
        WaitForRTTimer(timer);
        CloseRTTimer(timer);
        HANDLE unrelated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(unrelated, 20), static_cast<DWORD>(WAIT_TIMEOUT)) << round;
        EXPECT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0);
        CloseHandle(unrelated);
        CloseHandle(timer);
    }
}

}  // namespace
