// Two machines whose clocks are synchronized, simulated on one: two pacer
// processes in two time namespaces, their monotonic clocks 1,000.123456 s
// apart, sharing the one system clock. The second starts 3.3 ms and five
// periods after the first.
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "aligned_clock.h"
#include "host_os.h"

namespace {

constexpr uint32_t kRate = 100;
constexpr long long kPeriodNs = 10000000;
constexpr long long kSecondStartsLaterNs = 3300000 + 5 * kPeriodNs;
const char kOffsets[] = "monotonic 1000 123456000";

[[noreturn]] void exec_reporter(int out, bool align, long long start_ns)
{
    dup2(out, STDOUT_FILENO);
    const std::string start = std::to_string(start_ns);
    execl(VARNEX_ALIGNED_REPORTER, VARNEX_ALIGNED_REPORTER, "--report", "-", "100", "100", align ? "1" : "0",
          start.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

bool write_file(const char* path, const char* text)
{
    const int fd = open(path, O_WRONLY);
    const bool written = fd >= 0 && write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
    if (fd >= 0) {
        close(fd);
    }
    return written;
}

// The reporter, in a time namespace of its own; exits 77 when the system
// refuses one, 3 when the offsets did not take.
[[noreturn]] void launch_in_time_namespace(int out, bool align, long long start_ns)
{
    if (unshare(CLONE_NEWTIME) != 0) {
        _exit(77);
    }
    // The namespace is the children's, and takes offsets until one enters it.
    if (!write_file("/proc/self/timens_offsets", kOffsets)) {
        _exit(3);
    }
    const pid_t reporter = fork();
    if (reporter == 0) {
        exec_reporter(out, align, start_ns);
    }
    int status = 0;
    waitpid(reporter, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

std::string read_all(int in)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(in, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        text.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    return text;
}

struct Report {
    std::vector<aligned::Return> returns;
    int exit_status;
};

Report finish(pid_t process, int in)
{
    std::istringstream report(read_all(in));
    close(in);
    int status = 0;
    waitpid(process, &status, 0);
    return {aligned::read_report(report), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

bool time_namespaces_allowed()
{
    const pid_t probe = fork();
    if (probe == 0) {
        _exit(unshare(CLONE_NEWTIME) == 0 ? 0 : 77);
    }
    int status = 0;
    waitpid(probe, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first in this namespace, the second in a namespace of its own.
std::pair<Report, Report> run_two(bool align)
{
    const long long start_ns = host::system_clock_ns() + 500000000;  // past every start, sanitized ones too
    int first_pipe[2];
    int second_pipe[2];
    if (pipe(first_pipe) != 0 || pipe(second_pipe) != 0) {
        return {};
    }
    const pid_t first = fork();
    if (first == 0) {
        close(first_pipe[0]);
        exec_reporter(first_pipe[1], align, start_ns);
    }
    const pid_t second = fork();
    if (second == 0) {
        close(second_pipe[0]);
        launch_in_time_namespace(second_pipe[1], align, start_ns + kSecondStartsLaterNs);
    }
    close(first_pipe[1]);
    close(second_pipe[1]);
    Report first_run = finish(first, first_pipe[0]);
    Report second_run = finish(second, second_pipe[0]);
    return {first_run, second_run};
}

std::vector<long long> from_grid_ns(const std::vector<aligned::Return>& returns)
{
    std::vector<long long> offsets;
    for (const aligned::Return& tick : returns) {
        offsets.push_back(std::llabs(aligned::offset_from_grid_ns(tick, kRate)));
    }
    return offsets;
}

TEST(TwoMachines, AlignedPacersInTwoTimeNamespacesTickTogether)
{
    if (!time_namespaces_allowed()) {
        GTEST_SKIP() << "this system refuses a time namespace (CLONE_NEWTIME)";
    }
    const auto [first, second] = run_two(true);
    ASSERT_EQ(first.exit_status, 0);
    ASSERT_EQ(second.exit_status, 0) << "3: the namespace's offsets did not take";
    ASSERT_EQ(first.returns.size(), 100u);
    ASSERT_EQ(second.returns.size(), 100u);
    const auto offsets = aligned::same_index_offsets_ns(first.returns, second.returns);
    ASSERT_GE(offsets.size(), 90u) << "the two ran at the same time";
    std::printf("same-index offset: p50 %lld ns, p90 %lld ns, p99 %lld ns, max %lld ns over %zu ticks\n",
                aligned::percentile_ns(offsets, 0.5), aligned::percentile_ns(offsets, 0.9),
                aligned::percentile_ns(offsets, 0.99), aligned::percentile_ns(offsets, 1.0), offsets.size());
    EXPECT_LT(aligned::percentile_ns(offsets, 0.5), 1000000);
    EXPECT_LT(aligned::percentile_ns(offsets, 0.9), 3000000);
    for (const Report* run : {&first, &second}) {
        const auto offsets_from_grid = from_grid_ns(run->returns);
        EXPECT_LT(aligned::percentile_ns(offsets_from_grid, 0.5), 1000000);
        EXPECT_LT(aligned::percentile_ns(offsets_from_grid, 0.9), 3000000);
    }
}

// Without the flag each grid starts at its own creation: the two stay the
// start's 3.3 ms (modulo the period) apart, which the aligned case closes.
TEST(TwoMachines, UnalignedPacersStayAsFarApartAsTheyStarted)
{
    if (!time_namespaces_allowed()) {
        GTEST_SKIP() << "this system refuses a time namespace (CLONE_NEWTIME)";
    }
    const auto [first, second] = run_two(false);
    ASSERT_EQ(first.exit_status, 0);
    ASSERT_EQ(second.exit_status, 0);
    ASSERT_EQ(first.returns.size(), 100u);
    ASSERT_EQ(second.returns.size(), 100u);
    // Tick i of the second is due five periods after tick i of the first,
    // and the start's 3.3 ms.
    std::vector<long long> apart_ns;
    for (size_t tick = 0; tick + 5 < first.returns.size(); ++tick) {
        apart_ns.push_back(second.returns[tick].system_ns - first.returns[tick + 5].system_ns);
    }
    const long long median_ns = aligned::percentile_ns(apart_ns, 0.5);
    EXPECT_GT(median_ns, 2300000);
    EXPECT_LT(median_ns, 4300000);
}

}  // namespace
