// A GUI host's loop: it waits with MsgWaitForMultipleObjectsEx on the
// pacer's readiness handle and on its window's message queue, so that
// messages keep flowing between ticks and every tick comes.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "varnex/pacer.hpp"

namespace {

std::atomic<int> dispatched{0};

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_APP) {
        dispatched.fetch_add(1);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

TEST(MessagePump, MessagesFlowBetweenTicksAndEveryTickComes)
{
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VarnexPumpTest";
    ASSERT_NE(RegisterClassW(&window_class), 0);
    HWND window = CreateWindowExW(0, L"VarnexPumpTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  window_class.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    varnex::Pacer pacer(100, 1, VARNEX_MODE_HYBRID);
    HANDLE ready = reinterpret_cast<HANDLE>(pacer.wait_handle());
    constexpr int kMessages = 30;
    std::thread poster([&] {
        for (int message = 0; message < kMessages; ++message) {
            Sleep(15);
            PostMessageW(window, WM_APP, 0, 0);
        }
    });
    uint64_t ticks = 0;
    uint64_t missed = 0;
    uint64_t last_index = 0;
    int timeouts = 0;
    const ULONGLONG start_ms = GetTickCount64();
    while ((dispatched.load() < kMessages || GetTickCount64() - start_ms < 600) && timeouts == 0) {
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &ready, 2000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) {
            varnex_tick tick{};
            const int status = pacer.wait(tick);
            if (status == VARNEX_OK) {
                ++ticks;
                missed += tick.missed;
                last_index = tick.index;
            } else {
                ASSERT_EQ(status, VARNEX_E_NOT_DUE);
            }
        } else if (woken == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
        } else {
            ++timeouts;
        }
    }
    const double elapsed_s = static_cast<double>(GetTickCount64() - start_ms) / 1000.0;
    poster.join();
    DestroyWindow(window);
    UnregisterClassW(L"VarnexPumpTest", window_class.hInstance);
    EXPECT_EQ(timeouts, 0) << "neither a tick nor a message woke the loop";
    EXPECT_EQ(dispatched.load(), kMessages);
    EXPECT_EQ(ticks + missed, last_index + 1) << "every tick returned or counted missed";
    EXPECT_GT(static_cast<double>(ticks), 0.3 * elapsed_s * 100.0);
}

}  // namespace
