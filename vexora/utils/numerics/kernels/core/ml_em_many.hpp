// ML-EM of many spectra over one checked row plan: the spectra side by side in the lanes of
// vectors, so that each pass reads every matrix entry once for a whole block of spectra.
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "../simd/vector.hpp"
#include "ml_em.hpp"
#include "ml_em_segments.hpp"

namespace vexora::core::ml_em {

/// Most vectors of spectra that one block holds: 16 spectra at four lanes, 32 at eight. Wider
/// blocks read the matrix less often but cannot keep several rows' sums in registers, which costs
/// more than it saves.
inline constexpr int most_block_vectors = 4;

/*
 * One block of `width` spectra (a whole number of vectors) over n channels, channel-major:
 * element [c * width + s] belongs to channel c of the block's spectrum s. Lanes past the block's
 * last spectrum hold y = 0 and x = 1, so their ratios stay 0 and nothing they compute is used.
 *
 *   y[n * width]         - measured spectra
 *   x[n * width]         - estimates, updated in place (ones on entry)
 *   estimate, ratio      - work arrays of n * width
 */
struct SpectraBlock {
    const double* y;
    double* x;
    double* estimate;
    double* ratio;
};

/// Adds value * ratio[channel] for entries [from, to) of row j to its V vectors of sums, in entry order.
template <class D, int V>
VEXORA_VECTOR_HELPER void back_project_many(const RowPlan& plan, Index j, const double* __restrict ratio, Index n,
                                            Index from, Index to, D (&totals)[V]) {
    constexpr Index width = V * width_of<D>;
    const RowSpan& row = plan.rows[j];
    const double* v = plan.values + row.values_at;
    const auto stretch = [&](Index begin, Index end, Index offset) VEXORA_INLINE_LAMBDA {
        const double* r = ratio + offset * width;
        for (Index i = begin; i < end; ++i) {
            const D value = splat<D>(v[i]);
            for (int h = 0; h < V; ++h) {
                totals[h] = totals[h] + value * load<D>(r + i * width + width_of<D> * h);
            }
        }
    };
    const auto loose = [&](Index begin, Index end) VEXORA_INLINE_LAMBDA {
        for_each_column(plan.columns + row.columns_at, begin, end, n, [&](Index i, Index channel) VEXORA_INLINE_LAMBDA {
            const D value = splat<D>(v[i]);
            for (int h = 0; h < V; ++h) {
                totals[h] = totals[h] + value * load<D>(ratio + channel * width + width_of<D> * h);
            }
        });
    };
    for_each_part(row, plan.segments.of(j), plan.segments.count(j), from, to, stretch, loose);
}

/// Adds x * value to estimate[channel] for every entry of row j, in entry order.
template <class D, int V>
VEXORA_VECTOR_HELPER void scatter_many(const RowPlan& plan, Index j, const D (&x)[V], double* __restrict estimate,
                                       Index n) {
    constexpr Index width = V * width_of<D>;
    const RowSpan& row = plan.rows[j];
    const double* v = plan.values + row.values_at;
    const auto stretch = [&](Index begin, Index end, Index offset) VEXORA_INLINE_LAMBDA {
        double* e = estimate + offset * width;
        for (Index i = begin; i < end; ++i) {
            const D value = splat<D>(v[i]);
            for (int h = 0; h < V; ++h) {
                store(e + i * width + width_of<D> * h, load<D>(e + i * width + width_of<D> * h) + x[h] * value);
            }
        }
    };
    const auto loose = [&](Index begin, Index end) VEXORA_INLINE_LAMBDA {
        for_each_column(plan.columns + row.columns_at, begin, end, n, [&](Index i, Index channel) VEXORA_INLINE_LAMBDA {
            const D value = splat<D>(v[i]);
            double* e = estimate + channel * width;
            for (int h = 0; h < V; ++h) {
                store(e + width_of<D> * h, load<D>(e + width_of<D> * h) + x[h] * value);
            }
        });
    };
    for_each_part(row, plan.segments.of(j), plan.segments.count(j), 0, row.length, stretch, loose);
}

/// Adds x * values[i - first] to estimate[channel i] for the channels [from, to) of a run at `first`.
template <class D, int V>
VEXORA_VECTOR_HELPER void scatter_run(const double* v, Index first, Index from, Index to, const D (&x)[V],
                                      double* __restrict estimate) {
    constexpr Index width = V * width_of<D>;
    for (Index channel = from; channel < to; ++channel) {
        const D value = splat<D>(v[channel - first]);
        double* e = estimate + channel * width;
        for (int h = 0; h < V; ++h) {
            store(e + width_of<D> * h, load<D>(e + width_of<D> * h) + x[h] * value);
        }
    }
}

/*
 * Scatters R consecutive rows. Where each channel is in at most one stretch of a row (runs, and
 * rows of ascending segments), the channels are cut at every stretch's ends: a part that every
 * row covers is loaded and stored once for all of them, the rows' products added in row order;
 * a part that some rows cover takes their products one row after the other. Either way each
 * channel adds its rows in row order. Other rows are scattered one after the other.
 */
template <class D, int V, int R>
VEXORA_VECTOR_HELPER void scatter_rows(const RowPlan& plan, Index j, const D (&x)[R][V], double* __restrict estimate,
                                       Index n) {
    constexpr Index width = V * width_of<D>;
    StretchCuts<R> parts;
    if (!parts.make(plan, j)) {
        for (int q = 0; q < R; ++q) {
            scatter_many<D, V>(plan, j + q, x[q], estimate, n);
        }
        return;
    }
    const double* v[R];
    for (int r = 0; r < R; ++r) {
        v[r] = plan.values + plan.rows[j + r].values_at;
    }
    for (int k = 0; k + 1 < parts.cuts; ++k) {
        const Index low = parts.ends[k], high = parts.ends[k + 1];
        const Stretch* covering[R];
        bool all = true;
        for (int r = 0; r < R; ++r) {
            covering[r] = parts.covering(r, low);
            all = all && covering[r] != nullptr;
        }
        if (!all) {
            for (int r = 0; r < R; ++r) {
                if (covering[r] != nullptr) {
                    scatter_run<D, V>(v[r], covering[r]->offset, low, high, x[r], estimate);
                }
            }
            continue;
        }
        Index offset[R];
        for (int r = 0; r < R; ++r) {
            offset[r] = covering[r]->offset;
        }
        for (Index channel = low; channel < high; ++channel) {
            double* e = estimate + channel * width;
            D sums[V];
            for (int h = 0; h < V; ++h) {
                sums[h] = load<D>(e + width_of<D> * h);
            }
            for (int r = 0; r < R; ++r) {
                const D value = splat<D>(v[r][channel - offset[r]]);
                for (int h = 0; h < V; ++h) {
                    sums[h] = sums[h] + x[r][h] * value;
                }
            }
            for (int h = 0; h < V; ++h) {
                store(e + width_of<D> * h, sums[h]);
            }
        }
    }
}

/*
 * The scatter of R runs with the channels that all of them cover, [low, high), held back to run
 * beside the next rows' back projection (back_project_staggered) channel by channel: that loop waits
 * on matrix values coming from memory, this one works on values already in the cache. Each
 * channel still adds its rows in row order and the channels are independent, so the bits are
 * those of scatter_rows.
 */
template <class D, int V, int R>
struct HeldScatter {
    double* estimate = nullptr;
    Index low = 0, high = 0;            ///< the channels held back
    Index done_low = 0, done_high = 0;  ///< of which these were scattered beside a back projection
    const double* value[R] = {};        ///< row r's entry for channel low + i is value[r][i]
    D x[R][V] = {};

    /// Scatters rows j to j + R - 1 but for the channels they all cover; false, with nothing
    /// scattered, unless they are runs that share at least 4 R channels.
    VEXORA_VECTOR_HELPER bool make(const RowPlan& plan, Index j, const D (&x_rows)[R][V],
                                   double* __restrict estimate_) {
        const RowSpan* rows = plan.rows + j;
        low = 0;
        high = std::numeric_limits<Index>::max();
        for (int r = 0; r < R; ++r) {
            if (rows[r].first_column < 0) {
                return false;
            }
            low = std::max(low, rows[r].first_column);
            high = std::min(high, rows[r].first_column + rows[r].length);
        }
        if (high - low < 4 * R) {
            return false;
        }
        estimate = estimate_;
        done_low = done_high = low;
        for (int r = 0; r < R; ++r) {
            const double* v = plan.values + rows[r].values_at;
            const Index first = rows[r].first_column, end = first + rows[r].length;
            for (int h = 0; h < V; ++h) {
                x[r][h] = x_rows[r][h];
            }
            value[r] = v + (low - first);
            scatter_run<D, V>(v, first, first, low, x_rows[r], estimate);
            scatter_run<D, V>(v, first, high, end, x_rows[r], estimate);
        }
        return true;
    }

    /// Channel c (in [low, high)): its rows' products added in row order.
    VEXORA_VECTOR_HELPER void add(Index c) {
        double* e = estimate + c * V * width_of<D>;
        D sums[V];
        for (int h = 0; h < V; ++h) {
            sums[h] = load<D>(e + width_of<D> * h);
        }
        for (int r = 0; r < R; ++r) {
            const D value_r = splat<D>(value[r][c - low]);
            for (int h = 0; h < V; ++h) {
                sums[h] = sums[h] + x[r][h] * value_r;
            }
        }
        for (int h = 0; h < V; ++h) {
            store(e + width_of<D> * h, sums[h]);
        }
    }

    /// The held channels that no back projection took.
    VEXORA_VECTOR_HELPER void finish() {
        for (Index c = low; c < done_low; ++c) {
            add(c);
        }
        for (Index c = done_high; c < high; ++c) {
            add(c);
        }
    }
};

/// In place of a HeldScatter where no scatter is held.
struct NothingHeld {
    Index low = 0, high = 0, done_low = 0, done_high = 0;
    VEXORA_VECTOR_HELPER void add(Index) {}
};

/// Asks for the matrix values at `address` (into the second-level cache), for rows read later.
VEXORA_VECTOR_HELPER void prefetch_values(std::uintptr_t address) {
    __builtin_prefetch(reinterpret_cast<const void*>(address), 0, 2);
}

/*
 * Back projections of the entries [from, to) of R rows that form a band: row r's entry i falls on
 * channel i + r of `band` (ratios, `width` to a channel). Going channel by channel loads each
 * channel's ratios once for every row that reaches it; each row still adds its entries in order.
 * Each channel asks for R values from `next_rows` on (see back_project_row_block).
 */
template <class D, int V, int R, class Held>
VEXORA_VECTOR_HELPER void back_project_staggered(const double* const (&v)[R], const double* __restrict band,
                                                 Index band_channel, Index from, Index to, std::uintptr_t next_rows,
                                                 D (&totals)[R][V], Held& held) {
    constexpr Index width = V * width_of<D>;
    // Adds channel t's ratios times the entries of rows [low, high) that fall on it.
    const auto add_channel = [&](Index t, int low, int high) VEXORA_INLINE_LAMBDA {
        D q[V];
        for (int h = 0; h < V; ++h) {
            q[h] = load<D>(band + t * width + width_of<D> * h);
        }
        for (int r = low; r < high; ++r) {
            const D value = splat<D>(v[r][t - r]);
            for (int h = 0; h < V; ++h) {
                totals[r][h] = totals[r][h] + value * q[h];
            }
        }
    };
    // Near the ends of the band, only the rows r with from <= t - r < to.
    const auto add_edge_channel = [&](Index t) VEXORA_INLINE_LAMBDA {
        add_channel(t, static_cast<int>(std::max<Index>(0, t - to + 1)),
                    static_cast<int>(std::min<Index>(R, t - from + 1)));
    };
    const Index inner = from + R - 1;
    for (Index t = from; t < std::min(inner, to + R - 1); ++t) {
        add_edge_channel(t);
    }
    // The held scatter's channels among [inner, to) (t is channel band_channel + t), taken by the
    // first loop that reaches any of them.
    Index beside_from = inner, beside_to = inner;
    if (held.done_low == held.done_high) {
        beside_from = std::clamp(held.low - band_channel, inner, std::max(inner, to));
        beside_to = std::clamp(held.high - band_channel, beside_from, std::max(inner, to));
        held.done_low = beside_from + band_channel;
        held.done_high = beside_to + band_channel;
    }
    for (Index t = inner; t < beside_from; ++t) {
        prefetch_values(next_rows + t * R * sizeof(double));
        add_channel(t, 0, R);
    }
    for (Index t = beside_from; t < beside_to; ++t) {
        prefetch_values(next_rows + t * R * sizeof(double));
        add_channel(t, 0, R);
        held.add(band_channel + t);
    }
    for (Index t = beside_to; t < to; ++t) {
        prefetch_values(next_rows + t * R * sizeof(double));
        add_channel(t, 0, R);
    }
    for (Index t = std::max(inner, to); t < to + R - 1; ++t) {
        add_edge_channel(t);
    }
}

/*
 * Back projections of R consecutive rows at once: their sums are independent, so each hides the
 * latency of the others' additions. Each row still adds its own entries in order. The entries
 * that all the rows have are taken in parts within which every row's channels run on (runs,
 * segments) or any row's are read entry by entry.
 */
template <class D, int V, int R, class Held>
VEXORA_VECTOR_HELPER void back_project_row_block(const RowPlan& plan, Index j, const double* __restrict ratio, Index n,
                                                 D (&totals)[R][V], Held& held) {
    constexpr Index width = V * width_of<D>;
    const RowSpan* rows = plan.rows + j;
    const RowEntries<R> entries(plan, j);
    const auto& v = entries.values;
    const auto& c = entries.columns;
    CommonParts<R> parts(rows, plan.segments, j);
    // Matrices beyond the cache: each entry also asks for R values further on, where the next
    // rows' values lie when rows are stored in order; the hardware's prefetchers, following R
    // short streams at once, fetch them too late.
    const std::uintptr_t next_rows = reinterpret_cast<std::uintptr_t>(v[R - 1] + rows[R - 1].length);
    for (Index from = 0, to; from < parts.common; from = to) {
        to = parts.next(from);
        if (parts.all_stretched) {
            // ratio_of(r, i): where row r's entry i finds its channel's ratios.
            const auto sweep = [&](const auto& ratio_of) VEXORA_INLINE_LAMBDA {
                for (Index i = from; i < to; ++i) {
                    prefetch_values(next_rows + i * R * sizeof(double));
                    for (int r = 0; r < R; ++r) {
                        const D value = splat<D>(v[r][i]);
                        for (int h = 0; h < V; ++h) {
                            totals[r][h] = totals[r][h] + value * load<D>(ratio_of(r, i) + width_of<D> * h);
                        }
                    }
                }
            };
            const double* first = ratio + parts.offset[0] * width;
            const auto offsets_step = [&](Index step) {
                for (int r = 1; r < R; ++r) {
                    if (parts.offset[r] != parts.offset[0] + r * step) {
                        return false;
                    }
                }
                return true;
            };
            if (offsets_step(1)) {
                back_project_staggered<D, V, R>(v, first, parts.offset[0], from, to, next_rows, totals, held);
            } else if (offsets_step(0)) {
                // Rows whose channels start together (as a resampled response's do) reach their
                // ratios from one pointer, which leaves the registers to the rows' values: such
                // responses run 1.12-1.17 times faster than with a pointer per row.
                sweep([first](int, Index i) VEXORA_INLINE_LAMBDA { return first + i * width; });
            } else {
                const double* q[R];
                for (int r = 0; r < R; ++r) {
                    q[r] = ratio + parts.offset[r] * width;
                }
                sweep([&q](int r, Index i) VEXORA_INLINE_LAMBDA { return q[r] + i * width; });
            }
            continue;
        }
        for (Index i = from; i < to; ++i) {
            for (int r = 0; r < R; ++r) {
                const Index channel = parts.stretched[r] ? i + parts.offset[r] : channel_of(c[r][i], n);
                if (channel >= 0) {
                    const D value = splat<D>(v[r][i]);
                    for (int h = 0; h < V; ++h) {
                        totals[r][h] = totals[r][h] + value * load<D>(ratio + channel * width + width_of<D> * h);
                    }
                }
            }
        }
    }
    for (int r = 0; r < R; ++r) {
        back_project_many<D, V>(plan, j + r, ratio, n, parts.common, rows[r].length, totals[r]);
    }
}

/// Rows swept together for a block of V vectors of D: enough back projections in flight to hide
/// the latency of their additions, few enough to stay in registers (32 at eight lanes, 16 at
/// four); their scatters share the loads and stores of their common channels.
template <class D, int V>
inline constexpr int rows_together = width_of<D> == 8 ? (V <= 2 ? 8 : 6)
                                                      : (V <= 1   ? 8
                                                         : V <= 2 ? 4
                                                                  : 2);

/*
 * One sweep over the rows for a block of V vectors of spectra: when `update_x`, each row's back
 * projection of the ratio and its update of x; when `project`, the row scattered into the
 * estimate with the (updated) x. Every lane adds in the order of the single-spectrum iterations:
 * back projection in entry order from 0.0, forward projection in row then entry order.
 */
template <class D, int V>
VEXORA_VECTOR_HELPER void sweep_many(const RowPlan& plan, Index n, const double* __restrict sensitivity_floor,
                                     const SpectraBlock& block, bool update_x, bool project) {
    constexpr Index width = V * width_of<D>;
    constexpr int R = rows_together<D, V>;
    // A held scatter's x beside a back projection's sums: registers enough at eight lanes for one
    // or two vectors of spectra (with three or four, HPGe k = 32 ran 5 % slower).
    constexpr bool hold = width_of<D> == 8 && V <= 2;
    HeldScatter<D, V, R> held;
    bool holding = false;
    for (Index j = 0; j < n; j += R) {
        const int rows = static_cast<int>(std::min<Index>(R, n - j));
        D x4[R][V];
        for (int r = 0; r < rows; ++r) {
            for (int h = 0; h < V; ++h) {
                x4[r][h] = load<D>(block.x + (j + r) * width + width_of<D> * h);
            }
        }
        if (update_x) {
            D totals[R][V];
            for (int r = 0; r < R; ++r) {
                for (int h = 0; h < V; ++h) {
                    totals[r][h] = splat<D>(0.0);
                }
            }
            if (rows == R && holding) {
                back_project_row_block<D, V, R>(plan, j, block.ratio, n, totals, held);
            } else if (rows == R) {
                NothingHeld nothing;
                back_project_row_block<D, V, R>(plan, j, block.ratio, n, totals, nothing);
            } else {
                for (int r = 0; r < rows; ++r) {
                    back_project_many<D, V>(plan, j + r, block.ratio, n, 0, plan.rows[j + r].length, totals[r]);
                }
            }
            for (int r = 0; r < rows; ++r) {
                const D floor = splat<D>(sensitivity_floor[j + r]);
                for (int h = 0; h < V; ++h) {
                    D correction;
                    update(totals[r][h], floor, x4[r][h], correction);
                    store(block.x + (j + r) * width + width_of<D> * h, x4[r][h]);
                }
            }
        }
        if (holding) {
            held.finish();
            holding = false;
        }
        if (project) {
            if constexpr (hold) {
                holding = update_x && rows == R && held.make(plan, j, x4, block.estimate);
            }
            if (holding) {
                continue;  // scattered beside the next group's back projection
            }
            if (rows == R) {
                scatter_rows<D, V, R>(plan, j, x4, block.estimate, n);
            } else {
                for (int r = 0; r < rows; ++r) {
                    scatter_many<D, V>(plan, j + r, x4[r], block.estimate, n);
                }
            }
        }
    }
    if (holding) {
        held.finish();
    }
}

/// ratio = y / (estimate + 1e-12) over a block's n * width elements.
template <class D>
VEXORA_VECTOR_HELPER void ratio_many(Index size, const SpectraBlock& block) {
    const D e = splat<D>(epsilon);
    for (Index i = 0; i < size; i += width_of<D>) {
        store(block.ratio + i, load<D>(block.y + i) / (load<D>(block.estimate + i) + e));
    }
}

template <class D, int V>
VEXORA_VECTOR_HELPER void step_many_vectors(const RowPlan& plan, Index n, const double* sensitivity_floor,
                                            const SpectraBlock& block, Index step, int iterations) {
    const Index size = n * V * width_of<D>;
    if (step > 0) {
        ratio_many<D>(size, block);
    }
    const bool project = step < iterations;
    if (project) {
        std::fill(block.estimate, block.estimate + size, 0.0);
    }
    sweep_many<D, V>(plan, n, sensitivity_floor, block, step > 0, project);
}

/*
 * Step `step` of ML-EM on a block of `vectors` (1 to most_block_vectors) vectors of four spectra:
 * step 0 projects the ones that x starts with; step t in [1, iterations] is iteration t, which
 * also projects its result unless it is the last. Steps run in order, each block on its own, so
 * blocks may run on any threads; every spectrum's result has the bits of its single-spectrum
 * call (ml_em_iterations) for the same plan, with or without its segments;
 * `sensitivity_floor` as ml_em_iterations takes it.
 */
VEXORA_CLONES inline void ml_em_many_step(int vectors, const RowPlan& plan, Index n, const double* sensitivity_floor,
                                          const SpectraBlock& block, Index step, int iterations) {
    switch (vectors) {
        case 1: return step_many_vectors<Double4, 1>(plan, n, sensitivity_floor, block, step, iterations);
        case 2: return step_many_vectors<Double4, 2>(plan, n, sensitivity_floor, block, step, iterations);
        case 3: return step_many_vectors<Double4, 3>(plan, n, sensitivity_floor, block, step, iterations);
        default: return step_many_vectors<Double4, 4>(plan, n, sensitivity_floor, block, step, iterations);
    }
}

#if VEXORA_EIGHT_LANES
/// ml_em_many_step for a block of `vectors` vectors of eight spectra (the same operations on every
/// lane in the same order as at four: the same bits); the processor must have the eight-lane
/// target's instructions.
[[VEXORA_EXP8_TARGET gnu::noinline]] inline void ml_em_many_step8(int vectors, const RowPlan& plan, Index n,
                                                                  const double* sensitivity_floor,
                                                                  const SpectraBlock& block, Index step,
                                                                  int iterations) {
    switch (vectors) {
        case 1: return step_many_vectors<Double8, 1>(plan, n, sensitivity_floor, block, step, iterations);
        case 2: return step_many_vectors<Double8, 2>(plan, n, sensitivity_floor, block, step, iterations);
        case 3: return step_many_vectors<Double8, 3>(plan, n, sensitivity_floor, block, step, iterations);
        default: return step_many_vectors<Double8, 4>(plan, n, sensitivity_floor, block, step, iterations);
    }
}
#endif

/// Steps of ML-EM for `iterations`: the first projection and one per iteration; none for none.
/// (2^31 steps for the most iterations an int holds: counted in Index.)
inline Index ml_em_many_steps(int iterations) { return iterations > 0 ? Index{iterations} + 1 : 0; }

}  // namespace vexora::core::ml_em
