#include "demo_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "arguments.h"

namespace {

// help2man makes varnex-demo(1) from this (after "Usage: varnex-demo"),
// --version and packaging/man/varnex-demo.1.h2m.
constexpr const char* kUsage =
    " [options]\n"
    "Paces this program with Varnex and reports how well each period was kept: the error of\n"
    "each period (measured minus nominal) at p50, p99, p99.9 and max, the drift against the\n"
    "ideal schedule, the CPU it used per second, and a histogram of the errors.\n"
    "\n"
    "Options:\n"
    "  --variant polling|threaded|pacer  which timer paces the loop (default polling)\n"
    "  --mode spin|sleep|hybrid    the pacer's wait (default hybrid)\n"
    "  --missed skip|burst|delay   the pacer's missed-tick policy (default skip)\n"
    "  --align system|tai          the pacer's grid on the system clock from 1970 (tai: Linux, CLOCK_TAI)\n"
    "  --budget US                 the hybrid's lateness budget: the p99 lateness it may have, in us\n"
    "  --reference-ppm PPM         follow a simulated reference this many ppm fast (-10000..10000),\n"
    "                              observed after every tick, and show the lock as it happens\n"
    "  --reference-jitter-us US    the simulated reference's Gaussian jitter (default 0)\n"
    "  --sim                       run the pacer on a simulated clock that moves itself to each\n"
    "                              deadline: the same report, in the clock's time, in a moment\n"
    "  --boost                     highest priority while spinning\n"
    "  --affinity MASK             run the waits on these CPUs (bit n: CPU n)\n"
    "  --realtime PRIORITY         Linux: SCHED_FIFO at 1..99 while sleeping (sleep or hybrid mode)\n"
    "  --lock-memory               keep the pacer's memory in RAM\n"
    "  --dma-latency US            Linux: hold /dev/cpu_dma_latency at US microseconds\n"
    "  --no-throttling             Windows: no power throttling while waiting\n"
    "  --mmcss                     Windows: the MMCSS \"Pro Audio\" class while waiting\n"
    "  --rate N                    ticks per second, 1 or more (default 1000)\n"
    "  --ticks N                   how many ticks to run (default 2000)\n"
    "  --seconds S                 run for S seconds instead of a number of ticks\n"
    "  --priority 0|1|2            priority index: highest, above normal, normal (default 0);\n"
    "                              the threaded timer's worker runs at it\n"
    "  --csv FILE                  write every measured interval to FILE as CSV\n"
    "  --help                      show this and exit\n"
    "  --version                   show the library's version and exit\n"
    "\n"
    "The pacer's controls, --boost to --mmcss, are each off unless given; docs/controls.md in\n"
    "the source tree says what each does and needs.\n";

bool parse_number(const char* text, double minimum, double maximum, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= minimum && value <= maximum;
}

bool parse_whole(const char* text, double minimum, double maximum, double& value)
{
    return parse_number(text, minimum, maximum, value) && value == std::floor(value);
}

// The position of `value` among `names`, or -1.
int index_of(const char* value, std::initializer_list<const char*> names)
{
    int index = 0;
    for (const char* name : names) {
        if (std::strcmp(value, name) == 0) {
            return index;
        }
        ++index;
    }
    return -1;
}

}  // namespace

int parse_options(int argc, char** argv, Options& options)
{
    varnex_pacer_controls& controls = options.controls;
    auto control_switch = [&](const char* name, uint32_t flag) {
        return arguments::Option{name, [&controls, flag](const char*) {
                                     controls.flags |= flag;
                                     return true;
                                 },
                                 true};
    };
    double number = 0.0;
    const std::vector<arguments::Option> known = {
        control_switch("--boost", VARNEX_CONTROL_BOOST),
        control_switch("--lock-memory", VARNEX_CONTROL_LOCK_MEMORY),
        control_switch("--no-throttling", VARNEX_CONTROL_NO_THROTTLING),
        control_switch("--mmcss", VARNEX_CONTROL_MMCSS),
        {"--sim",
         [&](const char*) {
             options.simulated = true;
             return true;
         },
         true},
        {"--variant",
         [&](const char* value) {
             const int variant = index_of(value, {"polling", "threaded", "pacer"});
             options.variant = static_cast<Variant>(variant);
             return variant >= 0;
         }},
        {"--mode",
         [&](const char* value) {
             const int mode = index_of(value, {"spin", "sleep", "hybrid"});
             options.mode = static_cast<uint32_t>(mode);
             return mode >= 0;
         }},
        {"--missed",
         [&](const char* value) {
             const int policy = index_of(value, {"skip", "burst", "delay"});
             options.missed = static_cast<uint32_t>(policy);
             return policy >= 0;
         }},
        {"--align",
         [&](const char* value) {
             const int clock = index_of(value, {"system", "tai"});
             options.align_flags = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | (clock == 1 ? VARNEX_PACER_TAI : 0);
             return clock >= 0;
         }},
        {"--budget", [&](const char* value) { return parse_number(value, 0, 1e9, options.budget_us); }},
        {"--reference-ppm",
         [&](const char* value) {
             options.follow_reference = true;
             return parse_number(value, -10000, 10000, options.reference_ppm);
         }},
        {"--reference-jitter-us",
         [&](const char* value) {
             options.follow_reference = true;
             return parse_number(value, 0, 1e6, options.reference_jitter_us);
         }},
        {"--affinity",
         [&](const char* value) {
             char* end = nullptr;
             controls.affinity_mask = std::strtoull(value, &end, 0);
             controls.flags |= VARNEX_CONTROL_AFFINITY;
             return *end == '\0' && controls.affinity_mask != 0;
         }},
        {"--realtime",
         [&](const char* value) {
             const bool valid = parse_whole(value, 1, 99, number);
             controls.realtime_priority = static_cast<uint32_t>(number);
             controls.flags |= VARNEX_CONTROL_REALTIME;
             return valid;
         }},
        {"--dma-latency",
         [&](const char* value) {
             const bool valid = parse_whole(value, 0, 1e6, number);
             controls.dma_latency_us = static_cast<uint32_t>(number);
             controls.flags |= VARNEX_CONTROL_DMA_LATENCY;
             return valid;
         }},
        {"--rate",
         [&](const char* value) {
             const bool valid = parse_whole(value, 1, 1e9, number);
             options.rate = static_cast<long>(number);
             return valid;
         }},
        {"--ticks",
         [&](const char* value) {
             const bool valid = parse_whole(value, 1, 1e8, number);
             options.ticks = static_cast<long>(number);
             return valid;
         }},
        {"--seconds", [&](const char* value) { return parse_number(value, 1e-3, 86400, options.seconds); }},
        {"--priority",
         [&](const char* value) {
             const bool valid = parse_whole(value, 0, 2, number);
             options.priority_index = static_cast<int>(number);
             return valid;
         }},
        {"--csv",
         [&](const char* value) {
             options.csv_path = value;
             return true;
         }},
    };
    const arguments::Parsed parsed = arguments::parse(argc, argv, known, {"--help", "-h", "--version"});
    switch (parsed.outcome) {
    case arguments::Outcome::kRun:
        break;
    case arguments::Outcome::kHelp:
        if (parsed.option == "--version") {
            std::printf("%s %u.%u.%u\n", kProgramName, varnex_version() >> 16,
                        (varnex_version() >> 8) & 0xFF, varnex_version() & 0xFF);
        } else {
            std::printf("Usage: %s%s", kProgramName, kUsage);
        }
        return arguments::exit_status_after_help(kProgramName);
    case arguments::Outcome::kUnknown:
        std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgramName, parsed.option.c_str());
        return 2;
    case arguments::Outcome::kNoValue:
        std::fprintf(stderr, "%s: %s needs a value (see --help)\n", kProgramName, parsed.option.c_str());
        return 2;
    case arguments::Outcome::kBadValue:
        std::fprintf(stderr, "%s: bad value for %s: %s (see --help)\n", kProgramName, parsed.option.c_str(),
                     parsed.value.c_str());
        return 2;
    }
    if ((options.align_flags != 0 || options.budget_us >= 0 || options.follow_reference || options.simulated) &&
        options.variant != Variant::kPacer) {
        std::fprintf(stderr,
                     "%s: --align, --budget, --reference-* and --sim pace with the pacer: add --variant pacer\n",
                     kProgramName);
        return 2;
    }
    if (options.simulated && (options.align_flags != 0 || options.budget_us >= 0 || options.follow_reference)) {
        std::fprintf(stderr, "%s: on a simulated clock the grid is the clock's, and nothing is late: no --align, "
                             "--budget or --reference-*\n",
                     kProgramName);
        return 2;
    }
    if (options.align_flags != 0 && options.follow_reference) {
        std::fprintf(stderr, "%s: a grid is on the system clock (--align) or on a reference, not both\n",
                     kProgramName);
        return 2;
    }
    if (options.budget_us >= 0 && options.mode != VARNEX_MODE_HYBRID) {
        std::fprintf(stderr, "%s: --budget is the hybrid's: a spin or a sleep has no margin to give\n",
                     kProgramName);
        return 2;
    }
    return kRunDemo;
}
