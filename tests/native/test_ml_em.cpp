// ML-EM: the iterations over plans made under every layout (rows alone, rows in vector lanes,
// rows in bands) give the same bits as rows alone, which give the bits of the plain algorithm;
// so does every spectrum of a block unfolded together in the lanes of vectors.
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "core/ml_em.hpp"
#include "core/ml_em_many.hpp"
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

enum class Shape { widening, ragged, scattered, empty_rows, non_finite };
constexpr Shape shapes[] = {Shape::widening, Shape::ragged, Shape::scattered, Shape::empty_rows, Shape::non_finite};
const char* shape_names[] = {"widening", "ragged", "scattered", "empty rows", "non-finite"};

Csr make_matrix(Shape shape, Index n, Index lead, Random& random) {
    Csr m(n, lead);
    for (Index j = 0; j < n; ++j) {
        // Gaussian-like rows whose width grows slowly along the axis.
        const Index half = 1 + static_cast<Index>(9.0 * std::pow(static_cast<double>(j) / static_cast<double>(n), 1.5));
        switch (shape) {
            case Shape::widening:
            case Shape::non_finite:
                add_centred(m, j, half, random);
                break;
            case Shape::ragged:
                add_centred(m, j, random.integer(0, 14), random);
                break;
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
            case Shape::empty_rows:
                if (j % 5 == 3 || (j >= 8 && j < 16)) {
                    m.add_row({}, {});
                } else {
                    add_centred(m, j, half, random);
                }
                break;
        }
    }
    if (shape == Shape::non_finite) {
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
    if (shape == Shape::non_finite) {
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
                        CHECK_SAME(rows.correction[j], expected.correction[j], "rows: %s n %td lead %td iterations %d row %td",
                                   name, n, lead, iterations, j);
                    }
                    for (const NamedLayout& layout : std::span(layouts).subspan(1)) {
                        const Plan plan(m, layout.layout);
                        lane_groups += plan.usable_groups();
                        banded_groups += plan.band_doubles > 0 ? plan.usable_groups() : 0;
                        const Result got = run_plan(m, plan, p, iterations);
                        for (Index j = 0; j < n; ++j) {
                            CHECK_SAME(got.x[j], rows.x[j], "%s: %s n %td lead %td iterations %d row %td", layout.name,
                                       name, n, lead, iterations, j);
                            CHECK_SAME(got.correction[j], rows.correction[j], "%s: %s n %td lead %td iterations %d row %td",
                                       layout.name, name, n, lead, iterations, j);
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
        ml_em::ml_em_many_step(vectors, plan.row_plan, m.n, problems[0].floor.data(), block, step, iterations);
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
                            CHECK_SAME(got[s].x[j], expected.x[j], "many: %s n %td vectors %d iterations %d spectrum %td row %td",
                                       name, n, vectors, iterations, s, j);
                        }
                    }
                }
            }
        }
    }
}
