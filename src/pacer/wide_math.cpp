#include "pacer/wide_math.h"

namespace {
constexpr uint64_t kLow32 = 0xFFFFFFFFu;
}

U128 multiply(uint64_t left, uint64_t right)
{
    const uint64_t left_low = left & kLow32;
    const uint64_t left_high = left >> 32;
    const uint64_t right_low = right & kLow32;
    const uint64_t right_high = right >> 32;
    const uint64_t low_low = left_low * right_low;
    const uint64_t high_low = left_high * right_low;
    const uint64_t low_high = left_low * right_high;
    const uint64_t high_high = left_high * right_high;
    const uint64_t middle = (low_low >> 32) + (high_low & kLow32) + (low_high & kLow32);
    return {high_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32),
            (middle << 32) | (low_low & kLow32)};
}

U128 add(const U128& left, const U128& right)
{
    const uint64_t low = left.low + right.low;
    return {left.high + right.high + (low < left.low ? 1 : 0), low};
}

U128 divide(const U128& value, uint32_t divisor)
{
    // Long division by 32-bit digits: each partial remainder is below the
    // divisor, so remainder:digit fits in 64 bits.
    const uint32_t digits[] = {static_cast<uint32_t>(value.high >> 32), static_cast<uint32_t>(value.high),
                               static_cast<uint32_t>(value.low >> 32), static_cast<uint32_t>(value.low)};
    uint32_t quotient[4] = {};
    uint64_t remainder = 0;
    for (int index = 0; index < 4; ++index) {
        const uint64_t partial = (remainder << 32) | digits[index];
        quotient[index] = static_cast<uint32_t>(partial / divisor);
        remainder = partial % divisor;
    }
    return {(static_cast<uint64_t>(quotient[0]) << 32) | quotient[1],
            (static_cast<uint64_t>(quotient[2]) << 32) | quotient[3]};
}

U128 tick_offset_counts(uint64_t k, uint64_t counts_per_den, uint32_t rate_num)
{
    // k = whole * rate_num + part: whole * counts_per_den is exact, and only
    // part * counts_per_den (below 2^96) needs the division.
    const uint64_t whole = k / rate_num;
    const uint64_t part = k % rate_num;
    return add(multiply(whole, counts_per_den), divide(multiply(part, counts_per_den), rate_num));
}
