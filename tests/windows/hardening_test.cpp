// Neighbours on the event "MyTimerSignal" that only Windows can have: another
// kind of object of its name, and an event of the wrong reset kind.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "host_os.h"
#include "varnex.h"

namespace {

TEST(Neighbours, AMutexNamedLikeTheEventFailsTheOpenCleanly)
{
    const size_t threads_before = host::thread_ids().size();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "MyTimerSignal");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr) << "the host's own mutex";
    CloseHandle(mutex);
    host::Peer* peer = host::start_peer("mutex 0 3");
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr) << "another process's mutex";
    const double start_s = host::seconds_now();
    EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
    EXPECT_LT(host::seconds_now() - start_s, 0.5);
    EXPECT_EQ(FindWindowA(nullptr, "Info"), nullptr) << "no message box for a failed creation";
    EXPECT_EQ(host::finish_peer(peer), 0);
    Sleep(50);
    EXPECT_EQ(host::thread_ids().size(), threads_before) << "no worker left behind";

    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    CloseRTTimer(timer);
    std::vector<void*> closed{timer};
    EXPECT_TRUE(host::release_ended_workers(closed));
}

TEST(Neighbours, AManualResetEventStillGivesOneTickPerWait)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "MyTimerSignal");
    ASSERT_NE(manual, nullptr);
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    WaitForRTTimer(timer);
    const double start_s = host::seconds_now();
    for (int wait = 0; wait < 20; ++wait) {
        WaitForRTTimer(timer);
    }
    EXPECT_GE(host::seconds_now() - start_s, 19 * 0.01 * 0.9);
    CloseRTTimer(timer);
    std::vector<void*> closed{timer};
    EXPECT_TRUE(host::release_ended_workers(closed));
    CloseHandle(manual);
}

}  // namespace
