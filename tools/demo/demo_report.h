// What the demo prints and writes once its run has ended.
#ifndef VARNEX_TOOLS_DEMO_REPORT_H
#define VARNEX_TOOLS_DEMO_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "demo_options.h"

struct Run {
    std::vector<double> intervals_s;
    double wall_s = 0.0;  // on the pacer's clock: a simulated clock's seconds under --sim
    double real_s = 0.0;
    double cpu_s = 0.0;
    uint64_t missed_ticks = 0;
    // Aligned: each return's system time less its grid point's.
    std::vector<double> grid_offsets_s;
    varnex_pacer_stats stats{};  // the pacer's, when a pacer ran
};

std::string microseconds(double seconds);
// Every interval, with its error against the nominal period; false if the
// file cannot be written.
bool write_csv(const std::string& path, const Run& run, double nominal_s);
void print_report(const Options& options, const Run& run);

#endif
