// A hybrid pacer's returns, read against the system clock, and how two
// processes' returns compare: shared by the one-process and two-process
// tests and by the benchmark of two aligned pacers.
//
// A program that calls report_main for "--report" reports a pacer's ticks:
//   PROGRAM --report FILE RATE TICKS ALIGNED [START_NS [MARGIN_NS]]
// waits until the system clock reads START_NS (if given), creates a hybrid
// pacer (aligned if ALIGNED is 1; a fixed margin if MARGIN_NS is given), and
// writes "index system_ns" for each return to FILE ("-": standard output),
// then "end", the waiting thread's CPU time in ns, and the system time read
// as the pacer was about to be created.
#ifndef VARNEX_TESTS_ALIGNED_CLOCK_H
#define VARNEX_TESTS_ALIGNED_CLOCK_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace aligned {

struct Return {
    unsigned long long index;
    long long system_ns;  // read right after the return
};

struct Report {
    std::vector<Return> returns;  // empty if a wait failed, or the report is not whole
    long long cpu_ns = -1;
    long long created_ns = 0;  // the system clock just before the creation
};

// `ticks` returns of a hybrid pacer at `rate`, its margin learned (0) or fixed.
Report pace(uint32_t rate, int ticks, bool align, uint32_t margin_ns = 0);
int report_main(int argc, char** argv);
// The return's system time less its grid point's, index * period.
long long offset_from_grid_ns(const Return& tick, uint32_t rate);
long long percentile_ns(std::vector<long long> values, double fraction);
// For each index in both, how far apart the two returns were.
std::vector<long long> same_index_offsets_ns(const std::vector<Return>& first, const std::vector<Return>& second);
// A file is renamed into place once whole.
bool write_report(const std::string& file, const Report& report);
Report read_report(std::istream& in);

}  // namespace aligned

#endif
