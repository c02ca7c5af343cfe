// The Gaussian energy-resolution response of an energy axis, as the rows of a CSR matrix.
//
// Pure and lock-free: arrays in, rows written into the caller's arrays, no Python. Written once
// over the exp it is handed (simd/exp/path.hpp): the C library's, or the sequence that returns
// its bits a vector of values at a time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "../simd/divide.hpp"
#include "../simd/vector.hpp"
#include "interrupt.hpp"
#include "search.hpp"
#include "strided.hpp"

namespace vexora::core::response {

using namespace vexora::simd;

/// Full width at half maximum of a Gaussian over its standard deviation: 2 sqrt(2 ln 2).
inline constexpr double FWHM_C = 2.3548200450309493;

/// Gaussian width at energy E for resolution coefficient k: k E^(3/2) / FWHM_C.
inline double get_sigma(double k, double E) {
    const double resolution = k * std::sqrt(E);
    return (resolution * E) / FWHM_C;
}

/// The bins of one row's window: [low, high).
struct Window {
    Index low, high;
};

/// Half-width of a row's window; a zero width gives the bins equal to E, whatever nsigma is.
inline double window_half_width(double s, double nsigma) { return s == 0.0 ? 0.0 : s * nsigma; }

/*
 * Windows of rows [begin, end) on an axis sorted in NumPy's order: the bins within nsigma widths
 * of the row's energy, both ends included, each searched from the previous row's window (a hint:
 * the answer is the same from anywhere).
 *
 *   axis[n], sigma[n] (sigma may be longer), windows[n] - output, rows [begin, end) written
 *   interrupted - asked every `rows_between_asks` rows; true stops the search, windows incomplete
 */
inline void sorted_windows(View1<const double> axis, View1<const double> sigma, double nsigma, Window* windows,
                           Index begin, Index end, const Interrupt& interrupted = {}) {
    constexpr Index rows_between_asks = 4096;
    Window previous{0, 0};
    for (Index i = begin; i < end; ++i) {
        if ((i - begin) % rows_between_asks == 0 && interrupted()) {
            return;
        }
        const double E = axis[i], d = window_half_width(sigma[i], nsigma);
        previous = windows[i] = {search_sorted<false>(axis, E - d, previous.low),
                                 search_sorted<true>(axis, E + d, previous.high)};
    }
}

/// Weights of a delta row (zero width): 1 on the bins equal to E, 0 elsewhere.
inline void delta_weights(View1<const double> axis, double E, Window window, double* values) {
    for (Index j = window.low; j < window.high; ++j) {
        values[j - window.low] = axis[j] == E ? 1.0 : 0.0;
    }
}

/*
 * Weights exp(-x^2/2), x = (axis[j] - E) / s, of the bins of a window. With the sequence exp,
 * a vector of bins at a time where the axis is contiguous. With the C library's, one call a bin, except
 * that on an evenly spaced axis the bin mirrored about the centre often has exactly the same
 * exponent, and its weight, already computed, is then the same call's result.
 */
template <class Exp>
[[gnu::always_inline]] inline void gaussian_weights(View1<const double> axis, Index centre, double s, Window window,
                                                    double* values) {
    const double E = axis[centre];
    const auto exponent_at = [&](Index j) {
        const double x = (axis[j] - E) / s;
        return (x * -0.5) * x;
    };
    if constexpr (Exp::sequence) {
        using V = typename Exp::Vector;
        const Index length = window.high - window.low;
        Index k = 0;
        if (axis.contiguous()) {
            const double* bins = axis.data + window.low;
            for (; k + Exp::lanes <= length; k += Exp::lanes) {
                const V x = (load<V>(bins + k) - E) / s;
                store(values + k, Exp::vector((x * -0.5) * x));
            }
            if (k < length) {
                // The last bins as one vector, padded with the last bin so that every lane's
                // exponent stays in the exp's ordinary range (the scalar exp costs several times
                // a lane of the vector one).
                const Index from = k;
                V tail;
                for (Index lane = 0; lane < Exp::lanes; ++lane) {
                    tail[lane] = bins[std::min(from + lane, length - 1)];
                }
                const V x = (tail - E) / s;
                const V weights = Exp::vector((x * -0.5) * x);
                for (; k < length; ++k) {
                    values[k] = weights[k - from];
                }
            }
        }
        for (; k < length; ++k) {
            values[k] = Exp::scalar(exponent_at(window.low + k));
        }
    } else {
        for (Index j = window.low; j < window.high; ++j) {
            const double exponent = exponent_at(j);
            const Index mirror = 2 * centre - j;
            const bool mirrored = mirror < j && mirror >= window.low && exponent_at(mirror) == exponent;
            values[j - window.low] = mirrored ? values[mirror - window.low] : Exp::scalar(exponent);
        }
    }
}

/// Rows filled together: their norm sums run side by side, so that their additions overlap.
inline constexpr Index row_group = 4;

/*
 * Fills rows [first, first + count), count <= row_group: a Gaussian centred on axis[i] of width
 * sigma[i] over its window, each weight divided by the row's sum, summed from the first bin to
 * the last. A zero width is a delta row.
 *
 *   axis[n], sigma[n], windows[n], ends[n + 1] - row i occupies [ends[i], ends[i + 1])
 *   columns[ends[n]], values[ends[n]] - output
 */
template <class Exp>
[[gnu::always_inline]] inline void fill_rows(View1<const double> axis, View1<const double> sigma, const Window* windows,
                                             const std::int64_t* ends, Index first, Index count, std::int32_t* columns,
                                             double* values) {
    const double* row[row_group];
    Index length[row_group];
    for (Index r = 0; r < row_group; ++r) {
        const Index i = first + std::min(r, count - 1);
        row[r] = values + ends[i];
        length[r] = r < count ? ends[i + 1] - ends[i] : 0;
        if (r >= count || length[r] == 0) {
            continue;
        }
        const Window window = windows[i];
        std::int32_t* row_columns = columns + ends[i];
        for (Index k = 0; k < length[r]; ++k) {
            row_columns[k] = static_cast<std::int32_t>(window.low + k);
        }
        if (sigma[i] == 0.0) {
            delta_weights(axis, axis[i], window, values + ends[i]);
        } else {
            gaussian_weights<Exp>(axis, i, sigma[i], window, values + ends[i]);
        }
    }
    static_assert(row_group == 4, "the norm sums below are written out for four rows: write them out for row_group");
    double norm[row_group] = {0.0, 0.0, 0.0, 0.0};
    const Index common = *std::min_element(length, length + row_group);
    for (Index k = 0; k < common; ++k) {
        norm[0] += row[0][k];
        norm[1] += row[1][k];
        norm[2] += row[2][k];
        norm[3] += row[3][k];
    }
    for (Index r = 0; r < count; ++r) {
        for (Index k = common; k < length[r]; ++k) {
            norm[r] += row[r][k];
        }
        // A loop of divisions alone, which the divider bounds: through the norm's reciprocal where
        // the kernel runs on the exp's vector target (the same bits).
        double* out = values + ends[first + r];
        Index k = 0;
        if constexpr (Exp::sequence) {
            using V = typename Exp::Vector;
            const ReciprocalDivision<V> over_norm(norm[r]);
            for (; k + Exp::lanes <= length[r]; k += Exp::lanes) {
                store(out + k, over_norm(load<V>(out + k)));
            }
        }
        for (; k < length[r]; ++k) {
            out[k] = out[k] / norm[r];
        }
    }
}

/*
 * Rows [begin, end) of the response, `begin` a multiple of row_group: rows are filled in the
 * same groups whatever range they fall in, so any split into ranges gives the same bits.
 *
 *   axis[n], sigma[n] (may be longer)
 *   windows[n]  - each within [0, n]; a window with high <= low is an empty row
 *   ends[n + 1] - ends[0] = 0, ends[i + 1] = ends[i] + max(high - low, 0) (not checked)
 *   columns[ends[n]], values[ends[n]] - output, the entries of rows [begin, end) written
 *   interrupted - asked every `groups_between_asks` groups of rows; true stops the fill, rows
 *                 incomplete
 */
template <class Exp>
void fill_response(View1<const double> axis, View1<const double> sigma, const Window* windows, const std::int64_t* ends,
                   std::int32_t* columns, double* values, Index begin, Index end, const Interrupt& interrupted = {}) {
    constexpr Index groups_between_asks = 64;
    for (Index first = begin; first < end; first += row_group) {
        if ((first - begin) % (groups_between_asks * row_group) == 0 && interrupted()) {
            return;
        }
        fill_rows<Exp>(axis, sigma, windows, ends, first, std::min(row_group, end - first), columns, values);
    }
}

}  // namespace vexora::core::response
