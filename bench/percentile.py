"""The nearest-rank percentile of the benchmark's report: the one that
support/percentile.h gives the demo, varnex-doctor and the benchmarks (the
percentile_agrees test holds the two together). Python's statistics.quantiles
interpolates, and would move the figures."""


def percentile(sorted_values, fraction):
    """The value at `fraction` (0 to 1) of `sorted_values`, rounded to the
    nearest rank: index round(fraction * (n - 1)); NaN for none."""
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, int(fraction * (len(sorted_values) - 1) + 0.5))
    return sorted_values[index]
