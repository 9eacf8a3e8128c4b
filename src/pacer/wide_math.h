// Unsigned 128-bit arithmetic from 64-bit operations, so that the deadline
// grid is exact on every target (GCC has no __int128 on i686).
#ifndef VARNEX_WIDE_MATH_H
#define VARNEX_WIDE_MATH_H

#include <cstdint>

struct U128 {
    uint64_t high;
    uint64_t low;
};

U128 multiply(uint64_t left, uint64_t right);
U128 add(const U128& left, const U128& right);
// floor(value / divisor), for a divisor from 1 to 2^32 - 1.
U128 divide(const U128& value, uint32_t divisor);

// floor(k * counts_per_den / rate_num): the offset of tick k from the start of
// the grid, for counts_per_den = frequency * rate_den.
U128 tick_offset_counts(uint64_t k, uint64_t counts_per_den, uint32_t rate_num);

#endif
