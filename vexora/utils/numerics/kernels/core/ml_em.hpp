// ML-EM iterations over a checked row plan of a CSR response matrix, and the set-up that plans it.
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "../simd/vector.hpp"
#include "interrupt.hpp"
#include "ml_em_groups.hpp"
#include "ml_em_segments.hpp"
#include "strided.hpp"

namespace vexora::core::ml_em {

/// Added to every forward projection and floor of the sensitivity: keeps the ratios finite.
inline constexpr double epsilon = 1e-12;

/// The sensitivity as the update divides by it.
inline double floor_sensitivity(double s) { return std::fmax(s, epsilon); }


/// The update of one row (double) or of a vector of rows (Double4): correction = back projection
/// over the sensitivity floor, x = x times the correction.
template <class V>
VEXORA_VECTOR_HELPER void update(V back_projection, V floor, V& x, V& correction) {
    correction = back_projection / floor;
    x = x * correction;
}

/*
 * The matrix as the iterations read it: the checked row plan, one lane group per `group_rows`
 * rows (the last n % group_rows rows run alone), the values and columns the plan addresses,
 * and the bands of banded groups (nullptr when there are none).
 */
struct RowPlan {
    const RowSpan* rows;
    const LaneGroup* groups;
    const double* values;
    const std::int32_t* columns;
    const double* band;
    Segments segments = {};
};

/// Where the entries of rows [j, j + R) start: their values and their columns.
template <int R>
struct RowEntries {
    const double* values[R];
    const std::int32_t* columns[R];

    RowEntries(const RowPlan& plan, Index j) {
        for (int r = 0; r < R; ++r) {
            values[r] = plan.values + plan.rows[j + r].values_at;
            columns[r] = plan.columns + plan.rows[j + r].columns_at;
        }
    }
};

/*
 * Adds x_j * R[j][.] to estimate[n], entries in order: runs and the stretches of segmented rows a
 * vector at a time, other entries one at a time at the channel their column gives, re-checked
 * against n so that an array changed by another thread during the call can never send a store
 * out of bounds.
 */
VEXORA_VECTOR_HELPER void scatter_row(const RowPlan& plan, Index j, double x_j, double* __restrict estimate, Index n) {
    const RowSpan& row = plan.rows[j];
    const double* v = plan.values + row.values_at;
    const auto stretch = [&](Index begin, Index end, Index offset) VEXORA_INLINE_LAMBDA {
        add_scaled(estimate + offset + begin, v + begin, end - begin, x_j);
    };
    const auto loose = [&](Index begin, Index end) VEXORA_INLINE_LAMBDA {
        for_each_column(plan.columns + row.columns_at, begin, end, n,
                        [&](Index i, Index channel) VEXORA_INLINE_LAMBDA { estimate[channel] += x_j * v[i]; });
    };
    for_each_part(row, plan.segments.of(j), plan.segments.count(j), 0, row.length, stretch, loose);
}

/// Channels [first, end) of a row whose entries there are channel - offset, one after another.
struct Stretch {
    Index first, end, offset;
};

/// Most stretches of a row that the grouped scatters take apart (scatter_stretched_rows, and
/// scatter_rows of many spectra); rows of more are scattered alone.
inline constexpr int most_stretches = 4;

/*
 * The stretches of row j in ascending channels: a run's one, or its segments' when every entry is
 * in one and no two share a channel. Their number, or -1 for other rows.
 */
VEXORA_VECTOR_HELPER int sorted_stretches(const RowPlan& plan, Index j, Stretch (&out)[most_stretches]) {
    const RowSpan& row = plan.rows[j];
    if (row.first_column >= 0 || row.length == 0) {
        out[0] = {row.first_column, row.first_column + row.length, row.first_column};
        return row.length > 0 ? 1 : 0;
    }
    const Index count = plan.segments.count(j);
    if (count == 0 || count > most_stretches) {
        return -1;
    }
    const Segment* s = plan.segments.of(j);
    for (Index t = 0; t < count; ++t) {
        const Index entries = (t + 1 < count ? s[t + 1].entry : row.length) - s[t].entry;
        if (s[t].channel < 0 || (t > 0 && out[t - 1].end > s[t].channel)) {
            return -1;
        }
        out[t] = {s[t].channel, s[t].channel + entries, s[t].channel - s[t].entry};
    }
    return static_cast<int>(count);
}

/*
 * The channels of R consecutive rows that are each a run or made of stretches in ascending
 * channels (sorted_stretches), cut at every stretch's ends: part k is [ends[k], ends[k + 1]),
 * which each row covers whole or not at all.
 */
template <int R>
class StretchCuts {
public:
    Index ends[2 * R * most_stretches];
    int cuts = 0;

    /// Cuts rows j to j + R - 1; false when one of them is neither.
    bool make(const RowPlan& plan, Index j) {
        for (int r = 0; r < R; ++r) {
            count_[r] = sorted_stretches(plan, j + r, stretches_[r]);
            if (count_[r] < 0) {
                return false;
            }
            for (int t = 0; t < count_[r]; ++t) {
                ends[cuts++] = stretches_[r][t].first;
                ends[cuts++] = stretches_[r][t].end;
            }
        }
        std::sort(ends, ends + cuts);
        cuts = static_cast<int>(std::unique(ends, ends + cuts) - ends);
        return true;
    }

    /// The stretch of row r that covers the part from channel `low`, or nullptr; parts are asked
    /// for in ascending channels.
    const Stretch* covering(int r, Index low) {
        while (at_[r] < count_[r] && stretches_[r][at_[r]].end <= low) {
            ++at_[r];
        }
        return at_[r] < count_[r] && stretches_[r][at_[r]].first <= low ? &stretches_[r][at_[r]] : nullptr;
    }

private:
    Stretch stretches_[R][most_stretches];
    int count_[R];
    int at_[R] = {};
};

/// Adds R[j][i] * ratio[channel] for the entries [from, to) of row j to `total`, in entry order.
VEXORA_VECTOR_HELPER double back_project_entries(const RowPlan& plan, Index j, const double* __restrict ratio, Index n,
                                                 Index from, Index to, double total) {
    const RowSpan& row = plan.rows[j];
    const double* v = plan.values + row.values_at;
    const auto stretch = [&](Index begin, Index end, Index offset) VEXORA_INLINE_LAMBDA {
        for (Index i = begin; i < end; ++i) {
            total += v[i] * ratio[i + offset];
        }
    };
    const auto loose = [&](Index begin, Index end) VEXORA_INLINE_LAMBDA {
        for_each_column(plan.columns + row.columns_at, begin, end, n,
                        [&](Index i, Index channel) VEXORA_INLINE_LAMBDA { total += v[i] * ratio[channel]; });
    };
    for_each_part(row, plan.segments.of(j), plan.segments.count(j), from, to, stretch, loose);
    return total;
}

/*
 * Back projections of the rows of a group that cannot run in lanes: lane r of totals[h] is that
 * of row j + lanes * h + r, summed in entry order. The rows advance together over the entries
 * they all have, so that each row's additions overlap the others' instead of waiting on its own
 * previous one; where every row's channels run on from an offset (runs, stretches of segments),
 * without reading a column. The rest of each row follows alone.
 */
VEXORA_VECTOR_HELPER void back_project_rows(const RowPlan& plan, Index j, const double* __restrict ratio, Index n,
                                            Double4 (&totals)[halves]) {
    const RowSpan* rows = plan.rows + j;
    const RowEntries<group_rows> entries(plan, j);
    const auto& v = entries.values;
    const auto& c = entries.columns;
    double total[group_rows] = {};
    CommonParts<group_rows> parts(rows, plan.segments, j);
    for (Index from = 0, to; from < parts.common; from = to) {
        to = parts.next(from);
        if (parts.all_stretched) {
            // A vector's worth of rows at a time: enough sums to hide the additions' latency, few
            // enough pointers to stay in registers.
            for (int h = 0; h < halves; ++h) {
                const double* value[lanes];
                const double* q[lanes];
                double sum[lanes];
                for (int k = 0; k < lanes; ++k) {
                    value[k] = v[lanes * h + k] + from;
                    q[k] = ratio + parts.offset[lanes * h + k] + from;
                    sum[k] = total[lanes * h + k];
                }
                for (Index i = 0; i < to - from; ++i) {
                    for (int k = 0; k < lanes; ++k) {
                        sum[k] += value[k][i] * q[k][i];
                    }
                }
                for (int k = 0; k < lanes; ++k) {
                    total[lanes * h + k] = sum[k];
                }
            }
            continue;
        }
        for (Index i = from; i < to; ++i) {
            for (int r = 0; r < group_rows; ++r) {
                const Index channel = parts.stretched[r] ? i + parts.offset[r] : channel_of(c[r][i], n);
                if (channel >= 0) {
                    total[r] += v[r][i] * ratio[channel];
                }
            }
        }
    }
    for (int r = 0; r < group_rows; ++r) {
        totals[r / lanes][r % lanes] = back_project_entries(plan, j + r, ratio, n, parts.common, rows[r].length,
                                                            total[r]);
    }
}

/*
 * Adds x_j * R[j][.] for the rows of group g to the estimate when each row is a run or made of
 * stretches in ascending channels (sorted_stretches): the channels are cut at every stretch's
 * ends, and each part is loaded and stored once for all the rows that cover it, a vector of
 * channels at a time, their products added in row order as one row after the other would add
 * them; only the channels in [from, to) (from a multiple of four). False, having done nothing,
 * for other groups. Not inlined: inlined, it slowed the groups in lanes of the loop around it
 * by 2-3 %.
 */
VEXORA_CLONES [[gnu::noinline]] inline bool scatter_stretched_rows(const RowPlan& plan, Index g, const double* x,
                                                                   double* __restrict estimate, Index from = 0,
                                                                   Index to = PTRDIFF_MAX) {
    const Index j = g * group_rows;
    StretchCuts<group_rows> parts;
    if (!parts.make(plan, j)) {
        return false;
    }
    for (int k = 0; k + 1 < parts.cuts; ++k) {
        const Index low = std::max(parts.ends[k], from), high = std::min(parts.ends[k + 1], to);
        if (low >= high) {
            continue;
        }
        // The rows that cover [low, high), in row order.
        const double* values[group_rows];
        double scale[group_rows];
        int rows = 0;
        for (int r = 0; r < group_rows; ++r) {
            if (const Stretch* stretch = parts.covering(r, low)) {
                values[rows] = plan.values + plan.rows[j + r].values_at + (low - stretch->offset);
                scale[rows++] = x[j + r];
            }
        }
        const auto add = [&](Index c) VEXORA_INLINE_LAMBDA {
            double e = estimate[low + c];
            for (int q = 0; q < rows; ++q) {
                e += scale[q] * values[q][c];
            }
            estimate[low + c] = e;
        };
        // Whole vectors from the first channel that is a multiple of four, so that the parts of
        // neighbouring groups meet at the same addresses.
        const Index length = high - low, head = std::min<Index>(length, (4 - low % 4) % 4);
        Index c = 0;
        for (; c < head; ++c) {
            add(c);
        }
        for (; c + 4 <= length; c += 4) {
            Double4 e = load4(estimate + low + c);
            for (int q = 0; q < rows; ++q) {
                e += broadcast(scale[q]) * load4(values[q] + c);
            }
            store4(estimate + low + c, e);
        }
        for (; c < length; ++c) {
            add(c);
        }
    }
    return true;
}

/// Adds x_j * R[j][.] for the rows of group g to the estimate, in row order.
VEXORA_VECTOR_HELPER void scatter_group(const RowPlan& plan, Index g, const double* x, double* __restrict estimate,
                                        Index n) {
    const Index j = g * group_rows;
    if (plan.groups[g].band_at >= 0 && all_finite(x + j)) {
        scatter_band(plan.groups[g], plan.band, x + j, estimate);
        return;
    }
    if (plan.groups[g].usable) {
        scatter_lanes(plan.groups[g], plan.rows + j, x + j, plan.values, estimate);
        return;
    }
    if (scatter_stretched_rows(plan, g, x, estimate)) {
        return;
    }
    for (int r = 0; r < group_rows; ++r) {
        scatter_row(plan, j + r, x[j + r], estimate, n);
    }
}

/// Updates x for the rows of group g from their back projections of the ratio.
VEXORA_VECTOR_HELPER void update_group(const RowPlan& plan, Index g, const double* __restrict ratio, bool ratio_finite,
                                       const double* __restrict sensitivity_floor, double* __restrict x,
                                       double* __restrict correction, Index n) {
    const Index j = g * group_rows;
    Double4 totals[halves];
    if (plan.groups[g].band_at >= 0 && ratio_finite) {
        back_project_band(plan.groups[g], plan.band, ratio, totals);
    } else if (plan.groups[g].usable) {
        back_project_lanes(plan.groups[g], plan.rows + j, plan.values, ratio, totals);
    } else {
        back_project_rows(plan, j, ratio, n, totals);
    }
    for (int h = 0; h < halves; ++h) {
        const Index at = j + lanes * h;
        Double4 x4 = load4(x + at), c;
        update(totals[h], load4(sensitivity_floor + at), x4, c);
        store4(correction + at, c);
        store4(x + at, x4);
    }
}


/// ratio = y / (estimate + 1e-12) over n channels; whether every ratio is finite.
inline bool compute_ratio(Index n, const double* __restrict y, const double* __restrict estimate,
                          double* __restrict ratio) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000;
    std::uint64_t non_finite = 0;
    for (Index i = 0; i < n; ++i) {
        ratio[i] = y[i] / (estimate[i] + epsilon);
        non_finite |= (std::bit_cast<std::uint64_t>(ratio[i]) & exponent) == exponent;
    }
    return non_finite == 0;
}

/*
 * One spectrum's arrays for the iterations, each of n channels.
 *
 *   y                 - measured spectrum
 *   sensitivity_floor - fmax(sensitivity, 1e-12)
 *   x                 - estimate, updated in place (ones on entry)
 *   estimate, ratio   - work vectors of work_capacity(n), 32-byte aligned, zero past n
 *   correction        - work vector
 */
struct Spectrum {
    Index n = 0;
    const double* y = nullptr;
    const double* sensitivity_floor = nullptr;
    double* x = nullptr;
    double* estimate = nullptr;
    double* ratio = nullptr;
    double* correction = nullptr;
};

/*
 * ML-EM on one thread: `iterations` times, x_j <- x_j * (sum_i R[j][i] y_i / (yhat_i + 1e-12)) /
 * fmax(s_j, 1e-12) with yhat the forward projection of the previous x; the arguments as Spectrum
 * names them, apart so that the compiler knows they do not overlap. `interrupted` is asked before
 * each iteration; when it answers true, the iterations stop and x is incomplete.
 *
 * One sweep over the rows per iteration: a row's back projection updates its x_j, and the row
 * is at once scattered into the next iteration's forward projection, so the matrix is read once
 * per iteration. Every sum accumulates in the order of the plain algorithm (forward projection
 * in row then entry order, back projection in entry order), so the results are identical.
 */
VEXORA_CLONES inline void sweep_iterations(int iterations, Index n, const double* __restrict y,
                                           const double* __restrict sensitivity_floor, const RowPlan& plan,
                                           double* __restrict x, double* __restrict estimate, double* __restrict ratio,
                                           double* __restrict correction, const Interrupt& interrupted = {}) {
    if (iterations <= 0) {
        return;
    }
    const Index groups = n / group_rows;
    std::fill(estimate, estimate + n, 0.0);
    for (Index g = 0; g < groups; ++g) {
        scatter_group(plan, g, x, estimate, n);
    }
    for (Index j = groups * group_rows; j < n; ++j) {
        scatter_row(plan, j, x[j], estimate, n);
    }
    for (int iteration = 0; iteration < iterations; ++iteration) {
        if (interrupted()) {
            return;
        }
        const bool ratio_finite = compute_ratio(n, y, estimate, ratio);
        const bool project_next = iteration + 1 < iterations;
        if (project_next) {
            std::fill(estimate, estimate + n, 0.0);
        }
        // Each group is scattered after the next one's back projection, so that the scatter
        // runs while that back projection's sums wait on their additions.
        for (Index g = 0; g < groups; ++g) {
            update_group(plan, g, ratio, ratio_finite, sensitivity_floor, x, correction, n);
            if (project_next && g > 0) {
                scatter_group(plan, g - 1, x, estimate, n);
            }
        }
        if (project_next && groups > 0) {
            scatter_group(plan, groups - 1, x, estimate, n);
        }
        for (Index j = groups * group_rows; j < n; ++j) {
            update(back_project_entries(plan, j, ratio, n, 0, plan.rows[j].length, 0.0), sensitivity_floor[j], x[j],
                   correction[j]);
            if (project_next) {
                scatter_row(plan, j, x[j], estimate, n);
            }
        }
    }
}

/// ML-EM on one thread over the spectrum `s`: sweep_iterations.
inline void ml_em_iterations(const RowPlan& plan, const Spectrum& s, int iterations,
                             const Interrupt& interrupted = {}) {
    sweep_iterations(iterations, s.n, s.y, s.sensitivity_floor, plan, s.x, s.estimate, s.ratio, s.correction,
                     interrupted);
}

// ---------------------------------------------------------------------------------------------
// Set-up.

/// What one row's columns are, each read once from the caller's memory.
struct ColumnScan {
    bool in_range;              ///< all in [-n, n)
    bool run;                   ///< channels consecutive and ascending
    std::int32_t first_column;  ///< the first column as read
};

/*
 * Scans a row's columns a vector at a time, so that checking a large matrix costs about a
 * streaming read of its columns: first whether they run consecutively from the first, which
 * settles their range from the two ends; only other rows are read again for their extremes.
 */
[[gnu::always_inline]] inline ColumnScan scan_columns(const std::int32_t* columns, Index length, Index n) {
    const std::int32_t first = columns[0];
    std::uint32_t steps_off = 0;  // nonzero unless columns[i] == first + i (mod 2^32) throughout
    std::uint32_t expected = static_cast<std::uint32_t>(first);
    for (Index i = 0; i < length; ++i) {
        steps_off |= static_cast<std::uint32_t>(columns[i]) ^ expected;
        ++expected;
    }
    const std::int64_t last = std::int64_t{first} + (length - 1);
    // Consecutive raw columns are consecutive channels unless they wrap past the largest int32
    // or cross from -1 to 0.
    if (steps_off == 0 && last <= std::numeric_limits<std::int32_t>::max() && (first >= 0 || last < 0)) {
        return {first >= -n && last < n, true, first};
    }
    std::int32_t lowest = first, highest = first;
    for (Index i = 0; i < length; ++i) {
        lowest = std::min(lowest, columns[i]);
        highest = std::max(highest, columns[i]);
    }
    return {lowest >= -n && highest < n, false, first};
}

/*
 * Classifies the columns of rows[from..to) of n where they lie (first_column of runs, -1 for other
 * rows); the first of those rows with a column outside [-n, n), or -1 when there is none.
 */
VEXORA_CLONES inline Index classify_rows(RowSpan* rows, Index from, Index to, Index n, const std::int32_t* columns) {
    for (Index j = from; j < to; ++j) {
        RowSpan& row = rows[j];
        if (row.length == 0) {
            continue;
        }
        const ColumnScan scan = scan_columns(columns + row.columns_at, row.length, n);
        if (!scan.in_range) {
            return j;
        }
        row.first_column = scan.run ? (scan.first_column < 0 ? scan.first_column + n : scan.first_column) : -1;
    }
    return -1;
}

/*
 * Cuts rows[0..n), which hold `entries` entries in all, into `ranges` ranges of consecutive rows
 * of about equal entries: range k is rows [bounds[k], bounds[k + 1]).
 */
inline void cut_rows(const RowSpan* rows, Index n, Index entries, Index ranges, Index* bounds) {
    Index below = 0, j = 0;
    for (Index k = 0; k < ranges; ++k) {
        bounds[k] = j;
        // Entries below range k + 1's first row: about (k + 1) / ranges of them.
        const Index target = static_cast<Index>(static_cast<double>(entries) * static_cast<double>(k + 1) /
                                                static_cast<double>(ranges));
        while (j < n && below < target) {
            below += rows[j++].length;
        }
    }
    bounds[ranges] = n;
}

/// One lane group per `group_rows` rows of rows[n], over `values_size` values.
inline void plan_groups(const RowSpan* rows, Index n, Index values_size, const Layout& layout, LaneGroup* groups) {
    for (Index g = 0; g < n / group_rows; ++g) {
        groups[g] = plan_lane_group(rows + g * group_rows, values_size, work_capacity(n), layout);
    }
}

/*
 * Doubles of the bands of every usable group, or 0 when the layout's budget cannot hold them all:
 * beyond the cache the iterations are bound by memory, where the bands' zeros would only add
 * traffic (and the copy's cost would not come back).
 */
inline Index band_size(const LaneGroup* groups, Index n, const Layout& layout) {
    Index size = 0;
    for (Index g = 0; g < n / group_rows; ++g) {
        if (groups[g].usable) {
            size += (groups[g].end_block - groups[g].first_block) * group_rows;  // bounded by the lanes check
            if (size > layout.band_bytes / static_cast<Index>(sizeof(double))) {
                return 0;
            }
        }
    }
    return size;
}

/// Lays out every usable group's values as its band in band[band_size(...)], 32-byte aligned.
inline void fill_bands(LaneGroup* groups, const RowSpan* rows, Index n, const double* values, double* band) {
    Index at = 0;
    for (Index g = 0; g < n / group_rows; ++g) {
        LaneGroup& group = groups[g];
        if (group.usable) {
            group.band_at = at;
            fill_band(group, rows + g * group_rows, values, band);
            at += (group.end_block - group.first_block) * group_rows;
        }
    }
}

}  // namespace vexora::core::ml_em
