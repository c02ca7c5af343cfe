// The plan of ML-EM's pipelined iterations (ml_em_pipeline.hpp): each thread's range of
// channels, each group's chain of threads, and each thread's list of steps, made at set-up.
//
// Pure: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>

#include "ml_em.hpp"
#include "ml_em_split.hpp"
#include "parallel.hpp"

namespace vexora::core::ml_em {

/// What a thread does for one group of rows in an iteration.
enum class Step : std::uint8_t {
    lead,     ///< sums the group's entries in its range, continuing the previous thread's sums
    finish,   ///< the same, then the update of x, then the scatter into its range
    scatter,  ///< the scatter into its range, once x is updated
};

struct PipelineTask {
    Index group;
    Step step;
};

/*
 * The plan of a pipelined call for `threads` threads over n rows, groups = ceil(n / group_rows)
 * (the last one may hold fewer rows).
 *   bounds[threads + 1]  - thread t owns channels [bounds[t], bounds[t + 1]), multiples of four;
 *                          bounds[threads] is work_capacity(n)
 *   first[groups], last[groups] - the chain of group g: threads first[g]..last[g]
 *   task_at[threads + 1], tasks - thread t's steps tasks[task_at[t] .. task_at[t + 1])
 *   scattered_at[threads + 1], scattered - the entries of rows that are not runs whose channel
 *                          lies in range t, in row then entry order
 */
struct Pipeline {
    int threads = 0;
    Index groups = 0;
    Index* bounds = nullptr;
    Index* first = nullptr;
    Index* last = nullptr;
    Index* task_at = nullptr;
    PipelineTask* tasks = nullptr;
    Index* scattered_at = nullptr;
    ScatteredEntry* scattered = nullptr;
};

/// Groups handed on ahead of a thread's own rows at least: enough for the next thread to finish
/// a group while this one sums the next ones.
inline constexpr Index least_lead_distance = 4;

/// The thread whose range holds channel c in [0, bounds[threads]).
inline int range_of(const Pipeline& p, Index c) {
    return static_cast<int>(std::upper_bound(p.bounds + 1, p.bounds + p.threads, c) - (p.bounds + 1));
}

/*
 * Cuts the channels into p.threads ranges of about equal weight, given the weights as a difference
 * array: each channel's weight counts from counts[c] on (a run adds at its first channel and
 * takes back past its last), running sums give the weight per channel, and theirs the weight
 * below each channel. `total`: the sum of the weights.
 */
inline void cut_ranges(Index n, const Index* counts, Index total, Pipeline& p) {
    Index per_channel = 0, below = 0;
    int t = 1;
    p.bounds[0] = 0;
    const Index rounded = round_up4(n);
    for (Index c = 0; c <= n && t < p.threads; ++c) {
        while (t < p.threads && below * p.threads >= total * t) {
            p.bounds[t] = std::clamp(round_up4(c), p.bounds[t - 1], rounded);
            ++t;
        }
        if (c < n) {
            per_channel += counts[c];
            below += per_channel;
        }
    }
    for (; t < p.threads; ++t) {
        p.bounds[t] = rounded;
    }
    p.bounds[p.threads] = work_capacity(n);
}

/*
 * First step of the set-up: p.bounds, the channels cut into `threads` ranges that hold about as
 * many entries each. counts[n + 1] is work space. p.threads and p.groups are set.
 */
inline void plan_bounds(const RowPlan& plan, Index n, int threads, Pipeline& p, Index* counts) {
    p.threads = threads;
    p.groups = (n + group_rows - 1) / group_rows;
    std::fill(counts, counts + n + 1, Index{0});
    Index total = 0;
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        if (row.first_column >= 0) {
            ++counts[row.first_column];
            --counts[row.first_column + row.length];
            total += row.length;
            continue;
        }
        for (Index i = 0; i < row.length; ++i) {
            const Index channel = channel_of(plan.columns[row.columns_at + i], n);
            if (channel >= 0) {
                ++counts[channel];
                --counts[channel + 1];
                ++total;
            }
        }
    }
    cut_ranges(n, counts, total, p);
}

/*
 * Second step: p.scattered_at[t + 1] = the entries of rows that are not runs whose channel (read
 * here) lies in range t, then their running sums; p.scattered_at[threads] is then the size that
 * p.scattered needs.
 */
inline void count_pipeline_scattered(const RowPlan& plan, Index n, Pipeline& p) {
    std::fill(p.scattered_at, p.scattered_at + p.threads + 1, Index{0});
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        for (Index i = 0; row.first_column < 0 && i < row.length; ++i) {
            const Index channel = channel_of(plan.columns[row.columns_at + i], n);
            if (channel >= 0) {
                ++p.scattered_at[range_of(p, channel) + 1];
            }
        }
    }
    for (int t = 0; t < p.threads; ++t) {
        p.scattered_at[t + 1] += p.scattered_at[t];
    }
}

/*
 * Third step: files the scattered entries (their columns read again: one that moved to another
 * range since they were counted is left out when its range is full, as no static matrix does),
 * makes every group's chain, and returns how many steps the threads take in all (the size of
 * p.tasks). cursor[threads] is work space.
 */
inline Index plan_chains(const RowPlan& plan, Index n, Pipeline& p, Index* cursor) {
    std::copy(p.scattered_at, p.scattered_at + p.threads, cursor);
    for (Index g = 0; g < p.groups; ++g) {
        p.first[g] = p.threads;
        p.last[g] = -1;
    }
    const auto reach = [&](Index g, Index t) {
        p.first[g] = std::min(p.first[g], t);
        p.last[g] = std::max(p.last[g], t);
    };
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        const Index g = j / group_rows;
        if (row.length > 0 && row.first_column >= 0) {
            reach(g, range_of(p, row.first_column));
            reach(g, range_of(p, row.first_column + row.length - 1));
            continue;
        }
        for (Index i = 0; row.first_column < 0 && i < row.length; ++i) {
            const Index channel = channel_of(plan.columns[row.columns_at + i], n);
            if (channel < 0) {
                continue;
            }
            const int t = range_of(p, channel);
            if (cursor[t] < p.scattered_at[t + 1]) {
                p.scattered[cursor[t]++] = {j, i};
                reach(g, t);
            }
        }
    }
    // Entries left out leave their places unused: marked with a row that no group holds.
    for (int t = 0; t < p.threads; ++t) {
        for (Index at = cursor[t]; at < p.scattered_at[t + 1]; ++at) {
            p.scattered[at] = {n, 0};
        }
    }
    Index steps = 0;
    for (Index g = 0; g < p.groups; ++g) {
        if (p.first[g] > p.last[g]) {
            // No entry: the thread of the group's first row's channel updates its x.
            p.first[g] = p.last[g] = range_of(p, g * group_rows);
        }
        steps += 2 * (p.last[g] - p.first[g]) + 1;
    }
    return steps;
}

/*
 * Last step: every thread's list of steps, into p.task_at and p.tasks (of plan_chains' size).
 * A thread's hand-ons and its other steps each run in row order, merged so that the hand-on of
 * group g comes before the other steps of groups above g - distance. The order
 * (key, group, phase), with key g - distance for hand-ons and g otherwise, and phase t for a
 * thread's hand-on or finish and threads + t for its scatter, is kept by every list and every
 * dependency (a hand-on follows the previous thread's, a finish follows the last hand-on, a
 * scatter follows the finish), as long as all threads take the same distance, at least 1 (at 0 a
 * thread's scatter of a group would come before its own hand-on of that group).
 */
inline void plan_tasks(Pipeline& p, Index distance) {
    Index at = 0;
    for (int t = 0; t < p.threads; ++t) {
        p.task_at[t] = at;
        Index lead = 0, other = 0;
        const auto next_lead = [&] {
            while (lead < p.groups && !(p.first[lead] <= t && t < p.last[lead])) {
                ++lead;
            }
        };
        const auto next_other = [&] {
            while (other < p.groups && !(p.first[other] <= t && t <= p.last[other])) {
                ++other;
            }
        };
        next_lead();
        next_other();
        while (lead < p.groups || other < p.groups) {
            if (lead < p.groups && (other >= p.groups || lead - distance < other)) {
                p.tasks[at++] = {lead++, Step::lead};
                next_lead();
            } else {
                p.tasks[at++] = {other, t == p.last[other] ? Step::finish : Step::scatter};
                ++other;
                next_other();
            }
        }
    }
    p.task_at[p.threads] = at;
}

/*
 * The distance that lets each thread's chains start at the start of the iteration: how far the
 * first group of thread t + 1 lies beyond that of thread t, at most, and never below
 * least_lead_distance.
 */
inline Index lead_distance(const Pipeline& p) {
    Index distance = least_lead_distance, previous = -1;
    for (int t = 0; t < p.threads; ++t) {
        Index g = 0;
        while (g < p.groups && !(p.first[g] <= t && t <= p.last[g])) {
            ++g;
        }
        if (g < p.groups) {
            if (previous >= 0) {
                distance = std::max(distance, g - previous);
            }
            previous = g;
        }
    }
    return distance;
}

}  // namespace vexora::core::ml_em
