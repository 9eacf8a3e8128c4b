// On Linux the unload ends the threaded worker and waits for it.
#include <gtest/gtest.h>

#include <string>

#include "host_os.h"

namespace {

// At 10 ticks per second the worker is certainly mid-spin at the unload,
// which ends it and waits for it: the library goes, and the process lives on.
TEST(Unloading, RightAfterTheCloseOrWithTheTimerOpenTheWorkerEndsFirst)
{
    const size_t threads_before = host::thread_ids().size();
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
            EXPECT_FALSE(host::varnex_library_loaded());
#ifdef VARNEX_EMULATOR
            // qemu's user-mode emulation tells a joiner that a thread ended
            // before its own thread for it has gone: that moment is allowed.
            EXPECT_TRUE(host::eventually([&] { return host::thread_ids().size() == threads_before; }, 0.1))
                << "the worker was joined before the unload";
#else
            EXPECT_EQ(host::thread_ids().size(), threads_before) << "the worker was joined before the unload";
#endif
            host::sleep_for(0.3);
        }
    }
}

}  // namespace
