#include "demo_options.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

namespace {

constexpr const char* kUsage =
    "usage: varnex_demo [options]\n"
    "Paces this program with Varnex and reports how well each period was kept.\n"
    "\n"
    "  --variant polling|threaded|pacer  which timer paces the loop (default polling)\n"
    "  --mode spin|sleep|hybrid    the pacer's wait (default hybrid)\n"
    "  --missed skip|burst|delay   the pacer's missed-tick policy (default skip)\n"
    "  --align system|tai          the pacer's grid on the system clock from 1970 (tai: Linux, CLOCK_TAI)\n"
    "  --budget US                 the hybrid's lateness budget: the p99 lateness it may have, in us\n"
    "  the pacer's controls, each off unless given (see the README's tuning section):\n"
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
    "  --help                      show this and exit\n";

bool parse_number(const char* text, double minimum, double maximum, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= minimum && value <= maximum;
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
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        const std::pair<const char*, uint32_t> switches[] = {{"--boost", VARNEX_CONTROL_BOOST},
                                                             {"--lock-memory", VARNEX_CONTROL_LOCK_MEMORY},
                                                             {"--no-throttling", VARNEX_CONTROL_NO_THROTTLING},
                                                             {"--mmcss", VARNEX_CONTROL_MMCSS}};
        const auto control = std::find_if(std::begin(switches), std::end(switches),
                                          [&](const auto& entry) { return option == entry.first; });
        if (control != std::end(switches)) {
            options.controls.flags |= control->second;
            continue;
        }
        const char* known[] = {"--variant", "--rate",  "--ticks",    "--seconds",   "--priority", "--csv",
                               "--mode",    "--missed", "--affinity", "--realtime", "--dma-latency",
                               "--align", "--budget"};
        if (std::find(std::begin(known), std::end(known), option) == std::end(known)) {
            std::fprintf(stderr, "varnex_demo: unknown option %s (see --help)\n", option.c_str());
            return 2;
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "varnex_demo: %s needs a value (see --help)\n", option.c_str());
            return 2;
        }
        const char* value = argv[++index];
        double number = 0.0;
        bool valid = true;
        if (option == "--variant") {
            const int variant = index_of(value, {"polling", "threaded", "pacer"});
            valid = variant >= 0;
            options.variant = static_cast<Variant>(variant);
        } else if (option == "--mode") {
            const int mode = index_of(value, {"spin", "sleep", "hybrid"});
            valid = mode >= 0;
            options.mode = static_cast<uint32_t>(mode);
        } else if (option == "--missed") {
            const int policy = index_of(value, {"skip", "burst", "delay"});
            valid = policy >= 0;
            options.missed = static_cast<uint32_t>(policy);
        } else if (option == "--align") {
            const int clock = index_of(value, {"system", "tai"});
            valid = clock >= 0;
            options.align_flags = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | (clock == 1 ? VARNEX_PACER_TAI : 0);
        } else if (option == "--budget") {
            valid = parse_number(value, 0, 1e9, options.budget_us);
        } else if (option == "--affinity") {
            char* end = nullptr;
            options.controls.affinity_mask = std::strtoull(value, &end, 0);
            valid = *end == '\0' && options.controls.affinity_mask != 0;
            options.controls.flags |= VARNEX_CONTROL_AFFINITY;
        } else if (option == "--realtime") {
            valid = parse_number(value, 1, 99, number) && number == std::floor(number);
            options.controls.realtime_priority = static_cast<uint32_t>(number);
            options.controls.flags |= VARNEX_CONTROL_REALTIME;
        } else if (option == "--dma-latency") {
            valid = parse_number(value, 0, 1e6, number) && number == std::floor(number);
            options.controls.dma_latency_us = static_cast<uint32_t>(number);
            options.controls.flags |= VARNEX_CONTROL_DMA_LATENCY;
        } else if (option == "--rate") {
            valid = parse_number(value, 1, 1e9, number) && number == std::floor(number);
            options.rate = static_cast<long>(number);
        } else if (option == "--ticks") {
            valid = parse_number(value, 1, 1e8, number) && number == std::floor(number);
            options.ticks = static_cast<long>(number);
        } else if (option == "--seconds") {
            valid = parse_number(value, 1e-3, 86400, number);
            options.seconds = number;
        } else if (option == "--priority") {
            valid = parse_number(value, 0, 2, number) && number == std::floor(number);
            options.priority_index = static_cast<int>(number);
        } else {
            options.csv_path = value;
        }
        if (!valid) {
            std::fprintf(stderr, "varnex_demo: bad value for %s: %s (see --help)\n", option.c_str(), value);
            return 2;
        }
    }
    if ((options.align_flags != 0 || options.budget_us >= 0) && options.variant != Variant::kPacer) {
        std::fprintf(stderr, "varnex_demo: --align and --budget pace with the pacer: add --variant pacer\n");
        return 2;
    }
    if (options.budget_us >= 0 && options.mode != VARNEX_MODE_HYBRID) {
        std::fprintf(stderr, "varnex_demo: --budget is the hybrid's: a spin or a sleep has no margin to give\n");
        return 2;
    }
    return 0;
}
