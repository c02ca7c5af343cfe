// Which executor runs ML-EM on one spectrum, and why: one place that reads the matrix's shape and
// the threads at hand, for ML_EM_cy, richardson_lucy_cy and ML_EM_many's single spectrum alike.
//
// Every executor keeps each sum in the one-thread order, so any plan gives the same bits; the plan
// decides only the time:
//   one thread  - the single sweep (ml_em.hpp): reads the matrix once per iteration.
//   pipeline    - one range of channels per thread (ml_em_pipeline.hpp): reads it once, but the
//                 threads hand partial sums on for every group of rows that reaches several
//                 ranges. Gaussian responses, whose rows stay near the diagonal: 1.79x one thread
//                 on NaI n=4096 on two threads, where the split gives 1.26x.
//   split       - rows, then channels (ml_em_split.hpp): reads it twice, but its threads meet only
//                 twice an iteration. Responses whose rows reach far across the axis (a Compton
//                 continuum down to the first channel): 1.49x on the continuum of 2,500 channels,
//                 where the pipeline gives 1.22x.
// (AMD EPYC, two cores; benchmarks/ml_em_threads.py.)
//
// Pure: counts in, a plan out; no environment, no timing, no Python.
#pragma once

#include <cstdint>
#include <cstdio>

#include "ml_em_pipeline_plan.hpp"

namespace vexora::core::ml_em {

enum class Strategy : std::uint8_t { one_thread, pipeline, split };

inline const char* strategy_name(Strategy strategy) {
    switch (strategy) {
        case Strategy::pipeline: return "pipeline";
        case Strategy::split: return "split";
        default: return "one thread";
    }
}

/*
 * Entries per iteration from which a call uses threads: about 0.3 ms of one thread's iteration.
 * Below it the threads' meetings (tens of microseconds each, far more on a loaded machine) cost
 * more than the halved work.
 */
inline constexpr Index threaded_entries = Index{1} << 19;

/// What the planner reads of a matrix of n rows, cut for a count of threads.
struct Shape {
    Index n = 0;
    Index entries = 0;
    /// Entries of rows whose columns are not a run: threads read them by their columns, which
    /// costs more than it gains (sorted rows with gaps and unsorted rows alike ran at 0.4-0.6x
    /// one thread on two threads).
    Index loose = 0;
    /// Entries of the groups of rows that reach the channels of more than one thread, the channels
    /// cut as the pipeline cuts them: each such group is a hand-on between threads.
    Index crossing = 0;
};

struct Plan {
    Strategy strategy = Strategy::one_thread;
    int threads = 1;
    char reason[128] = {};
};

/// Whether a call of n rows and `entries` entries runs on one thread whatever its shape; why, in `reason`.
inline bool too_small_for_threads(Index n, Index entries, int threads, char (&reason)[128]) {
    if (threads < 2) {
        std::snprintf(reason, sizeof reason, "one thread: %d thread available", threads);
    } else if (n < 2 * group_rows) {
        std::snprintf(reason, sizeof reason, "one thread: %td rows, fewer than two groups of %d", n, group_rows);
    } else if (entries < threaded_entries) {
        std::snprintf(reason, sizeof reason, "one thread: %td entries < 2^19", entries);
    } else {
        return false;
    }
    return true;
}

/// The plan for a matrix of this shape on `threads` threads (the shape measured for as many).
inline Plan plan_iterations(const Shape& shape, int threads) {
    Plan plan;
    if (too_small_for_threads(shape.n, shape.entries, threads, plan.reason)) {
        return plan;
    }
    const auto percent = [&](Index part) { return static_cast<int>(100.0 * part / shape.entries + 0.5); };
    if (shape.loose * 8 > shape.entries) {
        std::snprintf(plan.reason, sizeof plan.reason, "one thread: %d %% of the entries in rows that are not runs",
                      percent(shape.loose));
        return plan;
    }
    plan.threads = threads;
    plan.strategy = shape.crossing * 4 <= shape.entries * 3 ? Strategy::pipeline : Strategy::split;
    std::snprintf(plan.reason, sizeof plan.reason,
                  "%s: %d %% of the entries in groups that reach several threads' channels, %d threads",
                  strategy_name(plan.strategy), percent(shape.crossing), threads);
    return plan;
}

/*
 * The shape of a matrix of n rows and `entries` entries cut for `threads` threads. counts[n + 1]
 * is work space; the columns of rows that are not runs are read again here, never trusted to
 * index memory (channel_of).
 */
inline Shape measure_shape(const RowPlan& plan, Index n, Index entries, int threads, Index* counts) {
    Shape shape{n, entries};
    Index bounds[parallel::max_threads + 1];
    Pipeline cut;
    cut.bounds = bounds;
    plan_bounds(plan, n, std::clamp(threads, 1, parallel::max_threads), cut, counts);
    for (Index g = 0; g < cut.groups; ++g) {
        int low = cut.threads, high = -1;
        Index group_entries = 0;
        const auto reach = [&](Index channel) {
            const int t = range_of(cut, channel);
            low = std::min(low, t);
            high = std::max(high, t);
        };
        for (Index j = g * group_rows; j < std::min((g + 1) * group_rows, n); ++j) {
            const RowSpan& row = plan.rows[j];
            group_entries += row.length;
            if (row.first_column >= 0) {
                reach(row.first_column);
                reach(row.first_column + row.length - 1);
                continue;
            }
            shape.loose += row.length;
            for (Index i = 0; i < row.length; ++i) {
                const Index channel = channel_of(plan.columns[row.columns_at + i], n);
                if (channel >= 0) {
                    reach(channel);
                }
            }
        }
        shape.crossing += high > low ? group_entries : 0;
    }
    return shape;
}

}  // namespace vexora::core::ml_em
