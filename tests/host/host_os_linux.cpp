#include "host_os.h"

#include "program_command.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
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

int64_t counter_hz()
{
    return 1000000000;
}

int placeholder_variable()
{
    const auto* count = static_cast<const int*>(dlsym(RTLD_DEFAULT, "nVarnex"));
    return count == nullptr ? -1 : *count;
}

std::set<unsigned> thread_ids()
{
    // A sanitizer's runtime starts a thread of its own at the first thread
    // creation; making one first keeps it out of the counts.
    static const bool runtime_started = [] {
        pid_t probe = 0;
        std::thread([&probe] { probe = gettid(); }).join();
        // The joined thread's task can outlive the join a moment (under qemu's
        // user-mode emulation, which reports the end before its own thread
        // ends): it must not be counted either.
        const std::string task = "/proc/self/task/" + std::to_string(probe);
        for (int waited_ms = 0; waited_ms < 1000 && access(task.c_str(), F_OK) == 0; ++waited_ms) {
            sleep_for(0.001);
        }
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

int open_descriptors()
{
    int entries = 0;
    DIR* listing = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(listing)) {
        entries += entry->d_name[0] == '.' ? 0 : 1;
    }
    closedir(listing);
    // Less one: the listing's own descriptor.
    return entries - 1;
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

bool release_ended_workers(std::vector<void*>& timers)
{
    timers.clear();
    return true;
}

namespace {

int nice_of(unsigned thread_id)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread_id) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    // Field 19 of stat is the nice value; fields from the third on follow ')'.
    for (int index = 3; index <= 19; ++index) {
        fields >> field;
    }
    return std::stoi(field);
}

}  // namespace

// Below the process's nice value, as a higher priority.
int worker_priority(void*, unsigned worker_id)
{
    return nice_of(static_cast<unsigned>(getpid())) - nice_of(worker_id);
}

int expected_worker_priority(int priority_index)
{
    const int raised[] = {10, 5, 0};
    return raised[priority_index];
}

bool may_raise_thread_priority()
{
    bool permitted = false;
    std::thread scratch([&] {
        const auto self = static_cast<id_t>(syscall(SYS_gettid));
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, self);
        permitted = errno == 0 && setpriority(PRIO_PROCESS, self, nice - 1) == 0;
    });
    scratch.join();
    return permitted;
}

int stress_cycles()
{
    // A thread starts some ten times slower under user-mode emulation: as
    // many cycles as the DLLs run under Wine.
#ifdef VARNEX_EMULATOR
    return 1000;
#else
    return 10000;
#endif
}

bool handle_ready(intptr_t handle)
{
    pollfd descriptor{static_cast<int>(handle), POLLIN, 0};
    return poll(&descriptor, 1, 0) == 1;
}

struct OpenReportWatch::State {
    std::FILE* file = nullptr;
    int saved_fd = -1;
};

// Standard error goes to a temporary file until report().
OpenReportWatch::OpenReportWatch() : state_(new State)
{
    std::fflush(stderr);
    state_->file = std::tmpfile();
    state_->saved_fd = dup(STDERR_FILENO);
    dup2(fileno(state_->file), STDERR_FILENO);
}

OpenReportWatch::~OpenReportWatch()
{
    report();
    std::fclose(state_->file);
    delete state_;
}

std::string OpenReportWatch::report()
{
    if (state_->saved_fd >= 0) {
        std::fflush(stderr);
        dup2(state_->saved_fd, STDERR_FILENO);
        close(state_->saved_fd);
        state_->saved_fd = -1;
    }
    std::string captured;
    std::rewind(state_->file);
    char buffer[256];
    size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, state_->file)) > 0) {
        captured.append(buffer, length);
    }
    return captured;
}

// The event is a futex word in this user's file in /dev/shm.
bool signal_tick_event()
{
    const std::string path = "/dev/shm/MyTimerSignal." + std::to_string(geteuid());
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
        return false;
    }
    void* mapped = mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        return false;
    }
    auto* word = static_cast<std::atomic<uint32_t>*>(mapped);
    word->store(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    munmap(mapped, 4);
    return true;
}

LoadedVarnex load_varnex_library()
{
    LoadedVarnex loaded;
    loaded.module = dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (loaded.module != nullptr) {
        loaded.open = reinterpret_cast<void* (*)(long, int)>(dlsym(loaded.module, "_Z11OpenRTTimerli"));
        loaded.wait = reinterpret_cast<double (*)(void*)>(dlsym(loaded.module, "_Z14WaitForRTTimerPv"));
        loaded.close = reinterpret_cast<short (*)(void*)>(dlsym(loaded.module, "_Z12CloseRTTimerPv"));
    }
    return loaded;
}

bool unload_varnex_library(const LoadedVarnex& loaded)
{
    return dlclose(loaded.module) == 0;
}

bool varnex_library_loaded()
{
    void* handle = dlopen(VARNEX_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
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
    std::vector<std::string> words = program_command(VARNEX_TIMER_PEER);
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

bool peer_await_go()
{
    return true;
}

void peer_ready()
{
    std::printf("ready\n");
    std::fflush(stdout);
}

int peer_exit(int count)
{
    std::printf("%d\n", count);
    return 0;
}

bool peer_hold_mutex_named_like_the_event(double)
{
    return false;
}

}  // namespace host
