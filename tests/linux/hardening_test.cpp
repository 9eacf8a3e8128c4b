// What only Linux has: the memory of workers whose handles no host can close,
// and the event's file in /dev/shm with the neighbours that can reach it.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_os.h"
#include "program_command.h"
#include "varnex.h"

extern char** environ;

namespace {

using host::seconds_now;
using host::eventually;
using host::sleep_for;

int threads()
{
    return static_cast<int>(host::thread_ids().size());
}

long resident_kib()
{
    long pages = 0;
    long resident_pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld %ld", &pages, &resident_pages) != 2) {
        resident_pages = -1;
    }
    if (statm != nullptr) {
        std::fclose(statm);
    }
    return resident_pages * (sysconf(_SC_PAGESIZE) / 1024);
}

// A Linux host cannot close the handle an open gives it: the library must
// reclaim what an ended worker leaves.
TEST(Stress, HundredThousandOpensKeepMemoryFlat)
{
    long after_first_thousand_kib = 0;
    void* timer = nullptr;
    for (int cycle = 1; cycle <= 100000; ++cycle) {
        timer = OpenRTTimer(20000, 2);
        ASSERT_NE(timer, nullptr);
        ASSERT_GE(WaitForRTTimer(timer), 0.0);
        CloseRTTimer(timer);
        if (cycle == 1000) {
            after_first_thousand_kib = resident_kib();
        }
    }
    EXPECT_TRUE(eventually([&] { return CloseRTTimer(timer) == -1; })) << "a handle the host holds still works";
    const long after_all_kib = resident_kib();
    std::printf("resident: %ld KiB after 1,000 opens, %ld KiB after 100,000\n", after_first_thousand_kib,
                after_all_kib);
    EXPECT_LE(after_all_kib - after_first_thousand_kib, 1024);
}

std::string tick_event_path()
{
    return "/dev/shm/MyTimerSignal." + std::to_string(geteuid());
}

void remove_tick_event_file()
{
    unlink(tick_event_path().c_str());
    rmdir(tick_event_path().c_str());
}

// Anything at the event's path but this user's own file at 0600 could be
// signalled, truncated or locked by someone else: the open refuses it,
// reports why, and leaves nothing running.
TEST(Neighbours, AnEventFileThatIsNotThisUsersOwnFailsTheOpenCleanly)
{
    constexpr uid_t kOtherUser = 12346;
    struct Planted {
        const char* what;
        mode_t mode;
        uid_t owner;
        const char* reason;
    };
    const Planted planted[] = {
        {"directory", 0700, 0, "not a regular file"},
        {"another user's file", 0600, kOtherUser, "owned by uid 12346"},
        {"a file others may write", 0666, 0, "mode 0666"},
        {"a file the group may read", 0640, 0, "mode 0640"},
    };
    for (const Planted& plant : planted) {
        SCOPED_TRACE(plant.what);
        remove_tick_event_file();
        if (plant.mode == 0700) {
            ASSERT_EQ(mkdir(tick_event_path().c_str(), plant.mode), 0);
        } else {
            const int fd = open(tick_event_path().c_str(), O_RDWR | O_CREAT | O_EXCL, plant.mode);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(fchmod(fd, plant.mode), 0);
            const uid_t owner = plant.owner == 0 ? geteuid() : plant.owner;
            // Planting another user's file takes root, as CI has.
            if (fchown(fd, owner, owner) != 0) {
                close(fd);
                GTEST_SKIP() << "cannot plant a file of another user without root";
            }
            close(fd);
        }
        const int threads_before = threads();
        host::OpenReportWatch capture;
        EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
        EXPECT_NE(capture.report().find(plant.reason), std::string::npos) << capture.report();
        EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
        EXPECT_TRUE(eventually([&] { return threads() == threads_before; }));
    }
    remove_tick_event_file();
    const mode_t umask_before = umask(0277);
    void* timer = OpenRTTimer(100, 0);
    umask(umask_before);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    struct stat status {};
    ASSERT_EQ(stat(tick_event_path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "made private whatever the umask";
    CloseRTTimer(timer);
}

TEST(Neighbours, AProcessKilledWhileHoldingTheEventLeavesNoStaleTick)
{
    // The peer's worker ticks 300 times a second with no one waiting: the
    // event is signalled when the peer dies.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    std::vector<std::string> command = program_command(VARNEX_TIMER_PEER);
    command.insert(command.end(), {"tick", "300", "30"});
    std::vector<char*> argv;
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t peer = 0;
    ASSERT_EQ(posix_spawn(&peer, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    char ready[8] = {};
    ASSERT_GT(read(pipe_fds[0], ready, sizeof ready), 0);
    close(pipe_fds[0]);
    sleep_for(0.05);
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);

    const double open_s = seconds_now();
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    EXPECT_GT(seconds_now() - open_s, 0.005) << "the first wait took a tick left by the dead process";
    CloseRTTimer(timer);
}

}  // namespace
