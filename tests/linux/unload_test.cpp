// Loads libvarnex.so, runs a threaded timer, closes it, lets the worker end
// and unloads the library, twenty times in this process.
#include <gtest/gtest.h>

#include <dlfcn.h>

TEST(Unloading, TwentyLoadRunCloseUnloadCyclesEndCleanly)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        void* library = dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto open = reinterpret_cast<void* (*)(long, int)>(dlsym(library, "_Z11OpenRTTimerli"));
        auto wait = reinterpret_cast<double (*)(void*)>(dlsym(library, "_Z14WaitForRTTimerPv"));
        auto close = reinterpret_cast<short (*)(void*)>(dlsym(library, "_Z12CloseRTTimerPv"));
        ASSERT_TRUE(open && wait && close);
        void* timer = open(1000, 1);
        ASSERT_NE(timer, nullptr);
        EXPECT_GE(wait(timer), 0.0);
        EXPECT_GE(wait(timer), 0.0);
        close(timer);
        int looks = 0;
        while (close(timer) != -1 && looks < 100000) {
            ++looks;
        }
        ASSERT_EQ(close(timer), -1) << "the worker did not end";
        ASSERT_EQ(dlclose(library), 0);
        EXPECT_EQ(dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
    }
}
