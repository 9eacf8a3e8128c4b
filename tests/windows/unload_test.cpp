// On Windows the threaded worker holds a reference to the module while it
// runs, so that a host's FreeLibrary never unmaps the code it spins in.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "host_os.h"

namespace {

// At 10 ticks per second the worker is certainly mid-spin when the host
// frees the library. After a close it ends within a period and the module
// goes; with the timer open it goes on ticking, and a later open replaces it.
TEST(Unloading, RightAfterTheCloseOrWithTheTimerOpenTheWorkerKeepsTheModule)
{
    std::vector<void*> open_workers;
    for (const bool close_first : {true, false}) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(close_first ? "closed" : "open") + " round " + std::to_string(round));
            const host::LoadedVarnex loaded = host::load_varnex_library();
            ASSERT_TRUE(loaded.open && loaded.wait && loaded.close);
            void* timer = loaded.open(10, 0);
            ASSERT_NE(timer, nullptr);
            EXPECT_GE(loaded.wait(timer), 0.0);
            if (close_first) {
                EXPECT_EQ(loaded.close(timer), 0) << "the worker is still spinning";
            }
            ASSERT_TRUE(host::unload_varnex_library(loaded));
            host::sleep_for(0.3);
            if (close_first) {
                std::vector<void*> closed{timer};
                EXPECT_TRUE(host::release_ended_workers(closed));
            } else {
                EXPECT_EQ(WaitForSingleObject(timer, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the worker ticks on";
                EXPECT_TRUE(host::varnex_library_loaded()) << "held by the worker";
                open_workers.push_back(timer);
            }
        }
        // Each worker's reference is released as it ends: none is left.
        if (close_first) {
            EXPECT_FALSE(host::varnex_library_loaded());
        }
    }
    const host::LoadedVarnex loaded = host::load_varnex_library();
    ASSERT_NE(loaded.close, nullptr);
    loaded.close(open_workers.back());
    ASSERT_TRUE(host::unload_varnex_library(loaded));
    EXPECT_TRUE(host::release_ended_workers(open_workers));
    EXPECT_FALSE(host::varnex_library_loaded());
}

}  // namespace
