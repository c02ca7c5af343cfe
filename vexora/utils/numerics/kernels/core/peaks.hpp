// A sum of Gaussian peaks and its Jacobian, for least-squares peak fitting.
//
// Pure and lock-free, no Python. Written once over the exp it is handed (simd/exp/path.hpp),
// four samples to a vector; every sample follows the scalar order stated below.
#pragma once

#include <algorithm>

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

/// Vectors of samples per tile of the model: their sums stay in registers across the peaks.
inline constexpr Index tile_vectors = 4;

/*
 * y[j] = (((y[j] + t_0) + t_1) + ...) with t_i = A_i exp(-0.5 (x[j] - mu_i)^2 / variance_i),
 * peaks in parameter order.
 *
 *   x[m], params[3 n_gauss] (trailing values ignored), y[m] - the starting values (NumPy's zeros),
 *   overwritten with the model
 */
template <class Exp>
void multi_gaussian(const double* x, Index m, View1<const double> params, Index n_gauss, double* y) {
    constexpr Index width = lanes * tile_vectors;
    for (Index start = 0; start < m; start += width) {
        const Index count = std::min(width, m - start);
        Double4 xs[tile_vectors], sums[tile_vectors];
        for (Index v = 0; v < tile_vectors; ++v) {
            xs[v] = load_samples(x, start, count, v);
            sums[v] = load_samples(y, start, count, v);
        }
        for (Index i = 0; i < n_gauss; ++i) {
            const PeakVector p = peak(params, i);
            for (Index v = 0; v < tile_vectors; ++v) {
                sums[v] = sums[v] + p.A * Exp::vector(exponent(xs[v] - p.mu, p.variance));
            }
        }
        for (Index v = 0; v < tile_vectors; ++v) {
            store_samples(y, start, count, v, sums[v]);
        }
    }
}

/*
 * Partial derivatives of the model with respect to every parameter: with f = exp(-0.5 d^2 / variance)
 * and d = x[j] - mu, J[j, 3i] = f, J[j, 3i + 1] = ((A f) d) / variance,
 * J[j, 3i + 2] = (((A f) d) d) / ((2 variance) variance). Four samples at a time, every peak in
 * turn, so that rows of a dense J are written from start to end; columns past 3 n_gauss untouched.
 *
 *   x[m], params[3 n_gauss], J[>= m][>= 3 n_gauss]
 */
template <class Exp>
void multi_gaussian_jacobian(const double* x, Index m, View1<const double> params, Index n_gauss,
                             const View2<double>& J) {
    for (Index start = 0; start < m; start += lanes) {
        const Index count = std::min<Index>(lanes, m - start);
        const Double4 xs = load_samples(x, start, count, 0);
        View1<double> rows[lanes];
        for (Index k = 0; k < count; ++k) {
            rows[k] = J.row(start + k);
        }
        for (Index i = 0; i < n_gauss; ++i) {
            const PeakVector p = peak(params, i);
            const Double4 d = xs - p.mu;
            const Double4 f = Exp::vector(exponent(d, p.variance));
            const Double4 Afd = (p.A * f) * d;
            const Double4 d_mu = Afd / p.variance;
            const Double4 d_variance = (Afd * d) / ((2.0 * p.variance) * p.variance);
            for (Index k = 0; k < count; ++k) {
                rows[k].set(3 * i, f[k]);
                rows[k].set(3 * i + 1, d_mu[k]);
                rows[k].set(3 * i + 2, d_variance[k]);
            }
        }
    }
}


}  // namespace vexora::core::peaks
