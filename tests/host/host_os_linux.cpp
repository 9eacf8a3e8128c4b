#include "host_os.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace host {

namespace {

std::atomic<int> thread_held{0};

// Delivered to the held thread alone: holds it here, as SuspendThread would.
void hold_here(int)
{
    thread_held.store(1);
    while (thread_held.load() == 1) {
        syscall(SYS_futex, &thread_held, 0 /* FUTEX_WAIT */, 1, nullptr, nullptr, 0);
    }
}

}  // namespace

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void sleep_for(double seconds)
{
    const auto whole = static_cast<time_t>(seconds);
    const timespec pause{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    nanosleep(&pause, nullptr);
}

std::set<unsigned> thread_ids()
{
    // A sanitizer's runtime starts a thread of its own at the first thread
    // creation; making one first keeps it out of the counts.
    static const bool runtime_started = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)runtime_started;
    std::set<unsigned> ids;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            ids.insert(static_cast<unsigned>(std::atoi(entry->d_name)));
        }
    }
    closedir(tasks);
    return ids;
}

bool hold_thread(unsigned id)
{
    struct sigaction action {};
    action.sa_handler = hold_here;
    sigaction(SIGUSR1, &action, nullptr);
    syscall(SYS_tgkill, getpid(), id, SIGUSR1);
    const double deadline_s = seconds_now() + 5.0;
    while (thread_held.load() == 0 && seconds_now() < deadline_s) {
        sleep_for(0.001);
    }
    return thread_held.load() == 1;
}

void release_thread(unsigned)
{
    thread_held.store(0);
    syscall(SYS_futex, &thread_held, 1 /* FUTEX_WAKE */, 1, nullptr, nullptr, 0);
}

void release_worker_handle(void*)
{
}

struct Peer {
    pid_t pid = 0;
    FILE* output = nullptr;
};

// The peer prints "ready" once its timer is open, and its count as it ends.
Peer* start_peer(const std::string& arguments)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    std::vector<std::string> words{VARNEX_TIMER_PEER};
    for (size_t start = 0; start < arguments.size();) {
        const size_t end = std::min(arguments.find(' ', start), arguments.size());
        words.push_back(arguments.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    auto* peer = new Peer;
    const int spawned = posix_spawn(&peer->pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    peer->output = fdopen(pipe_fds[0], "r");
    char line[64] = {};
    if (spawned != 0 || fgets(line, sizeof line, peer->output) == nullptr || std::strcmp(line, "ready\n") != 0) {
        finish_peer(peer);
        return nullptr;
    }
    return peer;
}

int finish_peer(Peer* peer)
{
    if (peer == nullptr) {
        return -1;
    }
    int count = -1;
    if (std::fscanf(peer->output, "%d", &count) != 1) {
        count = -1;
    }
    std::fclose(peer->output);
    int status = 0;
    if (peer->pid > 0) {
        waitpid(peer->pid, &status, 0);
    }
    delete peer;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? count : -1;
}

}  // namespace host
