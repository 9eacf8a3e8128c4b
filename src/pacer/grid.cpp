#include "pacer/grid.h"

int64_t ns_to_counts(int64_t ns, int64_t frequency)
{
    return saturated(divide(multiply(static_cast<uint64_t>(ns), static_cast<uint64_t>(frequency)),
                            platform::kNanosecondsPerSecond));
}
