// A named clock the host drives, across processes: a controller in another
// process in lockstep, either side killed mid-run, the names, and what is
// found at a name that is not this user's clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "program_command.h"
#include "varnex/pacer.h"

extern char** environ;

namespace {

constexpr int64_t kPeriodNs = 1000000;
constexpr int64_t kSettleNs = 30000000000;

std::string clock_name(const char* what)
{
    return std::string("varnex-test-") + what + "." + std::to_string(getpid());
}

std::string clock_path(const std::string& name)
{
    return "/dev/shm/varnex-clock." + name + "." + std::to_string(geteuid());
}

varnex_sim_clock_config named_config(const std::string& name)
{
    varnex_sim_clock_config config{};
    config.size = sizeof config;
    std::snprintf(config.name, sizeof config.name, "%s", name.c_str());
    return config;
}

varnex_pacer_config one_khz()
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;
    config.rate_den = 1;
    return config;
}

// The peer program, its standard output read line by line; killed if the
// case ends before it.
struct Peer {
    pid_t pid = -1;
    std::FILE* output = nullptr;

    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            end();
        }
    }

    std::string line()
    {
        char text[128] = {};
        return std::fgets(text, sizeof text, output) == nullptr ? std::string("(closed)") : std::string(text);
    }
    // The exit code, or -signal.
    int end()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        std::fclose(output);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
};

void start_peer(Peer& peer, const std::vector<std::string>& arguments)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    std::vector<std::string> command = program_command(VARNEX_SIM_CLOCK_PEER);
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&peer.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    peer.output = fdopen(pipe_fds[0], "r");
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A controller in lockstep: each settled advance finds its tick taken, on
// time, and the creator's destroy ends its wait.
void expect_lockstep(const char* mode, const std::vector<std::string>& arguments)
{
    const std::string name = clock_name(mode);
    const varnex_sim_clock_config config = named_config(name);
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    std::vector<std::string> words{mode, name};
    words.insert(words.end(), arguments.begin(), arguments.end());
    Peer controller;
    start_peer(controller, words);
    ASSERT_EQ(controller.line(), "ready\n");
    for (int k = 1; k <= 50; ++k) {
        ASSERT_EQ(varnex_sim_clock_advance(clock, k * kPeriodNs, kSettleNs), VARNEX_OK) << k;
        EXPECT_EQ(controller.line(), std::to_string(k - 1) + " 0\n") << "not in lockstep";
    }
    varnex_sim_clock_destroy(clock);
    EXPECT_EQ(controller.end(), 0) << "the controller's wait did not end with the clock gone";
}

TEST(SimClockProcesses, AControllerProgramRunsInLockstepWithTheSettle)
{
    expect_lockstep("control", {"-1"});
}

// Another process's handle is armed by this process's advance (its watcher).
TEST(SimClockProcesses, AControllerOnTheReadinessHandleRunsInLockstepToo)
{
    expect_lockstep("handle", {});
}

TEST(SimClockProcesses, AControllerKilledMidRunIsNoLongerWaitedFor)
{
    const std::string name = clock_name("killed");
    const varnex_sim_clock_config config = named_config(name);
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    Peer controller;
    start_peer(controller, {"control", name, "1"});
    ASSERT_EQ(controller.line(), "ready\n");
    ASSERT_EQ(varnex_sim_clock_advance(clock, kPeriodNs, kSettleNs), VARNEX_OK);
    EXPECT_EQ(controller.line(), "0 0\n");
    // Tick 1 kills it while it is busy, which this settle waits for.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(varnex_sim_clock_advance(clock, 2 * kPeriodNs, kSettleNs), VARNEX_OK);
    EXPECT_LT(seconds_since(start), 5.0) << "the settle waited for a dead process";
    EXPECT_EQ(controller.end(), -SIGKILL);
    // Its slot is taken by the next controller.
    Peer next;
    start_peer(next, {"control", name, "-1"});
    ASSERT_EQ(next.line(), "ready\n");
    EXPECT_EQ(varnex_sim_clock_advance(clock, 3 * kPeriodNs, kSettleNs), VARNEX_OK);
    EXPECT_EQ(next.line(), "0 0\n");
    varnex_sim_clock_destroy(clock);
    EXPECT_EQ(next.end(), 0);
}

// Busy for ever once it is dead, the controller stalls auto-advance no more:
// this process's pacer's waits see it within their liveness slices.
TEST(SimClockProcesses, AControllerKilledMidRunStallsNoAutoAdvance)
{
    const std::string name = clock_name("auto");
    varnex_sim_clock_config config = named_config(name);
    config.flags = VARNEX_SIM_AUTO_ADVANCE;
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    Peer controller;
    start_peer(controller, {"control", name, "1"});
    ASSERT_EQ(controller.line(), "ready\n");
    varnex_pacer* pacer = nullptr;
    const varnex_pacer_config pacing = one_khz();
    ASSERT_EQ(varnex_pacer_create_on(&pacing, clock, &pacer), VARNEX_OK);
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (uint64_t k = 0; k < 5; ++k) {
        ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
        EXPECT_EQ(tick.index, k);
    }
    EXPECT_EQ(controller.end(), -SIGKILL);
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
}

std::string task_state(int tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t after_name = text.rfind(')');
    return after_name == std::string::npos ? std::string() : text.substr(after_name + 2, 1);
}

TEST(SimClockProcesses, TheCreatorKilledMidRunEndsTheWaitsAndFreesTheName)
{
    const std::string name = clock_name("creator");
    Peer creator;
    start_peer(creator, {"create", name});
    ASSERT_EQ(creator.line(), "ready\n");
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_OK);
    varnex_pacer* pacer = nullptr;
    const varnex_pacer_config config = one_khz();
    ASSERT_EQ(varnex_pacer_create_on(&config, clock, &pacer), VARNEX_OK);
    const int waiter = gettid();
    std::thread killer([&] {
        while (task_state(waiter) != "S") {
            std::this_thread::yield();
        }
        kill(creator.pid, SIGKILL);
    });
    varnex_tick tick{};
    tick.size = sizeof tick;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_CLOCK_GONE);
    EXPECT_LT(seconds_since(start), 5.0);
    killer.join();
    EXPECT_EQ(creator.end(), -SIGKILL);
    int64_t now_ns = -1;
    EXPECT_EQ(varnex_sim_clock_now(clock, &now_ns), VARNEX_E_CLOCK_GONE);
    EXPECT_EQ(now_ns, 0);
    EXPECT_EQ(varnex_sim_clock_advance(clock, kPeriodNs, 0), VARNEX_E_CLOCK_GONE);
    varnex_pacer* late = nullptr;
    EXPECT_EQ(varnex_pacer_create_on(&config, clock, &late), VARNEX_E_CLOCK_GONE);
    EXPECT_EQ(late, nullptr);
    varnex_sim_clock* reopened = nullptr;
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &reopened), VARNEX_E_CLOCK_GONE);
    EXPECT_EQ(reopened, nullptr);

    // Taken over at once, while this process still holds the dead one.
    const varnex_sim_clock_config named = named_config(name);
    varnex_sim_clock* again = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&named, &again), VARNEX_OK);
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_CLOCK_GONE);
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
    ASSERT_EQ(varnex_sim_clock_open(name.c_str(), &reopened), VARNEX_OK) << "the old view's close took the name";
    varnex_sim_clock_destroy(reopened);
    varnex_sim_clock_destroy(again);
}

// The child's copy of a pacer takes a slot of its own at its first wait: the
// parent's stays the parent's, and the child's end is seen.
TEST(SimClockProcesses, AForkedChildsCopyOfAPacerTakesASlotOfItsOwn)
{
    const std::string name = clock_name("fork");
    const varnex_sim_clock_config config = named_config(name);
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    varnex_pacer* pacer = nullptr;
    const varnex_pacer_config pacing = one_khz();
    ASSERT_EQ(varnex_pacer_create_on(&pacing, clock, &pacer), VARNEX_OK);
    varnex_tick tick{};
    tick.size = sizeof tick;
    ASSERT_EQ(varnex_sim_clock_advance(clock, kPeriodNs, -1), VARNEX_OK);
    ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            const int status = varnex_pacer_wait(pacer, &tick);
            const char index = static_cast<char>('0' + tick.index);
            if (status != VARNEX_OK || write(pipe_fds[1], &index, 1) != 1) {
                _exit(2);
            }
        }
    }
    close(pipe_fds[1]);
    for (int k = 2; k <= 3; ++k) {
        ASSERT_EQ(varnex_sim_clock_advance(clock, k * kPeriodNs, kSettleNs), VARNEX_OK);
        char index = 0;
        ASSERT_EQ(read(pipe_fds[0], &index, 1), 1);
        EXPECT_EQ(index, '0' + k - 1) << "the child's copy is not in lockstep";
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipe_fds[0]);
    EXPECT_EQ(varnex_sim_clock_advance(clock, 4 * kPeriodNs, kSettleNs), VARNEX_OK)
        << "the child's end left the parent's slot pending";
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
}

// A clock of this process only is copied whole into a child: two clocks.
TEST(SimClockProcesses, AForkedChildsCopyOfAnUnnamedClockIsASeparateClock)
{
    const varnex_sim_clock_config config = named_config("");
    varnex_sim_clock* clock = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    varnex_pacer* pacer = nullptr;
    const varnex_pacer_config pacing = one_khz();
    ASSERT_EQ(varnex_pacer_create_on(&pacing, clock, &pacer), VARNEX_OK);
    const pid_t child = fork();
    if (child == 0) {
        int64_t child_now_ns = -1;
        const bool moved = varnex_sim_clock_advance(clock, 10 * kPeriodNs, -1) == VARNEX_OK &&
                           varnex_sim_clock_now(clock, &child_now_ns) == VARNEX_OK && child_now_ns == 10 * kPeriodNs;
        _exit(moved ? 0 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    int64_t now_ns = -1;
    EXPECT_EQ(varnex_sim_clock_now(clock, &now_ns), VARNEX_OK);
    EXPECT_EQ(now_ns, 0) << "the child's advance moved the parent's clock";
    // The parent's pacer is still busy from its creation: a settle waits.
    EXPECT_EQ(varnex_sim_clock_advance(clock, kPeriodNs, 0), VARNEX_E_TIMEOUT);
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
}

TEST(SimClockProcesses, NamesAreCheckedHeldAndLookedUp)
{
    varnex_sim_clock* clock = nullptr;
    for (const char* bad : {"", "a/b", "a b", "../x", "caf\xc3\xa9"}) {
        EXPECT_EQ(varnex_sim_clock_open(bad, &clock), VARNEX_E_INVALID_ARGUMENT) << bad;
        const varnex_sim_clock_config config = named_config(bad);
        EXPECT_EQ(varnex_sim_clock_create(&config, &clock), bad[0] == 0 ? VARNEX_OK : VARNEX_E_INVALID_ARGUMENT)
            << bad;
        varnex_sim_clock_destroy(clock);
    }
    const std::string longest(63, 'n');
    varnex_sim_clock_config config = named_config(longest);
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    varnex_sim_clock_destroy(clock);
    config.name[63] = 'n';  // 64 characters, no terminator
    EXPECT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_sim_clock_open((longest + "n").c_str(), &clock), VARNEX_E_INVALID_ARGUMENT);

    const std::string name = clock_name("names");
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_NOT_FOUND);
    config = named_config(name);
    varnex_sim_clock* held = nullptr;
    ASSERT_EQ(varnex_sim_clock_create(&config, &held), VARNEX_OK);
    EXPECT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_E_NAME_IN_USE);
    EXPECT_EQ(clock, nullptr);
    ASSERT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_OK);
    ASSERT_EQ(varnex_sim_clock_advance(clock, 5, -1), VARNEX_OK);
    int64_t now_ns = 0;
    EXPECT_EQ(varnex_sim_clock_now(held, &now_ns), VARNEX_OK);
    EXPECT_EQ(now_ns, 5);
    varnex_sim_clock_destroy(clock);
    varnex_sim_clock_destroy(held);
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_NOT_FOUND) << "the destroy left the name";
}

void plant(const std::string& path, mode_t mode, const std::string& bytes)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, mode), 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// A file at the name that is no clock of this version: refused, never
// mapped past its end; with no holder, a create takes it over.
TEST(SimClockProcesses, AFileThatIsNoClockIsRefusedAndTakenOver)
{
    const std::string name = clock_name("garbage");
    const std::string path = clock_path(name);
    varnex_sim_clock* clock = nullptr;
    unlink(path.c_str());
    plant(path, 0600, "short");
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_NOT_FOUND);
    unlink(path.c_str());
    plant(path, 0600, std::string(1 << 16, '\0'));
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_NOT_FOUND) << "a clock not yet stamped";
    unlink(path.c_str());
    plant(path, 0600, std::string(1 << 16, '\x5a'));
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_INCOMPATIBLE);
    EXPECT_EQ(clock, nullptr);
    const varnex_sim_clock_config config = named_config(name);
    ASSERT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_OK);
    varnex_sim_clock* opened = nullptr;
    ASSERT_EQ(varnex_sim_clock_open(name.c_str(), &opened), VARNEX_OK);
    varnex_sim_clock_destroy(opened);
    varnex_sim_clock_destroy(clock);
}

// Anything at the name but this user's own file at 0600 could be written or
// truncated by someone else: refused by create and open alike.
TEST(SimClockProcesses, AnotherUsersClockOrAnOpenFileIsRefused)
{
    constexpr uid_t kOtherUser = 12346;
    const std::string name = clock_name("foreign");
    const std::string path = clock_path(name);
    const varnex_sim_clock_config config = named_config(name);
    varnex_sim_clock* clock = nullptr;
    unlink(path.c_str());
    plant(path, 0644, std::string(1 << 16, '\0'));
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_ACCESS_DENIED);
    EXPECT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_E_ACCESS_DENIED);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    // Planting another user's file takes root, as CI has.
    if (chown(path.c_str(), kOtherUser, kOtherUser) != 0) {
        unlink(path.c_str());
        GTEST_SKIP() << "cannot plant a file of another user without root";
    }
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &clock), VARNEX_E_ACCESS_DENIED);
    EXPECT_EQ(varnex_sim_clock_create(&config, &clock), VARNEX_E_ACCESS_DENIED);
    EXPECT_EQ(clock, nullptr);
    unlink(path.c_str());
}

}  // namespace
