// ML-EM split over a team of threads with the bits of one thread: no sum changes its order.
//
// Each iteration runs in two phases. Rows: every row's back projection (summed in entry order)
// and update, rows in ranges of whole lane groups. Channels: the forward projection of the new
// x, each thread owning ranges of channels to which it adds, in row order, the entries of every
// row that fall in them, then the ratio of those channels. A channel's estimate is thus the same
// sum in the same order as in the one-sweep loop, whichever thread adds it.
//
// The split reads the matrix twice per iteration where one thread reads it once, but its threads
// meet only twice an iteration, where the pipeline of ml_em_pipeline.hpp hands sums on for every
// group that reaches several threads' channels: it serves the responses whose rows reach far
// across the axis (core/ml_em_plan.hpp).
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ml_em.hpp"
#include "parallel.hpp"

namespace vexora::core::ml_em {

/// Ranges of rows, and of channels, per thread: a thread that finishes early takes another's, and
/// few enough that each range's fixed costs stay small.
inline constexpr Index ranges_per_thread = 4;

/// Entry `entry` of row `row`, an entry that is read by its column (of a row that is not a run,
/// outside the stretches of its segments), filed under its channel's range.
struct ScatteredEntry {
    Index row;
    Index entry;
};

/*
 * The forward projection's ranges of channels: range k is [k * width, min((k + 1) * width,
 * round_up4(n))), whole vectors of the estimate. Range k reads the groups [group_from[k],
 * group_to[k]) (every group with an entry in it), then the rows past the last whole group; the
 * entries read by their columns (those of rows that are not runs, outside the stretches of
 * their segments) that it adds are scattered[scattered_at[k] .. scattered_at[k + 1]), in row
 * then entry order.
 */
struct ColumnSplit {
    Index ranges = 0;
    Index width = 0;
    Index* group_from = nullptr;
    Index* group_to = nullptr;
    Index* scattered_at = nullptr;  // [ranges + 1]
    ScatteredEntry* scattered = nullptr;
    /// The first range that the rows past the last whole group have an entry in.
    Index tail_from = 0;
};

/// Width of each of (about) `ranges` ranges of channels over n: a whole number of vectors.
inline Index column_width(Index n, Index ranges) {
    return std::max<Index>(round_up4((round_up4(n) + ranges - 1) / std::max<Index>(ranges, 1)), lanes);
}

/// How many ranges of `width` channels cover n channels.
inline Index column_ranges(Index n, Index width) { return (round_up4(n) + width - 1) / width; }

/*
 * First half of the set-up: split.scattered_at[k + 1] = the entries read by their columns
 * whose column (read here) lies in range k, then their running sums; split.scattered_at[ranges]
 * is then the size that split.scattered needs. split.width, ranges and scattered_at are set.
 */
inline void count_scattered(const RowPlan& plan, Index n, ColumnSplit& split) {
    std::fill(split.scattered_at, split.scattered_at + split.ranges + 1, Index{0});
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        for_each_part(
            row, plan.segments.of(j), plan.segments.count(j), 0, row.length, [](Index, Index, Index) {},
            [&](Index begin, Index end) {
                for_each_column(plan.columns + row.columns_at, begin, end, n,
                                [&](Index, Index channel) { ++split.scattered_at[channel / split.width + 1]; });
            });
    }
    for (Index k = 0; k < split.ranges; ++k) {
        split.scattered_at[k + 1] += split.scattered_at[k];
    }
}

/*
 * Second half: files the scattered entries (their columns read again: one that moved to another
 * range since they were counted is left out when its range is full, as no static matrix does)
 * and finds each range's groups. cursor[ranges] is work space.
 */
inline void fill_column_split(const RowPlan& plan, Index n, ColumnSplit& split, Index* cursor) {
    const Index groups = n / group_rows;
    std::copy(split.scattered_at, split.scattered_at + split.ranges, cursor);
    std::fill(split.group_from, split.group_from + split.ranges, groups);
    std::fill(split.group_to, split.group_to + split.ranges, Index{0});
    const auto touch = [&](Index k, Index g) {
        split.group_from[k] = std::min(split.group_from[k], g);
        split.group_to[k] = std::max(split.group_to[k], g + 1);
    };
    split.tail_from = split.ranges;
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        const Index g = j / group_rows;
        if (row.length == 0) {
            continue;
        }
        const auto reach = [&](Index k) {
            if (g < groups) {
                touch(k, g);
            } else {
                split.tail_from = std::min(split.tail_from, k);
            }
        };
        const auto stretch = [&](Index begin, Index end, Index offset) {
            for (Index k = (begin + offset) / split.width; k <= (end - 1 + offset) / split.width && k < split.ranges;
                 ++k) {
                reach(k);
            }
        };
        const auto loose = [&](Index begin, Index end) {
            for_each_column(plan.columns + row.columns_at, begin, end, n, [&](Index i, Index channel) {
                const Index k = channel / split.width;
                if (cursor[k] < split.scattered_at[k + 1]) {
                    split.scattered[cursor[k]++] = {j, i};
                    reach(k);
                }
            });
        };
        for_each_part(row, plan.segments.of(j), plan.segments.count(j), 0, row.length, stretch, loose);
    }
    // Entries left out leave their places unused: marked with a row that no range reaches.
    for (Index k = 0; k < split.ranges; ++k) {
        for (Index at = cursor[k]; at < split.scattered_at[k + 1]; ++at) {
            split.scattered[at] = {n, 0};
        }
    }
}

/// Adds x_j * v[i] to estimate[i + offset] for the entries i in [begin, end) of a stretch whose
/// channel i + offset lies in [from, to).
inline void scatter_stretch_between(const double* __restrict v, Index begin, Index end, Index offset, double x_j,
                                    double* __restrict estimate, Index from, Index to) {
    const Index first = std::max(begin, from - offset), last = std::min(end, to - offset);
    for (Index i = first; i < last; ++i) {
        estimate[i + offset] += x_j * v[i];
    }
}

/// Adds x_j * R[j][c] for the channels c of a run row that lie in [from, to).
inline void scatter_run_between(const RowSpan& row, double x_j, const double* __restrict values,
                                double* __restrict estimate, Index from, Index to) {
    scatter_stretch_between(values + row.values_at, 0, row.length, row.first_column, x_j, estimate, from, to);
}

/*
 * Range k of the forward projection of x: estimate[c] = sum over rows j in order of
 * x_j * R[j][c], for the channels c of the range; then ratio[c] for those below n. Whether
 * those ratios are all finite.
 */
VEXORA_CLONES inline bool project_range(const RowPlan& plan, const ColumnSplit& split, Index k, Index n,
                                        const double* __restrict y, const double* x, double* __restrict estimate,
                                        double* __restrict ratio) {
    const Index from = k * split.width, to = std::min(from + split.width, round_up4(n));
    const Index end = std::min(to, n);
    if (from < end) {
        std::fill(estimate + from, estimate + end, 0.0);
    }
    const ScatteredEntry* scattered = split.scattered + split.scattered_at[k];
    const ScatteredEntry* scattered_end = split.scattered + split.scattered_at[k + 1];
    // A row's parts in entry order: stretches (runs among them) by arithmetic, the entries read
    // by their columns from the range's list, which holds them in row then entry order.
    const auto row = [&](Index j) {
        const RowSpan& r = plan.rows[j];
        const double* v = plan.values + r.values_at;
        const auto stretch = [&](Index begin, Index end, Index offset) {
            scatter_stretch_between(v, begin, end, offset, x[j], estimate, from, to);
        };
        const auto loose = [&](Index, Index end) {
            for (; scattered != scattered_end && scattered->row == j && scattered->entry < end; ++scattered) {
                const Index channel = channel_of(plan.columns[r.columns_at + scattered->entry], n);
                if (channel >= from && channel < to) {
                    estimate[channel] += x[j] * v[scattered->entry];
                }
            }
        };
        for_each_part(r, plan.segments.of(j), plan.segments.count(j), 0, r.length, stretch, loose);
    };
    for (Index g = split.group_from[k]; g < split.group_to[k]; ++g) {
        const Index j = g * group_rows;
        if (plan.groups[g].band_at >= 0 && all_finite(x + j)) {
            scatter_band(plan.groups[g], plan.band, x + j, estimate, from, to);
        } else if (plan.groups[g].usable) {
            const RowSpan& last = plan.rows[j + group_rows - 1];
            scatter_lanes(plan.groups[g], plan.rows + j, x + j, plan.values, estimate, from, to,
                          last.values_at + last.length - plan.rows[j].values_at);
        } else if (!scatter_stretched_rows(plan, g, x, estimate, from, to)) {
            for (int r = 0; r < group_rows; ++r) {
                row(j + r);
            }
        }
    }
    for (Index j = k >= split.tail_from ? n / group_rows * group_rows : n; j < n; ++j) {
        row(j);
    }
    return from >= end || compute_ratio(end - from, y + from, estimate + from, ratio + from);
}

/// Back projections and updates of the rows of groups [first, end), and of the rows past the
/// last whole group when `tail`.
VEXORA_CLONES inline void update_rows(const RowPlan& plan, Index first, Index end, bool tail, Index n,
                                      const double* __restrict ratio, bool ratio_finite,
                                      const double* __restrict sensitivity_floor, double* __restrict x,
                                      double* __restrict correction) {
    for (Index g = first; g < end; ++g) {
        update_group(plan, g, ratio, ratio_finite, sensitivity_floor, x, correction, n);
    }
    if (tail) {
        for (Index j = n / group_rows * group_rows; j < n; ++j) {
            update(back_project_entries(plan, j, ratio, n, 0, plan.rows[j].length, 0.0), sensitivity_floor[j], x[j],
                   correction[j]);
        }
    }
}

/*
 * ml_em_iterations on a team, with the same bits for any team size.
 *
 *   split        - the forward projection's ranges, planned for this plan and s.n
 *   row_ranges   - how many ranges the rows are cut into (at least 1)
 *   finite[split.ranges] - work space: whether each range's ratios are finite
 *   interrupted  - asked by the team's caller between its chunks; when it answers true, the
 *                  iterations stop and x is incomplete
 */
inline void ml_em_split_iterations(parallel::Team& team, const ColumnSplit& split, Index row_ranges,
                                   const RowPlan& plan, const Spectrum& s, bool* finite, int iterations,
                                   const Interrupt& interrupted = {}) {
    if (iterations <= 0) {
        return;
    }
    const Index n = s.n;
    const double* y = s.y;
    const double* sensitivity_floor = s.sensitivity_floor;
    double *x = s.x, *estimate = s.estimate, *ratio = s.ratio, *correction = s.correction;
    const Index groups = n / group_rows;
    row_ranges = std::clamp<Index>(row_ranges, 1, std::max<Index>(groups, 1));
    // Phases take their ranges alternately from the first and from the last, so that each starts
    // on the rows that the one before read last, which the cache may still hold.
    bool backwards = false;
    auto project = [&](Index c) {
        const Index k = backwards ? split.ranges - 1 - c : c;
        finite[k] = project_range(plan, split, k, n, y, x, estimate, ratio);
    };
    bool ratio_finite = true;
    auto rows = [&](Index c) {
        const Index r = backwards ? row_ranges - 1 - c : c;
        update_rows(plan, groups * r / row_ranges, groups * (r + 1) / row_ranges, r + 1 == row_ranges, n, ratio,
                    ratio_finite, sensitivity_floor, x, correction);
    };
    for (int iteration = 0; iteration < iterations; ++iteration) {
        if ((iteration == 0 && !team.run(split.ranges, project, interrupted)) || (iteration > 0 && interrupted())) {
            return;
        }
        ratio_finite = std::all_of(finite, finite + split.ranges, [](bool f) { return f; });
        backwards = !backwards;
        if (!team.run(row_ranges, rows, interrupted)) {
            return;
        }
        backwards = !backwards;
        if (iteration + 1 < iterations && !team.run(split.ranges, project, interrupted)) {
            return;
        }
    }
}

}  // namespace vexora::core::ml_em
