// Two machines that share a synchronized clock, simulated on one: two hybrid
// pacers in two processes, the second in a time namespace whose monotonic
// clock reads 1,000.123456 s ahead. Aligned, their same-index offset; and the
// CPU of two aligned pacers against two unaligned ones, all with the same
// fixed margin, the two kinds taking turns round by round. Appends its
// samples to the pacing benchmark's CSV (table.h: kind "offset" and "cpu").
//
// usage: varnex_aligned_fleet_bench --csv FILE [--rounds N] [--seconds S] [--rates R,R] [--margin-ns N]
//        varnex_aligned_fleet_bench --report ...   (one pacer's report, as aligned_clock.h describes)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "aligned_clock.h"
#include "arguments.h"
#include "system_clock.h"
#include "table.h"
#include "time_namespace.h"

namespace {

struct Settings {
    std::string csv_path;
    int rounds = 4;
    double seconds = 3.0;
    std::vector<long> rates{100, 1000};
    long margin_ns = 200000;
};

bool parse(int argc, char** argv, Settings& settings)
{
    const std::vector<arguments::Option> known = {
        {"--csv",
         [&](const char* value) {
             settings.csv_path = value;
             return true;
         }},
        {"--rounds",
         [&](const char* value) {
             settings.rounds = std::atoi(value);
             return true;
         }},
        {"--seconds",
         [&](const char* value) {
             settings.seconds = std::atof(value);
             return true;
         }},
        {"--margin-ns",
         [&](const char* value) {
             settings.margin_ns = std::atol(value);
             return true;
         }},
        {"--rates",
         [&](const char* value) {
             settings.rates.clear();
             std::istringstream list(value);
             for (std::string rate; std::getline(list, rate, ',');) {
                 settings.rates.push_back(std::atol(rate.c_str()));
             }
             return true;
         }},
    };
    return arguments::parse(argc, argv, known).outcome == arguments::Outcome::kRun && !settings.csv_path.empty() &&
           settings.rounds > 0 && settings.seconds > 0;
}

// One run of the two; false if either failed.
bool run_pair(std::FILE* csv, const std::string& self, long rate, bool align, const Settings& settings)
{
    const long ticks = static_cast<long>(settings.seconds * static_cast<double>(rate));
    const long long start_ns = system_clock_ns(false) + 300000000;
    aligned::Report reports[2];
    time_namespace::Started started[2];
    for (int process = 0; process < 2; ++process) {
        const std::vector<std::string> arguments = {self, "--report", "-", std::to_string(rate), std::to_string(ticks),
                                                    align ? "1" : "0", std::to_string(start_ns),
                                                    std::to_string(settings.margin_ns)};
        started[process] = time_namespace::start(arguments, process == 1);
    }
    for (int process = 0; process < 2; ++process) {
        const time_namespace::Finished finished = time_namespace::finish(started[process]);
        std::istringstream output(finished.output);
        reports[process] = aligned::read_report(output);
        if (finished.exit_status != 0 || reports[process].returns.empty()) {
            std::fprintf(stderr, "a pacer process failed (exit %d)\n", finished.exit_status);
            return false;
        }
    }
    const std::string id = align ? "aligned_pair" : "unaligned_pair";
    // The CSV's fields are unquoted: no comma in the name.
    const std::string name = std::string(align ? "two aligned" : "two unaligned") + " hybrids (margin " +
                             std::to_string(settings.margin_ns / 1000) + " us) in two time namespaces";
    if (align) {
        for (const long long offset : aligned::same_index_offsets_ns(reports[0].returns, reports[1].returns)) {
            write_sample(csv, id, name, rate, "offset", static_cast<double>(offset));
        }
    }
    for (const aligned::Report& report : reports) {
        write_sample(csv, id, name, rate, "cpu", static_cast<double>(report.cpu_ns) * 1e-9 / settings.seconds);
    }
    std::fflush(csv);
    std::fprintf(stderr, "%s at %ld/s: done\n", name.c_str(), rate);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--report") == 0) {
        return aligned::report_main(argc, argv);
    }
    Settings settings;
    if (!parse(argc, argv, settings)) {
        std::fprintf(stderr, "usage: %s --csv FILE [--rounds N] [--seconds S] [--rates R,R] [--margin-ns N]\n",
                     argv[0]);
        return 2;
    }
    if (!time_namespace::allowed()) {
        std::fprintf(stderr, "this system refuses a time namespace (CLONE_NEWTIME): no rows\n");
        return 0;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return 1;
    }
    std::FILE* csv = std::fopen(settings.csv_path.c_str(), "a");
    if (csv == nullptr) {
        return 1;
    }
    bool passed = true;
    for (int round = 0; round < settings.rounds; ++round) {
        for (const long rate : settings.rates) {
            // The two kinds alternate which goes first.
            for (const bool align : {round % 2 == 0, round % 2 != 0}) {
                passed = run_pair(csv, self, rate, align, settings) && passed;
            }
        }
    }
    std::fclose(csv);
    return passed ? 0 : 1;
}
