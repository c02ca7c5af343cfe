// ML-EM on a CSR matrix, rows in groups: each group of eight rows runs row by row, in the lanes
// of vectors over the caller's values (masked where rows differ), or over a dense band of its
// values. Every path adds in the same order, so all give the same bits.
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "../simd/vector.hpp"
#include "strided.hpp"

namespace vexora::core::ml_em {

using namespace vexora::simd;

/*
 * Where row j of a CSR matrix keeps its entries once every position has been checked:
 * values[values_at + i] and columns[columns_at + i] for i < length. Columns were checked to lie
 * in [-n, n), negative ones counting from the end. A row whose columns run consecutively from
 * first_column (in [0, n)) needs no column loads; other rows have first_column = -1.
 */
struct RowSpan {
    Index values_at;
    Index columns_at;
    Index length;
    Index first_column;
};

/*
 * Channel of a column read from the matrix during the iterations, negative counting from the
 * end; -1 when outside [-n, n). Columns were checked when the plan was made, but memory that
 * another thread or process writes meanwhile may hold anything by now: the loop never trusts it.
 */
inline Index channel_of(std::int32_t column, Index n) {
    const Index channel = column < 0 ? column + n : column;
    return static_cast<size_t>(channel) < static_cast<size_t>(n) ? channel : -1;
}

/*
 * e[i] += x_j * v[i] for i < length, in aligned blocks of four, so that the overlapping runs of
 * neighbouring rows meet at the same addresses and each load gets its value forwarded from the
 * previous row's store.
 */
VEXORA_VECTOR_HELPER void add_scaled(double* __restrict e, const double* __restrict v, Index length, double x_j) {
    const auto misalignment = (reinterpret_cast<std::uintptr_t>(e) / sizeof(double)) % 4;
    const Index head = std::min<Index>(length, (4 - misalignment) % 4);
    Index i = 0;
    for (; i < head; ++i) {
        e[i] += x_j * v[i];
    }
    const Double4 x4 = {x_j, x_j, x_j, x_j};
    for (; i + 4 <= length; i += 4) {
        Double4 v4, e4;
        std::memcpy(&v4, v + i, sizeof v4);
        std::memcpy(&e4, e + i, sizeof e4);
        e4 += x4 * v4;
        std::memcpy(e + i, &e4, sizeof e4);
    }
    for (; i < length; ++i) {
        e[i] += x_j * v[i];
    }
}

/// Consecutive rows handled together: two vectors' worth, so that two independent sums hide
/// the latency of each other's additions.
constexpr int group_rows = 2 * lanes;
constexpr int halves = group_rows / lanes;  // vectors per group

/*
 * Adds products of the group's rows (p[r] holds four consecutive products of row r) to their
 * sums: lane r of totals[h] takes row lanes * h + r's four, one after another.
 */
VEXORA_VECTOR_HELPER void add_by_rows(Double4 (&p)[group_rows], Double4 (&totals)[halves]) {
    for (int h = 0; h < halves; ++h) {
        transpose(p + lanes * h);
        for (int k = 0; k < lanes; ++k) {
            totals[h] = totals[h] + p[lanes * h + k];
        }
    }
}

inline Index round_down4(Index i) { return i & ~Index{3}; }

inline Index round_up4(Index i) { return round_down4(i + 3); }

/// Channels that the estimate and ratio work vectors hold: n, rounded up to whole vectors, and
/// room past it for whole-vector reads of the rows of a group that ends near channel n.
inline Index work_capacity(Index n) { return round_up4(n) + 2 * group_rows; }

/*
 * `group_rows` consecutive rows whose back projections and scatters run in the lanes of
 * vectors: all are consecutive runs of similar lengths and places (so that few lanes idle),
 * and every read and write rounded out to whole vectors stays inside the values, the ratio and
 * the estimate. Back projection: entries [0, common) are in every row, [common, span) are
 * masked row by row. Scatter: the blocks of four channels in [full_from, full_to) lie inside
 * all the rows, those in [first_block, full_from) and [full_to, end_block) are masked row by
 * row. band_at: where the group's banded values start, or -1 when it has none.
 */
struct LaneGroup {
    bool usable = false;
    Index common, span;
    Index first_block, full_from, full_to, end_block;
    Index band_at = -1;
};

/*
 * Limits of the layouts. The defaults are the measured best; tests pass others to force rows,
 * lanes or bands on one matrix.
 */
struct Layout {
    /// Lanes a group may run per entry of its rows (beyond that, rows run one by one); negative:
    /// every row runs alone.
    Index lanes_per_entry = 4;
    /// Bytes of banded values at most: about what stays in the last-level cache beside the rest.
    Index band_bytes = Index{16} << 20;
};

/*
 * Plans the group of rows[0..group_rows) over `values_size` values and work vectors that hold
 * `capacity` channels (a multiple of four, at least n): unusable when its lanes would idle
 * beyond the layout's limit or read outside those.
 */
inline LaneGroup plan_lane_group(const RowSpan* rows, Index values_size, Index capacity, const Layout& layout) {
    if (layout.lanes_per_entry < 0) {
        return {};
    }
    Index shortest = PTRDIFF_MAX, longest = 0, entries = 0;
    Index lowest_first = PTRDIFF_MAX, highest_first = 0, lowest_end = PTRDIFF_MAX, highest_end = 0;
    for (int r = 0; r < group_rows; ++r) {
        const RowSpan& row = rows[r];
        if (row.first_column < 0 || row.length == 0) {
            return {};
        }
        const Index end = row.first_column + row.length;
        entries += row.length;
        shortest = std::min(shortest, row.length);
        longest = std::max(longest, row.length);
        lowest_first = std::min(lowest_first, row.first_column);
        highest_first = std::max(highest_first, row.first_column);
        lowest_end = std::min(lowest_end, end);
        highest_end = std::max(highest_end, end);
    }
    LaneGroup group{
        true, round_down4(shortest), round_up4(longest), round_down4(lowest_first), round_up4(highest_first),
        0,    round_up4(highest_end)};
    group.full_to = std::max(round_down4(lowest_end), group.full_from);
    const Index lanes_allowed = layout.lanes_per_entry * entries + 64 * group_rows;
    if (group.span * group_rows > lanes_allowed || (group.end_block - group.first_block) * group_rows > lanes_allowed) {
        return {};
    }
    for (int r = 0; r < group_rows; ++r) {
        const RowSpan& row = rows[r];
        const Index shift = row.values_at - row.first_column;  // position of channel c's value: shift + c
        group.usable = group.usable && row.values_at + group.span <= values_size &&
                       row.first_column + group.span <= capacity && shift + group.first_block >= 0 &&
                       shift + group.end_block <= values_size;
    }
    group.usable = group.usable && group.end_block <= capacity;
    return group;
}

/*
 * Back projections of a lane group: lane r of totals[h] sums row lanes * h + r, its products
 * in entry order.
 */
VEXORA_VECTOR_HELPER void back_project_lanes(const LaneGroup& group, const RowSpan* rows,
                                             const double* __restrict values, const double* __restrict ratio,
                                             Double4 (&totals)[halves]) {
    const double* v[group_rows];
    const double* q[group_rows];
    Long4 length[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        v[r] = values + rows[r].values_at;
        q[r] = ratio + rows[r].first_column;
        length[r] = broadcast(rows[r].length);
    }
    for (Double4& total : totals) {
        total = Double4{};
    }
    // Matrices beyond the cache: each row also asks for the values the next group will read
    // (about one group's entries further on), which the hardware's prefetchers, following
    // eight streams at once, fetch too late.
    const Index ahead = rows[group_rows - 1].values_at + rows[group_rows - 1].length - rows[0].values_at;
    Index i = 0;
    for (; i < group.common; i += 4) {
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(v[r] + i) * load4(q[r] + i);
            __builtin_prefetch(
                reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(v[r] + i) + ahead * sizeof(double)));
        }
        add_by_rows(p, totals);
    }
    for (; i < group.span; i += 4) {
        const Long4 entry = Long4{0, 1, 2, 3} + broadcast(i);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = keep(load4(v[r] + i) * load4(q[r] + i), entry < length[r]);
        }
        add_by_rows(p, totals);
    }
}

/// Lanes of the block of channels b..b+3 that lie in [first, end).
VEXORA_VECTOR_HELPER Long4 channels_inside(Index b, Long4 first, Long4 end) {
    const Long4 channel = Long4{0, 1, 2, 3} + broadcast(b);
    return (channel >= first) & (channel < end);
}

/*
 * Adds the rows of a lane group to the estimate, each block of four channels loaded and
 * stored once for all the rows, which are added in row order; only the blocks in [from, to)
 * (multiples of four) when given. With `ahead` (when the values were not just read by the back
 * projection), each row also asks for the values `ahead` doubles further on: the next group's.
 */
VEXORA_VECTOR_HELPER void scatter_lanes(const LaneGroup& group, const RowSpan* rows, const double* x,
                                        const double* __restrict values, double* __restrict estimate, Index from = 0,
                                        Index to = PTRDIFF_MAX, Index ahead = 0) {
    Double4 x4[group_rows];
    Index shift[group_rows];
    Long4 first[group_rows], end[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        x4[r] = broadcast(x[r]);
        shift[r] = rows[r].values_at - rows[r].first_column;
        first[r] = broadcast(rows[r].first_column);
        end[r] = broadcast(rows[r].first_column + rows[r].length);
    }
    const auto masked_block = [&](Index b) {
        Double4 e = load4(estimate + b);
        for (int r = 0; r < group_rows; ++r) {
            e = e + keep(x4[r] * load4(values + shift[r] + b), channels_inside(b, first[r], end[r]));
        }
        store4(estimate + b, e);
    };
    const Index last = std::min(group.end_block, to);
    Index b = std::max(group.first_block, from);
    for (; b < std::min(group.full_from, last); b += 4) {
        masked_block(b);
    }
    if (ahead > 0) {
        for (; b < std::min(group.full_to, last); b += 4) {
            Double4 e = load4(estimate + b);
            for (int r = 0; r < group_rows; ++r) {
                e = e + x4[r] * load4(values + shift[r] + b);
                __builtin_prefetch(reinterpret_cast<const void*>(
                    reinterpret_cast<std::uintptr_t>(values + shift[r] + b) + ahead * sizeof(double)));
            }
            store4(estimate + b, e);
        }
    }
    for (; b < std::min(group.full_to, last); b += 4) {
        Double4 e = load4(estimate + b);
        for (int r = 0; r < group_rows; ++r) {
            e = e + x4[r] * load4(values + shift[r] + b);
        }
        store4(estimate + b, e);
    }
    for (; b < last; b += 4) {
        masked_block(b);
    }
}

/*
 * A banded group keeps its values as a dense band over its blocks of channels
 * [first_block, end_block): for each block, one vector per row, zero where the row has no
 * entry. Back projections and scatters then need no masks, as long as the zeros add nothing:
 * a zero times a finite ratio or x is +-0.0, which leaves a sum that started from +0.0
 * unchanged. A non-finite ratio or x (whose product with zero is NaN) takes the masked lanes.
 */

/// Lays out the values of a usable lane group as its band, reading what its scatter reads.
VEXORA_CLONES inline void fill_band(const LaneGroup& group, const RowSpan* rows, const double* __restrict values,
                                    double* __restrict band) {
    for (int r = 0; r < group_rows; ++r) {
        const Index shift = rows[r].values_at - rows[r].first_column;
        const Long4 first = broadcast(rows[r].first_column), end = broadcast(rows[r].first_column + rows[r].length);
        double* w = band + group.band_at + 4 * r;
        for (Index b = group.first_block; b < group.end_block; b += 4, w += 4 * group_rows) {
            store4(w, keep(load4(values + shift + b), channels_inside(b, first, end)));
        }
    }
}

/// Back projections of a banded group: lane r of totals[h] sums row lanes * h + r in entry order.
VEXORA_VECTOR_HELPER void back_project_band(const LaneGroup& group, const double* __restrict band,
                                            const double* __restrict ratio, Double4 (&totals)[halves]) {
    for (Double4& total : totals) {
        total = Double4{};
    }
    const double* w = band + group.band_at;
    for (Index b = group.first_block; b < group.end_block; b += 4, w += 4 * group_rows) {
        const Double4 q = load4(ratio + b);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(w + 4 * r) * q;
        }
        add_by_rows(p, totals);
    }
}

/// Adds the rows of a banded group to the estimate, in row order; only the blocks in [from, to)
/// (multiples of four) when given.
VEXORA_VECTOR_HELPER void scatter_band(const LaneGroup& group, const double* __restrict band, const double* x,
                                       double* __restrict estimate, Index from = 0, Index to = PTRDIFF_MAX) {
    Double4 x4[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        x4[r] = broadcast(x[r]);
    }
    const Index first = std::max(group.first_block, from), end = std::min(group.end_block, to);
    if (first >= end) {
        return;
    }
    const double* w = band + group.band_at + (first - group.first_block) * group_rows;
    for (Index b = first; b < end; b += 4, w += 4 * group_rows) {
        Double4 e = load4(estimate + b);
        for (int r = 0; r < group_rows; ++r) {
            e = e + x4[r] * load4(w + 4 * r);
        }
        store4(estimate + b, e);
    }
}

/// Whether all `group_rows` values from x on are finite.
VEXORA_VECTOR_HELPER bool all_finite(const double* x) {
    Long4 non_finite = {};
    for (int h = 0; h < halves; ++h) {
        const Double4 v = load4(x + lanes * h);
        non_finite |= (v - v) != 0.0;  // NaN for infinities and NaN
    }
    return (non_finite[0] | non_finite[1] | non_finite[2] | non_finite[3]) == 0;
}


}  // namespace vexora::core::ml_em
