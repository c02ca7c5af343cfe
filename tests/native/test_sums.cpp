// NumPy's float64 sums natively: numpy_sum and numpy_nansum against NumPy's blocking written out
// plainly here, on values whose sum depends on the order of the additions.
#include <cmath>
#include <limits>
#include <vector>

#include "core/numpy_sum.hpp"
#include "harness.hpp"

namespace {

using harness::Random;
using vexora::core::Index;

/*
 * NumPy's pairwise sum of a[0..n): under 8 elements one by one from 0.0; up to 128 elements in
 * eight accumulators started from the first eight, combined pairwise, then the rest one by one;
 * longer blocks as the sums of two halves, cut at n / 2 rounded down to a multiple of 8.
 */
double pairwise(const double* a, Index n) {
    if (n > 128) {
        const Index half = n / 2 / 8 * 8;
        return pairwise(a, half) + pairwise(a + half, n - half);
    }
    double sum = 0.0;
    Index i = 0;
    if (n >= 8) {
        double r[8];
        for (i = 0; i < n / 8 * 8; ++i) {
            r[i % 8] = i < 8 ? a[i] : r[i % 8] + a[i];
        }
        sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    }
    for (; i < n; ++i) {
        sum += a[i];
    }
    return sum;
}

/// Mixed signs and magnitudes, so that almost every order of additions rounds differently;
/// `special`: also NaN, infinities and signed zeros.
std::vector<double> order_sensitive(Random& random, Index n, bool special) {
    std::vector<double> a(n);
    for (double& v : a) {
        v = (random.next() % 2 ? 1.0 : -1.0) * std::exp2(random.uniform(-30.0, 30.0));
        if (special && random.next() % 16 == 0) {
            constexpr double kinds[] = {std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(), -0.0, 0.0};
            v = kinds[random.next() % 5];
        }
    }
    return a;
}

}  // namespace

TEST(numpy_sums_equal_pairwise_reference) {
    Random random{21};
    std::vector<Index> lengths;
    for (Index n = 0; n <= 300; ++n) {
        lengths.push_back(n);
    }
    for (const Index n : {1000, 1024, 1031, 2047, 4096, 4103, 9999}) {
        lengths.push_back(n);
    }
    Index order_matters = 0;
    for (const Index n : lengths) {
        for (const bool special : {false, true}) {
            const std::vector<double> a = order_sensitive(random, n, special);
            std::vector<double> zeroed = a;  // NaN replaced by 0.0, as np.nansum does
            double sequential = 0.0;
            for (double& v : zeroed) {
                v = std::isnan(v) ? 0.0 : v;
                sequential += v;
            }
            const double expected = 0.0 + pairwise(a.data(), n);
            const double expected_nan = 0.0 + pairwise(zeroed.data(), n);
            CHECK_SAME(vexora::core::numpy_sum(a.data(), n), expected, "n %td", n);
            CHECK_SAME(vexora::core::numpy_nansum(a.data(), n), expected_nan, "n %td", n);
            order_matters += !special && !harness::same(sequential, expected_nan);
        }
    }
    // The data must tell orders apart: a plain left-to-right sum differs from the pairwise one.
    CHECK(order_matters > 200, "%td of %zu lengths", order_matters, lengths.size());
    // Only negative zeros: the reduction's start, +0.0, decides the sign.
    const std::vector<double> negative_zeros(20, -0.0);
    for (const Index n : {1, 3, 20}) {
        CHECK_BITS(vexora::core::numpy_sum(negative_zeros.data(), n), 0.0 + pairwise(negative_zeros.data(), n));
        CHECK_BITS(vexora::core::numpy_nansum(negative_zeros.data(), n), 0.0 + pairwise(negative_zeros.data(), n));
    }
}
