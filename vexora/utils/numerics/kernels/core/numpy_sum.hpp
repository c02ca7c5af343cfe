// NumPy's float64 sums, natively: the same additions in the same order as its add loop.
#pragma once

#include <cmath>

#include "strided.hpp"

namespace vexora::core {

/*
 * Pairwise sum as NumPy's add loop computes it for a contiguous float64 block: blocks of more
 * than 128 elements split at half their length rounded down to a multiple of 8; blocks of 8 to
 * 128 elements add into eight interleaved accumulators, combined as
 * ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then add their remainder one by one;
 * shorter blocks add one by one. `value` maps each element as it is read.
 *
 *   a[n] - contiguous
 */
template <class Value>
double pairwise_sum(const double* a, Index n, Value value) {
    if (n < 8) {
        double sum = 0.0;
        for (Index i = 0; i < n; ++i) {
            sum += value(a[i]);
        }
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) {
            r[j] = value(a[j]);
        }
        Index i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int j = 0; j < 8; ++j) {
                r[j] += value(a[i + j]);
            }
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) {
            sum += value(a[i]);
        }
        return sum;
    }
    Index half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half, value) + pairwise_sum(a + half, n - half, value);
}

/// `np.sum` of a contiguous float64 array that its reduction hands to the add loop in one piece:
/// the reduction starts from 0.0 and adds the pairwise sum.
inline double numpy_sum(const double* a, Index n) {
    return 0.0 + pairwise_sum(a, n, [](double x) { return x; });
}

/// `np.nansum` of the same: NaN is replaced by 0.0 before the sum.
inline double numpy_nansum(const double* a, Index n) {
    return 0.0 + pairwise_sum(a, n, [](double x) { return std::isnan(x) ? 0.0 : x; });
}

}  // namespace vexora::core
