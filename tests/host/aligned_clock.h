// A hybrid pacer's returns, read against the system clock, and how two
// processes' returns compare: shared by the one-process and the
// two-process tests.
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

// `ticks` returns of a hybrid pacer at `rate`; empty if a wait failed.
std::vector<Return> pace(uint32_t rate, int ticks, bool align);
// The return's system time less its grid point's, index * period.
long long offset_from_grid_ns(const Return& tick, uint32_t rate);
long long percentile_ns(std::vector<long long> values, double fraction);
// For each index in both, how far apart the two returns were.
std::vector<long long> same_index_offsets_ns(const std::vector<Return>& first, const std::vector<Return>& second);
// "index system_ns" lines and "end"; "-" for standard output. A file is
// renamed into place once whole.
bool write_report(const std::string& file, const std::vector<Return>& returns);
// Empty unless the report is whole.
std::vector<Return> read_report(std::istream& in);

}  // namespace aligned

#endif
