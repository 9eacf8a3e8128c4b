// The nearest-rank percentile that the demo, varnex-doctor and the benchmark
// report; bench/percentile.py is the same for the benchmark's report, and the
// percentile_agrees test holds the two together.
#ifndef VARNEX_SUPPORT_PERCENTILE_H
#define VARNEX_SUPPORT_PERCENTILE_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

// The value at `fraction` (0 to 1) of the sorted values, rounded to the
// nearest rank; NaN for none.
inline double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(values.size() - 1, rank)];
}

#endif
