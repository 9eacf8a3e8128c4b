#ifndef VARNEX_PACER_RATE_H
#define VARNEX_PACER_RATE_H

#include <cstdint>

// The last convergent of the continued fraction of `ticks_per_second` whose
// numerator and denominator both fit in 32 bits; false for a rate that is not
// finite and positive, or that no such fraction comes near (below 2^-32 or
// above 2^32 - 1 ticks per second).
bool rate_from_double(double ticks_per_second, uint32_t* rate_num, uint32_t* rate_den);

#endif
