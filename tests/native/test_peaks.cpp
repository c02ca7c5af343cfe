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

                // The Jacobian into a view with a row and two columns more than it fills, which
                // must keep their contents: columns side by side (written three at a time) and
                // with gaps between them (one at a time), which must stay untouched too.
                for (const Index spacing : {1, 2}) {
                    const Index rows = m + 1, cols = 3 * n_gauss + 2;
                    constexpr double untouched = -123.5;
                    std::vector<double> J_memory(static_cast<std::size_t>(rows * spacing * cols), untouched);
                    const View2<double> J{J_memory.data(), rows, cols,
                                          static_cast<Index>(spacing * cols * sizeof(double)),
                                          static_cast<Index>(spacing * sizeof(double))};
                    run_over<Exp>([&] { peaks::multi_gaussian_jacobian<Exp>(x.data(), m, params, n_gauss, J); });
                    for (Index j = 0; j < rows; ++j) {
                        for (Index c = 0; c < cols; ++c) {
                            double want = untouched;
                            if (j < m && c < 3 * n_gauss) {
                                const Index i = c / 3;
                                const double A = parameter(i, 0), variance = parameter(i, 2),
                                             d = x[j] - parameter(i, 1);
                                const double f = exp(((-0.5 * d) * d) / variance);
                                const double Afd = (A * f) * d;
                                want = c % 3 == 0   ? f
                                       : c % 3 == 1 ? Afd / variance
                                                    : (Afd * d) / ((2.0 * variance) * variance);
                            }
                            CHECK_SAME(J.row(j)[c], want, "%s: m %td peaks %td spacing %td J[%td, %td]", name, m,
                                       n_gauss, spacing, j, c);
                        }
                    }
                    for (std::size_t k = 1; spacing == 2 && k < J_memory.size(); k += 2) {  // the gaps
                        CHECK_BITS(J_memory[k], untouched);
                    }
                }
            }
        }
    });
}

namespace {

/// Samples of a spectrum's axis, sorted, or shuffled with special values among them.
std::vector<double> axis_samples(Random& random, Index m, bool sorted) {
    constexpr double specials[] = {nan, inf, -inf, 0.0, -0.0, 1e300, -1e300, 0x1p-1074, 1500.0};
    std::vector<double> x(m);
    for (Index j = 0; j < m; ++j) {
        x[j] = 3000.0 * static_cast<double>(j) / static_cast<double>(std::max<Index>(m - 1, 1));
    }
    if (!sorted) {
        for (Index j = m - 1; j > 0; --j) {
            std::swap(x[j], x[random.integer(0, j)]);
        }
        for (double& v : x) {
            if (random.next() % 16 == 0) {
                v = specials[random.next() % std::size(specials)];
            }
        }
    }
    return x;
}

/// (A, mu, variance) of spectrum peaks (A in 1-100, mu on the axis, variance 1-50 or wider),
/// each parameter replaced now and then by an edge: non-finite, signed zeros, subnormal, huge.
std::vector<double> spectrum_parameters(Random& random, Index n_gauss, bool adversarial) {
    constexpr double amplitudes[] = {nan, inf, -inf, 0.0, -0.0, -7.5, 1e300, 0x1p-1074};
    constexpr double centres[] = {nan, inf, -inf, -0.0, 1e300, 1500.0, 0x1p-1074};
    constexpr double variances[] = {0.0, -0.0, -2.0, nan, inf, 0x1p-1074, 1e-300, 1e-30, 1e300, 1.7e308, 1e5};
    std::vector<double> params(3 * n_gauss);
    for (Index i = 0; i < n_gauss; ++i) {
        params[3 * i] = random.uniform(1.0, 100.0) * (random.next() % 5 == 0 ? -1.0 : 1.0);
        params[3 * i + 1] = random.uniform(-100.0, 3100.0);
        params[3 * i + 2] = random.next() % 3 == 0 ? random.uniform(1e3, 1e5) : random.uniform(1.0, 50.0);
        if (adversarial && random.next() % 3 == 0) {
            const int k = static_cast<int>(random.next() % 3);
            params[3 * i + k] = k == 0   ? amplitudes[random.next() % std::size(amplitudes)]
                                : k == 1 ? centres[random.next() % std::size(centres)]
                                         : variances[random.next() % std::size(variances)];
        }
    }
    return params;
}

}  // namespace

TEST(peaks_skipping_zeros_equals_every_term) {
    Random random{2026};
    for_each_exp([&](auto exp_type, auto, const char* name) {
        using Exp = decltype(exp_type);
        for (const bool sorted : {true, false}) {
            for (const bool adversarial : {false, true}) {
                for (const Index m : {1, 17, 333, 4000}) {
                    for (const Index n_gauss : {1, 3, 20, 70}) {  // 20: one block that copies; 70: two blocks
                        const std::vector<double> x = axis_samples(random, m, sorted);
                        const std::vector<double> memory = spectrum_parameters(random, n_gauss, adversarial);
                        const View1<const double> params = vexora::core::plain(memory.data(), 3 * n_gauss);

                        // Starting values: +0, some -0 (which must stay -0 where every term is
                        // -0 or skipped), a few others.
                        std::vector<double> start(m);
                        for (double& v : start) {
                            const auto r = random.next() % 8;
                            v = r == 0 ? -0.0 : r == 1 ? random.uniform(-1.0, 1.0) : 0.0;
                        }
                        std::vector<double> skipped = start, every = start;
                        run_over<Exp>([&] {
                            peaks::multi_gaussian<Exp, peaks::Zeros::skip>(x.data(), m, params, n_gauss,
                                                                           skipped.data());
                            peaks::multi_gaussian<Exp, peaks::Zeros::compute>(x.data(), m, params, n_gauss,
                                                                              every.data());
                        });
                        for (Index j = 0; j < m; ++j) {
                            CHECK_SAME(skipped[j], every[j],
                                       "%s: model, sorted %d adversarial %d m %td peaks %td, x = %a", name, sorted,
                                       adversarial, m, n_gauss, x[j]);
                        }

                        // Three columns past the peaks', which no path may write.
                        const Index cols = 3 * n_gauss + 3;
                        std::vector<double> J_skip(static_cast<std::size_t>(m * cols), -1.0), J_every = J_skip;
                        const auto view = [&](std::vector<double>& memory) {
                            return View2<double>{memory.data(), m, cols, static_cast<Index>(cols * sizeof(double)),
                                                 sizeof(double)};
                        };
                        run_over<Exp>([&] {
                            peaks::multi_gaussian_jacobian<Exp, peaks::Zeros::skip>(x.data(), m, params, n_gauss,
                                                                                    view(J_skip));
                            peaks::multi_gaussian_jacobian<Exp, peaks::Zeros::compute>(x.data(), m, params, n_gauss,
                                                                                       view(J_every));
                        });
                        for (std::size_t k = 0; k < J_skip.size(); ++k) {
                            const Index j = static_cast<Index>(k) / cols, c = static_cast<Index>(k) % cols;
                            const Index peak = std::min(c / 3, n_gauss - 1);  // the last for the columns past
                            CHECK_SAME(J_skip[k], J_every[k],
                                       "%s: Jacobian, sorted %d adversarial %d m %td peaks %td, J[%td, %td], x = %a, "
                                       "A %a mu %a variance %a",
                                       name, sorted, adversarial, m, n_gauss, j, c, x[j], memory[3 * peak],
                                       memory[3 * peak + 1], memory[3 * peak + 2]);
                        }
                    }
                }
            }
        }
    });
}

TEST(peaks_reach_bounds_only_exact_zeros) {
    const double zero_below = vexora::simd::exp::zero_below;
    const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
    // Finite bounds for ordinary peaks, just beyond the distance where the exponent passes
    // zero_below, and checked at both ends with the kernels' arithmetic.
    for (const double variance : {1e-20, 0.25, 4.0, 50.0, 1e6}) {
        for (const double mu : {0.0, -3.0, 1500.0, 1e8}) {
            const peaks::Reach r = peaks::reach(-2.5, mu, variance);
            const double distance = std::sqrt(-2.0 * zero_below * variance);
            if (distance < 1e-10 * std::abs(mu)) {
                CHECK(std::isnan(r.low) || peaks::scalar_exponent(r.low, mu, variance) < zero_below);
                continue;
            }
            CHECK(r.low < mu && r.high > mu, "mu %g variance %g", mu, variance);
            CHECK(mu - r.low < distance * 1.001 && r.high - mu < distance * 1.001, "mu %g variance %g", mu, variance);
            CHECK(peaks::scalar_exponent(r.low, mu, variance) < zero_below &&
                      peaks::scalar_exponent(r.high, mu, variance) < zero_below,
                  "mu %g variance %g", mu, variance);
            CHECK(r.jacobian_zeros, "mu %g variance %g", mu, variance);
        }
    }
    // No bounds where a term beyond them could be other than +-0: a non-finite amplitude (times +0
    // is NaN), a centre not finite, a variance not positive and finite. A zero variance has
    // bounds (the exponent is -inf away from mu) but not the Jacobian's zeros (0 / 0).
    const double no_bounds[][3] = {{quiet_nan, 0.0, 1.0}, {inf, 0.0, 1.0},  {-inf, 0.0, 1.0}, {1.0, quiet_nan, 1.0},
                                   {1.0, inf, 1.0},       {1.0, -inf, 1.0}, {1.0, 0.0, -1.0}, {1.0, 0.0, -0.0},
                                   {1.0, 0.0, quiet_nan}, {1.0, 0.0, inf}};
    for (const auto& p : no_bounds) {
        const peaks::Reach r = peaks::reach(p[0], p[1], p[2]);
        CHECK(std::isnan(r.low) && std::isnan(r.high) && !r.jacobian_zeros, "A %g mu %g variance %g", p[0], p[1], p[2]);
    }
    CHECK(!peaks::reach(1.0, 5.0, 0x1p-1074).jacobian_zeros);  // (2 variance) variance is 0
}
