// A sum of Gaussian peaks and its Jacobian, for least-squares peak fitting.
//
// Pure and lock-free, no Python. Written once over the exp it is handed (simd/exp/path.hpp),
// as many samples to a vector as it has lanes (Exp::lanes); every sample follows the scalar order
// stated below.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "../simd/exp/sequence.hpp"  // zero_below
#include "../simd/vector.hpp"
#include "strided.hpp"

namespace vexora::core::peaks {

using namespace vexora::simd;


/// Peak i's parameters (A, mu, variance), each in every lane.
template <DoubleVector V>
struct PeakVector {
    V A, mu, variance;
};

template <DoubleVector V>
VEXORA_VECTOR_HELPER PeakVector<V> peak(View1<const double> params, Index i) {
    return {splat<V>(params[3 * i]), splat<V>(params[3 * i + 1]), splat<V>(params[3 * i + 2])};
}

/// The exponent -0.5 dx^2 / variance, evaluated as ((-0.5 * dx) * dx) / variance.
template <DoubleVector V>
VEXORA_VECTOR_HELPER V exponent(V dx, V variance) {
    return ((-0.5 * dx) * dx) / variance;
}

/// Vector v of the samples from `start`, `count` of them (the lanes past them are 0).
template <DoubleVector V>
VEXORA_VECTOR_HELPER V load_samples(const double* x, Index start, Index count, Index v) {
    constexpr Index width = width_of<V>;
    if (width * v + width <= count) {
        return load<V>(x + start + width * v);
    }
    V partial = {};
    for (Index k = 0; k < width && width * v + k < count; ++k) {
        partial[k] = x[start + width * v + k];
    }
    return partial;
}

/// Stores the lanes of vector v that lie within the `count` samples from `start`.
template <DoubleVector V>
VEXORA_VECTOR_HELPER void store_samples(double* y, Index start, Index count, Index v, V values) {
    constexpr Index width = width_of<V>;
    if (width * v + width <= count) {
        store(y + start + width * v, values);
        return;
    }
    for (Index k = 0; k < width && width * v + k < count; ++k) {
        y[start + width * v + k] = values[k];
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

/// Peaks of a block from which the Jacobian copies rows of zero terms (fewer gain nothing).
inline constexpr Index least_copied_block = 16;

/// Vectors of samples per tile of the model: their sums stay in registers across the peaks.
inline constexpr Index tile_vectors = 4;

// Tests of a tile's or a vector's samples, once per tile or vector (not per peak), as sign bits:
// set in the lanes that are -0, NaN, or not finite. Integer differences of the lanes' bits, no
// comparison (which takes two comparisons and shuffles at eight lanes, see vector.hpp).

template <DoubleVector V>
VEXORA_VECTOR_HELPER LongOf<V> negative_zero_signs(V v) {
    // Unsigned, where t - 1 wraps: t = 0 alone has the top bit in t - 1 and not in t.
    const BitsOf<V> t = std::bit_cast<BitsOf<V>>(v) ^ (std::uint64_t{1} << 63);
    return std::bit_cast<LongOf<V>>((t - 1) & ~t);
}

template <DoubleVector V>
VEXORA_VECTOR_HELPER LongOf<V> nan_signs(V v) {
    return std::bit_cast<std::int64_t>(HUGE_VAL) - (std::bit_cast<LongOf<V>>(v) & INT64_MAX);
}

template <DoubleVector V>
VEXORA_VECTOR_HELPER LongOf<V> non_finite_signs(V v) {
    return ~((std::bit_cast<LongOf<V>>(v) & INT64_MAX) - std::bit_cast<std::int64_t>(HUGE_VAL));
}

/// Lanes [4 h, 4 h + 4) of `v`.
template <DoubleVector V>
VEXORA_VECTOR_HELPER Double4 four_lanes(V v, Index h) {
    if constexpr (width_of<V> == 4) {
        return v;
    } else {
        return h == 0 ? low_half(v) : high_half(v);
    }
}

/// The largest lane of a vector without NaN, or the smallest; eight lanes folded to four first.
template <bool largest, DoubleVector V>
VEXORA_VECTOR_HELPER double extreme_lane(V v) {
    const auto further = [](double a, double b)
                             VEXORA_INLINE_LAMBDA { return largest ? std::max(a, b) : std::min(a, b); };
    Double4 four;
    if constexpr (width_of<V> == 4) {
        four = v;
    } else {
        const auto beyond = largest ? greater(high_half(v), low_half(v)) : less(high_half(v), low_half(v));
        four = select(beyond, Double4{high_half(v)}, Double4{low_half(v)});
    }
    return further(further(four[0], four[1]), further(four[2], four[3]));
}
template <DoubleVector V>
VEXORA_VECTOR_HELPER double smallest_lane(V v) {
    return extreme_lane<false>(v);
}
template <DoubleVector V>
VEXORA_VECTOR_HELPER double largest_lane(V v) {
    return extreme_lane<true>(v);
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
    using V = typename Exp::Vector;
    using Long = LongOf<V>;
    constexpr Index width = Exp::lanes * tile_vectors;
    const bool skip = zeros == Zeros::skip && Exp::zero_below_gives_zero();
    for (Index first = 0; first < n_gauss; first += peak_block) {
        const Index block = std::min(peak_block, n_gauss - first);
        Reach reaches[peak_block];
        if (skip) {
            reaches_of(params, first, block, reaches);
        }
        for (Index start = 0; start < m; start += width) {
            const Index count = std::min(width, m - start);
            V xs[tile_vectors], sums[tile_vectors];
            for (Index v = 0; v < tile_vectors; ++v) {
                xs[v] = load_samples<V>(x, start, count, v);
                sums[v] = load_samples<V>(y, start, count, v);
            }
            // The tile's smallest and largest sample (the lanes past m are 0, which only narrows
            // what is skipped); a NaN sample or a -0 sum turns skipping off for the tile.
            bool skip_tile = skip;
            double lowest = 0.0, highest = 0.0;
            if (skip) {
                // The extremes are of use only without NaN, so they may be taken by less_ordered.
                V low = xs[0], high = xs[0];
                Long unusual = nan_signs(xs[0]) | negative_zero_signs(sums[0]);
                for (Index v = 1; v < tile_vectors; ++v) {
                    low = select(less_ordered(xs[v], low), xs[v], low);
                    high = select(less_ordered(high, xs[v]), xs[v], high);
                    unusual |= nan_signs(xs[v]) | negative_zero_signs(sums[v]);
                }
                skip_tile = !any_sign(unusual);
                lowest = smallest_lane(low);
                highest = largest_lane(high);
            }
            for (Index k = 0; k < block; ++k) {
                if (skip_tile && (highest <= reaches[k].low || lowest >= reaches[k].high)) {
                    continue;
                }
                const PeakVector<V> p = peak<V>(params, first + k);
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
 * Rows [start, start + count) of J, columns [0, 3 block), for the first block of peaks when most
 * of its terms are zeros of known signs (see multi_gaussian_jacobian): those zeros are the same in
 * every row of the vector, so the rows take them from one copy of the block's columns, a vector
 * at a time, with +0 in the other peaks' columns until their terms are written over them. Returns
 * whether it wrote; zero_terms[k] says which peaks' terms it wrote.
 *
 *   x0 - one of the rows' samples, all of which lie beyond each such peak on one side
 */
template <DoubleVector V>
[[gnu::noinline]] bool copy_zero_terms(View1<const double> params, Index block, const Reach* reaches, double lowest,
                                       double highest, double x0, const View2<double>& J, Index start, Index count,
                                       bool* zero_terms) {
    Index zeros = 0;
    for (Index k = 0; k < block; ++k) {
        zero_terms[k] = (highest <= reaches[k].low || lowest >= reaches[k].high) && reaches[k].jacobian_zeros;
        zeros += zero_terms[k];
    }
    if (2 * zeros < block) {
        return false;
    }
    constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
    double columns[3 * peak_block];
    for (Index k = 0; k < block; ++k) {
        std::uint64_t d_mu_bits = 0, d_variance_bits = 0;
        if (zero_terms[k]) {
            const double A = params[3 * k], mu = params[3 * k + 1];
            d_variance_bits = std::bit_cast<std::uint64_t>(A) & sign_bit;
            d_mu_bits = d_variance_bits ^ (std::bit_cast<std::uint64_t>(x0 - mu) & sign_bit);
        }
        columns[3 * k] = 0.0;
        columns[3 * k + 1] = std::bit_cast<double>(d_mu_bits);
        columns[3 * k + 2] = std::bit_cast<double>(d_variance_bits);
    }
    constexpr Index lanes = width_of<V>;
    const Index width = 3 * block;
    for (Index r = 0; r < count; ++r) {
        char* row = reinterpret_cast<char*>(J.data) + (start + r) * J.row_stride;
        Index c = 0;
        for (; c < std::min<Index>(doubles_to_alignment(row, sizeof(V)), width); ++c) {
            std::memcpy(row + c * Index{sizeof(double)}, columns + c, sizeof(double));
        }
        for (; c + lanes <= width; c += lanes) {
            std::memcpy(row + c * Index{sizeof(double)}, columns + c, sizeof(V));
        }
        for (; c < width; ++c) {
            std::memcpy(row + c * Index{sizeof(double)}, columns + c, sizeof(double));
        }
    }
    return true;
}

/*
 * Partial derivatives of the model with respect to every parameter: with f = exp(-0.5 d^2 / variance)
 * and d = x[j] - mu, J[j, 3i] = f, J[j, 3i + 1] = ((A f) d) / variance,
 * J[j, 3i + 2] = (((A f) d) d) / ((2 variance) variance). A vector of samples at a time, every peak in
 * turn (in blocks of peak_block), so that rows of a dense J are written from start to end;
 * columns past 3 n_gauss untouched.
 *
 * With Zeros::skip, a vector of samples all on one side beyond a peak's reach (none NaN: the
 * vector's smallest and largest sample are compared, once per vector, not per peak) takes f = +0
 * without exp, and where the samples are also finite and the variance is positive with
 * (2 variance) variance not 0, the derivatives of that zero term by their signs alone: (A f) d is
 * the zero of sign A times sign d, over the positive variance the same; times d again the zero of
 * sign A (jacobian_zeros). A vector with samples on both sides computes its terms, which are the
 * same zeros. Rows of contiguous columns whose first block of peaks has mostly such zeros take them
 * from one copy (copy_zero_terms).
 *
 *   x[m], params[3 n_gauss], J[>= m][>= 3 n_gauss]
 */
template <class Exp, Zeros zeros = Zeros::skip>
void multi_gaussian_jacobian(const double* x, Index m, View1<const double> params, Index n_gauss,
                             const View2<double>& J) {
    using V = typename Exp::Vector;
    using Bits = BitsOf<V>;
    constexpr Index lanes = Exp::lanes;
    const bool skip = zeros == Zeros::skip && Exp::zero_below_gives_zero();
    const bool side_by_side = J.col_stride == static_cast<Index>(sizeof(double));
    const Bits sign = splat<Bits>(std::uint64_t{1} << 63);
    for (Index first = 0; first < n_gauss; first += peak_block) {
        const Index block = std::min(peak_block, n_gauss - first);
        Reach reaches[peak_block];
        if (skip) {
            reaches_of(params, first, block, reaches);
        }
        // Rows of the first block whose terms are mostly zeros of known signs take those from one
        // copy (later blocks come back to rows that have left the cache, where that burst of
        // stores measured slower than the terms' own stores spread between their exps). A
        // separate loop, so that smaller blocks keep the plain one.
        const auto sample_vectors = [&]<bool may_copy>(std::bool_constant<may_copy>) VEXORA_INLINE_LAMBDA {
            for (Index start = 0; start < m; start += lanes) {
                const Index count = std::min<Index>(lanes, m - start);
                const V xs = load_samples<V>(x, start, count, 0);
                // The lanes past m are 0, which only narrows what is skipped.
                const bool ordered = skip && !any_sign(nan_signs(xs));
                const bool finite = ordered && !any_sign(non_finite_signs(xs));
                const double lowest = ordered ? smallest_lane(xs) : 0.0, highest = ordered ? largest_lane(xs) : 0.0;
                bool zero_terms[peak_block];
                bool copied = false;
                if constexpr (may_copy) {
                    copied = finite && copy_zero_terms<V>(params, block, reaches, lowest, highest, xs[0], J, start,
                                                          count, zero_terms);
                }
                const auto write_terms = [&](Index k) VEXORA_INLINE_LAMBDA {
                    const Index i = first + k;
                    const PeakVector<V> p = peak<V>(params, i);
                    const V d = xs - p.mu;
                    V f, d_mu, d_variance;
                    const bool beyond = ordered && (highest <= reaches[k].low || lowest >= reaches[k].high);
                    if (beyond && finite && reaches[k].jacobian_zeros) {
                        const Bits sign_A = std::bit_cast<Bits>(p.A) & sign;
                        f = V{};
                        d_mu = std::bit_cast<V>(sign_A ^ (std::bit_cast<Bits>(d) & sign));
                        d_variance = std::bit_cast<V>(sign_A);
                    } else {
                        f = beyond ? V{} : Exp::vector(exponent(d, p.variance));
                        const V Afd = (p.A * f) * d;
                        d_mu = Afd / p.variance;
                        d_variance = (Afd * d) / ((2.0 * p.variance) * p.variance);
                    }
                    // The columns of this peak in the rows of the samples; four lanes at a time (a lane
                    // of four is moved out with one instruction, one of eight with two), and a whole
                    // vector's rows without a test per row.
                    const auto write = [&](Index rows) VEXORA_INLINE_LAMBDA {
                        for (Index h = 0; h < lanes / 4; ++h) {
                            const Double4 f4 = four_lanes(f, h), d_mu4 = four_lanes(d_mu, h),
                                          d_variance4 = four_lanes(d_variance, h);
                            for (Index k2 = 0; k2 < 4 && 4 * h + k2 < rows; ++k2) {
                                const View1<double> row = J.row(start + 4 * h + k2);
                                row.set(3 * i, f4[k2]);
                                row.set(3 * i + 1, d_mu4[k2]);
                                row.set(3 * i + 2, d_variance4[k2]);
                            }
                        }
                    };
                    if (count == lanes) {
                        write(lanes);
                    } else {
                        write(count);
                    }
                };
                if (copied) {
                    for (Index k = 0; k < block; ++k) {
                        if (!zero_terms[k]) {
                            write_terms(k);
                        }
                    }
                } else {
                    for (Index k = 0; k < block; ++k) {
                        write_terms(k);
                    }
                }
            }
        };
        if (skip && side_by_side && first == 0 && block >= least_copied_block) {
            sample_vectors(std::true_type{});
        } else {
            sample_vectors(std::false_type{});
        }
    }
}


}  // namespace vexora::core::peaks
