// The ways of pacing a loop that the benchmark compares, each run for a
// number of ticks at a time so that the methods can take turns in rounds.
#ifndef VARNEX_BENCH_METHODS_H
#define VARNEX_BENCH_METHODS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "varnex/pacer.h"

struct Round {
    std::vector<double> values_ns;  // lateness, or lags
    double drift_ns = 0.0;
    double cpu_per_second = 0.0;
};

struct Method {
    std::string id;  // what the CSV and the report know it by
    std::string name;
    long rate;
    std::function<Round(long ticks)> run;
    bool lag = false;
};

// Every pacing method at each rate, in the order the rounds run them.
std::vector<Method> pacing_methods(const std::vector<long>& rates);
// `on_handle`: the host waits in an epoll loop on the pacer's readiness
// handle (Linux), then calls the wait.
// `budget_ns`: a learning hybrid's lateness budget; with a negative margin,
// the oracle's for that budget.
Method pacer_method(long rate, uint32_t mode, const char* id, const char* name, double margin_ns = 0,
                    varnex_pacer_controls controls = {sizeof(varnex_pacer_controls), 0, 0, 0, 0},
                    bool on_handle = false, int64_t budget_ns = 0);
Method varnex_polling(long rate);
// A spin-mode pacer judged by the lateness it reports itself: beside the
// same pacer judged by the host's reading after the return, it shows what
// the return path adds.
Method pacer_spin_reported(long rate);

#if defined(_WIN32)
// Whether this system has the high-resolution waitable timer.
bool has_high_resolution_timer();
#endif

varnex_pacer* create_pacer(long rate, uint32_t mode, double margin_ns, int64_t phase_ns = -1);

// A pacer's ticks as its host sees them: each one's lateness is the host's
// reading right after the wait against the tick's deadline.
class PacerTicks {
public:
    explicit PacerTicks(long rate);
    // Waits for one tick and keeps what the host saw of it; with an epoll
    // loop, on the pacer's readiness handle first.
    void wait(varnex_pacer* pacer, int loop = -1);
    // The lateness of every tick kept. The deadlines come from the ticks'
    // own: a deadline is the library's final reading minus the lateness it
    // reported, and that reading lies at or before the host's, so the grid's
    // start is the least of (host reading - lateness - k's offset); each
    // lateness is then short by the quickest return of the run.
    std::vector<double> lateness_ns() const;
    // The lateness the library reported for each: its own final reading
    // against the deadline, before the return.
    std::vector<double> reported_lateness_ns() const;
    // The host's readings, in counts.
    const std::vector<int64_t>& readings() const { return readings_; }
    const std::vector<int64_t>& indices() const { return indices_; }

private:
    int64_t offset_counts(int64_t index) const;
    long rate_;
    std::vector<int64_t> readings_;
    std::vector<int64_t> lateness_counts_;
    std::vector<int64_t> indices_;
};

// The median offset of the last tenth of a run (at most 1,000 ticks) from its
// ideal schedule, against that of the first: one late tick at either end
// does not count.
double drift_ns(const std::vector<int64_t>& readings, const std::vector<int64_t>& indices, int64_t period_counts);

#endif
