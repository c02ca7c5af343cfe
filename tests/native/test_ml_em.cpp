// ML-EM: the iterations over plans made under every layout (rows alone, rows in vector lanes,
// rows in bands, rows cut into segments) give the same bits as rows alone, which give the bits
// of the plain algorithm, on one thread and split over teams of threads.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "core/ml_em.hpp"
#include "core/ml_em_pipeline.hpp"
#include "core/ml_em_split.hpp"
#include "harness.hpp"
#include "ml_em_cases.hpp"

using namespace ml_em_cases;

TEST(ml_em_layouts_equal_rows_and_reference) {
    Random random{7};
    Index lane_groups = 0, banded_groups = 0;
    for (const Index n : {8, 13, 16, 29, 64, 101}) {
        for (const Shape shape : shapes) {
            for (const Index lead : {0, 3}) {
                const Csr m = make_matrix(shape, n, lead, random);
                const Problem p = make_problem(m, shape, random);
                const char* name = shape_names[static_cast<int>(shape)];
                for (const int iterations : {1, 6}) {
                    const Result expected = run_reference(m, p, iterations);
                    const Plan rows_plan(m, layouts[0].layout, false);
                    CHECK(rows_plan.usable_groups() == 0);
                    const Result rows = run_plan(m, rows_plan, p, iterations);
                    for (Index j = 0; j < n; ++j) {
                        CHECK_SAME(rows.x[j], expected.x[j], "rows: %s n %td lead %td iterations %d row %td", name, n,
                                   lead, iterations, j);
                        CHECK_SAME(rows.correction[j], expected.correction[j],
                                   "rows: %s n %td lead %td iterations %d row %td", name, n, lead, iterations, j);
                    }
                    for (const NamedLayout& layout : std::span(layouts).subspan(1)) {
                        const Plan plan(m, layout.layout);
                        lane_groups += plan.usable_groups();
                        banded_groups += plan.band_doubles > 0 ? plan.usable_groups() : 0;
                        const Result got = run_plan(m, plan, p, iterations);
                        for (Index j = 0; j < n; ++j) {
                            CHECK_SAME(got.x[j], rows.x[j], "%s: %s n %td lead %td iterations %d row %td", layout.name,
                                       name, n, lead, iterations, j);
                            CHECK_SAME(got.correction[j], rows.correction[j],
                                       "%s: %s n %td lead %td iterations %d row %td", layout.name, name, n, lead,
                                       iterations, j);
                        }
                    }
                }
            }
        }
    }
    // The matrices must reach the vector paths, or the comparisons above prove little.
    CHECK(lane_groups > 100, "%td groups in lanes", lane_groups);
    CHECK(banded_groups > 50, "%td groups in bands", banded_groups);
    std::printf("ML-EM: %td groups in lanes, %td in bands\n", lane_groups, banded_groups);
}

namespace {

/// The forward projection split into about `ranges` ranges, planned as the binding plans it.
struct Split {
    std::vector<Index> group_from, group_to, scattered_at, cursor;
    std::vector<ml_em::ScatteredEntry> scattered;
    ml_em::ColumnSplit split;

    Split(const Plan& plan, Index n, Index ranges) {
        split.width = ml_em::column_width(n, ranges);
        split.ranges = ml_em::column_ranges(n, split.width);
        group_from.resize(split.ranges);
        group_to.resize(split.ranges);
        scattered_at.resize(split.ranges + 1);
        cursor.resize(split.ranges);
        split.group_from = group_from.data();
        split.group_to = group_to.data();
        split.scattered_at = scattered_at.data();
        ml_em::count_scattered(plan.row_plan, n, split);
        scattered.resize(static_cast<std::size_t>(split.scattered_at[split.ranges]) + 1);
        split.scattered = scattered.data();
        ml_em::fill_column_split(plan.row_plan, n, split, cursor.data());
    }
    Split(const Split&) = delete;
};

/// Random sizes, most not whole numbers of groups or vectors, and every matrix shape.
template <class Check>
void for_each_matrix(Random& random, Check check) {
    for (const Index n : {16, 37, 101, 203, 517}) {
        for (const Shape shape : shapes) {
            const Index size = n + random.integer(0, 7);
            const Csr m = make_matrix(shape, size, 3, random);
            const Problem p = make_problem(m, shape, random);
            for (const NamedLayout& layout : layouts) {
                const Plan plan(m, layout.layout);
                check(m, p, plan, shape_names[static_cast<int>(shape)], layout.name);
            }
        }
    }
}

}  // namespace

// The forward projection by ranges of channels adds, for every channel, the same products in the
// same order as the one-sweep loop, and gives the same ratios, however the channels are cut.
TEST(ml_em_projection_by_ranges_equals_one_sweep) {
    Random random{11};
    for_each_matrix(random, [&](const Csr& m, const Problem& p, const Plan& plan, const char* shape,
                                const char* layout) {
        const Index n = m.n, capacity = ml_em::work_capacity(n);
        std::vector<double> x(n);
        for (Index j = 0; j < n; ++j) {
            x[j] = j % 11 == 5 ? 0.0 : random.uniform(0.1, 10.0);
        }
        // One sweep: the iterations' first forward projection, then their first ratio.
        Aligned expected_estimate(capacity), expected_ratio(capacity);
        for (Index g = 0; g < n / ml_em::group_rows; ++g) {
            ml_em::scatter_group(plan.row_plan, g, x.data(), expected_estimate.get(), n);
        }
        for (Index j = n / ml_em::group_rows * ml_em::group_rows; j < n; ++j) {
            ml_em::scatter_row(plan.row_plan, j, x[j], expected_estimate.get(), n);
        }
        const bool expected_finite = ml_em::compute_ratio(n, p.y.data(), expected_estimate.get(), expected_ratio.get());
        for (const Index ranges : {1, 2, 3, 4, 5, 7, 8, 12, 13, 32, 1000}) {
            const Split split(plan, n, ranges);
            Aligned estimate(capacity), ratio(capacity);
            std::fill(estimate.get(), estimate.get() + capacity, -3.0);  // every range writes its own
            std::fill(estimate.get() + n, estimate.get() + capacity, 0.0);
            bool finite = true;
            // Backwards: no range may depend on another having run.
            for (Index k = split.split.ranges - 1; k >= 0; --k) {
                finite &= ml_em::project_range(plan.row_plan, split.split, k, n, p.y.data(), x.data(), estimate.get(),
                                               ratio.get());
            }
            CHECK(finite == expected_finite, "%s %s n %td ranges %td: finite", shape, layout, n, ranges);
            for (Index i = 0; i < capacity; ++i) {
                CHECK_SAME(estimate.get()[i], expected_estimate.get()[i], "%s %s n %td ranges %td: estimate %td", shape,
                           layout, n, ranges, i);
            }
            for (Index i = 0; i < n; ++i) {
                CHECK_SAME(ratio.get()[i], expected_ratio.get()[i], "%s %s n %td ranges %td: ratio %td", shape, layout,
                           n, ranges, i);
            }
        }
    });
}

// Whole iterations on teams of 1 to 8 threads, rows and channels cut in several ways: the bits
// of the one-sweep loop (whose own bits the test above ties to the plain algorithm).
TEST(ml_em_split_iterations_equal_one_thread) {
    Random random{13};
    vexora::core::parallel::Budget budget;
    Index split_runs = 0;
    for_each_matrix(
        random, [&](const Csr& m, const Problem& p, const Plan& plan, const char* shape, const char* layout) {
            const Index n = m.n, capacity = ml_em::work_capacity(n);
            for (const int iterations : {1, 5}) {
                const Result expected = run_plan(m, plan, p, iterations);
                for (int run = 0; run < 8; ++run) {
                    const int threads = run + 1;
                    const Index ranges = 4 * threads + random.integer(-3, 3);
                    const Split split(plan, n, ranges);
                    Aligned estimate(capacity), ratio(capacity);
                    std::unique_ptr<bool[]> finite(new bool[static_cast<std::size_t>(split.split.ranges)]);
                    Result got{std::vector<double>(n, 1.0), std::vector<double>(n, -7.0)};
                    {
                        vexora::core::parallel::Team team(budget, threads);
                        ml_em::ml_em_split_iterations(team, split.split, ranges + random.integer(-3, 3), plan.row_plan,
                                                      p.spectrum(got.x, got.correction, estimate, ratio), finite.get(),
                                                      iterations);
                    }
                    ++split_runs;
                    for (Index j = 0; j < n; ++j) {
                        CHECK_SAME(got.x[j], expected.x[j], "%s %s n %td iterations %d threads %d: x %td", shape,
                                   layout, n, iterations, threads, j);
                        CHECK_SAME(got.correction[j], expected.correction[j],
                                   "%s %s n %td iterations %d threads %d: correction %td", shape, layout, n, iterations,
                                   threads, j);
                    }
                }
            }
        });
    std::printf("ML-EM split: %td runs on teams of 1-8 threads\n", split_runs);
}

namespace {

/// The plan of pipelined iterations on `threads` threads, made as the binding makes it; with
/// `cuts`, the channels are cut at random places instead; `distance` 0 takes the planned one.
struct PipelinePlan {
    std::vector<Index> bounds, first, last, task_at, scattered_at, cursor, counts;
    std::vector<ml_em::PipelineTask> tasks;
    std::vector<ml_em::ScatteredEntry> scattered;
    ml_em::Pipeline p;

    PipelinePlan(const Plan& plan, Index n, int threads, Random* cuts, Index distance)
        : bounds(threads + 1), task_at(threads + 1), scattered_at(threads + 1), cursor(threads), counts(n + 1) {
        p.bounds = bounds.data();
        ml_em::plan_bounds(plan.row_plan, n, threads, p, counts.data());
        if (cuts) {
            for (int t = 1; t < threads; ++t) {
                bounds[t] = ml_em::round_up4(cuts->integer(0, n));
            }
            std::sort(bounds.begin() + 1, bounds.end() - 1);
        }
        p.scattered_at = scattered_at.data();
        ml_em::count_pipeline_scattered(plan.row_plan, n, p);
        scattered.resize(static_cast<std::size_t>(p.scattered_at[threads]) + 1);
        p.scattered = scattered.data();
        first.resize(p.groups);
        last.resize(p.groups);
        p.first = first.data();
        p.last = last.data();
        tasks.resize(static_cast<std::size_t>(ml_em::plan_chains(plan.row_plan, n, p, cursor.data())) + 1);
        p.task_at = task_at.data();
        p.tasks = tasks.data();
        ml_em::plan_tasks(p, distance > 0 ? distance : ml_em::lead_distance(p));
    }
    PipelinePlan(const PipelinePlan&) = delete;
};

}  // namespace

// Pipelined iterations on teams of 1 to 8 threads, the channels cut by entries or at random,
// hand-ons planned near or far ahead: the bits of the one-sweep loop.
TEST(ml_em_pipeline_iterations_equal_one_thread) {
    Random random{17};
    vexora::core::parallel::Budget budget;
    Index runs = 0, chained = 0;
    for_each_matrix(random, [&](const Csr& m, const Problem& p, const Plan& plan, const char* shape,
                                const char* layout) {
        const Index n = m.n, capacity = ml_em::work_capacity(n);
        for (const int iterations : {1, 4}) {
            const Result expected = run_plan(m, plan, p, iterations);
            for (int run = 0; run < 16; ++run) {
                const int threads = run % 8 + 1;
                const bool cut_at_random = run >= 8;
                const Index distance = random.next() % 2 ? 0 : random.integer(1, n / ml_em::group_rows + 2);
                const PipelinePlan pipeline(plan, n, threads, cut_at_random ? &random : nullptr, distance);
                for (Index g = 0; g < pipeline.p.groups; ++g) {
                    chained += pipeline.first[g] < pipeline.last[g];
                }
                Aligned estimate(capacity), ratio(capacity), partial(capacity);
                std::fill(partial.get(), partial.get() + capacity,
                          std::numeric_limits<double>::quiet_NaN());  // every hand-on is written first
                std::unique_ptr<bool[]> finite(new bool[threads]);
                Result got{std::vector<double>(n, 1.0), std::vector<double>(n, -7.0)};
                {
                    vexora::core::parallel::Team team(budget, threads);
                    CHECK(team.size() == threads);
                    ml_em::ml_em_pipeline_iterations(team, pipeline.p, plan.row_plan,
                                                     p.spectrum(got.x, got.correction, estimate, ratio), partial.get(),
                                                     finite.get(), iterations);
                }
                ++runs;
                for (Index j = 0; j < n; ++j) {
                    CHECK_SAME(got.x[j], expected.x[j], "%s %s n %td iterations %d threads %d random cuts %d: x %td",
                               shape, layout, n, iterations, threads, cut_at_random, j);
                    CHECK_SAME(got.correction[j], expected.correction[j],
                               "%s %s n %td iterations %d threads %d random cuts %d: correction %td", shape, layout, n,
                               iterations, threads, cut_at_random, j);
                }
            }
        }
    });
    // Groups that reach several threads' ranges are what the pipeline adds: many must run.
    CHECK(chained > 5000, "%td chained groups", chained);
    std::printf("ML-EM pipeline: %td runs on teams of 1-8 threads, %td chained groups\n", runs, chained);
}

namespace {

/// Answers true from its `stop_at`-th question on; counts questions asked on other threads than
/// the one that made it.
struct StopAt {
    int stop_at;
    int asked = 0;
    int asked_elsewhere = 0;
    pthread_t caller = pthread_self();

    vexora::core::Interrupt interrupt() {
        return {[](void* self) {
                    auto& s = *static_cast<StopAt*>(self);
                    s.asked_elsewhere += pthread_equal(pthread_self(), s.caller) == 0;
                    return ++s.asked >= s.stop_at;
                },
                [](void*) { return true; }, this};
    }
};

}  // namespace

// A stop asked for before iteration k ends pipelined iterations with the x of k - 1 iterations,
// every thread returning; only the calling thread is asked, once before each iteration.
TEST(ml_em_pipeline_stops_between_iterations) {
    Random random{19};
    vexora::core::parallel::Budget budget;
    for (const Shape shape : {Shape::widening, Shape::scattered}) {
        const Csr m = make_matrix(shape, 203, 3, random);
        const Problem p = make_problem(m, shape, random);
        const Plan plan(m, layouts[3].layout);
        const Index n = m.n, capacity = ml_em::work_capacity(n);
        for (int threads = 1; threads <= 8; ++threads) {
            for (const int stop_at : {1, 2, 4}) {
                const Result expected = run_plan(m, plan, p, stop_at - 1);
                const PipelinePlan pipeline(plan, n, threads, nullptr, 0);
                Aligned estimate(capacity), ratio(capacity), partial(capacity);
                std::unique_ptr<bool[]> finite(new bool[threads]);
                Result got{std::vector<double>(n, 1.0), std::vector<double>(n, -7.0)};
                StopAt stop{stop_at};
                {
                    vexora::core::parallel::Team team(budget, threads);
                    ml_em::ml_em_pipeline_iterations(team, pipeline.p, plan.row_plan,
                                                     p.spectrum(got.x, got.correction, estimate, ratio), partial.get(),
                                                     finite.get(), 6, stop.interrupt());
                }
                CHECK(stop.asked == stop_at && stop.asked_elsewhere == 0,
                      "threads %d stop at %d: asked %d, %d elsewhere", threads, stop_at, stop.asked,
                      stop.asked_elsewhere);
                for (Index j = 0; j < n; ++j) {
                    CHECK_SAME(got.x[j], expected.x[j], "%s threads %d stop at %d: x %td",
                               shape_names[static_cast<int>(shape)], threads, stop_at, j);
                }
            }
        }
    }
}

// The columns checked in ranges of rows cut by entries, as a team reads them: every range classifies
// its rows as one pass over all rows does, and the first range that finds a bad row finds the first.
TEST(ml_em_rows_classified_by_ranges_as_in_one_pass) {
    Random random{23};
    for (const Index n : {1, 9, 64, 257}) {
        for (const Shape shape : shapes) {
            Csr m = make_matrix(shape, n, 0, random);
            const Index entries = m.offsets[n] - m.offsets[0];
            for (const int bad_rows : {0, 1, 2}) {
                // Columns out of [-n, n) in random rows, one entry each (a row may be hit twice).
                std::vector<std::int32_t> columns = m.columns;
                for (int b = 0; b < bad_rows && entries > 0; ++b) {
                    const Index e = random.integer(0, entries - 1);
                    columns[e] = static_cast<std::int32_t>(b % 2 ? -n - 1 : n);
                }
                std::vector<ml_em::RowSpan> unread(n);
                for (Index j = 0; j < n; ++j) {
                    unread[j] = {m.offsets[j], m.offsets[j], m.offsets[j + 1] - m.offsets[j], -1};
                }
                std::vector<ml_em::RowSpan> whole = unread;
                const Index expected = ml_em::classify_rows(whole.data(), 0, n, n, columns.data());
                for (const Index ranges : {1, 2, 3, 8, 13}) {
                    std::vector<ml_em::RowSpan> rows = unread;
                    std::vector<Index> bounds(static_cast<std::size_t>(ranges + 1));
                    ml_em::cut_rows(rows.data(), n, entries, ranges, bounds.data());
                    CHECK(bounds[0] == 0 && bounds[ranges] == n);
                    CHECK(std::is_sorted(bounds.begin(), bounds.end()));
                    Index found = -1;
                    for (Index k = ranges - 1; k >= 0; --k) {  // any order: a team takes them so
                        const Index bad = ml_em::classify_rows(rows.data(), bounds[k], bounds[k + 1], n,
                                                               columns.data());
                        found = bad >= 0 ? bad : found;
                    }
                    CHECK(found == expected);
                    // Rows before the first bad one are classified as one pass classifies them.
                    for (Index j = 0; j < (expected < 0 ? n : expected); ++j) {
                        CHECK(rows[j].first_column == whole[j].first_column);
                    }
                    // No range holds much more than its share of entries beyond its last row.
                    for (Index k = 0; k < ranges; ++k) {
                        const Index held = m.offsets[bounds[k + 1]] - m.offsets[bounds[k]];
                        const Index last_row = bounds[k + 1] > bounds[k]
                                                   ? m.offsets[bounds[k + 1]] - m.offsets[bounds[k + 1] - 1]
                                                   : 0;
                        CHECK(held <= entries / ranges + 1 + last_row);
                    }
                }
            }
        }
    }
}
