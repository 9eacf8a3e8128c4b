// The Linux named event against Windows' auto-reset semantics: each signal
// releases one waiting thread, of this process or another, and with none
// waiting the event keeps exactly one signal. A waiter that dies while it
// waits changes nothing for the others.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dropin/platform/linux_handles.h"
#include "dropin/platform/event.h"
#include "dropin/platform/threads.h"
#include "dropin/platform/unload.h"

namespace {

constexpr uint32_t kWaitLimitMs = 10000;

// A name of this test run's own, so that no other process's ticks reach it.
const std::string& event_name()
{
    static const std::string name = "VarnexEventTest" + std::to_string(getpid());
    return name;
}

class NamedEvent : public ::testing::Test {
protected:
    void SetUp() override
    {
        event_ = platform::create_named_event(event_name().c_str());
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override
    {
        platform::close_handle(event_);
        shm_unlink(("/" + event_name() + "." + std::to_string(geteuid())).c_str());
    }
    platform::Handle event_ = nullptr;
};

// 'S' once the task sleeps: for a waiter that announced its wait, asleep in
// the event's futex.
bool asleep(const std::string& stat_path)
{
    std::ifstream stat(stat_path);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t after_name = text.rfind(')');
    return after_name != std::string::npos && text.size() > after_name + 2 && text[after_name + 2] == 'S';
}

// All at once: a thread asleep on the table's lock would need another one
// that holds it, and that one would be running.
void wait_until_asleep(const std::vector<std::string>& stat_paths)
{
    for (;;) {
        bool all_asleep = true;
        for (const std::string& path : stat_paths) {
            all_asleep = all_asleep && asleep(path);
        }
        if (all_asleep) {
            return;
        }
        std::this_thread::yield();
    }
}

std::string task_stat(int tid)
{
    return "/proc/self/task/" + std::to_string(tid) + "/stat";
}

// A child process that opens the event and waits once; its exit code is 0
// when the wait was released. It waits as soon as it has reported ready.
pid_t start_waiting_child()
{
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        platform::Handle event = platform::create_named_event(event_name().c_str());
        const char ready = 'r';
        if (event == nullptr || write(pipe_fds[1], &ready, 1) != 1) {
            _exit(2);
        }
        _exit(platform::wait_for(event, kWaitLimitMs) == platform::WaitResult::kSignalled ? 0 : 1);
    }
    close(pipe_fds[1]);
    char ready = 0;
    EXPECT_EQ(read(pipe_fds[0], &ready, 1), 1);
    close(pipe_fds[0]);
    wait_until_asleep({"/proc/" + std::to_string(child) + "/stat"});
    return child;
}

int exit_code(pid_t child)
{
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// With none waiting, any number of signals leave exactly one.
void expect_exactly_one_kept(platform::Handle event)
{
    for (int signal = 0; signal < 5; ++signal) {
        platform::set_event(event);
    }
    EXPECT_EQ(platform::wait_for(event, 0), platform::WaitResult::kSignalled);
    EXPECT_EQ(platform::wait_for(event, 0), platform::WaitResult::kTimedOut);
}

TEST_F(NamedEvent, EachSignalReleasesOneOfThreeWaitingThreads)
{
    constexpr int kWaiters = 3;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    std::vector<std::atomic<int>> tids(kWaiters);
    for (int index = 0; index < kWaiters; ++index) {
        waiters.emplace_back([&, index] {
            tids[index].store(gettid());
            released += platform::wait_for(event_, kWaitLimitMs) == platform::WaitResult::kSignalled ? 1 : 0;
        });
    }
    std::vector<std::string> stat_paths;
    for (auto& tid : tids) {
        while (tid.load() == 0) {
            std::this_thread::yield();
        }
        stat_paths.push_back(task_stat(tid.load()));
    }
    wait_until_asleep(stat_paths);
    // Back to back, faster than any waiter wakes.
    for (int signal = 0; signal < kWaiters; ++signal) {
        platform::set_event(event_);
    }
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), kWaiters);
    expect_exactly_one_kept(event_);
}

TEST_F(NamedEvent, EachSignalReleasesOneOfTwoWaitingProcesses)
{
    const pid_t first = start_waiting_child();
    const pid_t second = start_waiting_child();
    platform::set_event(event_);
    platform::set_event(event_);
    EXPECT_EQ(exit_code(first), 0);
    EXPECT_EQ(exit_code(second), 0);
    expect_exactly_one_kept(event_);
}

TEST_F(NamedEvent, AWaiterKilledWhileWaitingSwallowsNoSignalAndAddsNone)
{
    const pid_t doomed = start_waiting_child();
    kill(doomed, SIGKILL);
    EXPECT_EQ(exit_code(doomed), -1);

    std::atomic<int> tid{0};
    std::atomic<platform::WaitResult> result{platform::WaitResult::kFailed};
    std::thread waiter([&] {
        tid.store(gettid());
        result.store(platform::wait_for(event_, kWaitLimitMs));
    });
    while (tid.load() == 0) {
        std::this_thread::yield();
    }
    wait_until_asleep({task_stat(tid.load())});
    platform::set_event(event_);
    waiter.join();
    EXPECT_EQ(result.load(), platform::WaitResult::kSignalled) << "the dead waiter took the signal";
    expect_exactly_one_kept(event_);
}

std::atomic<platform::Handle> event_closed_on_the_way_out{nullptr};
std::atomic<int> unload_started{0};

// A worker that was inside its signal when its timer closed: it closes the
// event itself as it leaves, while the unload waits for it.
uint32_t close_the_event_on_the_way_out()
{
    while (unload_started.load() == 0) {
    }
    // Not an ordering: whenever the close comes, the unload must outlast it.
    // The pause only lets the unload reach its wait for this worker first.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    platform::close_handle(event_closed_on_the_way_out.load());
    return 0;
}

TEST(Unload, AWorkerClosingTheEventOnItsWayOutLeavesNoHandleTableBehind)
{
    const std::string name = event_name() + "Unload";
    event_closed_on_the_way_out.store(platform::create_named_event(name.c_str()));
    ASSERT_NE(event_closed_on_the_way_out.load(), nullptr);
    uint32_t thread_id = 0;
    platform::Handle worker = platform::create_thread_suspended(close_the_event_on_the_way_out, &thread_id);
    ASSERT_NE(worker, nullptr);
    platform::resume_thread(worker);
    unload_started.store(1);
    platform::release_at_unload();
    EXPECT_EQ(platform::detail::handle_table_if_created(), nullptr) << "a table was made after the unload freed it";
    shm_unlink(("/" + name + "." + std::to_string(geteuid())).c_str());
}

}  // namespace
