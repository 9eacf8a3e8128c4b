#include "time_namespace.h"

#include "program_command.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace time_namespace {

namespace {

[[noreturn]] void exec(const std::vector<std::string>& arguments, int out)
{
    dup2(out, STDOUT_FILENO);
    std::vector<std::string> command = program_command(arguments.front());
    command.insert(command.end(), arguments.begin() + 1, arguments.end());
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

bool write_offsets()
{
    const std::string offsets = "monotonic " + std::to_string(kMonotonicOffsetNs / 1000000000) + " " +
                                std::to_string(kMonotonicOffsetNs % 1000000000);
    const int fd = open("/proc/self/timens_offsets", O_WRONLY);
    const bool written = fd >= 0 && write(fd, offsets.c_str(), offsets.size()) == static_cast<ssize_t>(offsets.size());
    if (fd >= 0) {
        close(fd);
    }
    return written;
}

// The namespace is the children's, and takes offsets until one enters it.
[[noreturn]] void exec_in_own_namespace(const std::vector<std::string>& arguments, int out)
{
    if (unshare(CLONE_NEWTIME) != 0) {
        _exit(77);
    }
    if (!write_offsets()) {
        _exit(3);
    }
    const pid_t program = fork();
    if (program == 0) {
        exec(arguments, out);
    }
    int status = 0;
    waitpid(program, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace

bool allowed()
{
    const pid_t probe = fork();
    if (probe == 0) {
        _exit(unshare(CLONE_NEWTIME) == 0 ? 0 : 77);
    }
    int status = 0;
    waitpid(probe, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Started start(const std::vector<std::string>& arguments, bool own_namespace)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        return {-1, -1};
    }
    const pid_t process = fork();
    if (process == 0) {
        close(pipe_ends[0]);
        if (own_namespace) {
            exec_in_own_namespace(arguments, pipe_ends[1]);
        }
        exec(arguments, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    return {process, pipe_ends[0]};
}

Finished finish(const Started& started)
{
    Finished finished{"", -1};
    char buffer[4096];
    for (ssize_t got; (got = read(started.output, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        finished.output.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    close(started.output);
    int status = 0;
    if (started.process > 0 && waitpid(started.process, &status, 0) == started.process && WIFEXITED(status)) {
        finished.exit_status = WEXITSTATUS(status);
    }
    return finished;
}

}  // namespace time_namespace
