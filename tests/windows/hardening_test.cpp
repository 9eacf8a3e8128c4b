// Varnex.dll under load, misuse and interference, under Wine: many
// open/close cycles, edge-case arguments, hostile neighbours on the event
// "MyTimerSignal", and unloading. (Wine's GetProcessHandleCount reports 0, so
// threads are counted, handles are not.)
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "varnex_dll.h"

namespace {

const VarnexDll& dll()
{
    static const VarnexDll loaded = load_varnex(BindBy::kName);
    return loaded;
}

double cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}

// The host owns each worker's handle: it closes it once the worker has ended.
void end_workers(std::vector<void*>& timers)
{
    for (void* timer : timers) {
        EXPECT_EQ(WaitForSingleObject(timer, 5000), WAIT_OBJECT_0);
        CloseHandle(timer);
    }
    timers.clear();
}

TEST(Stress, ThousandThreadedCyclesLeaveNothingBehind)
{
    ASSERT_NE(dll().OpenRTTimer, nullptr);
    const int threads_before = threads_in_this_process();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    constexpr long kRate = 20000;
    std::vector<void*> timers;
    void* timer = nullptr;
    int polling_opens = 0;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        switch (cycle % 4) {
        case 0:
            timer = dll().OpenRTTimer(kRate, cycle % 3);
            ASSERT_NE(timer, nullptr);
            timers.push_back(timer);
            ASSERT_GE(dll().WaitForRTTimer(timer), 0.0);
            dll().CloseRTTimer(timer);
            break;
        case 1:
            timers.push_back(dll().OpenRTTimer(kRate, 2));
            dll().CloseRTTimer(timers.back());
            timer = dll().OpenRTTimer(kRate, 2);
            timers.push_back(timer);
            ASSERT_GE(dll().WaitForRTTimer(timer), 0.0);
            break;
        case 2:
            timer = dll().OpenRTTimer(kRate, 1);
            timers.push_back(timer);
            ASSERT_GE(dll().WaitForRTTimer(timer), 0.0);
            break;
        default:
            dll().CloseRTTimer(timer);
            break;
        }
        if (cycle % 5 == 0) {
            const long polling_rate = 10000 + cycle;
            ASSERT_EQ(dll().OpenRTTimerLV(polling_rate, 0), 0xFFFFFFFFu);
            const double threshold_s = static_cast<double>(frequency.QuadPart / polling_rate - 1) /
                                       static_cast<double>(frequency.QuadPart);
            for (int wait = 0; wait < 3; ++wait) {
                ASSERT_GE(dll().WaitForRTTimerLV(0), threshold_s - 1e-9);
            }
            ++polling_opens;
        }
    }
    dll().CloseRTTimer(timer);
    end_workers(timers);
    EXPECT_EQ(polling_opens, 200);
    EXPECT_EQ(threads_in_this_process(), threads_before);
    std::printf("1000 cycles: threads %d before, %d after\n", threads_before, threads_in_this_process());
    const double cpu_before_s = cpu_seconds();
    Sleep(300);
    EXPECT_LT(cpu_seconds() - cpu_before_s, 0.1) << "a worker is still spinning";
}

TEST(BadInput, EveryRateWithEveryPriorityIndex)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const long f = static_cast<long>(frequency.QuadPart);
    const long rates[] = {LONG_MIN, -1, 0, 1, f - 1, f, f + 1, LONG_MAX};
    const int indexes[] = {INT_MIN, -1, 0, 1, 2, 3, INT_MAX};
    std::vector<void*> timers;
    for (const long rate : rates) {
        for (const int index : indexes) {
            SCOPED_TRACE(std::to_string(rate) + " " + std::to_string(index));
            const bool valid = rate > 0 && index >= 0 && index <= 2;
            for (const bool threaded : {false, true}) {
                bool dismissed = false;
                bool opened = false;
                if (valid) {
                    void* timer = threaded ? dll().OpenRTTimer(rate, index) : nullptr;
                    opened = threaded ? timer != nullptr : dll().OpenRTTimerLV(rate, index) == 0xFFFFFFFFu;
                    if (timer != nullptr) {
                        dll().CloseRTTimer(timer);
                        timers.push_back(timer);
                    }
                } else {
                    MessageBoxDismisser dismisser;
                    opened = threaded ? dll().OpenRTTimer(rate, index) != nullptr
                                      : dll().OpenRTTimerLV(rate, index) != 0;
                    dismissed = dismisser.dismissing();
                }
                EXPECT_EQ(opened, valid);
                EXPECT_EQ(dismissed, !valid) << "a failed open returns once its box is dismissed";
            }
        }
    }
    end_workers(timers);
}

DWORD WINAPI sleep_200ms(LPVOID)
{
    Sleep(200);
    return 0;
}

TEST(Misuse, HandlesThatAreNotTheTimers)
{
    int not_a_handle = 0;
    EXPECT_EQ(dll().CloseRTTimer(&not_a_handle), 0);
    HANDLE sleeper = CreateThread(nullptr, 0, sleep_200ms, nullptr, 0, nullptr);
    EXPECT_EQ(dll().CloseRTTimer(sleeper), 0) << "another thread, still running";
    WaitForSingleObject(sleeper, INFINITE);
    EXPECT_EQ(dll().CloseRTTimer(sleeper), -1) << "another thread, ended";
    CloseHandle(sleeper);

    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GT(dll().WaitForRTTimer(&not_a_handle), 0.0) << "the wait uses its handle only to close";
    EXPECT_EQ(dll().CloseRTTimer(timer), 0) << "just after a tick, the worker is in its last spin";
    // Created right after the close: it may take the released event's handle
    // value, which nothing may signal now.
    HANDLE unrelated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    dll().CloseRTTimer(timer);
    EXPECT_EQ(dll().WaitForRTTimer(timer), -1.0);
    EXPECT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(dll().CloseRTTimer(timer), -1);
    EXPECT_EQ(WaitForSingleObject(unrelated, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(unrelated);
    CloseHandle(timer);
}

TEST(Neighbours, AMutexNamedLikeTheEventFailsTheOpenCleanly)
{
    const int threads_before = threads_in_this_process();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "MyTimerSignal");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(dll().OpenRTTimer(100, 0), nullptr) << "the host's own mutex";
    CloseHandle(mutex);
    HANDLE peer = start_peer("mutex 0 3");
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(dll().OpenRTTimer(100, 0), nullptr) << "another process's mutex";
    const double start_s = seconds_now();
    EXPECT_EQ(dll().WaitForRTTimer(nullptr), -1.0);
    EXPECT_LT(seconds_now() - start_s, 0.5);
    EXPECT_EQ(FindWindowA(nullptr, "Info"), nullptr) << "no message box for a failed creation";
    EXPECT_EQ(finish_peer(peer), 0u);
    Sleep(50);
    EXPECT_EQ(threads_in_this_process(), threads_before) << "no worker left behind";

    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(dll().WaitForRTTimer(timer), 0.0);
    std::vector<void*> timers{timer};
    dll().CloseRTTimer(timer);
    end_workers(timers);
}

TEST(Neighbours, AManualResetEventStillGivesOneTickPerWait)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, "MyTimerSignal");
    ASSERT_NE(manual, nullptr);
    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    dll().WaitForRTTimer(timer);
    const double start_s = seconds_now();
    for (int wait = 0; wait < 20; ++wait) {
        dll().WaitForRTTimer(timer);
    }
    EXPECT_GE(seconds_now() - start_s, 19 * 0.01 * 0.9);
    std::vector<void*> timers{timer};
    dll().CloseRTTimer(timer);
    end_workers(timers);
    CloseHandle(manual);
}

// Ten ticks per second: the outside signal comes half a period before the
// worker's next tick, and the released wait must return within a quarter.
TEST(Neighbours, ASignalFromOutsideReleasesOneWaitThenTheTicksResume)
{
    constexpr double kPeriod_s = 0.1;
    void* timer = dll().OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    double tick_s = 0.0;
    for (double start_s = 0.0; tick_s - start_s < kPeriod_s / 4;) {
        start_s = seconds_now();
        dll().WaitForRTTimer(timer);
        tick_s = seconds_now();
    }
    HANDLE outside = OpenEventA(EVENT_MODIFY_STATE, FALSE, "MyTimerSignal");
    ASSERT_NE(outside, nullptr);
    Sleep(static_cast<DWORD>(std::max(0.0, tick_s + kPeriod_s / 2 - seconds_now()) * 1000));
    SetEvent(outside);
    const double start_s = seconds_now();
    EXPECT_GE(dll().WaitForRTTimer(timer), 0.0);
    EXPECT_LT(seconds_now() - start_s, kPeriod_s / 4) << "the outside signal released the wait early";
    dll().WaitForRTTimer(timer);
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += dll().WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 2 * kPeriod_s) << "back on the worker's ticks";
    CloseHandle(outside);
    std::vector<void*> timers{timer};
    dll().CloseRTTimer(timer);
    end_workers(timers);
}

TEST(Unloading, TwentyLoadRunCloseFreeCyclesEndCleanly)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        const VarnexDll loaded = load_varnex(BindBy::kOrdinal);
        ASSERT_NE(loaded.OpenRTTimer, nullptr);
        void* timer = loaded.OpenRTTimer(1000, 1);
        ASSERT_NE(timer, nullptr);
        EXPECT_GE(loaded.WaitForRTTimer(timer), 0.0);
        EXPECT_GE(loaded.WaitForRTTimer(timer), 0.0);
        loaded.CloseRTTimer(timer);
        ASSERT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0);
        EXPECT_EQ(loaded.CloseRTTimer(timer), -1);
        CloseHandle(timer);
        ASSERT_TRUE(FreeLibrary(loaded.module));
        EXPECT_EQ(GetModuleHandleA("Varnex.dll"), nullptr) << "still loaded";
    }
}

}  // namespace

namespace {

// At 10 ticks per second the worker is certainly mid-spin when the host
// frees the library. The worker's own reference keeps the module loaded
// while it runs: after a close it ends within a period and the module goes;
// with the timer open it goes on ticking, and a later open replaces it.
TEST(Unloading, RightAfterTheCloseOrWithTheTimerOpenTheWorkerKeepsTheModule)
{
    std::vector<void*> open_workers;
    for (const bool close_first : {true, false}) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(close_first ? "closed" : "open") + " round " + std::to_string(round));
            const VarnexDll loaded = load_varnex(BindBy::kOrdinal);
            ASSERT_NE(loaded.OpenRTTimer, nullptr);
            void* timer = loaded.OpenRTTimer(10, 0);
            ASSERT_NE(timer, nullptr);
            EXPECT_GE(loaded.WaitForRTTimer(timer), 0.0);
            if (close_first) {
                EXPECT_EQ(loaded.CloseRTTimer(timer), 0) << "the worker is still spinning";
            }
            ASSERT_TRUE(FreeLibrary(loaded.module));
            Sleep(300);
            if (close_first) {
                EXPECT_EQ(WaitForSingleObject(timer, 5000), WAIT_OBJECT_0);
                CloseHandle(timer);
            } else {
                EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "the worker ticks on";
                EXPECT_NE(GetModuleHandleA("Varnex.dll"), nullptr) << "held by the worker";
                open_workers.push_back(timer);
            }
        }
        // Each worker's reference is released as it ends: none is left.
        if (close_first) {
            EXPECT_EQ(GetModuleHandleA("Varnex.dll"), nullptr);
        }
    }
    const VarnexDll loaded = load_varnex(BindBy::kOrdinal);
    ASSERT_NE(loaded.CloseRTTimer, nullptr);
    loaded.CloseRTTimer(open_workers.back());
    ASSERT_TRUE(FreeLibrary(loaded.module));
    end_workers(open_workers);
    EXPECT_EQ(GetModuleHandleA("Varnex.dll"), nullptr);
}

}  // namespace
