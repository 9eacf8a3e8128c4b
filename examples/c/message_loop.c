/* A Windows message loop that waits on the pacer's readiness handle and its message queue at once. */
#include <stdio.h>
#include <windows.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.mode = VARNEX_MODE_HYBRID;
    config.rate_num = 100;
    config.rate_den = 1;
    varnex_pacer* pacer = NULL;
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) return 1;
    intptr_t handle;
    if (varnex_pacer_wait_handle(pacer, &handle) != VARNEX_OK) return 1;
    HANDLE ready = (HANDLE)handle;
    int ticks = 0;
    for (;;) {
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &ready, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) {
            varnex_tick tick = {.size = sizeof tick};
            if (varnex_pacer_wait(pacer, &tick) == VARNEX_OK && ++ticks == 50) {
                PostQuitMessage(0);                   /* the window's work would go here */
            }
        } else {
            MSG msg;
            while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    varnex_pacer_destroy(pacer);
                    printf("%d ticks in the message loop, then WM_QUIT\n", ticks);
                    return 0;
                }
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
}
