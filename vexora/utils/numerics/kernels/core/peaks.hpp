// A sum of Gaussian peaks and its Jacobian, for least-squares peak fitting.
//
// Pure and lock-free, no Python. Written once over the exp it is handed (simd/exp/path.hpp),
// four samples to a vector; every sample follows the scalar order stated below.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../simd/exp/sequence.hpp"  // zero_below
#include "../simd/vector.hpp"
#include "strided.hpp"

namespace vexora::core::peaks {

using namespace vexora::simd;


/// Peak i's parameters (A, mu, variance), each in every lane.
struct PeakVector {
    Double4 A, mu, variance;
};

VEXORA_VECTOR_HELPER PeakVector peak(View1<const double> params, Index i) {
    return {broadcast(params[3 * i]), broadcast(params[3 * i + 1]), broadcast(params[3 * i + 2])};
}

/// The exponent -0.5 dx^2 / variance, evaluated as ((-0.5 * dx) * dx) / variance.
VEXORA_VECTOR_HELPER Double4 exponent(Double4 dx, Double4 variance) { return ((-0.5 * dx) * dx) / variance; }

/// Vector v of the samples from `start`, `count` of them (the lanes past them are 0).
VEXORA_VECTOR_HELPER Double4 load_samples(const double* x, Index start, Index count, Index v) {
    if (lanes * v + lanes <= count) {
        return load4(x + start + lanes * v);
    }
    Double4 partial = {};
    for (Index k = 0; k < lanes && lanes * v + k < count; ++k) {
        partial[k] = x[start + lanes * v + k];
    }
    return partial;
}

/// Stores the lanes of vector v that lie within the `count` samples from `start`.
VEXORA_VECTOR_HELPER void store_samples(double* y, Index start, Index count, Index v, Double4 values) {
    if (lanes * v + lanes <= count) {
        store4(y + start + lanes * v, values);
        return;
    }
    for (Index k = 0; k < lanes && lanes * v + k < count; ++k) {
        y[start + lanes * v + k] = values[k];
    }
}

/// Whether the kernels skip the terms that are exactly zero (the default) or compute every term;
/// both give the same bits, the second is the reference the tests hold the first to.
enum class Zeros { skip, compute };

/// The exponent of one sample, in the order of `exponent`.
inline double scalar_exponent(double x, double mu, double variance) {
    const double d = x - mu;
    return ((-0.5 * d) * d) / variance;
}

/*
 * Where a peak's terms are exactly zero: every sample x <= low and every x >= high gives an
 * exponent below simd::exp::zero_below, whose exp is +0, and so the term A exp(...) is +-0.
 *
 * The exponent as computed is monotonic in x on each side of mu (every rounded operation is),
 * so checking it at low and high with the kernels' own arithmetic proves it for every sample
 * beyond them, whatever the rounding or the parameters. A peak whose bounds do not check (NaN or
 * infinite mu; negative, -0, NaN or infinite variance) or whose amplitude is not finite (inf or
 * NaN times +0 is NaN) gets NaN bounds, which no sample passes. A zero variance has bounds (the
 * exponent is -inf away from mu).
 */
struct Reach {
    double low, high;
    /// Whether the Jacobian may write a zero term's derivatives as zeros of known signs: the
    /// variance positive and (2 variance) variance not 0 (else 0 / 0 gives NaN).
    bool jacobian_zeros;
};

inline Reach reach(double A, double mu, double variance) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double zero_below = simd::exp::zero_below;
    // |d| with 0.5 d^2 / variance a little beyond -zero_below; the check below decides.
    const double distance = std::sqrt(-2.0 * zero_below * variance) * (1.0 + 0x1p-20);
    const double low = mu - distance, high = mu + distance;
    const bool finite_amplitude = A - A == 0.0;
    const bool checked = scalar_exponent(low, mu, variance) < zero_below &&
                         scalar_exponent(high, mu, variance) < zero_below && low < mu && mu < high;
    if (!finite_amplitude || !checked) {
        return {nan, nan, false};
    }
    return {low, high, variance > 0.0 && (2.0 * variance) * variance > 0.0};
}

/// The reaches of peaks [first, first + count) of `params`.
inline void reaches_of(View1<const double> params, Index first, Index count, Reach* reaches) {
    for (Index i = 0; i < count; ++i) {
        reaches[i] = reach(params[3 * (first + i)], params[3 * (first + i) + 1], params[3 * (first + i) + 2]);
    }
}

/// Peaks whose reach the kernels hold at once (on the stack); more are taken in blocks.
inline constexpr Index peak_block = 64;

/// Vectors of samples per tile of the model: their sums stay in registers across the peaks.
inline constexpr Index tile_vectors = 4;

/// The lanes that are -0.
VEXORA_VECTOR_HELPER Long4 negative_zero(Double4 v) {
    return std::bit_cast<Long4>(v) == broadcast(std::numeric_limits<std::int64_t>::min());
}

/*
 * y[j] = (((y[j] + t_0) + t_1) + ...) with t_i = A_i exp(-0.5 (x[j] - mu_i)^2 / variance_i),
 * peaks in parameter order.
 *
 *   x[m], params[3 n_gauss] (trailing values ignored), y[m] - the starting values (NumPy's zeros),
 *   overwritten with the model
 *
 * With Zeros::skip a tile of samples all beyond a peak's reach does not evaluate that peak: its
 * terms are +-0, and adding +-0 leaves a sum unchanged unless the sum is -0 and the term +0. A
 * sum is -0 only if it started -0 (adding to anything else never gives -0), so a tile whose
 * starting values hold a -0, or whose samples hold a NaN, takes every term.
 */
template <class Exp, Zeros zeros = Zeros::skip>
void multi_gaussian(const double* x, Index m, View1<const double> params, Index n_gauss, double* y) {
    constexpr Index width = lanes * tile_vectors;
    const bool skip = zeros == Zeros::skip && Exp::zero_below_gives_zero();
    for (Index first = 0; first < n_gauss; first += peak_block) {
        const Index block = std::min(peak_block, n_gauss - first);
        Reach reaches[peak_block];
        if (skip) {
            reaches_of(params, first, block, reaches);
        }
        for (Index start = 0; start < m; start += width) {
            const Index count = std::min(width, m - start);
            Double4 xs[tile_vectors], sums[tile_vectors];
            for (Index v = 0; v < tile_vectors; ++v) {
                xs[v] = load_samples(x, start, count, v);
                sums[v] = load_samples(y, start, count, v);
            }
            // The tile's smallest and largest sample (the lanes past m are 0, which only narrows
            // what is skipped); a NaN sample or a -0 sum turns skipping off for the tile.
            bool skip_tile = skip;
            double lowest = 0.0, highest = 0.0;
            if (skip) {
                Double4 low = xs[0], high = xs[0];
                Long4 unordered = xs[0] != xs[0];
                Long4 signed_zero = negative_zero(sums[0]);
                for (Index v = 1; v < tile_vectors; ++v) {
                    low = xs[v] < low ? xs[v] : low;
                    high = xs[v] > high ? xs[v] : high;
                    unordered |= xs[v] != xs[v];
                    signed_zero |= negative_zero(sums[v]);
                }
                skip_tile = !any_of(unordered | signed_zero);
                lowest = std::min(std::min(low[0], low[1]), std::min(low[2], low[3]));
                highest = std::max(std::max(high[0], high[1]), std::max(high[2], high[3]));
            }
            for (Index k = 0; k < block; ++k) {
                if (skip_tile && (highest <= reaches[k].low || lowest >= reaches[k].high)) {
                    continue;
                }
                const PeakVector p = peak(params, first + k);
                for (Index v = 0; v < tile_vectors; ++v) {
                    sums[v] = sums[v] + p.A * Exp::vector(exponent(xs[v] - p.mu, p.variance));
                }
            }
            for (Index v = 0; v < tile_vectors; ++v) {
                store_samples(y, start, count, v, sums[v]);
            }
        }
    }
}

/*
 * Partial derivatives of the model with respect to every parameter: with f = exp(-0.5 d^2 / variance)
 * and d = x[j] - mu, J[j, 3i] = f, J[j, 3i + 1] = ((A f) d) / variance,
 * J[j, 3i + 2] = (((A f) d) d) / ((2 variance) variance). Four samples at a time, every peak in
 * turn (in blocks of peak_block), so that rows of a dense J are written from start to end;
 * columns past 3 n_gauss untouched.
 *
 * With Zeros::skip, four finite samples all beyond a peak's reach take f = +0 without exp, and
 * where the variance is positive with (2 variance) variance not 0, the derivatives of that zero
 * term by their signs alone: (A f) d is the zero of sign A times sign d, over the positive
 * variance the same; times d again the zero of sign A (jacobian_zeros).
 *
 *   x[m], params[3 n_gauss], J[>= m][>= 3 n_gauss]
 */
template <class Exp, Zeros zeros = Zeros::skip>
void multi_gaussian_jacobian(const double* x, Index m, View1<const double> params, Index n_gauss,
                             const View2<double>& J) {
    const bool skip = zeros == Zeros::skip && Exp::zero_below_gives_zero();
    const Bits4 sign = Bits4{} + (std::uint64_t{1} << 63);
    for (Index first = 0; first < n_gauss; first += peak_block) {
        const Index block = std::min(peak_block, n_gauss - first);
        Reach reaches[peak_block];
        if (skip) {
            reaches_of(params, first, block, reaches);
        }
        for (Index start = 0; start < m; start += lanes) {
            const Index count = std::min<Index>(lanes, m - start);
            const Double4 xs = load_samples(x, start, count, 0);
            const Long4 finite = xs - xs == 0.0;  // not infinite, not NaN
            View1<double> rows[lanes];
            for (Index k = 0; k < count; ++k) {
                rows[k] = J.row(start + k);
            }
            for (Index k = 0; k < block; ++k) {
                const Index i = first + k;
                const PeakVector p = peak(params, i);
                const Double4 d = xs - p.mu;
                Double4 f, d_mu, d_variance;
                if (skip && reaches[k].jacobian_zeros &&
                    all_of(((xs <= reaches[k].low) | (xs >= reaches[k].high)) & finite)) {
                    const Bits4 sign_A = std::bit_cast<Bits4>(p.A) & sign;
                    f = Double4{};
                    d_mu = std::bit_cast<Double4>(sign_A ^ (std::bit_cast<Bits4>(d) & sign));
                    d_variance = std::bit_cast<Double4>(sign_A);
                } else {
                    f = skip && all_of((xs <= reaches[k].low) | (xs >= reaches[k].high))
                            ? Double4{}
                            : Exp::vector(exponent(d, p.variance));
                    const Double4 Afd = (p.A * f) * d;
                    d_mu = Afd / p.variance;
                    d_variance = (Afd * d) / ((2.0 * p.variance) * p.variance);
                }
                for (Index k2 = 0; k2 < count; ++k2) {
                    rows[k2].set(3 * i, f[k2]);
                    rows[k2].set(3 * i + 1, d_mu[k2]);
                    rows[k2].set(3 * i + 2, d_variance[k2]);
                }
            }
        }
    }
}


}  // namespace vexora::core::peaks
