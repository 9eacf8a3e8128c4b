// How precisely, and at what CPU, each way of pacing a loop keeps its
// deadlines on this machine: Varnex's timer and pacer in each mode, as a host
// loads them, against bare spins and the operating system's own sleeps. The
// methods take turns in rounds, so that a noisy minute falls on all of them,
// and the ratios between them hold on a noisy machine.
//
// Lateness: a tick paced from the previous one is late by its interval minus
// the nominal period; a tick on an absolute schedule by the host's reading
// right after the wait, minus its deadline.
//
// Prints what it found about the machine, then a table, and writes one CSV
// row per sample (table.h).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.h"
#include "machine.h"
#include "methods.h"
#include "table.h"

namespace {

const char kUsage[] =
    "usage: varnex_pacing_bench [options]\n"
    "  --csv FILE           write every sample to FILE (default varnex_bench.csv)\n"
    "  --rates R[,R...]     ticks per second of the rows (default 100,1000)\n"
    "  --ticks N            ticks per row, over all rounds (default 3000)\n"
    "  --rounds N           rounds the methods take turns in (default 4)\n"
    "  --pacers N           also run N hybrid pacers at 100 per second at once (default 0)\n"
    "  --drift-seconds S    also run the pacer and the polling timer S seconds each, for drift\n";

struct Options {
    std::string csv_path = "varnex_bench.csv";
    std::vector<long> rates = {100, 1000};
    long ticks_per_row = 3000;
    int rounds = 4;
    int pacers = 0;
    double drift_seconds = 0.0;
};

bool parse_rates(const char* text, std::vector<long>& rates)
{
    rates.clear();
    for (const char* part = text; *part != '\0';) {
        char* end = nullptr;
        rates.push_back(std::strtol(part, &end, 10));
        if (rates.back() <= 0 || (*end != ',' && *end != '\0')) {
            return false;
        }
        part = *end == ',' ? end + 1 : end;
    }
    return !rates.empty();
}

// 0: run; 1: --help was shown; 2: bad usage.
int parse_options(int argc, char** argv, Options& options)
{
    const std::vector<arguments::Option> known = {
        {"--csv",
         [&](const char* value) {
             options.csv_path = value;
             return true;
         }},
        {"--rates", [&](const char* value) { return parse_rates(value, options.rates); }},
        {"--ticks",
         [&](const char* value) {
             options.ticks_per_row = std::atol(value);
             return true;
         }},
        {"--rounds",
         [&](const char* value) {
             options.rounds = std::atoi(value);
             return true;
         }},
        {"--pacers",
         [&](const char* value) {
             options.pacers = std::atoi(value);
             return true;
         }},
        {"--drift-seconds",
         [&](const char* value) {
             options.drift_seconds = std::atof(value);
             return true;
         }},
    };
    const arguments::Parsed parsed = arguments::parse(argc, argv, known, {"--help"});
    if (parsed.outcome == arguments::Outcome::kHelp) {
        std::fputs(kUsage, stdout);
        return 1;
    }
    if (parsed.outcome != arguments::Outcome::kRun || options.ticks_per_row <= 0 || options.rounds <= 0 ||
        options.pacers < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return 0;
}

// Drift over a long run: the pacer's grid against the polling timer's
// tick-after-tick periods.
void run_long_drift(std::FILE* csv, double seconds)
{
    for (const Method& method : {pacer_method(1000, VARNEX_MODE_SPIN, "pacer_spin", "varnex pacer spin"),
                                 varnex_polling(1000)}) {
        const Round result = method.run(static_cast<long>(seconds * 1000));
        write_sample(csv, method.id, method.name, method.rate, "long drift", result.drift_ns);
        std::printf("%.0f s at 1,000 per second: %s drifted %s\n", seconds, method.name.c_str(),
                    format_ns(result.drift_ns).c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int parsed = parse_options(argc, argv, options); parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    std::FILE* csv = std::fopen(options.csv_path.c_str(), "w");
    if (csv == nullptr) {
        std::fprintf(stderr, "varnex_pacing_bench: cannot write %s\n", options.csv_path.c_str());
        return 1;
    }
    std::fputs(kCsvHeader, csv);
    describe_machine(csv);
    const long ticks_per_round = (options.ticks_per_row + options.rounds - 1) / options.rounds;
    run_rounds(csv, pacing_methods(options.rates), options.rounds, ticks_per_round);
    if (options.pacers > 0) {
        run_many_pacers(csv, options.pacers, 100, options.ticks_per_row);
    }
    if (options.drift_seconds > 0) {
        run_long_drift(csv, options.drift_seconds);
    }
    std::fclose(csv);
    std::printf("samples: %s\n", options.csv_path.c_str());
    return 0;
}
