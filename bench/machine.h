// What this machine offers a pacer, and what many pacers at once cost it.
#ifndef VARNEX_BENCH_MACHINE_H
#define VARNEX_BENCH_MACHINE_H

#include <cstdio>

// The counter, the sleep, how late the sleep wakes, and the margin a hybrid
// learns from it; printed, with the figures also written to the CSV.
void describe_machine(std::FILE* csv);
// `pacers` hybrid pacers in threads of their own at `rate`, their phases
// spread evenly over the period.
void run_many_pacers(std::FILE* csv, int pacers, long rate, long ticks);

#endif
