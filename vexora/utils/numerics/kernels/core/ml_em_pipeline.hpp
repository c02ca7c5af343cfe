// ML-EM on a team of threads that reads the matrix once per iteration, with the bits of one
// thread: no sum changes its order.
//
// The channels are cut into one range per thread holding about as many entries (plan_bounds);
// thread t owns range t: it alone adds to the forward projection of its channels and computes their
// ratios. A group of rows whose entries reach ranges t0..t1 is a chain: thread t0 sums the group's
// entries in its range (a run's entries in a range are consecutive, so the sums are in entry order)
// and hands the eight partial sums on; thread t0 + 1 continues them with the entries of its range,
// and so on; thread t1 finishes them, updates x for the group and publishes it; every thread of the
// chain then adds x_j R[j][c] for the channels c of its own range, in row order, re-reading its
// part of the group's values (from beyond its caches if the chain finished long after). Rows whose
// columns are not a run are back-projected whole by the last thread (every ratio is final by then)
// and scattered by each thread from a list of their entries in its range, made at set-up.
//
// Each thread runs a list of steps made at set-up: its hand-ons (lead) keyed `lead_distance`
// groups ahead of its finishes and scatters, so that a thread whose chains start late in the rows
// (a banded matrix's upper ranges) gets its partial sums at the start of the iteration. Handing
// on and publishing go through one counter per thread (release, acquire). Since every thread's
// list is ordered by one order that every dependency respects, the lowest step not yet done can
// always run: no wait can last for ever, whatever the scheduling. One barrier per iteration,
// where the calling thread asks whether to stop while every other thread waits.
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

#include "ml_em.hpp"
#include "ml_em_pipeline_plan.hpp"
#include "parallel.hpp"

namespace vexora::core::ml_em {

// ---------------------------------------------------------------------------------------------
// The steps.

/*
 * Back projections of a lane group over the blocks of channels [from, to) (multiples of four),
 * continuing the sums in totals: lane r of totals[h] adds row lanes * h + r's products channel by
 * channel, which for a run is entry by entry. Blocks outside a row add +0.0, which leaves a sum
 * that started from +0.0 unchanged.
 */
VEXORA_VECTOR_HELPER void back_project_lanes_between(const LaneGroup& group, const RowSpan* rows,
                                                     const double* __restrict values, const double* __restrict ratio,
                                                     Index from, Index to, Double4 (&totals)[halves]) {
    Index shift[group_rows];
    Long4 first[group_rows], end[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        shift[r] = rows[r].values_at - rows[r].first_column;
        first[r] = broadcast(rows[r].first_column);
        end[r] = broadcast(rows[r].first_column + rows[r].length);
    }
    const auto masked_block = [&](Index b) {
        const Double4 q = load4(ratio + b);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = keep(load4(values + shift[r] + b) * q, channels_inside(b, first[r], end[r]));
        }
        add_by_rows(p, totals);
    };
    // As in the one-sweep loop, each row asks for the values about one group further on.
    const Index ahead = rows[group_rows - 1].values_at + rows[group_rows - 1].length - rows[0].values_at;
    const Index last = std::min(group.end_block, to);
    Index b = std::max(group.first_block, from);
    for (; b < std::min(group.full_from, last); b += 4) {
        masked_block(b);
    }
    for (; b < std::min(group.full_to, last); b += 4) {
        const Double4 q = load4(ratio + b);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(values + shift[r] + b) * q;
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(values + shift[r] + b) +
                                                             ahead * sizeof(double)));
        }
        add_by_rows(p, totals);
    }
    for (; b < last; b += 4) {
        masked_block(b);
    }
}

/// Back projections of a banded group over the blocks [from, to), continuing the sums in totals.
VEXORA_VECTOR_HELPER void back_project_band_between(const LaneGroup& group, const double* __restrict band,
                                                    const double* __restrict ratio, Index from, Index to,
                                                    Double4 (&totals)[halves]) {
    const Index first = std::max(group.first_block, from), end = std::min(group.end_block, to);
    const double* w = band + group.band_at + (first - group.first_block) * group_rows;
    for (Index b = first; b < end; b += 4, w += 4 * group_rows) {
        const Double4 q = load4(ratio + b);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(w + 4 * r) * q;
        }
        add_by_rows(p, totals);
    }
}

/// Continues a run row's back projection with its entries in channels [from, to).
inline double back_project_run_between(const RowSpan& row, const double* __restrict values,
                                       const double* __restrict ratio, Index from, Index to, double total) {
    const Index first = std::max(row.first_column, from), end = std::min(row.first_column + row.length, to);
    const double* v = values + row.values_at + (first - row.first_column);
    const double* r = ratio + first;
    for (Index i = 0; i < end - first; ++i) {
        total += v[i] * r[i];
    }
    return total;
}

/// Counters that one thread publishes, on a cache line of their own.
struct alignas(64) PipelineProgress {
    std::atomic<Index> handed{0};   ///< stamp of the last group handed on
    std::atomic<Index> updated{0};  ///< stamp of the last group whose x is updated
    std::atomic<Index> arrived{0};  ///< barriers reached
};

/// What the threads of one pipelined call share besides the arrays: [threads] progress counters.
struct PipelineSync {
    PipelineSync(PipelineProgress* progress, const parallel::Team& team, int iterations)
        : progress(progress), team(team), completed(iterations) {}

    PipelineProgress* progress;
    alignas(64) std::atomic<Index> released{0};
    std::atomic<bool> stop{false};
    const parallel::Team& team;
    int completed;  ///< iterations done when the call stopped; every one when it did not
};

/// Waits until ready() (a short spin, then yielding the processor) or until the call stops;
/// whether ready.
template <class Ready>
bool wait_for(const Ready& ready, const std::atomic<bool>& stop) {
    for (int spins = 0; !ready(); ++spins) {
        if (stop.load(std::memory_order_relaxed)) {
            return false;
        }
        if (spins < 256) {
#if defined(__x86_64__)
            __builtin_ia32_pause();
#elif defined(__aarch64__)
            asm volatile("yield");
#endif
        } else {
            std::this_thread::yield();
        }
    }
    return true;
}

/*
 * One thread's part of pipelined iterations: see ml_em_pipeline_iterations. `leader`: the calling
 * thread, which alone asks `interrupted`, at each barrier while the others wait there.
 */
class PipelineThread {
public:
    PipelineThread(const Pipeline& p, int t, const RowPlan& plan, const Spectrum& s, double* partial, bool* finite,
                   PipelineSync& sync)
        : p_(p),
          t_(t),
          n_(s.n),
          plan_(plan),
          y_(s.y),
          floor_(s.sensitivity_floor),
          x_(s.x),
          estimate_(s.estimate),
          ratio_(s.ratio),
          correction_(s.correction),
          partial_(partial),
          finite_(finite),
          sync_(sync),
          from_(p.bounds[t]),
          to_(p.bounds[t + 1]) {}

    [[gnu::always_inline]] void run(int iterations, bool leader, const Interrupt& interrupted) {
        const PipelineTask* tasks = p_.tasks + p_.task_at[t_];
        const PipelineTask* tasks_end = p_.tasks + p_.task_at[t_ + 1];
        // The forward projection of the x on entry.
        zero_estimate();
        scattered_ = p_.scattered + p_.scattered_at[t_];
        for (const PipelineTask* task = tasks; task != tasks_end; ++task) {
            if (task->step != Step::lead) {
                scatter(task->group);
            }
        }
        finish_range();
        for (int iteration = 0; iteration < iterations; ++iteration) {
            if (!barrier(iteration + 1, leader, interrupted)) {
                if (leader) {
                    sync_.completed = iteration;
                }
                return;
            }
            ratio_finite_ = std::all_of(finite_, finite_ + p_.threads, [](bool f) { return f; });
            const bool project_next = iteration + 1 < iterations;
            if (project_next) {
                zero_estimate();
            }
            scattered_ = p_.scattered + p_.scattered_at[t_];
            const Index stamp_base = Index{iteration} * (p_.groups + 1) + 1;
            for (const PipelineTask* task = tasks; task != tasks_end; ++task) {
                const Index g = task->group, stamp = stamp_base + g;
                switch (task->step) {
                    case Step::lead:
                        if (!back_project(g, stamp, false)) {
                            return;
                        }
                        sync_.progress[t_].handed.store(stamp, std::memory_order_release);
                        break;
                    case Step::finish:
                        if (!back_project(g, stamp, true)) {
                            return;
                        }
                        sync_.progress[t_].updated.store(stamp, std::memory_order_release);
                        if (project_next) {
                            scatter(g);
                        }
                        break;
                    case Step::scatter:
                        if (project_next) {
                            const std::atomic<Index>& updated = sync_.progress[p_.last[g]].updated;
                            if (!wait_for([&] { return updated.load(std::memory_order_acquire) >= stamp; },
                                          sync_.stop)) {
                                return;
                            }
                            scatter(g);
                        }
                        break;
                }
            }
            if (project_next) {
                finish_range();
            }
        }
    }

private:
    /// Rows [j, end) of group g.
    Index group_end(Index g) const { return std::min((g + 1) * group_rows, n_); }

    [[gnu::always_inline]] void zero_estimate() {
        const Index end = std::min(to_, n_);
        if (from_ < end) {
            std::fill(estimate_ + from_, estimate_ + end, 0.0);
        }
    }

    /// The ratios of the range, once its forward projection is complete.
    [[gnu::always_inline]] void finish_range() {
        const Index end = std::min(to_, n_);
        finite_[t_] = from_ >= end || compute_ratio(end - from_, y_ + from_, estimate_ + from_, ratio_ + from_);
    }

    /*
     * All threads reach the barrier; the leader then asks `interrupted` and lets them on. False
     * when the call stops.
     */
    [[gnu::always_inline]] bool barrier(Index round, bool leader, const Interrupt& interrupted) {
        sync_.progress[t_].arrived.store(round, std::memory_order_release);
        if (leader) {
            for (int u = 0; u < p_.threads; ++u) {
                const std::atomic<Index>& arrived = sync_.progress[u].arrived;
                wait_for([&] { return arrived.load(std::memory_order_acquire) >= round; }, sync_.stop);
            }
            // A signal handler may also have forked: the child has this thread alone.
            if (interrupted() || sync_.team.in_forked_child()) {
                sync_.stop.store(true, std::memory_order_relaxed);
            }
            sync_.released.store(round, std::memory_order_release);
        } else {
            wait_for([&] { return sync_.released.load(std::memory_order_acquire) >= round; }, sync_.stop);
        }
        return !sync_.stop.load(std::memory_order_relaxed);
    }

    /*
     * This thread's part of group g's back projections, continuing the previous thread's sums;
     * when `finish`, also the rows that are not runs (whole), and the update. False when the call
     * stopped while waiting.
     */
    [[gnu::always_inline]] bool back_project(Index g, Index stamp, bool finish) {
        const Index j = g * group_rows, end = group_end(g);
        // A thread that starts the sums reads from the group's first channel on.
        const bool continues = p_.first[g] < t_;
        const Index from = continues ? from_ : 0;
        if (continues) {
            const std::atomic<Index>& handed = sync_.progress[t_ - 1].handed;
            if (!wait_for([&] { return handed.load(std::memory_order_acquire) >= stamp; }, sync_.stop)) {
                return false;
            }
        }
        if (end - j == group_rows && plan_.groups[g].usable) {
            const LaneGroup& group = plan_.groups[g];
            Double4 totals[halves];
            for (int h = 0; h < halves; ++h) {
                totals[h] = continues ? load4(partial_ + j + lanes * h) : Double4{};
            }
            if (group.band_at >= 0 && ratio_finite_) {
                back_project_band_between(group, plan_.band, ratio_, from, to_, totals);
            } else if (!continues && group.end_block <= to_) {
                // The whole group in this range: the one-sweep loop's back projection.
                back_project_lanes(group, plan_.rows + j, plan_.values, ratio_, totals);
            } else {
                back_project_lanes_between(group, plan_.rows + j, plan_.values, ratio_, from, to_, totals);
            }
            for (int h = 0; h < halves; ++h) {
                const Index at = j + lanes * h;
                if (finish) {
                    Double4 x4 = load4(x_ + at), c;
                    update(totals[h], load4(floor_ + at), x4, c);
                    store4(correction_ + at, c);
                    store4(x_ + at, x4);
                } else {
                    store4(partial_ + at, totals[h]);
                }
            }
            return true;
        }
        for (Index row = j; row < end; ++row) {
            const RowSpan& r = plan_.rows[row];
            double total;
            if (r.first_column >= 0) {
                total = back_project_run_between(r, plan_.values, ratio_, from, to_, continues ? partial_[row] : 0.0);
            } else if (finish) {
                total = back_project_entries(plan_, row, ratio_, n_, 0, r.length, 0.0);
            } else {
                continue;
            }
            if (finish) {
                update(total, floor_[row], x_[row], correction_[row]);
            } else {
                partial_[row] = total;
            }
        }
        return true;
    }

    /// Adds x_j R[j][c] for the rows of group g and the channels c of this thread's range.
    [[gnu::always_inline]] void scatter(Index g) {
        const Index j = g * group_rows, end = group_end(g);
        if (end - j == group_rows && plan_.groups[g].usable) {
            const LaneGroup& group = plan_.groups[g];
            if (group.band_at >= 0 && all_finite(x_ + j)) {
                scatter_band(group, plan_.band, x_ + j, estimate_, from_, to_);
            } else {
                scatter_lanes(group, plan_.rows + j, x_ + j, plan_.values, estimate_, from_, to_);
            }
            return;
        }
        const ScatteredEntry* scattered_end = p_.scattered + p_.scattered_at[t_ + 1];
        for (Index row = j; row < end; ++row) {
            const RowSpan& r = plan_.rows[row];
            if (r.first_column >= 0) {
                scatter_run_between(r, x_[row], plan_.values, estimate_, from_, to_);
                continue;
            }
            for (; scattered_ != scattered_end && scattered_->row == row; ++scattered_) {
                const Index channel = channel_of(plan_.columns[r.columns_at + scattered_->entry], n_);
                if (channel >= from_ && channel < to_) {
                    estimate_[channel] += x_[row] * plan_.values[r.values_at + scattered_->entry];
                }
            }
        }
    }

    const Pipeline& p_;
    const int t_;
    const Index n_;
    const RowPlan& plan_;
    const double* y_;
    const double* floor_;
    double* x_;
    double* estimate_;
    double* ratio_;
    double* correction_;
    double* partial_;
    bool* finite_;
    PipelineSync& sync_;
    const Index from_, to_;
    const ScatteredEntry* scattered_ = nullptr;
    bool ratio_finite_ = true;
};

/// One thread's part, compiled for each target of the kernels.
VEXORA_CLONES inline void run_pipeline_thread(PipelineThread& thread, int iterations, bool leader,
                                              const Interrupt& interrupted) {
    thread.run(iterations, leader, interrupted);
}

/*
 * ml_em_iterations on a team of exactly p.threads threads, with the same bits. Returns the
 * iterations done: all of them, or fewer when `interrupted` answered true or when this is a child
 * forked by a signal handler that it ran, whose caller's thread may finish them with
 * ml_em_iterations (x, estimate and ratio are those of the iterations done).
 *
 *   p             - the pipeline, planned for this plan, s.n and the team's size
 *   partial       - work vector of work_capacity(n): the sums handed on
 *   finite[p.threads] - work space: whether each range's ratios are finite
 *   interrupted   - asked by the calling thread before each iteration, every other thread held
 *                   at the barrier; when it answers true, the iterations stop and x is incomplete
 */
inline int ml_em_pipeline_iterations(parallel::Team& team, const Pipeline& p, const RowPlan& plan, const Spectrum& s,
                                     double* partial, bool* finite, int iterations, const Interrupt& interrupted = {}) {
    if (iterations <= 0) {
        return 0;
    }
    PipelineProgress progress[parallel::max_threads];
    PipelineSync sync(progress, team, iterations);
    const pthread_t caller = pthread_self();
    auto role = [&](Index t) {
        PipelineThread thread(p, static_cast<int>(t), plan, s, partial, finite, sync);
        run_pipeline_thread(thread, iterations, pthread_equal(pthread_self(), caller) != 0, interrupted);
    };
    team.run(p.threads, role);
    return sync.completed;
}

}  // namespace vexora::core::ml_em
