// Sums of Gaussian peaks and their Jacobian, over each exp, against a plain loop per sample in the
// stated order with the matching scalar exp.
#include <cmath>
#include <limits>
#include <vector>

#include "core/peaks.hpp"
#include "exp_target.hpp"
#include "harness.hpp"

namespace {

namespace peaks = vexora::core::peaks;
using harness::Random;
using vexora::core::Index;
using vexora::core::View1;
using vexora::core::View2;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

/// Samples in [-6, 6] with a few non-finite ones.
std::vector<double> samples(Random& random, Index m) {
    std::vector<double> x(m);
    for (double& v : x) {
        v = random.next() % 23 == 0 ? (random.next() % 2 ? nan : -inf) : random.uniform(-6.0, 6.0);
    }
    return x;
}

/// (A, mu, variance) of `n_gauss` peaks, every other element of the returned memory (a strided
/// view), then a trailing value that must be ignored. Narrow, wide, zero, negative and NaN
/// variances give exponents from 0 through the subnormal results to overflow.
std::vector<double> peak_parameters(Random& random, Index n_gauss) {
    constexpr double variances[] = {0.0, -0.3, 1e-3, 2e-4, nan, 50.0};
    std::vector<double> memory(2 * (3 * n_gauss + 1), 1e300);
    for (Index i = 0; i < n_gauss; ++i) {
        memory[6 * i] = random.uniform(-10.0, 10.0);
        memory[6 * i + 2] = random.uniform(-5.0, 5.0);
        memory[6 * i + 4] = random.next() % 4 == 0 ? variances[random.next() % std::size(variances)]
                                                   : random.uniform(0.05, 4.0);
    }
    return memory;
}

}  // namespace

TEST(peaks_equal_plain_loops) {
    Random random{31};
    for_each_exp([&](auto exp_type, auto exp, const char* name) {
        using Exp = decltype(exp_type);
        for (const Index m : {0, 1, 3, 4, 5, 15, 16, 17, 37, 100}) {
            for (const Index n_gauss : {0, 1, 2, 5}) {
                const std::vector<double> x = samples(random, m);
                const std::vector<double> memory = peak_parameters(random, n_gauss);
                const View1<const double> params{memory.data(), 3 * n_gauss + 1, 2 * sizeof(double)};
                const auto parameter = [&](Index i, int k) { return params[3 * i + k]; };

                // The model, from starting values that are not all zero.
                std::vector<double> y(m);
                for (double& v : y) {
                    v = random.next() % 2 ? 0.0 : random.uniform(-1.0, 1.0);
                }
                std::vector<double> expected = y;
                run_over<Exp>([&] { peaks::multi_gaussian<Exp>(x.data(), m, params, n_gauss, y.data()); });
                for (Index j = 0; j < m; ++j) {
                    for (Index i = 0; i < n_gauss; ++i) {
                        const double d = x[j] - parameter(i, 1);
                        expected[j] = expected[j] + parameter(i, 0) * exp(((-0.5 * d) * d) / parameter(i, 2));
                    }
                    CHECK_SAME(y[j], expected[j], "%s: m %td peaks %td sample %td", name, m, n_gauss, j);
                }

                // The Jacobian into a strided view with a row and two columns more than it fills,
                // which must keep their contents.
                const Index rows = m + 1, cols = 3 * n_gauss + 2;
                constexpr double untouched = -123.5;
                std::vector<double> J_memory(static_cast<std::size_t>(rows * 2 * cols), untouched);
                const View2<double> J{J_memory.data(), rows, cols, static_cast<Index>(2 * cols * sizeof(double)),
                                      2 * sizeof(double)};
                run_over<Exp>([&] { peaks::multi_gaussian_jacobian<Exp>(x.data(), m, params, n_gauss, J); });
                for (Index j = 0; j < rows; ++j) {
                    for (Index c = 0; c < cols; ++c) {
                        double want = untouched;
                        if (j < m && c < 3 * n_gauss) {
                            const Index i = c / 3;
                            const double A = parameter(i, 0), variance = parameter(i, 2), d = x[j] - parameter(i, 1);
                            const double f = exp(((-0.5 * d) * d) / variance);
                            const double Afd = (A * f) * d;
                            want = c % 3 == 0 ? f : c % 3 == 1 ? Afd / variance : (Afd * d) / ((2.0 * variance) * variance);
                        }
                        CHECK_SAME(J.row(j)[c], want, "%s: m %td peaks %td J[%td, %td]", name, m, n_gauss, j, c);
                    }
                }
                for (std::size_t k = 1; k < J_memory.size(); k += 2) {  // the gaps between columns
                    CHECK_BITS(J_memory[k], untouched);
                }
            }
        }
    });
}
