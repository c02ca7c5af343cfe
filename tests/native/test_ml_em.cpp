// ML-EM: the iterations over plans made under every layout (rows alone, rows in vector lanes,
// rows in bands) give the same bits as rows alone, which give the bits of the plain algorithm;
// so does every spectrum of a block unfolded together in the lanes of vectors.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "core/ml_em.hpp"
#include "core/ml_em_many.hpp"
#include "core/ml_em_pipeline.hpp"
#include "core/ml_em_split.hpp"
#include "harness.hpp"

namespace {

namespace ml_em = vexora::core::ml_em;
using harness::Aligned;
using harness::Random;
using vexora::core::Index;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

/// A square CSR matrix. `lead` junk entries precede the first row and junk follows the last,
/// as in a caller's larger arrays: no path may read them into a result.
struct Csr {
    Index n;
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> columns;
    std::vector<double> values;

    Csr(Index n_, Index lead) : n(n_), offsets{lead}, columns(lead, 0), values(lead, nan) {}

    void add_row(const std::vector<std::int32_t>& row_columns, const std::vector<double>& row_values) {
        columns.insert(columns.end(), row_columns.begin(), row_columns.end());
        values.insert(values.end(), row_values.begin(), row_values.end());
        offsets.push_back(static_cast<std::int64_t>(values.size()));
    }

    /// Row of `length` consecutive channels from `first`, a bump of positive values.
    void add_run(Index first, Index length, Random& random, bool negative_columns = false) {
        std::vector<std::int32_t> c;
        std::vector<double> v;
        for (Index i = 0; i < length; ++i) {
            c.push_back(static_cast<std::int32_t>(first + i - (negative_columns ? n : 0)));
            const double u = (i + 0.5) / static_cast<double>(length) - 0.5;
            v.push_back(std::exp(-8.0 * u * u) * random.uniform(0.5, 1.5));
        }
        add_row(c, v);
    }

    void add_junk(Index count) {
        columns.insert(columns.end(), count, -1);
        values.insert(values.end(), count, nan);
    }

    Index channel(Index e) const { return columns[e] < 0 ? columns[e] + n : columns[e]; }
};

/// A row centred on channel j with `half` channels each side, cut off at the ends of the axis.
void add_centred(Csr& m, Index j, Index half, Random& random) {
    const Index first = std::max<Index>(j - half, 0), end = std::min<Index>(j + half + 1, m.n);
    m.add_run(first, end - first, random);
}

enum class Shape { widening, ragged, scattered, empty_rows, non_finite, repeated, gapped };
constexpr Shape shapes[] = {Shape::widening,   Shape::ragged,   Shape::scattered, Shape::empty_rows,
                            Shape::non_finite, Shape::repeated, Shape::gapped};
const char* shape_names[] = {"widening", "ragged", "scattered", "empty rows", "non-finite", "repeated", "gapped"};

/// A row of stretches of consecutive channels, long and short, with gaps, a stray column and
/// stretches counted from the end between them, as a response moved to another energy has.
void add_gapped(Csr& m, Index j, Random& random) {
    std::vector<std::int32_t> c;
    std::vector<double> v;
    Index channel = random.integer(0, std::max<Index>(m.n / 4, 0));
    for (Index stretch = random.integer(1, 3); stretch > 0 && channel < m.n; --stretch) {
        const Index length = std::min(random.integer(3, 20), m.n - channel);
        const bool negative = random.next() % 3 == 0;
        for (Index k = 0; k < length; ++k) {
            c.push_back(static_cast<std::int32_t>(negative ? channel + k - m.n : channel + k));
            v.push_back(random.uniform(0.1, 1.0));
        }
        if (j % 5 == 2) {
            c.push_back(static_cast<std::int32_t>(random.integer(0, m.n - 1)));
            v.push_back(random.uniform(0.1, 1.0));
        }
        channel += length + random.integer(1, 9);
    }
    m.add_row(c, v);
}

Csr make_matrix(Shape shape, Index n, Index lead, Random& random) {
    Csr m(n, lead);
    for (Index j = 0; j < n; ++j) {
        // Gaussian-like rows whose width grows slowly along the axis.
        const Index half = 1 + static_cast<Index>(9.0 * std::pow(static_cast<double>(j) / static_cast<double>(n), 1.5));
        switch (shape) {
            case Shape::widening:
            case Shape::non_finite: add_centred(m, j, half, random); break;
            case Shape::ragged: add_centred(m, j, random.integer(0, 14), random); break;
            case Shape::scattered:
                if (j % 3 == 1) {  // columns out of order, some counted from the end
                    std::vector<std::int32_t> c;
                    std::vector<double> v;
                    for (Index k = random.integer(1, 6); k > 0; --k) {
                        const Index channel = random.integer(0, n - 1);
                        c.push_back(static_cast<std::int32_t>(random.next() % 2 ? channel - n : channel));
                        v.push_back(random.uniform(0.1, 1.0));
                    }
                    m.add_row(c, v);
                } else if (j % 3 == 2 && j + half < n) {  // a run written with negative columns
                    m.add_run(j, half + 1, random, true);
                } else {
                    add_centred(m, j, half, random);
                }
                break;
            case Shape::repeated:
                if (j % 4 == 1) {  // one channel several times, once counted from the end
                    const auto c = static_cast<std::int32_t>(random.integer(1, n - 2));
                    m.add_row({c, c, static_cast<std::int32_t>(c - n), static_cast<std::int32_t>(c + 1), c},
                              {0.5, 0.25, random.uniform(0.1, 1.0), 0.125, random.uniform(0.1, 1.0)});
                } else {
                    add_centred(m, j, half, random);
                }
                break;
            case Shape::gapped: add_gapped(m, j, random); break;
            case Shape::empty_rows:
                if (j % 5 == 3 || (j >= 8 && j < 16)) {
                    m.add_row({}, {});
                } else {
                    add_centred(m, j, half, random);
                }
                break;
        }
    }
    // Rows n / 2 and n - 2 hold at least one and two entries (half >= 1) once there are four rows.
    if (shape == Shape::non_finite && n >= 4) {
        m.values[m.offsets[n / 2]] = nan;
        m.values[m.offsets[n - 2] + 1] = inf;
    }
    m.add_junk(lead > 0 ? 9 : 0);
    return m;
}

/// The matrix planned as the binding plans it.
struct Plan {
    std::vector<ml_em::RowSpan> rows;
    std::vector<ml_em::LaneGroup> groups;
    Index band_doubles = 0;
    std::unique_ptr<Aligned> band;
    ml_em::RowPlan row_plan;
    std::vector<Index> segment_at;
    std::vector<ml_em::Segment> segment_list;
    ml_em::Segments segments;

    Plan(const Csr& m, const ml_em::Layout& layout) : rows(m.n), groups(m.n / ml_em::group_rows) {
        for (Index j = 0; j < m.n; ++j) {
            const Index start = m.offsets[j], length = m.offsets[j + 1] - start;
            rows[j] = {start, start, length, -1};
        }
        CHECK(ml_em::classify_rows(rows.data(), m.n, m.columns.data()) == -1);
        ml_em::plan_groups(rows.data(), m.n, static_cast<Index>(m.values.size()), layout, groups.data());
        band_doubles = ml_em::band_size(groups.data(), m.n, layout);
        if (band_doubles > 0) {
            band = std::make_unique<Aligned>(static_cast<std::size_t>(band_doubles));
            ml_em::fill_bands(groups.data(), rows.data(), m.n, m.values.data(), band->get());
        }
        row_plan = {rows.data(), groups.data(), m.values.data(), m.columns.data(), band ? band->get() : nullptr};
        segment_at.resize(static_cast<std::size_t>(m.n + 1));
        segment_list.resize(static_cast<std::size_t>(
            std::max<Index>(ml_em::count_segments(rows.data(), m.columns.data(), m.n, segment_at.data()), 1)));
        ml_em::fill_segments(rows.data(), m.columns.data(), m.n, segment_at.data(), segment_list.data());
        segments = {segment_at.data(), segment_list.data()};
    }
    Plan(const Plan&) = delete;

    Index usable_groups() const {
        Index count = 0;
        for (const auto& g : groups) {
            count += g.usable;
        }
        return count;
    }
};

struct Problem {
    std::vector<double> y, floor;
};

Problem make_problem(const Csr& m, Shape shape, Random& random) {
    // Counts: the projection of a positive spectrum, with noise.
    Problem p{std::vector<double>(m.n, 0.0), std::vector<double>(m.n)};
    for (Index j = 0; j < m.n; ++j) {
        const double x = random.uniform(1.0, 100.0);
        for (Index e = m.offsets[j]; e < m.offsets[j + 1]; ++e) {
            p.y[m.channel(e)] += x * m.values[e];
        }
        p.floor[j] = std::fmax(j % 7 == 4 ? 0.0 : random.uniform(0.5, 2.0), 1e-12);
    }
    for (Index i = 0; i < m.n; ++i) {
        p.y[i] = std::floor(p.y[i] * random.uniform(0.8, 1.2));
    }
    if (shape == Shape::non_finite && m.n >= 4) {
        p.y[1] = nan;
        p.y[m.n - 3] = inf;
    }
    return p;
}

struct Result {
    std::vector<double> x, correction;
};

Result run_plan(const Csr& m, const Plan& plan, const Problem& p, int iterations) {
    const auto capacity = static_cast<std::size_t>(ml_em::work_capacity(m.n));
    Aligned estimate(capacity), ratio(capacity);
    Result r{std::vector<double>(m.n, 1.0), std::vector<double>(m.n, -7.0)};
    ml_em::ml_em_iterations(iterations, m.n, p.y.data(), p.floor.data(), plan.row_plan, r.x.data(), estimate.get(),
                            ratio.get(), r.correction.data());
    return r;
}

/// The plain algorithm: forward projection in row then entry order, back projection in entry order.
Result run_reference(const Csr& m, const Problem& p, int iterations) {
    Result r{std::vector<double>(m.n, 1.0), std::vector<double>(m.n, -7.0)};
    std::vector<double> ratio(m.n);
    for (int it = 0; it < iterations; ++it) {
        std::vector<double> yhat(m.n, 0.0);
        for (Index j = 0; j < m.n; ++j) {
            for (Index e = m.offsets[j]; e < m.offsets[j + 1]; ++e) {
                yhat[m.channel(e)] += r.x[j] * m.values[e];
            }
        }
        for (Index i = 0; i < m.n; ++i) {
            ratio[i] = p.y[i] / (yhat[i] + 1e-12);
        }
        for (Index j = 0; j < m.n; ++j) {
            double total = 0.0;
            for (Index e = m.offsets[j]; e < m.offsets[j + 1]; ++e) {
                total += m.values[e] * ratio[m.channel(e)];
            }
            r.correction[j] = total / p.floor[j];
            r.x[j] = r.x[j] * r.correction[j];
        }
    }
    return r;
}

struct NamedLayout {
    const char* name;
    ml_em::Layout layout;
};

// Rows alone; lanes wherever the reads stay inside the arrays, without and with bands; defaults.
const NamedLayout layouts[] = {
    {"rows", {-1, 0}},
    {"lanes", {Index{1} << 20, 0}},
    {"bands", {Index{1} << 20, Index{1} << 30}},
    {"default", {}},
};

}  // namespace

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
                    const Plan rows_plan(m, layouts[0].layout);
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

/// The forward projection split into `ranges` (or, banded, into ranges `extra` groups wider than
/// the least banded width), planned as the binding plans it.
struct Split {
    std::vector<Index> group_from, group_to, scattered_at, cursor, entries_at;
    std::vector<ml_em::ScatteredEntry> scattered;
    ml_em::ColumnSplit split;

    Split(const Plan& plan, Index n, Index ranges, bool banded = false, Index extra = 0) {
        split.banded = banded;
        split.width = banded ? ml_em::banded_width(plan.row_plan, n) + extra * ml_em::group_rows
                             : ml_em::column_width(n, ranges);
        split.ranges = ml_em::column_ranges(n, split.width);
        group_from.resize(split.ranges);
        group_to.resize(split.ranges);
        scattered_at.resize(split.ranges + 1);
        cursor.resize(split.ranges);
        entries_at.resize(split.ranges + 1);
        split.group_from = group_from.data();
        split.group_to = group_to.data();
        split.scattered_at = scattered_at.data();
        split.entries_at = entries_at.data();
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
            ml_em::scatter_row(plan.row_plan.rows[j], x[j], plan.row_plan.values, plan.row_plan.columns,
                               expected_estimate.get(), n);
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
    Index split_runs = 0, banded_runs = 0;
    for_each_matrix(
        random, [&](const Csr& m, const Problem& p, const Plan& plan, const char* shape, const char* layout) {
            const Index n = m.n, capacity = ml_em::work_capacity(n);
            for (const int iterations : {1, 5}) {
                const Result expected = run_plan(m, plan, p, iterations);
                for (int run = 0; run < 16; ++run) {
                    const int threads = run % 8 + 1;
                    const bool banded = run >= 8;
                    const Index ranges = 4 * threads + random.integer(-3, 3);
                    const Split split(plan, n, ranges, banded, random.integer(0, 3));
                    banded_runs += banded && split.split.ranges >= 3 * threads;
                    Aligned estimate(capacity), ratio(capacity);
                    std::unique_ptr<bool[]> finite(new bool[static_cast<std::size_t>(split.split.ranges)]);
                    Result got{std::vector<double>(n, 1.0), std::vector<double>(n, -7.0)};
                    {
                        vexora::core::parallel::Team team(budget, threads);
                        ml_em::ml_em_split_iterations(team, split.split, ranges + random.integer(-3, 3), iterations, n,
                                                      p.y.data(), p.floor.data(), plan.row_plan, got.x.data(),
                                                      estimate.get(), ratio.get(), got.correction.data(), finite.get());
                    }
                    ++split_runs;
                    for (Index j = 0; j < n; ++j) {
                        CHECK_SAME(got.x[j], expected.x[j], "%s %s n %td iterations %d threads %d banded %d: x %td",
                                   shape, layout, n, iterations, threads, banded, j);
                        CHECK_SAME(got.correction[j], expected.correction[j],
                                   "%s %s n %td iterations %d threads %d banded %d: correction %td", shape, layout, n,
                                   iterations, threads, banded, j);
                    }
                }
            }
        });
    // Banded splits must reach territories of several ranges, or their edges prove little.
    CHECK(banded_runs > 150, "%td banded runs with three ranges a thread", banded_runs);
    std::printf("ML-EM split: %td runs on teams of 1-8 threads, %td banded with three ranges a thread\n", split_runs,
                banded_runs);
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
                    ml_em::ml_em_pipeline_iterations(team, pipeline.p, iterations, n, p.y.data(), p.floor.data(),
                                                     plan.row_plan, got.x.data(), estimate.get(), ratio.get(),
                                                     got.correction.data(), partial.get(), finite.get());
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
    // Groups whose sums pass from thread to thread are what the pipeline adds: many must run.
    CHECK(chained > 10000, "%td chained groups", chained);
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
                    ml_em::ml_em_pipeline_iterations(team, pipeline.p, 6, n, p.y.data(), p.floor.data(), plan.row_plan,
                                                     got.x.data(), estimate.get(), ratio.get(), got.correction.data(),
                                                     partial.get(), finite.get(), stop.interrupt());
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

/// Runs the steps of ML-EM for a block of `vectors` vectors of spectra, each lane its own problem.
std::vector<Result> run_block(const Csr& m, const Plan& plan, const std::vector<Problem>& problems, int vectors,
                              int iterations) {
    const Index width = vectors * ml_em::lanes;
    const auto size = static_cast<std::size_t>(m.n * width);
    Aligned y(size), x(size), estimate(size), ratio(size);
    for (Index c = 0; c < m.n; ++c) {
        for (Index s = 0; s < width; ++s) {
            y.get()[c * width + s] = s < static_cast<Index>(problems.size()) ? problems[s].y[c] : 0.0;
            x.get()[c * width + s] = 1.0;
        }
    }
    const ml_em::SpectraBlock block{y.get(), x.get(), estimate.get(), ratio.get()};
    for (Index step = 0; step < ml_em::ml_em_many_steps(iterations); ++step) {
        ml_em::ml_em_many_step(vectors, plan.row_plan, plan.segments, m.n, problems[0].floor.data(), block, step,
                               iterations);
    }
    std::vector<Result> results(problems.size());
    for (std::size_t s = 0; s < problems.size(); ++s) {
        for (Index c = 0; c < m.n; ++c) {
            results[s].x.push_back(x.get()[c * width + static_cast<Index>(s)]);
        }
    }
    return results;
}

TEST(ml_em_many_lanes_equal_reference) {
    Random random{11};
    for (const Index n : {1, 8, 13, 29, 64}) {
        for (const Shape shape : shapes) {
            const Csr m = make_matrix(shape, n, 3, random);
            const Plan plan(m, layouts[3].layout);
            const char* name = shape_names[static_cast<int>(shape)];
            for (int vectors = 1; vectors <= ml_em::most_block_vectors; ++vectors) {
                // Every lane but up to three of the last vector holds a spectrum of its own.
                const Index spectra = vectors * ml_em::lanes - random.integer(0, 3);
                std::vector<Problem> problems;
                for (Index s = 0; s < spectra; ++s) {
                    problems.push_back(make_problem(m, shape, random));
                    problems[s].floor = problems[0].floor;  // one sensitivity for the block
                }
                for (const int iterations : {0, 1, 5}) {
                    const std::vector<Result> got = run_block(m, plan, problems, vectors, iterations);
                    for (Index s = 0; s < spectra; ++s) {
                        const Result expected = run_reference(m, problems[s], iterations);
                        for (Index j = 0; j < n; ++j) {
                            CHECK_SAME(got[s].x[j], expected.x[j],
                                       "many: %s n %td vectors %d iterations %d spectrum %td row %td", name, n, vectors,
                                       iterations, s, j);
                        }
                    }
                }
            }
        }
    }
}
