// varnex-doctor: what this machine allows a pacer, in about ten seconds. The
// counter and what the system says of its timers, then a 5-second sample of
// an absolute sleep's oversleep (a sleep-mode pacer's lateness), and from
// that sample, by the hybrid's own rules, the margin it would learn and the
// CPU it would cost with and without a lateness budget. Last, which controls
// take effect here, tried on this thread and put back.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "arguments.h"
#include "counter.h"
#include "doctor_system.h"
#include "pacer/margin_rule.h"
#include "percentile.h"
#include "varnex/pacer.h"

namespace {

constexpr uint32_t kSampleRate = 1000;
constexpr int kSampleTicks = 5000;
// The pacer learns over its latest one to two windows, once warmed up: a
// quantile of the whole sample stands for what those windows would hold.
static_assert(kSampleTicks >= 2 * kMarginWindowTicks && kSampleTicks > kWarmUpSamples);
// The rule's r-th largest of n oversleeps, r = ceil(n / per rank), is the
// quantile 1 - 1 / per rank.
constexpr double kMarginFraction = 1.0 - 1.0 / kSamplesPerRankP995;
constexpr double kBudgetMarginFraction = 1.0 - 1.0 / kSamplesPerRankP99;

void print_fact(const std::string& name, const std::string& value)
{
    std::printf("%-34s %s\n", name.c_str(), value.c_str());
}

std::string nanoseconds(double ns)
{
    char text[32];
    if (ns >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    } else if (ns >= 1e3) {
        std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    }
    return text;
}

double read_cost_ns()
{
    constexpr int kReads = 1000000;
    const int64_t start = read_counter();
    for (int read = 1; read < kReads; ++read) {
        read_counter();
    }
    return static_cast<double>(read_counter() - start) * 1e9 / static_cast<double>(counter_frequency()) / kReads;
}

struct Sample {
    std::vector<double> oversleep_ns;
    double cpu_per_sleep_ns = -1;  // the thread's CPU for one sleep and its wait, -1 if unknown
};

// A sleep-mode pacer's lateness is its absolute sleep's oversleep.
Sample sample_oversleep()
{
    Sample sample;
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = kSampleRate;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_SLEEP;
    varnex_pacer* pacer = nullptr;
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) {
        return sample;
    }
    varnex_tick tick{};
    tick.size = sizeof tick;
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_wait(pacer, &tick);
    varnex_pacer_get_stats(pacer, &stats);
    const int64_t cpu_start_ns = stats.cpu_ns;
    for (int wait = 0; wait < kSampleTicks; ++wait) {
        if (varnex_pacer_wait(pacer, &tick) == VARNEX_OK && tick.missed == 0) {
            sample.oversleep_ns.push_back(static_cast<double>(tick.lateness_ns));
        }
    }
    varnex_pacer_get_stats(pacer, &stats);
    if (cpu_start_ns >= 0 && stats.cpu_ns >= cpu_start_ns) {
        sample.cpu_per_sleep_ns = static_cast<double>(stats.cpu_ns - cpu_start_ns) / kSampleTicks;
    }
    varnex_pacer_destroy(pacer);
    return sample;
}

// The hybrid's margin by its rules: with no budget the p99.5 of the
// oversleep, at least the floor; with budget B, the p99 less B, at least 0.
double predicted_margin_ns(const std::vector<double>& oversleep_ns, double budget_ns)
{
    if (budget_ns <= 0) {
        return std::max(percentile(oversleep_ns, kMarginFraction), static_cast<double>(kMarginFloorNs));
    }
    return std::max(percentile(oversleep_ns, kBudgetMarginFraction) - budget_ns, 0.0);
}

// Each tick sleeps to the margin before its deadline and spins what the
// sleep's oversleep left of it, beside the sleep's own CPU; a margin of the
// period or more spins it all.
double predicted_cpu(const Sample& sample, uint32_t rate, double margin_ns)
{
    if (margin_ns >= 1e9 / rate) {
        return 1.0;
    }
    double spin_ns = 0;
    for (const double oversleep : sample.oversleep_ns) {
        spin_ns += std::max(margin_ns - oversleep, 0.0);
    }
    spin_ns /= static_cast<double>(sample.oversleep_ns.size());
    return rate * (spin_ns + std::max(sample.cpu_per_sleep_ns, 0.0)) * 1e-9;
}

struct Control {
    uint32_t flag;
    const char* name;
    const char* helps;
    const char* needs;
};

// Each tried on a hybrid pacer of this thread for a few waits; the
// statistics say how each fared, and everything is put back.
void print_controls()
{
    const Control controls[] = {
        {VARNEX_CONTROL_REALTIME, "realtime", "its wake-ups preempt other work", "CAP_SYS_NICE"},
        {VARNEX_CONTROL_BOOST, "boost", "the highest priority while it spins", "CAP_SYS_NICE on Linux"},
        {VARNEX_CONTROL_AFFINITY, "affinity", "a CPU of its own; best an isolated one", "nothing"},
        {VARNEX_CONTROL_LOCK_MEMORY, "lock-memory", "no page faults in its memory", "RLIMIT_MEMLOCK room"},
        {VARNEX_CONTROL_DMA_LATENCY, "dma-latency", "no deep C-states: quicker wake-ups on bare metal",
         "write access to /dev/cpu_dma_latency"},
        {VARNEX_CONTROL_NO_THROTTLING, "no-throttling", "no EcoQoS throttling of its thread", "nothing"},
        {VARNEX_CONTROL_MMCSS, "mmcss", "the multimedia scheduler's \"Pro Audio\" class", "nothing"},
    };
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    varnex_pacer* pacer = nullptr;
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) {
        print_fact("controls", "unknown (no pacer)");
        return;
    }
    varnex_pacer_controls wanted{sizeof(varnex_pacer_controls), 0, ~uint64_t{0}, 10, 10};
    for (const Control& control : controls) {
        wanted.flags |= control.flag;
    }
    const bool set = varnex_pacer_set_controls(pacer, &wanted) == VARNEX_OK;
    for (int wait = 0; set && wait < 20; ++wait) {
        varnex_pacer_wait(pacer, nullptr);
    }
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(pacer, &stats);
    varnex_pacer_destroy(pacer);
    std::printf("controls (tried on this thread, and put back):\n");
    for (const Control& control : controls) {
        const std::string fared = !set                                          ? "unknown"
                                  : (stats.controls_active & control.flag) != 0 ? "takes effect here"
                                  : (stats.controls_denied & control.flag) != 0
                                      ? std::string("denied: needs ") + control.needs
                                  : (stats.controls_unsupported & control.flag) != 0 ? "unsupported on this system"
                                                                                     : "unknown";
        std::printf("  %-14s %-40s (%s)\n", control.name, fared.c_str(), control.helps);
    }
}

// help2man makes varnex-doctor(1) from this, --version and packaging/man/varnex-doctor.1.h2m.
constexpr const char* kUsage =
    "Usage: varnex-doctor [--help | --version]\n"
    "Reports, in about ten seconds, what this machine allows a Varnex pacer: the counter's\n"
    "frequency and the cost of a read; the clock source, the machine (a board's device-tree\n"
    "model, or the firmware's name; Linux), the hypervisor, PREEMPT_RT, the timer slack, the\n"
    "isolated and nohz_full CPUs, /dev/cpu_dma_latency and the CPU governor (on Windows, the\n"
    "high-resolution waitable timer and the timer resolution); the oversleep of\n"
    "5 seconds of absolute sleeps at p50, p99 and p99.9 and the CPU of one sleep; predictions,\n"
    "from that sample and by the pacer's own margin rule, of the margin a hybrid pacer would\n"
    "learn and of its CPU at 100 and 1000 ticks per second with no lateness budget and with\n"
    "budgets of 20 and 200 us; and whether each scheduling control takes effect here, is\n"
    "denied (with the privilege it needs) or is unsupported. A value the system does not\n"
    "report is printed as \"unknown\".\n"
    "\n"
    "Options:\n"
    "  --help      show this and exit\n"
    "  --version   show the library's version and exit\n";

std::string version()
{
    return std::to_string(varnex_version() >> 16) + "." + std::to_string((varnex_version() >> 8) & 0xFF) + "." +
           std::to_string(varnex_version() & 0xFF);
}

}  // namespace

int main(int argc, char** argv)
{
    const arguments::Parsed parsed = arguments::parse(argc, argv, {}, {"--help", "-h", "--version"});
    if (parsed.outcome == arguments::Outcome::kHelp) {
        std::fputs(parsed.option == "--version" ? ("varnex-doctor " + version() + "\n").c_str() : kUsage, stdout);
        return arguments::exit_status_after_help("varnex-doctor");
    }
    if (parsed.outcome != arguments::Outcome::kRun) {
        std::fprintf(stderr, "varnex-doctor: unknown option %s (see --help)\n", parsed.option.c_str());
        return 2;
    }
    std::printf("varnex-doctor %s: what this machine allows a pacer\n", version().c_str());
    print_fact("counter", std::to_string(counter_frequency()) + " Hz, one read " + nanoseconds(read_cost_ns()));
    for (const Fact& fact : system_facts()) {
        print_fact(fact.name, fact.value);
    }
    std::fflush(stdout);
    const Sample sample = sample_oversleep();
    if (sample.oversleep_ns.empty()) {
        print_fact("oversleep", "unknown (no sleep-mode pacer here)");
        return 1;
    }
    print_fact("oversleep, 5 s of absolute sleeps",
               "p50 " + nanoseconds(percentile(sample.oversleep_ns, 0.5)) + ", p99 " +
                   nanoseconds(percentile(sample.oversleep_ns, 0.99)) + ", p99.9 " +
                   nanoseconds(percentile(sample.oversleep_ns, 0.999)) + " over " +
                   std::to_string(sample.oversleep_ns.size()) + " sleeps");
    print_fact("CPU of one sleep", sample.cpu_per_sleep_ns < 0 ? "unknown" : nanoseconds(sample.cpu_per_sleep_ns));
    std::printf("predicted from that sample (predictions, not measurements):\n");
    print_fact("  margin a hybrid would learn", nanoseconds(predicted_margin_ns(sample.oversleep_ns, 0)));
    for (const uint32_t rate : {100u, 1000u}) {
        std::string line;
        for (const double budget_ns : {0.0, 20000.0, 200000.0}) {
            char part[80];
            std::snprintf(part, sizeof part, "%s%s %.3f", line.empty() ? "" : ", ",
                          budget_ns == 0 ? "no budget" : ("budget " + nanoseconds(budget_ns)).c_str(),
                          predicted_cpu(sample, rate, predicted_margin_ns(sample.oversleep_ns, budget_ns)));
            line += part;
        }
        print_fact("  CPU per s, hybrid at " + std::to_string(rate) + "/s", line);
    }
    print_controls();
    return 0;
}
