// Loads and unloads the library as a host that binds it at run time: twenty
// cycles that let the worker end first. Not linked against the library.
#include <gtest/gtest.h>

#include <vector>

#include "host_os.h"

namespace {

TEST(Unloading, TwentyLoadRunCloseUnloadCyclesEndCleanly)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        const host::LoadedVarnex loaded = host::load_varnex_library();
        ASSERT_TRUE(loaded.open && loaded.wait && loaded.close);
        void* timer = loaded.open(1000, 1);
        ASSERT_NE(timer, nullptr);
        EXPECT_GE(loaded.wait(timer), 0.0);
        EXPECT_GE(loaded.wait(timer), 0.0);
        loaded.close(timer);
        ASSERT_TRUE(host::eventually([&] { return loaded.close(timer) == -1; })) << "the worker did not end";
        host::release_worker_handle(timer);
        ASSERT_TRUE(host::unload_varnex_library(loaded));
        EXPECT_FALSE(host::varnex_library_loaded());
    }
}

}  // namespace
