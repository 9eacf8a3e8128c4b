// Loads and unloads libvarnex.so: twenty cycles that let the worker end
// first, and hosts that unload while the worker still spins.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <time.h>

namespace {

struct Library {
    void* handle = nullptr;
    void* (*open)(long, int) = nullptr;
    double (*wait)(void*) = nullptr;
    short (*close)(void*) = nullptr;
};

Library load()
{
    Library library;
    library.handle = dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library.handle, nullptr) << dlerror();
    if (library.handle != nullptr) {
        library.open = reinterpret_cast<void* (*)(long, int)>(dlsym(library.handle, "_Z11OpenRTTimerli"));
        library.wait = reinterpret_cast<double (*)(void*)>(dlsym(library.handle, "_Z14WaitForRTTimerPv"));
        library.close = reinterpret_cast<short (*)(void*)>(dlsym(library.handle, "_Z12CloseRTTimerPv"));
    }
    return library;
}

bool loaded()
{
    void* handle = dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

int threads()
{
    int entries = 0;
    DIR* listing = opendir("/proc/self/task");
    while (const dirent* entry = readdir(listing)) {
        entries += entry->d_name[0] == '.' ? 0 : 1;
    }
    closedir(listing);
    return entries;
}

TEST(Unloading, TwentyLoadRunCloseUnloadCyclesEndCleanly)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        const Library library = load();
        ASSERT_TRUE(library.open && library.wait && library.close);
        void* timer = library.open(1000, 1);
        ASSERT_NE(timer, nullptr);
        EXPECT_GE(library.wait(timer), 0.0);
        EXPECT_GE(library.wait(timer), 0.0);
        library.close(timer);
        int looks = 0;
        while (library.close(timer) != -1 && looks < 100000) {
            ++looks;
        }
        ASSERT_EQ(library.close(timer), -1) << "the worker did not end";
        ASSERT_EQ(dlclose(library.handle), 0);
        EXPECT_FALSE(loaded());
    }
}

// At 10 ticks per second the worker is certainly mid-spin at the unload,
// which ends it and waits for it: the library goes, and the process lives on.
TEST(Unloading, RightAfterTheCloseOrWithTheTimerOpenTheWorkerEndsFirst)
{
    const int threads_before = threads();
    for (const bool close_first : {true, false}) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(close_first ? "closed" : "open") + " round " + std::to_string(round));
            const Library library = load();
            ASSERT_TRUE(library.open && library.wait && library.close);
            void* timer = library.open(10, 0);
            ASSERT_NE(timer, nullptr);
            EXPECT_GE(library.wait(timer), 0.0);
            if (close_first) {
                EXPECT_EQ(library.close(timer), 0) << "the worker is still spinning";
            }
            ASSERT_EQ(dlclose(library.handle), 0);
            EXPECT_FALSE(loaded());
            EXPECT_EQ(threads(), threads_before) << "the worker was joined before the unload";
            const timespec pause{0, 300000000};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace
