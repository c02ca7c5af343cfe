// Matrices of every row kind, the problems unfolded on them, their plans as the bindings make
// them, and the plain algorithm the ML-EM tests compare against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "core/ml_em.hpp"
#include "core/ml_em_segments.hpp"
#include "harness.hpp"

namespace ml_em_cases {

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
inline void add_centred(Csr& m, Index j, Index half, Random& random) {
    const Index first = std::max<Index>(j - half, 0), end = std::min<Index>(j + half + 1, m.n);
    m.add_run(first, end - first, random);
}

enum class Shape { widening, ragged, scattered, empty_rows, non_finite, repeated, gapped, stretched };
constexpr Shape shapes[] = {Shape::widening,   Shape::ragged,   Shape::scattered, Shape::empty_rows,
                            Shape::non_finite, Shape::repeated, Shape::gapped,    Shape::stretched};
inline constexpr const char* shape_names[] = {"widening",   "ragged",   "scattered", "empty rows",
                                              "non-finite", "repeated", "gapped",    "stretched"};

/// A row of stretches of consecutive channels, long and short, with gaps, a stray column and
/// stretches counted from the end between them, as a response moved to another energy has; with
/// `strays` false, every stretch long enough to be a segment and no stray column.
inline void add_gapped(Csr& m, Index j, Random& random, bool strays = true) {
    std::vector<std::int32_t> c;
    std::vector<double> v;
    Index channel = random.integer(0, std::max<Index>(m.n / 4, 0));
    for (Index stretch = random.integer(1, 3); stretch > 0 && channel < m.n; --stretch) {
        const Index length = std::min(random.integer(strays ? 3 : ml_em::shortest_stretch, 20), m.n - channel);
        const bool negative = random.next() % 3 == 0;
        for (Index k = 0; k < length; ++k) {
            c.push_back(static_cast<std::int32_t>(negative ? channel + k - m.n : channel + k));
            v.push_back(random.uniform(0.1, 1.0));
        }
        if (strays && j % 5 == 2) {
            c.push_back(static_cast<std::int32_t>(random.integer(0, m.n - 1)));
            v.push_back(random.uniform(0.1, 1.0));
        }
        channel += length + random.integer(1, 9);
    }
    m.add_row(c, v);
}

inline Csr make_matrix(Shape shape, Index n, Index lead, Random& random) {
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
            case Shape::stretched: add_gapped(m, j, random, false); break;
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

/// The matrix planned as the binding plans it, the rows that are not runs cut into segments
/// unless told otherwise.
struct Plan {
    std::vector<ml_em::RowSpan> rows;
    std::vector<ml_em::LaneGroup> groups;
    Index band_doubles = 0;
    std::unique_ptr<Aligned> band;
    ml_em::RowPlan row_plan;
    std::vector<Index> segment_at;
    std::vector<ml_em::Segment> segment_list;

    Plan(const Csr& m, const ml_em::Layout& layout, bool segmented = true)
        : rows(m.n), groups(m.n / ml_em::group_rows) {
        for (Index j = 0; j < m.n; ++j) {
            const Index start = m.offsets[j], length = m.offsets[j + 1] - start;
            rows[j] = {start, start, length, -1};
        }
        CHECK(ml_em::classify_rows(rows.data(), 0, m.n, m.n, m.columns.data()) == -1);
        ml_em::plan_groups(rows.data(), m.n, static_cast<Index>(m.values.size()), layout, groups.data());
        band_doubles = ml_em::band_size(groups.data(), m.n, layout);
        if (band_doubles > 0) {
            band = std::make_unique<Aligned>(static_cast<std::size_t>(band_doubles));
            ml_em::fill_bands(groups.data(), rows.data(), m.n, m.values.data(), band->get());
        }
        row_plan = {rows.data(), groups.data(), m.values.data(), m.columns.data(), band ? band->get() : nullptr};
        if (!segmented) {
            return;
        }
        segment_at.resize(static_cast<std::size_t>(m.n + 1));
        segment_list.resize(static_cast<std::size_t>(
            std::max<Index>(ml_em::count_segments(rows.data(), m.columns.data(), m.n, segment_at.data()), 1)));
        ml_em::fill_segments(rows.data(), m.columns.data(), m.n, segment_at.data(), segment_list.data());
        row_plan.segments = {segment_at.data(), segment_list.data()};
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

    /// The iterations' arrays over this problem, updating x and correction.
    ml_em::Spectrum spectrum(std::vector<double>& x, std::vector<double>& correction, Aligned& estimate,
                             Aligned& ratio) const {
        return {static_cast<Index>(y.size()),
                y.data(),
                floor.data(),
                x.data(),
                estimate.get(),
                ratio.get(),
                correction.data()};
    }
};

inline Problem make_problem(const Csr& m, Shape shape, Random& random) {
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

inline Result run_plan(const Csr& m, const Plan& plan, const Problem& p, int iterations) {
    const auto capacity = static_cast<std::size_t>(ml_em::work_capacity(m.n));
    Aligned estimate(capacity), ratio(capacity);
    Result r{std::vector<double>(m.n, 1.0), std::vector<double>(m.n, -7.0)};
    ml_em::ml_em_iterations(plan.row_plan, p.spectrum(r.x, r.correction, estimate, ratio), iterations);
    return r;
}

/// The plain algorithm: forward projection in row then entry order, back projection in entry order.
inline Result run_reference(const Csr& m, const Problem& p, int iterations) {
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
inline const NamedLayout layouts[] = {
    {"rows", {-1, 0}},
    {"lanes", {Index{1} << 20, 0}},
    {"bands", {Index{1} << 20, Index{1} << 30}},
    {"default", {}},
};

}  // namespace ml_em_cases
