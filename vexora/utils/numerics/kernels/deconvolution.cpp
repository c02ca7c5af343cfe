// Spectrum unfolding: ML-EM on a CSR response matrix, the Gaussian energy-resolution response
// builder and the Richardson-Lucy driver that joins them.
#include "frame/exact_exp.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

using namespace vexora::frame;
namespace ee = vexora::frame::exact_exp;

constexpr ModuleIdentity identity{
    "deconvolution",
    "vexora.utils.numerics.kernels.deconvolution",
    "vexora/utils/numerics/kernels/deconvolution",
};

// Lines that traceback entries report, following the module's source layout.
constexpr int numpy_import_line = 6;
constexpr int ml_em_line = 162;
constexpr int ml_em_working_arrays_line = 190;
constexpr int ml_em_matrix_check_line = 197;
constexpr int ml_em_loop_line = 201;
constexpr int builder_line = 260;
constexpr int builder_rows_line = 275;
constexpr int builder_result_line = 290;
constexpr int richardson_lucy_line = 307;
constexpr int richardson_lucy_sigmas_line = 318;
constexpr int richardson_lucy_widths_line = 321;
constexpr int richardson_lucy_builder_line = 323;
constexpr int richardson_lucy_ml_em_line = 324;

/// Full width at half maximum of a Gaussian over its standard deviation: 2 sqrt(2 ln 2).
constexpr double FWHM_C = 2.3548200450309493;

/// Added to every forward projection and floor of the sensitivity: keeps the ratios finite.
constexpr double epsilon = 1e-12;

/// Native scratch memory, usable while the interpreter lock is released.
template <class T>
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { PyMem_RawFree(data_); }

    /// Allocates `size` elements; false with MemoryError set when that many cannot be had,
    /// including sizes whose byte count does not fit in memory's address range.
    bool allocate(Py_ssize_t size) {
        size_t bytes;
        if (size < 0 || __builtin_mul_overflow(static_cast<size_t>(size > 0 ? size : 1), sizeof(T), &bytes) ||
            bytes > static_cast<size_t>(PY_SSIZE_T_MAX) || !(data_ = static_cast<T*>(PyMem_RawMalloc(bytes)))) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    T* get() const { return data_; }

private:
    T* data_ = nullptr;
};

/*
 * `capacity` doubles, 32-byte aligned: work vectors whose blocks of four channels keep the
 * same addresses from row to row (a store is then forwarded to the next row's load), and the
 * banded values. Zeroed when asked (the bands are written in full).
 */
class AlignedBuffer {
public:
    enum class Start { zeroed, unwritten };

    bool allocate(Py_ssize_t capacity, Start start) {
        constexpr Py_ssize_t slack = 32 / sizeof(double) - 1;
        if (!storage_.allocate(capacity + slack)) {
            return false;
        }
        const auto misalignment = reinterpret_cast<std::uintptr_t>(storage_.get()) % 32;
        data_ = storage_.get() + (32 - misalignment) % 32 / sizeof(double);
        if (start == Start::zeroed) {
            std::fill(data_, data_ + capacity, 0.0);
        }
        return true;
    }
    double* get() const { return data_; }

private:
    Scratch<double> storage_;
    double* data_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// ML-EM kernels: pure, lock-free, over a checked row plan of the CSR matrix.

/*
 * Where row j of a CSR matrix keeps its entries once every position has been checked:
 * values[values_at + i] and columns[columns_at + i] for i < length. Columns were checked to lie
 * in [-n, n), negative ones counting from the end. A row whose columns run consecutively from
 * first_column (in [0, n)) needs no column loads; other rows have first_column = -1.
 */
struct RowSpan {
    Py_ssize_t values_at;
    Py_ssize_t columns_at;
    Py_ssize_t length;
    Py_ssize_t first_column;
};

using Double4 = double __attribute__((vector_size(32)));

// Helpers that take or return vectors are always inlined, here into the vector-compiled clone
// of the iterations, so that no call passes a vector (whose convention differs between
// targets, as GCC warns).
#pragma GCC diagnostic ignored "-Wpsabi"
#define VEXORA_VECTOR_HELPER [[gnu::always_inline]] inline

/*
 * Channel of a column read from the matrix during the iterations, negative counting from the
 * end; -1 when outside [-n, n). Columns were checked when the plan was made, but memory that
 * another thread or process writes meanwhile may hold anything by now: the loop never trusts it.
 */
inline Py_ssize_t channel_of(std::int32_t column, Py_ssize_t n) {
    const Py_ssize_t channel = column < 0 ? column + n : column;
    return static_cast<size_t>(channel) < static_cast<size_t>(n) ? channel : -1;
}


/*
 * Adds x_j * R[j][.] to estimate[n], entries in row order. Runs are added in aligned blocks of
 * four, so that the overlapping runs of neighbouring rows meet at the same addresses and each
 * load gets its value forwarded from the previous row's store. Columns of other rows are
 * re-checked against n so that an array changed by another thread during the call can never
 * send a store out of bounds.
 */
inline void scatter_row(const RowSpan& row, double x_j, const double* __restrict values,
                        const std::int32_t* __restrict columns, double* __restrict estimate, Py_ssize_t n) {
    const double* v = values + row.values_at;
    if (row.first_column >= 0) {
        double* e = estimate + row.first_column;
        const Py_ssize_t length = row.length;
        const auto misalignment = (reinterpret_cast<std::uintptr_t>(e) / sizeof(double)) % 4;
        const Py_ssize_t head = std::min<Py_ssize_t>(length, (4 - misalignment) % 4);
        Py_ssize_t i = 0;
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
        return;
    }
    const std::int32_t* c = columns + row.columns_at;
    for (Py_ssize_t i = 0; i < row.length; ++i) {
        const Py_ssize_t channel = channel_of(c[i], n);
        if (channel >= 0) {
            estimate[channel] += x_j * v[i];
        }
    }
}

/// Back projection of `ratio` on one row: sum of R[j][i] * ratio[i], summed in entry order.
inline double back_project_row(const RowSpan& row, const double* __restrict values,
                               const std::int32_t* __restrict columns, const double* __restrict ratio, Py_ssize_t n) {
    const double* v = values + row.values_at;
    double total = 0.0;
    if (row.first_column >= 0) {
        const double* r = ratio + row.first_column;
        for (Py_ssize_t i = 0; i < row.length; ++i) {
            total += v[i] * r[i];
        }
        return total;
    }
    const std::int32_t* c = columns + row.columns_at;
    for (Py_ssize_t i = 0; i < row.length; ++i) {
        const Py_ssize_t channel = channel_of(c[i], n);
        if (channel >= 0) {
            total += v[i] * ratio[channel];
        }
    }
    return total;
}

/// Elements in one vector.
constexpr int lanes = 4;

/// Consecutive rows handled together: two vectors' worth, so that two independent sums hide
/// the latency of each other's additions.
constexpr int group_rows = 2 * lanes;
constexpr int halves = group_rows / lanes;  // vectors per group

using Long4 = std::int64_t __attribute__((vector_size(32)));

VEXORA_VECTOR_HELPER Double4 load4(const double* p) {
    Double4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

VEXORA_VECTOR_HELPER void store4(double* p, Double4 v) { std::memcpy(p, &v, sizeof v); }

VEXORA_VECTOR_HELPER Double4 broadcast(double value) { return Double4{value, value, value, value}; }

VEXORA_VECTOR_HELPER Long4 broadcast(Py_ssize_t value) { return Long4{value, value, value, value}; }

/*
 * The lanes of `v` where `mask` is set, +0.0 in the others. A sum that starts from +0.0 is
 * never -0.0, so adding +0.0 leaves it unchanged bit for bit: masked lanes add nothing.
 */
VEXORA_VECTOR_HELPER Double4 keep(Double4 v, Long4 mask) {
    return std::bit_cast<Double4>(std::bit_cast<Long4>(v) & mask);
}

/// Transposes the 4x4 block whose rows are p[0..3]: afterwards p[k] holds element k of every row.
VEXORA_VECTOR_HELPER void transpose(Double4* p) {
    const Double4 even01 = __builtin_shuffle(p[0], p[1], Long4{0, 4, 2, 6});
    const Double4 odd01 = __builtin_shuffle(p[0], p[1], Long4{1, 5, 3, 7});
    const Double4 even23 = __builtin_shuffle(p[2], p[3], Long4{0, 4, 2, 6});
    const Double4 odd23 = __builtin_shuffle(p[2], p[3], Long4{1, 5, 3, 7});
    p[0] = __builtin_shuffle(even01, even23, Long4{0, 1, 4, 5});
    p[1] = __builtin_shuffle(odd01, odd23, Long4{0, 1, 4, 5});
    p[2] = __builtin_shuffle(even01, even23, Long4{2, 3, 6, 7});
    p[3] = __builtin_shuffle(odd01, odd23, Long4{2, 3, 6, 7});
}

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

inline Py_ssize_t round_down4(Py_ssize_t i) { return i & ~Py_ssize_t{3}; }

inline Py_ssize_t round_up4(Py_ssize_t i) { return round_down4(i + 3); }

/// Channels that the estimate and ratio work vectors hold: n, rounded up to whole vectors, and
/// room past it for whole-vector reads of the rows of a group that ends near channel n.
inline Py_ssize_t work_capacity(Py_ssize_t n) { return round_up4(n) + 2 * group_rows; }

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
    Py_ssize_t common, span;
    Py_ssize_t first_block, full_from, full_to, end_block;
    Py_ssize_t band_at = -1;
};

/// Lanes a group may run per entry of its rows: beyond that, rows run one by one.
constexpr Py_ssize_t max_lanes_per_entry = 4;

/// Bytes of banded values at most: about what stays in the last-level cache beside the rest.
constexpr Py_ssize_t band_budget = Py_ssize_t{16} << 20;

/*
 * Plans the group of rows[0..group_rows) over `values_size` values and work vectors that hold
 * `capacity` channels (a multiple of four, at least n).
 */
LaneGroup plan_lane_group(const RowSpan* rows, Py_ssize_t values_size, Py_ssize_t capacity) {
    Py_ssize_t shortest = PY_SSIZE_T_MAX, longest = 0, entries = 0;
    Py_ssize_t lowest_first = PY_SSIZE_T_MAX, highest_first = 0, lowest_end = PY_SSIZE_T_MAX, highest_end = 0;
    for (int r = 0; r < group_rows; ++r) {
        const RowSpan& row = rows[r];
        if (row.first_column < 0 || row.length == 0) {
            return {};
        }
        const Py_ssize_t end = row.first_column + row.length;
        entries += row.length;
        shortest = std::min(shortest, row.length);
        longest = std::max(longest, row.length);
        lowest_first = std::min(lowest_first, row.first_column);
        highest_first = std::max(highest_first, row.first_column);
        lowest_end = std::min(lowest_end, end);
        highest_end = std::max(highest_end, end);
    }
    LaneGroup group{true, round_down4(shortest), round_up4(longest), round_down4(lowest_first),
                    round_up4(highest_first), 0, round_up4(highest_end)};
    group.full_to = std::max(round_down4(lowest_end), group.full_from);
    const Py_ssize_t lanes_allowed = max_lanes_per_entry * entries + 64 * group_rows;
    if (group.span * group_rows > lanes_allowed || (group.end_block - group.first_block) * group_rows > lanes_allowed) {
        return {};
    }
    for (int r = 0; r < group_rows; ++r) {
        const RowSpan& row = rows[r];
        const Py_ssize_t shift = row.values_at - row.first_column;  // position of channel c's value: shift + c
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
    const Py_ssize_t ahead = rows[group_rows - 1].values_at + rows[group_rows - 1].length - rows[0].values_at;
    Py_ssize_t i = 0;
    for (; i < group.common; i += 4) {
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(v[r] + i) * load4(q[r] + i);
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(v[r] + i) +
                                                             ahead * sizeof(double)));
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
VEXORA_VECTOR_HELPER Long4 channels_inside(Py_ssize_t b, Long4 first, Long4 end) {
    const Long4 channel = Long4{0, 1, 2, 3} + broadcast(b);
    return (channel >= first) & (channel < end);
}

/*
 * Adds the rows of a lane group to the estimate, each block of four channels loaded and
 * stored once for all the rows, which are added in row order.
 */
VEXORA_VECTOR_HELPER void scatter_lanes(const LaneGroup& group, const RowSpan* rows, const double* x,
                                        const double* __restrict values, double* __restrict estimate) {
    Double4 x4[group_rows];
    Py_ssize_t shift[group_rows];
    Long4 first[group_rows], end[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        x4[r] = broadcast(x[r]);
        shift[r] = rows[r].values_at - rows[r].first_column;
        first[r] = broadcast(rows[r].first_column);
        end[r] = broadcast(rows[r].first_column + rows[r].length);
    }
    const auto masked_block = [&](Py_ssize_t b) {
        Double4 e = load4(estimate + b);
        for (int r = 0; r < group_rows; ++r) {
            e = e + keep(x4[r] * load4(values + shift[r] + b), channels_inside(b, first[r], end[r]));
        }
        store4(estimate + b, e);
    };
    Py_ssize_t b = group.first_block;
    for (; b < group.full_from; b += 4) {
        masked_block(b);
    }
    for (; b < group.full_to; b += 4) {
        Double4 e = load4(estimate + b);
        for (int r = 0; r < group_rows; ++r) {
            e = e + x4[r] * load4(values + shift[r] + b);
        }
        store4(estimate + b, e);
    }
    for (; b < group.end_block; b += 4) {
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
__attribute__((target_clones("avx2", "default"))) void fill_band(const LaneGroup& group, const RowSpan* rows,
                                                                 const double* __restrict values,
                                                                 double* __restrict band) {
    for (int r = 0; r < group_rows; ++r) {
        const Py_ssize_t shift = rows[r].values_at - rows[r].first_column;
        const Long4 first = broadcast(rows[r].first_column), end = broadcast(rows[r].first_column + rows[r].length);
        double* w = band + group.band_at + 4 * r;
        for (Py_ssize_t b = group.first_block; b < group.end_block; b += 4, w += 4 * group_rows) {
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
    for (Py_ssize_t b = group.first_block; b < group.end_block; b += 4, w += 4 * group_rows) {
        const Double4 q = load4(ratio + b);
        Double4 p[group_rows];
        for (int r = 0; r < group_rows; ++r) {
            p[r] = load4(w + 4 * r) * q;
        }
        add_by_rows(p, totals);
    }
}

/// Adds the rows of a banded group to the estimate, in row order.
VEXORA_VECTOR_HELPER void scatter_band(const LaneGroup& group, const double* __restrict band, const double* x,
                                       double* __restrict estimate) {
    Double4 x4[group_rows];
    for (int r = 0; r < group_rows; ++r) {
        x4[r] = broadcast(x[r]);
    }
    const double* w = band + group.band_at;
    for (Py_ssize_t b = group.first_block; b < group.end_block; b += 4, w += 4 * group_rows) {
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

/*
 * The matrix as the iterations read it: the checked row plan, one lane group per `group_rows`
 * rows (the last n % group_rows rows run alone), the values and columns the plan addresses,
 * and the bands of banded groups (nullptr when there are none).
 */
struct RowPlan {
    const RowSpan* rows;
    const LaneGroup* groups;
    const double* values;
    const std::int32_t* columns;
    const double* band;
};

/// Adds x_j * R[j][.] for the rows of group g to the estimate, in row order.
VEXORA_VECTOR_HELPER void scatter_group(const RowPlan& plan, Py_ssize_t g, const double* x,
                                        double* __restrict estimate, Py_ssize_t n) {
    const Py_ssize_t j = g * group_rows;
    if (plan.groups[g].band_at >= 0 && all_finite(x + j)) {
        scatter_band(plan.groups[g], plan.band, x + j, estimate);
        return;
    }
    if (plan.groups[g].usable) {
        scatter_lanes(plan.groups[g], plan.rows + j, x + j, plan.values, estimate);
        return;
    }
    for (int r = 0; r < group_rows; ++r) {
        scatter_row(plan.rows[j + r], x[j + r], plan.values, plan.columns, estimate, n);
    }
}

/// Updates x for the rows of group g from their back projections of the ratio.
VEXORA_VECTOR_HELPER void update_group(const RowPlan& plan, Py_ssize_t g, const double* __restrict ratio,
                                       bool ratio_finite, const double* __restrict sensitivity_floor,
                                       double* __restrict x, double* __restrict correction, Py_ssize_t n) {
    const Py_ssize_t j = g * group_rows;
    Double4 totals[halves];
    if (plan.groups[g].band_at >= 0 && ratio_finite) {
        back_project_band(plan.groups[g], plan.band, ratio, totals);
    } else if (plan.groups[g].usable) {
        back_project_lanes(plan.groups[g], plan.rows + j, plan.values, ratio, totals);
    } else {
        for (int r = 0; r < group_rows; ++r) {
            totals[r / lanes][r % lanes] = back_project_row(plan.rows[j + r], plan.values, plan.columns, ratio, n);
        }
    }
    for (int h = 0; h < halves; ++h) {
        const Py_ssize_t at = j + lanes * h;
        const Double4 c = totals[h] / load4(sensitivity_floor + at);
        store4(correction + at, c);
        store4(x + at, load4(x + at) * c);
    }
}

/// ratio = y / (estimate + 1e-12) over n channels; whether every ratio is finite.
inline bool compute_ratio(Py_ssize_t n, const double* __restrict y, const double* __restrict estimate,
                          double* __restrict ratio) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000;
    std::uint64_t non_finite = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        ratio[i] = y[i] / (estimate[i] + epsilon);
        non_finite |= (std::bit_cast<std::uint64_t>(ratio[i]) & exponent) == exponent;
    }
    return non_finite == 0;
}

/*
 * ML-EM: `iterations` times, x_j <- x_j * (sum_i R[j][i] y_i / (yhat_i + 1e-12)) / fmax(s_j, 1e-12)
 * with yhat the forward projection of the previous x.
 *
 *   y[n]                 - measured spectrum
 *   sensitivity_floor[n] - fmax(sensitivity, 1e-12)
 *   plan                 - the checked response matrix
 *   x[n]                 - estimate, updated in place (ones on entry)
 *   estimate, ratio      - work vectors of work_capacity(n), 32-byte aligned, zero past n
 *   correction[n]        - work vector
 *
 * One sweep over the rows per iteration: a row's back projection updates its x_j, and the row
 * is at once scattered into the next iteration's forward projection, so the matrix is read once
 * per iteration. Every sum accumulates in the order of the plain algorithm (forward projection
 * in row then entry order, back projection in entry order), so the results are identical.
 */
__attribute__((target_clones("avx2", "default"))) void ml_em_iterations(
    int iterations, Py_ssize_t n, const double* __restrict y, const double* __restrict sensitivity_floor,
    const RowPlan& plan, double* __restrict x, double* __restrict estimate, double* __restrict ratio,
    double* __restrict correction) {
    if (iterations <= 0) {
        return;
    }
    const Py_ssize_t groups = n / group_rows;
    std::fill(estimate, estimate + n, 0.0);
    for (Py_ssize_t g = 0; g < groups; ++g) {
        scatter_group(plan, g, x, estimate, n);
    }
    for (Py_ssize_t j = groups * group_rows; j < n; ++j) {
        scatter_row(plan.rows[j], x[j], plan.values, plan.columns, estimate, n);
    }
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const bool ratio_finite = compute_ratio(n, y, estimate, ratio);
        const bool project_next = iteration + 1 < iterations;
        if (project_next) {
            std::fill(estimate, estimate + n, 0.0);
        }
        // Each group is scattered after the next one's back projection, so that the scatter
        // runs while that back projection's sums wait on their additions.
        for (Py_ssize_t g = 0; g < groups; ++g) {
            update_group(plan, g, ratio, ratio_finite, sensitivity_floor, x, correction, n);
            if (project_next && g > 0) {
                scatter_group(plan, g - 1, x, estimate, n);
            }
        }
        if (project_next && groups > 0) {
            scatter_group(plan, groups - 1, x, estimate, n);
        }
        for (Py_ssize_t j = groups * group_rows; j < n; ++j) {
            correction[j] = back_project_row(plan.rows[j], plan.values, plan.columns, ratio, n) / sensitivity_floor[j];
            x[j] *= correction[j];
            if (project_next) {
                scatter_row(plan.rows[j], x[j], plan.values, plan.columns, estimate, n);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// ML-EM set-up: checking the matrix and laying it out for the kernels.

bool raise_out_of_bounds_note(const char* format, auto... args) {
    raise_out_of_bounds(0);
    PyObject* error = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat(format, args...));
    if (note) {
        Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error);
    return false;
}

/// What one row's columns are, each read once from the caller's memory.
struct ColumnScan {
    bool in_range;              ///< all in [-n, n)
    bool run;                   ///< channels consecutive and ascending
    std::int32_t first_column;  ///< the first column as read
};

/*
 * Scans a row's columns a vector at a time, so that checking a large matrix costs about a
 * streaming read of its columns: first whether they run consecutively from the first, which
 * settles their range from the two ends; only other rows are read again for their extremes.
 */
[[gnu::always_inline]] inline ColumnScan scan_columns(const std::int32_t* columns, Py_ssize_t length,
                                                      Py_ssize_t n) {
    const std::int32_t first = columns[0];
    std::uint32_t steps_off = 0;  // nonzero unless columns[i] == first + i (mod 2^32) throughout
    std::uint32_t expected = static_cast<std::uint32_t>(first);
    for (Py_ssize_t i = 0; i < length; ++i) {
        steps_off |= static_cast<std::uint32_t>(columns[i]) ^ expected;
        ++expected;
    }
    const std::int64_t last = std::int64_t{first} + (length - 1);
    // Consecutive raw columns are consecutive channels unless they wrap past the largest int32
    // or cross from -1 to 0.
    if (steps_off == 0 && last <= std::numeric_limits<std::int32_t>::max() && (first >= 0 || last < 0)) {
        return {first >= -n && last < n, true, first};
    }
    std::int32_t lowest = first, highest = first;
    for (Py_ssize_t i = 0; i < length; ++i) {
        lowest = std::min(lowest, columns[i]);
        highest = std::max(highest, columns[i]);
    }
    return {lowest >= -n && highest < n, false, first};
}

/*
 * Classifies the columns of rows[0..n) where they lie (first_column of runs, -1 for other rows);
 * the first row with a column outside [-n, n), or -1 when there is none.
 */
__attribute__((target_clones("avx2", "default"))) Py_ssize_t classify_rows(RowSpan* rows, Py_ssize_t n,
                                                                           const std::int32_t* columns) {
    for (Py_ssize_t j = 0; j < n; ++j) {
        RowSpan& row = rows[j];
        if (row.length == 0) {
            continue;
        }
        const ColumnScan scan = scan_columns(columns + row.columns_at, row.length, n);
        if (!scan.in_range) {
            return j;
        }
        row.first_column = scan.run ? (scan.first_column < 0 ? scan.first_column + n : scan.first_column) : -1;
    }
    return -1;
}

/// Whether positions first..last (negative ones counting from the end) lie in an array of `size`.
bool in_range(Py_ssize_t first, Py_ssize_t last, Py_ssize_t size) { return first >= -size && last < size; }

/*
 * The response matrix read for the kernels: a row plan whose positions and columns are all
 * checked, over the caller's own arrays when they are contiguous and no row wraps from the end
 * of storage to its start, or over a packed copy otherwise (strided arrays, wrapping rows).
 *
 * Every element of offsets and of the columns is read once here, and what is planned is what
 * was checked. The values and, for rows that are not runs, the columns are read again by the
 * iterations, which never trust them to index memory (channel_of).
 */
class Matrix {
public:
    /// The plan for the iterations; valid once plan() succeeded.
    RowPlan row_plan() const { return {rows_.get(), groups_.get(), values_, columns_, band_.get()}; }

    /// Checks every position that n rows address; IndexError with a note naming it otherwise.
    bool plan(Py_ssize_t n, View1<const std::int64_t> offsets, View1<const std::int32_t> indices,
              View1<const double> values) {
        if (n > 0 && offsets.size < n + 1) {
            return raise_out_of_bounds_note("y has %zd channels, so the square response matrix needs %zd offsets; got %zd",
                                            n, n + 1, offsets.size);
        }
        Py_ssize_t entries = 0;
        bool wrapping = false;
        if (!rows_.allocate(n) || !plan_positions(n, offsets, indices.size, values.size, entries, wrapping)) {
            return false;
        }
        Py_ssize_t values_size;
        if (indices.contiguous() && values.contiguous() && !wrapping) {
            values_ = values.data;
            columns_ = indices.data;
            values_size = values.size;
            if (!scan_in_place(n, indices)) {
                return false;
            }
        } else {
            if (!packed_values_.allocate(entries) || !packed_columns_.allocate(entries)) {
                return false;
            }
            values_ = packed_values_.get();
            columns_ = packed_columns_.get();
            values_size = entries;
            if (!pack(n, indices, values)) {
                return false;
            }
        }
        return plan_groups(n, values_size) && plan_band(n);
    }

private:
    /// Row spans from offsets, each offset read once; `entries` counts them all.
    bool plan_positions(Py_ssize_t n, View1<const std::int64_t> offsets, Py_ssize_t columns_size,
                        Py_ssize_t values_size, Py_ssize_t& entries, bool& wrapping) {
        Py_ssize_t start = n > 0 ? offsets[0] : 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const Py_ssize_t end = offsets[j + 1];
            RowSpan& row = rows_.get()[j];
            row = {0, 0, 0, -1};
            if (end > start) {
                const bool columns_short = !in_range(start, end - 1, columns_size);
                if (columns_short || !in_range(start, end - 1, values_size)) {
                    const Py_ssize_t size = columns_short ? columns_size : values_size;
                    const Py_ssize_t bad = start < -size ? start : end - 1;
                    return raise_out_of_bounds_note("row %zd addresses position %zd of %s, outside [%zd, %zd)", j,
                                                    bad, columns_short ? "indices" : "values", -size, size);
                }
                row.length = end - start;
                row.values_at = start < 0 ? start + values_size : start;
                row.columns_at = start < 0 ? start + columns_size : start;
                wrapping = wrapping || (start < 0 && end > 0);
                if (__builtin_add_overflow(entries, row.length, &entries)) {
                    PyErr_NoMemory();
                    return false;
                }
            }
            start = end;
        }
        return true;
    }

    /// Checks and classifies the columns of every row where they lie.
    bool scan_in_place(Py_ssize_t n, View1<const std::int32_t> indices) {
        const Py_ssize_t bad = classify_rows(rows_.get(), n, indices.data);
        return bad < 0 || raise_bad_column(n, indices, rows_.get()[bad], bad);
    }

    /// Copies every row's entries into the packed arrays, columns checked and wrapped into [0, n).
    bool pack(Py_ssize_t n, View1<const std::int32_t> indices, View1<const double> values) {
        Py_ssize_t at = 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            RowSpan& row = rows_.get()[j];
            bool run = true;
            for (Py_ssize_t i = 0; i < row.length; ++i) {
                const Py_ssize_t c = wrapped_position(row.columns_at + i, indices.size);
                const Py_ssize_t column = indices[c];
                if (column < -n || column >= n) {
                    return raise_out_of_bounds_note("indices[%zd] = %zd is outside [%zd, %zd)", c, column, -n, n);
                }
                const Py_ssize_t channel = column < 0 ? column + n : column;
                run = run && (i == 0 || channel == packed_columns_.get()[at + i - 1] + 1);
                packed_columns_.get()[at + i] = static_cast<std::int32_t>(channel);
                packed_values_.get()[at + i] = values[wrapped_position(row.values_at + i, values.size)];
            }
            row.first_column = run && row.length > 0 ? packed_columns_.get()[at] : -1;
            row.values_at = row.columns_at = at;
            at += row.length;
        }
        return true;
    }

    /// One lane group per `group_rows` rows, over the values as the iterations read them.
    bool plan_groups(Py_ssize_t n, Py_ssize_t values_size) {
        const Py_ssize_t count = n / group_rows;
        if (!groups_.allocate(count)) {
            return false;
        }
        for (Py_ssize_t g = 0; g < count; ++g) {
            groups_.get()[g] = plan_lane_group(rows_.get() + g * group_rows, values_size, work_capacity(n));
        }
        return true;
    }

    /*
     * Bands for every lane group, when all of them fit in `band_budget`: beyond the cache the
     * iterations are bound by memory, where the bands' zeros would only add traffic (and the
     * copy's cost would not come back).
     */
    bool plan_band(Py_ssize_t n) {
        Py_ssize_t size = 0;
        for (Py_ssize_t g = 0; g < n / group_rows; ++g) {
            const LaneGroup& group = groups_.get()[g];
            if (group.usable) {
                size += (group.end_block - group.first_block) * group_rows;  // bounded by the lanes check
                if (size > band_budget / static_cast<Py_ssize_t>(sizeof(double))) {
                    return true;
                }
            }
        }
        if (size == 0) {
            return true;
        }
        if (!band_.allocate(size, AlignedBuffer::Start::unwritten)) {
            return false;
        }
        Py_ssize_t at = 0;
        for (Py_ssize_t g = 0; g < n / group_rows; ++g) {
            LaneGroup& group = groups_.get()[g];
            if (!group.usable) {
                continue;
            }
            group.band_at = at;
            fill_band(group, rows_.get() + g * group_rows, values_, band_.get());
            at += (group.end_block - group.first_block) * group_rows;
        }
        return true;
    }

    /// A row that starts at `start` (in [0, size)) continues past the end of storage at its start.
    static Py_ssize_t wrapped_position(Py_ssize_t position, Py_ssize_t size) {
        return position < size ? position : position - size;
    }

    /// IndexError naming the first column of `row` outside [-n, n).
    static bool raise_bad_column(Py_ssize_t n, View1<const std::int32_t> indices, const RowSpan& row, Py_ssize_t j) {
        for (Py_ssize_t i = 0; i < row.length; ++i) {
            const Py_ssize_t column = indices[row.columns_at + i];
            if (column < -n || column >= n) {
                return raise_out_of_bounds_note("indices[%zd] = %zd is outside [%zd, %zd)", row.columns_at + i,
                                                column, -n, n);
            }
        }
        // The column changed since it was scanned: memory written during the call.
        return raise_out_of_bounds_note("the columns of row %zd changed while they were checked", j);
    }

    Scratch<RowSpan> rows_;
    Scratch<LaneGroup> groups_;
    AlignedBuffer band_;
    Scratch<double> packed_values_;
    Scratch<std::int32_t> packed_columns_;
    const double* values_ = nullptr;
    const std::int32_t* columns_ = nullptr;
};

/*
 * A vector as a plain array: the caller's memory when it already is one, otherwise a native
 * copy, which store() writes back to a writable view.
 */
template <class T>
class Contiguous {
public:
    bool open(View1<T> view) {
        view_ = view;
        if (view.contiguous() && view.size > 0) {
            data_ = view.data;
            return true;
        }
        if (!copy_.allocate(view.size)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < view.size; ++i) {
            copy_.get()[i] = view[i];
        }
        data_ = copy_.get();
        return true;
    }
    T* get() const { return data_; }
    void store() const
        requires(!std::is_const_v<T>)
    {
        if (data_ == copy_.get()) {
            for (Py_ssize_t i = 0; i < view_.size; ++i) {
                view_.set(i, data_[i]);
            }
        }
    }

private:
    View1<T> view_;
    Scratch<std::remove_const_t<T>> copy_;
    T* data_ = nullptr;
};

/// Options that ML-EM checks; only `iterations` changes the result.
struct Options {
    int iterations = 30;
    PyObject* reg_tikhonov = Py_False;
    double reg_tikhonov_lambda = 0.001;
    PyObject* use_sensitivity = Py_False;
};

/// np.<factory>(template) as a one-dimensional float64 array opened for writing.
bool make_working_array(PyObject* factory, PyObject* template_array, Ref& array, Buffer& buffer) {
    array = Ref::steal(PyObject_CallOneArg(factory, template_array));
    if (!array) {
        return false;
    }
    if (!check_local_ndarray(array.get())) {
        return false;
    }
    return buffer.acquire(array.get(), element::float64, 1, Access::write);
}

/*
 * ML-EM on the arrays of a call: `y` (n channels), the CSR matrix `offsets`, `indices`,
 * `values` (n rows) and `sensitivity` (at least n). Arrays are ndarray or None (None reads as
 * empty). Returns the new estimate, or nullptr with an exception and this function's traceback
 * entry.
 */
PyObject* ml_em(PyObject* y, PyObject* offsets, PyObject* indices, PyObject* values, PyObject* sensitivity,
                const Options& options) {
    constexpr const char* name = "ML_EM_cy";
    Buffer y_buffer, offsets_buffer, indices_buffer, values_buffer, sensitivity_buffer;
    if (!acquire_argument(y_buffer, name, "y", y, element::float64, 1, Access::read) ||
        !acquire_argument(offsets_buffer, name, "offsets", offsets, element::int64, 1, Access::read) ||
        !acquire_argument(indices_buffer, name, "indices", indices, element::int32, 1, Access::read) ||
        !acquire_argument(values_buffer, name, "values", values, element::float64, 1, Access::read) ||
        !acquire_argument(sensitivity_buffer, name, "sensitivity", sensitivity, element::float64, 1, Access::read)) {
        return fail_at(name, ml_em_line);
    }
    Ref ones_like = numpy_attribute("ones_like");
    Ref empty_like = ones_like ? numpy_attribute("empty_like") : Ref{};
    Ref x, estimate, ratio, correction;
    Buffer x_buffer, estimate_buffer, ratio_buffer, correction_buffer;
    if (!empty_like || !make_working_array(ones_like.get(), y, x, x_buffer) ||
        !make_working_array(empty_like.get(), y, estimate, estimate_buffer) ||
        !make_working_array(empty_like.get(), y, ratio, ratio_buffer) ||
        !make_working_array(empty_like.get(), y, correction, correction_buffer)) {
        if (y == Py_None) {
            add_argument_note(name, "y", "must be a one-dimensional float64 array, not None: an empty spectrum is np.empty(0)");
        }
        return fail_at(name, ml_em_working_arrays_line);
    }

    const View1<const double> y_v = y_buffer.view1<const double>();
    const View1<const double> sensitivity_v = sensitivity_buffer.view1<const double>();
    const Py_ssize_t n = y_v.size;
    Matrix matrix;
    if (!matrix.plan(n, offsets_buffer.view1<const std::int64_t>(), indices_buffer.view1<const std::int32_t>(),
                     values_buffer.view1<const double>())) {
        return fail_at(name, ml_em_matrix_check_line);
    }
    if (sensitivity_v.size < n) {
        raise_out_of_bounds_note("sensitivity has %zd elements; y has %zd channels", sensitivity_v.size, n);
        return fail_at(name, ml_em_matrix_check_line);
    }
    if (x_buffer.shape(0) < n || estimate_buffer.shape(0) < n || ratio_buffer.shape(0) < n ||
        correction_buffer.shape(0) < n) {
        raise_out_of_bounds_note("np.ones_like(y) or np.empty_like(y) has fewer than %zd elements", n);
        return fail_at(name, ml_em_working_arrays_line);
    }

    // The forward projection and the ratio live in padded native vectors, which the lane groups
    // read and write a whole vector at a time; NumPy's estimate and ratio arrays stay unwritten.
    Contiguous<const double> y_data;
    Scratch<double> sensitivity_floor;
    Contiguous<double> x_data, correction_data;
    AlignedBuffer estimate_data, ratio_data;
    if (!y_data.open(y_v) || !sensitivity_floor.allocate(n) || !x_data.open(x_buffer.view1<double>()) ||
        !estimate_data.allocate(work_capacity(n), AlignedBuffer::Start::zeroed) ||
        !ratio_data.allocate(work_capacity(n), AlignedBuffer::Start::zeroed) ||
        !correction_data.open(correction_buffer.view1<double>())) {
        return fail_at(name, ml_em_loop_line);
    }
    {
        NoGil unlocked;
        for (Py_ssize_t i = 0; i < n; ++i) {
            sensitivity_floor.get()[i] = std::fmax(sensitivity_v[i], epsilon);
        }
        ml_em_iterations(options.iterations, n, y_data.get(), sensitivity_floor.get(), matrix.row_plan(),
                         x_data.get(), estimate_data.get(), ratio_data.get(), correction_data.get());
        x_data.store();
    }
    return x.release();
}

constexpr const char* ml_em_params[] = {"y",          "offsets",      "indices",
                                        "values",     "sensitivity",  "iterations",
                                        "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"};
constexpr Default em_defaults[] = {Default::of(30L), Default::false_(), Default::of(0.001), Default::false_()};

PyObject* ML_EM_cy(PyObject* const* args);

constexpr Signature ml_em_signature{"ML_EM_cy", ml_em_line, ml_em_params, em_defaults, ML_EM_cy};

PyObject* ML_EM_cy(PyObject* const* args) {
    const Signature& s = ml_em_signature;
    Options options;
    if (args[5] && !to_c_int(args[5], options.iterations)) {
        note_scalar_argument(s.name, "iterations", Scalar::integer);
        return fail_at(s.name, s.param_line(5));
    }
    if (args[7] && !to_c_double(args[7], options.reg_tikhonov_lambda)) {
        note_scalar_argument(s.name, "reg_tikhonov_lambda", Scalar::real);
        return fail_at(s.name, s.param_line(7));
    }
    constexpr const ElementType* array_types[] = {&element::float64, &element::int64, &element::int32,
                                                  &element::float64, &element::float64};
    for (int i = 0; i < 5; ++i) {
        if (!check_ndarray(args[i], s.params[i])) {
            note_array_argument(s.name, s.params[i], *array_types[i], 1);
            return fail_at(s.name, s.line);
        }
    }
    options.reg_tikhonov = args[6] ? args[6] : Py_False;
    options.use_sensitivity = args[8] ? args[8] : Py_False;
    if (!check_bool(options.reg_tikhonov, "reg_tikhonov")) {
        note_scalar_argument(s.name, "reg_tikhonov", Scalar::boolean);
        return fail_at(s.name, s.line);
    }
    if (!check_bool(options.use_sensitivity, "use_sensitivity")) {
        note_scalar_argument(s.name, "use_sensitivity", Scalar::boolean);
        return fail_at(s.name, s.line);
    }
    return ml_em(args[0], args[1], args[2], args[3], args[4], options);
}

// ---------------------------------------------------------------------------------------------
// Gaussian response builder.

/// Gaussian width at energy E for resolution coefficient k: k E^(3/2) / FWHM_C.
inline double get_sigma(double k, double E) {
    const double resolution = k * std::sqrt(E);
    return (resolution * E) / FWHM_C;
}

/// NumPy's order for float64: NaN sorts after every number.
inline bool sort_less(double a, double b) { return a < b || (b != b && a == a); }

/*
 * First index whose element is not below `key` (left) or is above it (right): on an axis sorted
 * in NumPy's order exactly where np.searchsorted places the key. The search starts at `hint`
 * (neighbouring rows' windows start close together) and steps away from it in doubling strides
 * until it brackets the answer, then bisects.
 */
template <bool right>
Py_ssize_t search_sorted(View1<const double> axis, double key, Py_ssize_t hint) {
    const auto goes_right = [&](Py_ssize_t i) { return right ? !sort_less(key, axis[i]) : sort_less(axis[i], key); };
    const Py_ssize_t n = axis.size;
    hint = std::clamp<Py_ssize_t>(hint, 0, n);
    Py_ssize_t low = 0, high = n;  // the answer lies in [low, high]
    if (hint < n && goes_right(hint)) {
        low = hint + 1;
        for (Py_ssize_t step = 1; low < n; step *= 2) {
            const Py_ssize_t probe = std::min(low + step - 1, n - 1);
            if (!goes_right(probe)) {
                high = probe;
                break;
            }
            low = probe + 1;
        }
    } else {
        high = hint;
        for (Py_ssize_t step = 1; high > 0; step *= 2) {
            const Py_ssize_t probe = std::max<Py_ssize_t>(high - step, 0);
            if (goes_right(probe)) {
                low = probe + 1;
                break;
            }
            high = probe;
        }
    }
    while (low < high) {
        const Py_ssize_t mid = low + ((high - low) >> 1);
        if (goes_right(mid)) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

/// Ascending in NumPy's order for float64 (NaN last).
bool sorted_for_search(View1<const double> axis) {
    for (Py_ssize_t i = 1; i < axis.size; ++i) {
        if (sort_less(axis[i], axis[i - 1])) {
            return false;
        }
    }
    return true;
}

/// The bins of one row's window: [low, high).
struct Window {
    Py_ssize_t low, high;
};

/// Half-width of a row's window; a zero width gives the bins equal to E, whatever nsigma is.
inline double window_half_width(double s, double nsigma) { return s == 0.0 ? 0.0 : s * nsigma; }

/// Window of a row: every bin within nsigma widths of its energy, both ends included; the
/// search starts from the previous row's window.
inline Window row_window(View1<const double> axis, double E, double s, double nsigma, Window previous) {
    const double d = window_half_width(s, nsigma);
    return {search_sorted<false>(axis, E - d, previous.low), search_sorted<true>(axis, E + d, previous.high)};
}

/// np.searchsorted(axis, key, side) as an index.
bool numpy_search(PyObject* searchsorted, PyObject* axis, double key, bool right, Py_ssize_t& out) {
    Ref key_object = Ref::steal(PyFloat_FromDouble(key));
    Ref side = Ref::steal(PyUnicode_FromString(right ? "right" : "left"));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "side"));
    if (!key_object || !side || !kwnames) {
        return false;
    }
    PyObject* args[] = {axis, key_object.get(), side.get()};
    Ref index = Ref::steal(PyObject_Vectorcall(searchsorted, args, 2, kwnames.get()));
    if (!index) {
        return false;
    }
    out = PyNumber_AsSsize_t(index.get(), PyExc_OverflowError);
    return !(out == -1 && PyErr_Occurred());
}

/*
 * Windows of an axis that is not sorted, found by NumPy's own searchsorted one key at a time:
 * where an axis is out of order the placement depends on the details of NumPy's bisection.
 * Whatever `np` is at call time, its answers must lie in [0, n] before they index the axis.
 */
bool numpy_windows(PyObject* axis_object, View1<const double> axis, View1<const double> sigma, double nsigma,
                   Window* windows) {
    Ref searchsorted = numpy_attribute("searchsorted");
    if (!searchsorted) {
        return false;
    }
    const Py_ssize_t n = axis.size;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double d = window_half_width(sigma[i], nsigma);
        Window& window = windows[i];
        if (!numpy_search(searchsorted.get(), axis_object, axis[i] - d, false, window.low) ||
            !numpy_search(searchsorted.get(), axis_object, axis[i] + d, true, window.high)) {
            return false;
        }
        for (const Py_ssize_t end : {window.low, window.high}) {
            if (end < 0 || end > n) {
                return raise_out_of_bounds_note("np.searchsorted returned %zd for row %zd of an axis of %zd bins", end,
                                                i, n);
            }
        }
    }
    return true;
}

/// Weights of a delta row (zero width): 1 on the bins equal to E, 0 elsewhere.
inline void delta_weights(View1<const double> axis, double E, Window window, double* values) {
    for (Py_ssize_t j = window.low; j < window.high; ++j) {
        values[j - window.low] = axis[j] == E ? 1.0 : 0.0;
    }
}

/// Weights exp(-x^2/2), x = (axis[j] - E) / s, of the bins of a window, by the C library's exp.
struct LibmWeights {
    void operator()(View1<const double> axis, Py_ssize_t centre, double s, Window window, double* values) const {
        const double E = axis[centre];
        const auto exponent_at = [&](Py_ssize_t j) {
            const double x = (axis[j] - E) / s;
            return (x * -0.5) * x;
        };
        for (Py_ssize_t j = window.low; j < window.high; ++j) {
            // On an evenly spaced axis the bin mirrored about the centre often has exactly the
            // same exponent; its weight, already computed, is then the same exp call's result.
            const double exponent = exponent_at(j);
            const Py_ssize_t mirror = 2 * centre - j;
            const bool mirrored = mirror < j && mirror >= window.low && exponent_at(mirror) == exponent;
            values[j - window.low] = mirrored ? values[mirror - window.low] : std::exp(exponent);
        }
    }
};

/// The same weights by exp4<mask>, four bins at a time where the axis is contiguous.
template <unsigned mask>
VEXORA_AVX2 void exact_weights(View1<const double> axis, Py_ssize_t centre, double s, Window window, double* values) {
    const double E = axis[centre];
    const Py_ssize_t length = window.high - window.low;
    Py_ssize_t k = 0;
    if (axis.contiguous()) {
        const double* bins = axis.data + window.low;
        const __m256d centre_v = _mm256_set1_pd(E), width = _mm256_set1_pd(s), half = _mm256_set1_pd(-0.5);
        for (; k + 4 <= length; k += 4) {
            const __m256d x = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(bins + k), centre_v), width);
            _mm256_storeu_pd(values + k, ee::exp4<mask>(_mm256_mul_pd(_mm256_mul_pd(x, half), x)));
        }
    }
    for (; k < length; ++k) {
        const double x = (axis[window.low + k] - E) / s;
        values[k] = ee::exp_scalar<mask>((x * -0.5) * x);
    }
}

template <unsigned mask>
struct ExactWeights {
    void operator()(View1<const double> axis, Py_ssize_t centre, double s, Window window, double* values) const {
        exact_weights<mask>(axis, centre, s, window, values);
    }
};

/// Rows filled together: their norm sums run side by side, so that their additions overlap.
constexpr Py_ssize_t row_group = 4;

/*
 * Fills rows [first, first + count), count <= row_group: a Gaussian centred on axis[i] of width
 * sigma[i] over its window, each weight divided by the row's sum, summed from the first bin to
 * the last. A zero width is a delta row.
 *
 *   axis[n], sigma[n], windows[n], ends[n + 1] - row i occupies [ends[i], ends[i + 1])
 *   columns[ends[n]], values[ends[n]] - output
 */
template <class Weights>
[[gnu::always_inline]] inline void fill_rows(View1<const double> axis, View1<const double> sigma, const Window* windows, const std::int64_t* ends,
               Py_ssize_t first, Py_ssize_t count, std::int32_t* columns, double* values, const Weights& weights) {
    const double* row[row_group];
    Py_ssize_t length[row_group];
    for (Py_ssize_t r = 0; r < row_group; ++r) {
        const Py_ssize_t i = first + std::min(r, count - 1);
        row[r] = values + ends[i];
        length[r] = r < count ? ends[i + 1] - ends[i] : 0;
        if (r >= count || length[r] == 0) {
            continue;
        }
        const Window window = windows[i];
        std::int32_t* row_columns = columns + ends[i];
        for (Py_ssize_t k = 0; k < length[r]; ++k) {
            row_columns[k] = static_cast<std::int32_t>(window.low + k);
        }
        if (sigma[i] == 0.0) {
            delta_weights(axis, axis[i], window, values + ends[i]);
        } else {
            weights(axis, i, sigma[i], window, values + ends[i]);
        }
    }
    double norm[row_group] = {0.0, 0.0, 0.0, 0.0};
    const Py_ssize_t common = *std::min_element(length, length + row_group);
    for (Py_ssize_t k = 0; k < common; ++k) {
        norm[0] += row[0][k];
        norm[1] += row[1][k];
        norm[2] += row[2][k];
        norm[3] += row[3][k];
    }
    for (Py_ssize_t r = 0; r < count; ++r) {
        for (Py_ssize_t k = common; k < length[r]; ++k) {
            norm[r] += row[r][k];
        }
        double* out = values + ends[first + r];
        for (Py_ssize_t k = 0; k < length[r]; ++k) {
            out[k] = out[k] / norm[r];
        }
    }
}

/// Every row of the response, with the weights of the exp this process uses.
template <class Weights>
[[gnu::always_inline]] inline void fill_response(View1<const double> axis, View1<const double> sigma, const Window* windows,
                   const std::int64_t* ends, std::int32_t* columns, double* values, const Weights& weights) {
    for (Py_ssize_t first = 0; first < axis.size; first += row_group) {
        fill_rows(axis, sigma, windows, ends, first, std::min(row_group, axis.size - first), columns, values, weights);
    }
}

/// fill_response on the vector exp, the whole loop compiled for the instructions it needs.
template <unsigned mask>
VEXORA_AVX2 void fill_response_exact(View1<const double> axis, View1<const double> sigma, const Window* windows,
                                     const std::int64_t* ends, std::int32_t* columns, double* values) {
    fill_response(axis, sigma, windows, ends, columns, values, ExactWeights<mask>{});
}

/*
 * The Gaussian response of an energy axis as a CSR matrix (offsets, indices, values): row i is a
 * Gaussian centred on axis[i] of width sigma[i], sampled at the bins within nsigma widths and
 * scaled to sum 1. Windows are found first, so the arrays are allocated at their final size.
 *
 *   axis[n]   - bin energies, ascending (`axis_object` exports them; an unsorted axis gets the
 *               windows of NumPy's searchsorted)
 *   sigma[>=n] - widths; a shorter sigma raises IndexError
 */
PyObject* build_gaussian_response_impl(PyObject* axis_object, View1<const double> axis, View1<const double> sigma,
                                       double nsigma) {
    constexpr const char* name = "build_gaussian_response";
    const Py_ssize_t n = axis.size;
    if (sigma.size < n) {
        raise_out_of_bounds(0);
        return fail_at(name, builder_rows_line);
    }
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyErr_Format(PyExc_ValueError, "axis has %zd bins; bin numbers are int32", n);
        return fail_at(name, builder_rows_line);
    }
    Ref offsets = new_array(n + 1, NPY_INT64);
    if (!offsets) {
        return fail_at(name, builder_result_line);
    }
    auto* ends = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
    Scratch<Window> windows;
    if (!windows.allocate(n)) {
        return fail_at(name, builder_rows_line);
    }
    if (sorted_for_search(axis)) {
        NoGil unlocked;
        Window previous{0, 0};
        for (Py_ssize_t i = 0; i < n; ++i) {
            previous = windows.get()[i] = row_window(axis, axis[i], sigma[i], nsigma, previous);
        }
    } else if (!numpy_windows(axis_object, axis, sigma, nsigma, windows.get())) {
        return fail_at(name, builder_rows_line);
    }
    ends[0] = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t length = std::max<Py_ssize_t>(windows.get()[i].high - windows.get()[i].low, 0);
        if (__builtin_add_overflow(ends[i], length, &ends[i + 1])) {
            PyErr_NoMemory();
            return fail_at(name, builder_result_line);
        }
    }
    Ref indices = new_array(ends[n], NPY_INT32);
    Ref values = indices ? new_array(ends[n], NPY_FLOAT64) : Ref{};
    if (!values) {
        return fail_at(name, builder_result_line);
    }
    auto* columns = static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(indices.get())));
    auto* weights = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    {
        NoGil unlocked;
        switch (ee::selected_path()) {
            case ee::Path::fused:
                fill_response_exact<ee::fused>(axis, sigma, windows.get(), ends, columns, weights);
                break;
            case ee::Path::unfused:
                fill_response_exact<ee::unfused>(axis, sigma, windows.get(), ends, columns, weights);
                break;
            case ee::Path::libm:
                fill_response(axis, sigma, windows.get(), ends, columns, weights, LibmWeights{});
                break;
        }
    }
    PyObject* result = PyTuple_Pack(3, offsets.get(), indices.get(), values.get());
    return result ? result : fail_at(name, builder_result_line);
}

constexpr const char* builder_params[] = {"axis", "sigma", "nsigma"};
constexpr Default builder_defaults[] = {Default::of(5.0)};

PyObject* build_gaussian_response(PyObject* const* args);

constexpr Signature builder_signature{"build_gaussian_response", builder_line, builder_params, builder_defaults,
                                      build_gaussian_response};

PyObject* build_gaussian_response(PyObject* const* args) {
    const Signature& s = builder_signature;
    Buffer axis, sigma;
    double nsigma = 5.0;
    if (!acquire_argument(axis, s.name, "axis", args[0], element::const_double, 1, Access::read)) {
        return fail_at(s.name, s.param_line(0));
    }
    if (!acquire_argument(sigma, s.name, "sigma", args[1], element::const_double, 1, Access::read)) {
        return fail_at(s.name, s.param_line(1));
    }
    if (args[2] && !to_c_double(args[2], nsigma)) {
        note_scalar_argument(s.name, "nsigma", Scalar::real);
        return fail_at(s.name, s.param_line(2));
    }
    const View1<const double> axis_v = axis.view1<const double>(), sigma_v = sigma.view1<const double>();
    PyObject* result = build_gaussian_response_impl(args[0], axis_v, sigma_v, nsigma);
    if (!result && sigma_v.size < axis_v.size) {
        add_note("%s: sigma has %zd widths but axis has %zd bins: pass one width per bin", s.name, sigma_v.size,
                 axis_v.size);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Richardson-Lucy driver.

PyObject* richardson_lucy_cy(PyObject* const* args);

constexpr const char* richardson_lucy_params[] = {"x",          "y",            "k",
                                                  "sensitivity", "iterations",  "reg_tikhonov",
                                                  "reg_tikhonov_lambda", "use_sensitivity"};

constexpr Signature richardson_lucy_signature{"richardson_lucy_cy", richardson_lucy_line, richardson_lucy_params,
                                              em_defaults, richardson_lucy_cy};

/// Deconvolves `y`, measured on axis `x`, for a resolution of width get_sigma(k, E).
PyObject* richardson_lucy_cy(PyObject* const* args) {
    const Signature& s = richardson_lucy_signature;
    constexpr const char* name = "richardson_lucy_cy";
    double k;
    Options options;
    if (!to_c_double(args[2], k)) {
        note_scalar_argument(name, "k", Scalar::real);
        return fail_at(name, s.param_line(2));
    }
    if (args[4] && !to_c_int(args[4], options.iterations)) {
        note_scalar_argument(name, "iterations", Scalar::integer);
        return fail_at(name, s.param_line(4));
    }
    if (args[6] && !to_c_double(args[6], options.reg_tikhonov_lambda)) {
        note_scalar_argument(name, "reg_tikhonov_lambda", Scalar::real);
        return fail_at(name, s.param_line(6));
    }
    PyObject* x = args[0];
    PyObject* y = args[1];
    PyObject* sensitivity = args[3];
    for (int i : {0, 1, 3}) {
        if (!check_ndarray(args[i], s.params[i])) {
            note_array_argument(name, s.params[i], element::float64, 1);
            return fail_at(name, s.line);
        }
    }
    options.reg_tikhonov = args[5] ? args[5] : Py_False;
    options.use_sensitivity = args[7] ? args[7] : Py_False;
    if (!check_bool(options.reg_tikhonov, "reg_tikhonov")) {
        note_scalar_argument(name, "reg_tikhonov", Scalar::boolean);
        return fail_at(name, s.line);
    }
    if (!check_bool(options.use_sensitivity, "use_sensitivity")) {
        note_scalar_argument(name, "use_sensitivity", Scalar::boolean);
        return fail_at(name, s.line);
    }
    Buffer x_buffer, y_buffer, sensitivity_buffer;
    if (!acquire_argument(x_buffer, name, "x", x, element::float64, 1, Access::read) ||
        !acquire_argument(y_buffer, name, "y", y, element::float64, 1, Access::read) ||
        !acquire_argument(sensitivity_buffer, name, "sensitivity", sensitivity, element::float64, 1, Access::read)) {
        return fail_at(name, s.line);
    }

    Ref empty_like = numpy_attribute("empty_like");
    Ref sigmas;
    Buffer sigmas_buffer;
    if (!empty_like || !make_working_array(empty_like.get(), y, sigmas, sigmas_buffer)) {
        if (y == Py_None) {
            add_argument_note(name, "y", "must be a one-dimensional float64 array, not None: an empty spectrum is np.empty(0)");
        }
        return fail_at(name, richardson_lucy_sigmas_line);
    }
    const View1<const double> axis = x_buffer.view1<const double>();
    const View1<double> widths = sigmas_buffer.view1<double>();
    const Py_ssize_t n = y_buffer.shape(0);
    if (axis.size < n || widths.size < n) {
        raise_out_of_bounds(0);
        if (axis.size < n) {
            add_note("%s: x has %zd energies but y has %zd channels: pass x and y of the same length", name,
                     axis.size, n);
        }
        return fail_at(name, richardson_lucy_widths_line);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        widths.set(i, get_sigma(k, axis[i]));
    }

    Ref matrix = Ref::steal(build_gaussian_response_impl(x, axis, sigmas_buffer.view1<const double>(), 5.0));
    if (!matrix) {
        if (axis.size > n) {
            add_note("%s: x has %zd energies but y has %zd channels: pass x and y of the same length", name,
                     axis.size, n);
        }
        return fail_at(name, richardson_lucy_builder_line);
    }
    PyObject* result = ml_em(y, PyTuple_GET_ITEM(matrix.get(), 0), PyTuple_GET_ITEM(matrix.get(), 1),
                             PyTuple_GET_ITEM(matrix.get(), 2), sensitivity, options);
    return result ? result : fail_at(name, richardson_lucy_ml_em_line);
}

constexpr const Signature* functions[] = {&ml_em_signature, &builder_signature, &richardson_lucy_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_deconvolution() {
    ee::selected_path();
    return define_module(spec);
}
