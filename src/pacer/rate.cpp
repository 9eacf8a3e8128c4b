#include "pacer/rate.h"

#include <cmath>

namespace {
constexpr double kMaxTerm = 4294967295.0;
constexpr int kMaxTerms = 64;
}  // namespace

bool rate_from_double(double ticks_per_second, uint32_t* rate_num, uint32_t* rate_den)
{
    if (!std::isfinite(ticks_per_second) || ticks_per_second <= 0.0 || ticks_per_second > kMaxTerm) {
        return false;
    }
    // Convergents h/k of the continued fraction, in doubles: every one that
    // is kept fits in 32 bits, so each is exact.
    double h_before = 1.0, h = std::floor(ticks_per_second);
    double k_before = 0.0, k = 1.0;
    double rest = ticks_per_second - h;
    for (int term = 1; term < kMaxTerms && rest > 0.0; ++term) {
        const double reciprocal = 1.0 / rest;
        const double a = std::floor(reciprocal);
        const double h_next = a * h + h_before;
        const double k_next = a * k + k_before;
        if (h_next > kMaxTerm || k_next > kMaxTerm) {
            break;
        }
        h_before = h;
        h = h_next;
        k_before = k;
        k = k_next;
        rest = reciprocal - a;
    }
    if (h < 1.0) {
        return false;
    }
    *rate_num = static_cast<uint32_t>(h);
    *rate_den = static_cast<uint32_t>(k);
    return true;
}
