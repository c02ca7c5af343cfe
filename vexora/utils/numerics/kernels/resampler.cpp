// Response-matrix resampling: region finding and feature-aligned interpolation of response rows
// from reference incident energies to requested ones.
#include "frame/frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

using namespace vexora::frame;

constexpr ModuleIdentity identity{
    "resampler",
    "vexora.utils.numerics.kernels.resampler",
    "vexora/utils/numerics/kernels/resampler",
};

// Lines that traceback entries report, following the module's source layout.
constexpr int numpy_import_line = 6;
constexpr int calculate_regions_line = 69;
constexpr int regions_list_line = 82;
constexpr int interpolate_response_row_line = 100;
constexpr int axis_maximum_line = 111;
constexpr int resampler_cy_line = 162;
constexpr int validation_line = 170;
constexpr int reference_sum_line = 179;
constexpr int interpolate_call_line = 182;
constexpr int row_nansum_line = 184;
constexpr int result_line = 191;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double store_threshold = 1e-12;

// ---------------------------------------------------------------------------------------------
// Energy-axis helpers: pure, lock-free.

/*
 * First index of `array` whose element is not below `E`, by a linear scan from index 0; -1 when
 * every element is below `E`. The scan goes on only while `E` > element, so NaN stops it at once.
 *
 *   E        - energy, keV
 *   array[n] - values, normally ascending (not checked)
 */
template <class Array>
Py_ssize_t find_index_from_energy(double E, const Array& array, Py_ssize_t n) {
    Py_ssize_t i = 0;
    while (i < n && E > array[i]) {
        ++i;
    }
    return i == n ? -1 : i;
}

/// Energy left to a photon of `E_p` after Compton scattering through 180 degrees.
inline double get_backscatter_E(double E_p) { return E_p / ((E_p + E_p) / 511 + 1); }

/*
 * The same index as find_index_from_energy on an ascending axis without NaN, except that "none"
 * is `n` rather than -1; found by galloping from the previous answer, so that neighbouring
 * queries, as a row's channels give, cost O(1) each.
 *
 *   axis[n] - native memory, ascending, no NaN (the driver checks its copy before any search)
 */
class AxisSearch {
public:
    AxisSearch(const double* axis, Py_ssize_t n) : axis_(axis), n_(n) {}

    /// The first index whose element is not below `E`, or n; NaN gives 0.
    Py_ssize_t operator()(double E) {
        const Py_ssize_t n = n_;
        if (std::isnan(E)) {
            return hint_ = 0;
        }
        // `E > axis[i]` holds on a prefix of the axis; the answer is the prefix length.
        Py_ssize_t low = hint_, high;
        if (low > 0 && !(E > axis_[low - 1])) {
            high = low - 1;
            Py_ssize_t step = 1;
            while (high - step >= 0 && !(E > axis_[high - step])) {
                high -= step;
                step *= 2;
            }
            low = high - step < 0 ? 0 : high - step + 1;
        } else {
            Py_ssize_t step = 1;
            while (low + step - 1 < n && E > axis_[low + step - 1]) {
                low += step;
                step *= 2;
            }
            high = std::min(low + step - 1, n);
        }
        while (low < high) {
            Py_ssize_t mid = low + (high - low) / 2;
            if (E > axis_[mid]) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        return hint_ = low;
    }

    /// Continues from `hint`, an index in [0, n].
    void resume(Py_ssize_t hint) { hint_ = hint; }

private:
    const double* axis_;
    Py_ssize_t n_;
    Py_ssize_t hint_ = 0;
};

/// The index of AxisSearch from `hint`, for the rare query that the one step below does not answer.
[[gnu::noinline]] Py_ssize_t gallop_from(const double* axis, Py_ssize_t n, double E, Py_ssize_t hint) {
    AxisSearch search(axis, n);
    search.resume(hint);
    return search(E);
}

/*
 * The index of AxisSearch on a padded axis: `axis[-1]` is -inf and `axis[n]` to `axis[n + 2]` are
 * +inf, so that elements hint - 1 to hint + 2 exist for every hint in [0, n]. Neighbouring channels
 * mostly move the answer by 0, 1 or 2 from `hint`: the four elements around it, read at once (no
 * read waits for another), give the answer i = hint + [E > axis[hint]] + [E > axis[hint + 1]]
 * with the test that it is the one index with axis[i - 1] < E <= axis[i] on an ascending axis;
 * the galloping search only when it is not. NaN fails the test and goes to the search.
 */
inline Py_ssize_t search_from(const double* axis, Py_ssize_t n, double E, Py_ssize_t hint) {
    const bool above_previous = E > axis[hint - 1];
    const bool above_0 = E > axis[hint], above_1 = E > axis[hint + 1], above_2 = E > axis[hint + 2];
    // On an ascending axis above_1 implies above_0: i is hint, hint + 1 or hint + 2, and only
    // the first and the last of these need a further element to be confirmed.
    const bool found = (above_0 | above_previous) & !(above_1 & above_2);
    if (__builtin_expect(!found, 0)) {
        return gallop_from(axis, n, E, hint);
    }
    return hint + above_0 + above_1;
}

// ---------------------------------------------------------------------------------------------
// Regions of a response row.

/// Region boundaries of one row: 6, or 8 with the escape peaks.
struct Regions {
    double bounds[8];
    int count;
};

/// Boundaries in their unsorted order: 0, backscatter, Compton edge, peak -10 and +10 keV,
/// [single escape, double escape,] top of the axis.
inline Regions region_bounds(double E_p, double max_value, bool has_escape_peaks) {
    double backscatter = get_backscatter_E(E_p);
    double compton = E_p - backscatter;
    double bellow_peak = E_p - 10;
    double above_peak = E_p + 10;
    if (!has_escape_peaks) {
        return {{0.0, backscatter, compton, bellow_peak, above_peak, max_value}, 6};
    }
    double single_escape = E_p - 511;
    double double_escape = E_p - 1022;
    return {{0.0, backscatter, compton, bellow_peak, above_peak, single_escape, double_escape, max_value}, 8};
}

/// Region boundaries as the row interpolation uses them: with escape peaks they are sorted
/// (stably, like Python's list sort on these finite values); without, they keep their order.
inline Regions calculate_regions_native(double E_p, double max_value, bool has_escape_peaks) {
    Regions regions = region_bounds(E_p, max_value, has_escape_peaks);
    if (has_escape_peaks) {
        for (int i = 1; i < regions.count; ++i) {
            double value = regions.bounds[i];
            int j = i;
            for (; j > 0 && value < regions.bounds[j - 1]; --j) {
                regions.bounds[j] = regions.bounds[j - 1];
            }
            regions.bounds[j] = value;
        }
    }
    return regions;
}

PyObject* calculate_regions_impl(double E_p, double max_value, bool has_escape_peaks) {
    Regions regions = region_bounds(E_p, max_value, has_escape_peaks);
    Ref list = Ref::steal(PyList_New(regions.count));
    if (!list) {
        return fail_at("calculate_regions", regions_list_line);
    }
    for (int i = 0; i < regions.count; ++i) {
        PyObject* item = i == 0 ? PyLong_FromLong(0) : PyFloat_FromDouble(regions.bounds[i]);
        if (!item) {
            return fail_at("calculate_regions", regions_list_line);
        }
        PyList_SET_ITEM(list.get(), i, item);
    }
    if (has_escape_peaks && PyList_Sort(list.get()) < 0) {
        return fail_at("calculate_regions", regions_list_line);
    }
    return list.release();
}

constexpr const char* calculate_regions_params[] = {"E_p", "max_value", "has_escape_peaks"};

PyObject* calculate_regions(PyObject* const* args);

constexpr Signature calculate_regions_signature{
    "calculate_regions", calculate_regions_line, calculate_regions_params, {}, calculate_regions};

PyObject* calculate_regions(PyObject* const* args) {
    const Signature& s = calculate_regions_signature;
    double E_p, max_value;
    if (!to_c_double(args[0], E_p)) {
        note_scalar_argument(s.name, "E_p", Scalar::real);
        return fail_at(s.name, s.param_line(0));
    }
    if (!to_c_double(args[1], max_value)) {
        note_scalar_argument(s.name, "max_value", Scalar::real);
        return fail_at(s.name, s.param_line(1));
    }
    if (!check_bool(args[2], "has_escape_peaks")) {
        note_scalar_argument(s.name, "has_escape_peaks", Scalar::boolean);
        return fail_at(s.name, s.line);
    }
    return calculate_regions_impl(E_p, max_value, args[2] == Py_True);
}

// ---------------------------------------------------------------------------------------------
// Row interpolation.

/// A bracketing pair of reference rows, each scaled to unit sum, and their incident energies.
struct Bracket {
    double low_E, high_E;
    const double* low_row;
    const double* high_row;
};

/// Channels per pass of the row interpolation: a multiple of the vector width.
constexpr int block = 128;
/// Chains of searches that run side by side in a long run of channels.
constexpr int streams = 4;
static_assert(block % streams == 0);

/// Energy axes as the row interpolation reads them: native copies, checked by the driver.
struct Axes {
    const double* requested;  ///< [n], ascending, no NaN
    Py_ssize_t n;
    const double* ref;  ///< [r] with -inf at [-1] and +inf at [r] to [r + 2], ascending, no NaN
    Py_ssize_t r;
};

/// A region on the requested scale and its images on the two reference scales.
struct RegionMap {
    double start, width, high_start, high_width, low_start, low_width;
};

/// Relative positions of `count` channels in the region and their energies on both reference scales.
inline void map_channels(const double* e, int count, const RegionMap& map, double* at_high, double* at_low) {
    for (int j = 0; j < count; ++j) {
        const double f = (e[j] - map.start) / map.width;
        at_high[j] = f * map.high_width + map.high_start;
        at_low[j] = f * map.low_width + map.low_start;
    }
}

/*
 * Readings of both reference rows at the mapped energies and their interpolation in incident
 * energy. Rows are padded with NaN at [-1] and [r], so that an index 0 or r (no value) reads NaN.
 * The elements each channel needs are gathered first, so that the arithmetic, three divisions a
 * channel, runs over plain arrays and a vector at a time.
 */
inline void read_rows(int count, const double* at_high, const double* at_low, const Py_ssize_t* high_index,
                      const Py_ssize_t* low_index, const double* axis, const Bracket& bracket, double offset,
                      double span, double* out) {
    const double* high_row = bracket.high_row;
    const double* low_row = bracket.low_row;
    double high_before[block], high_at[block], high_x_before[block], high_x_at[block];
    double low_before[block], low_at[block], low_x_before[block], low_x_at[block];
    for (int j = 0; j < count; ++j) {
        const Py_ssize_t h = high_index[j], l = low_index[j];
        high_before[j] = high_row[h - 1];
        high_at[j] = high_row[h];
        high_x_before[j] = axis[h - 1];
        high_x_at[j] = axis[h];
        low_before[j] = low_row[l - 1];
        low_at[j] = low_row[l];
        low_x_before[j] = axis[l - 1];
        low_x_at[j] = axis[l];
    }
    for (int j = 0; j < count; ++j) {
        const double y_high = high_before[j] + ((at_high[j] - high_x_before[j]) * (high_at[j] - high_before[j])) /
                                                   (high_x_at[j] - high_x_before[j]);
        const double y_low = low_before[j] + ((at_low[j] - low_x_before[j]) * (low_at[j] - low_before[j])) /
                                                 (low_x_at[j] - low_x_before[j]);
        out[j] = y_low + (offset * (y_high - y_low)) / span;
    }
}

/// The constants of one run of channels inside one region.
struct Run {
    const RegionMap& map;
    const double* axis;
    Py_ssize_t r;
    const Bracket& bracket;
    double offset, span;
};

/*
 * One block of channels: relative position, mapped energies, readings of both reference rows on
 * the reference axis, and the interpolation in incident energy, each value by the same operations
 * in the same order as the point-by-point algorithm. Compiled for AVX2 as well, where the
 * processor has it, so that the divisions go four at a time.
 */
[[gnu::target_clones("avx2", "default")]] void interpolate_block(const double* e, int count, const Run& run,
                                                                  Py_ssize_t& high_hint, Py_ssize_t& low_hint,
                                                                  double* out) {
    double at_high[block], at_low[block];
    map_channels(e, count, run.map, at_high, at_low);
    Py_ssize_t high_index[block], low_index[block];
    for (int j = 0; j < count; ++j) {
        high_index[j] = high_hint = search_from(run.axis, run.r, at_high[j], high_hint);
        low_index[j] = low_hint = search_from(run.axis, run.r, at_low[j], low_hint);
    }
    read_rows(count, at_high, at_low, high_index, low_index, run.axis, run.bracket, run.offset, run.span, out);
}

/*
 * A run of `length` channels inside one region. Each search answer waits for the one before it
 * (it starts there), so one chain of searches is bound by the latency of its loads; the run is cut
 * into `streams` stretches searched side by side, each from where the run starts, so that their
 * chains overlap. The answers do not depend on where a search starts. Short runs go block by block.
 * Compiled for AVX2 as well, like the blocks.
 */
[[gnu::target_clones("avx2", "default")]] void interpolate_run(const double* e, Py_ssize_t length, const Run& run,
                                                                Py_ssize_t& high_hint, Py_ssize_t& low_hint,
                                                                double* out) {
    constexpr int chunk = block / streams;
    const Py_ssize_t stretch = length / streams;
    if (stretch < chunk) {
        for (Py_ssize_t first = 0; first < length; first += block) {
            const int count = static_cast<int>(std::min<Py_ssize_t>(block, length - first));
            interpolate_block(e + first, count, run, high_hint, low_hint, out + first);
        }
        return;
    }
    Py_ssize_t highs[streams], lows[streams];
    for (int s = 0; s < streams; ++s) {
        highs[s] = high_hint;
        lows[s] = low_hint;
    }
    for (Py_ssize_t position = 0; position < stretch; position += chunk) {
        const int count = static_cast<int>(std::min<Py_ssize_t>(chunk, stretch - position));
        double at_high[streams][chunk], at_low[streams][chunk];
        for (int s = 0; s < streams; ++s) {
            map_channels(e + s * stretch + position, count, run.map, at_high[s], at_low[s]);
        }
        Py_ssize_t high_index[streams][chunk], low_index[streams][chunk];
        for (int j = 0; j < count; ++j) {
            for (int s = 0; s < streams; ++s) {
                high_index[s][j] = highs[s] = search_from(run.axis, run.r, at_high[s][j], highs[s]);
                low_index[s][j] = lows[s] = search_from(run.axis, run.r, at_low[s][j], lows[s]);
            }
        }
        for (int s = 0; s < streams; ++s) {
            read_rows(count, at_high[s], at_low[s], high_index[s], low_index[s], run.axis, run.bracket, run.offset,
                      run.span, out + s * stretch + position);
        }
    }
    // The last stretch goes on over the channels that the even cut left over (fewer than `streams`).
    high_hint = highs[streams - 1];
    low_hint = lows[streams - 1];
    const Py_ssize_t done = streams * stretch;
    interpolate_block(e + done, static_cast<int>(length - done), run, high_hint, low_hint, out + done);
}

/*
 * Builds the response row at incident energy `E_p` from the two reference rows that bracket it,
 * region by region: each requested channel is placed at the same relative position in the same
 * region of both reference rows, the rows are read there, and the readings are interpolated
 * linearly in incident energy. Channels without a value get NaN.
 *
 * The region of a channel (the first boundary not below its energy) never decreases along an
 * ascending axis, also when the boundaries are not sorted: so the row splits into runs of one
 * region each, found by bisection, and each run is interpolated with constants.
 *
 *   axes      - requested[n], ref[r], padded
 *   bracket   - low_row[r], high_row[r], padded; low_E < high_E, both finite
 *   max_value - top of the requested axis
 *   row[n]    - output
 *
 * Runs without the interpreter lock; cost O(n + r). Every index comes from a search bounded by
 * the lengths.
 */
void interpolate_response_row(double E_p, const Axes& axes, const Bracket& bracket, double max_value, double* row) {
    const double low_E = bracket.low_E, high_E = bracket.high_E;
    const bool has_escape_peaks = low_E > 1022;
    const Regions low = calculate_regions_native(low_E, max_value, has_escape_peaks);
    const Regions high = calculate_regions_native(high_E, max_value, has_escape_peaks);
    const double t = (E_p - low_E) / (high_E - low_E);
    Regions requested = low;
    for (int b = 0; b < low.count; ++b) {
        requested.bounds[b] = (high.bounds[b] - low.bounds[b]) * t + low.bounds[b];
    }
    // The interpolation in incident energy, y_low + ((E_p - low_E) * (y_high - y_low)) / (high_E - low_E),
    // with its two differences hoisted.
    const double offset = E_p - low_E;
    const double span = high_E - low_E;
    const double* e = axes.requested;
    const Py_ssize_t n = axes.n;
    Py_ssize_t high_hint = 0, low_hint = 0;
    int k = 0;
    for (Py_ssize_t j = 0; j < n;) {
        while (k < requested.count && e[j] > requested.bounds[k]) {
            ++k;
        }
        // The run of region k: channels up to the first one above boundary k.
        Py_ssize_t end = n;
        if (k < requested.count) {
            Py_ssize_t low_end = j + 1;
            while (low_end < end) {
                const Py_ssize_t mid = low_end + (end - low_end) / 2;
                if (e[mid] > requested.bounds[k]) {
                    end = mid;
                } else {
                    low_end = mid + 1;
                }
            }
        }
        if (k == 0 || k == requested.count) {
            // At or below the first boundary, or above every one: no region, no value.
            std::fill(row + j, row + end, nan);
        } else {
            const RegionMap map{requested.bounds[k - 1], requested.bounds[k] - requested.bounds[k - 1],
                                high.bounds[k - 1],      high.bounds[k] - high.bounds[k - 1],
                                low.bounds[k - 1],       low.bounds[k] - low.bounds[k - 1]};
            interpolate_run(e + j, end - j, Run{map, axes.ref, axes.r, bracket, offset, span}, high_hint, low_hint,
                            row + j);
        }
        j = end;
    }
}

// ---------------------------------------------------------------------------------------------
// Resampling driver.

/*
 * A one-dimensional NumPy array of the result, written in place: room for `capacity` elements,
 * of which the first `size` are set. Room is reserved for the most the call can store, so that
 * each element is written once, into its final memory, and pages that are never written are
 * never touched; when that much cannot be had, the array grows as it goes. Every size is
 * checked, so that a capacity that cannot be had is a MemoryError, never a short array. Growing
 * and finishing need the lock; writing up to the room made does not.
 */
template <class T>
class ResultArray {
public:
    explicit ResultArray(int type_num) : type_num_(type_num) {}

    /// Room for `most` elements, or for none when that cannot be had (then room() grows the
    /// array); false with MemoryError only when not even an empty array can be had.
    bool reserve_at_most(Py_ssize_t most) {
        if (allocate(most)) {
            return true;
        }
        PyErr_Clear();
        return allocate(0);
    }
    /// Exactly `count` elements; false with MemoryError when they cannot be had.
    bool reserve_exactly(Py_ssize_t count) { return allocate(count); }
    /// Makes room for `count` more elements, at least doubling when it grows; false with an
    /// exception set when that cannot be had.
    bool room(Py_ssize_t count) {
        Py_ssize_t needed, doubled;
        if (__builtin_add_overflow(size_, count, &needed)) {
            PyErr_NoMemory();
            return false;
        }
        if (needed <= capacity_) {
            return true;
        }
        return resize(__builtin_mul_overflow(capacity_, 2, &doubled) ? needed : std::max(needed, doubled));
    }
    /// Where the next element goes.
    T* end() { return data_ + size_; }
    /// Counts `count` elements written at end() as set.
    void advance(Py_ssize_t count) { size_ += count; }
    Py_ssize_t size() const { return size_; }
    /// The array cut to its set elements; empty with an exception set on failure.
    Ref finish() {
        if (array_ && size_ != capacity_ && !resize(size_)) {
            return {};
        }
        return std::move(array_);
    }

private:
    static bool fits(Py_ssize_t count) {
        size_t bytes;
        return count >= 0 && !__builtin_mul_overflow(static_cast<size_t>(count), sizeof(T), &bytes) &&
               bytes <= static_cast<size_t>(PY_SSIZE_T_MAX);
    }
    bool allocate(Py_ssize_t count) {
        if (!fits(count)) {
            PyErr_NoMemory();
            return false;
        }
        array_ = new_array(count, type_num_);
        if (!array_) {
            return false;
        }
        data_ = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
        capacity_ = count;
        return true;
    }
    /// NumPy's resize moves the set elements along (and fills any new room with zeros).
    bool resize(Py_ssize_t count) {
        if (!fits(count)) {
            PyErr_NoMemory();
            return false;
        }
        npy_intp length = count;
        PyArray_Dims shape{&length, 1};
        Ref none = Ref::steal(
            PyArray_Resize(reinterpret_cast<PyArrayObject*>(array_.get()), &shape, 0, NPY_ANYORDER));
        if (!none) {
            return false;
        }
        data_ = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
        capacity_ = count;
        return true;
    }

    int type_num_;
    Ref array_;
    T* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

/// Bytes of `count` doubles, or false when that size cannot exist.
inline bool double_bytes(Py_ssize_t count, size_t& bytes) {
    return count >= 0 && !__builtin_mul_overflow(static_cast<size_t>(count), sizeof(double), &bytes) &&
           bytes <= static_cast<size_t>(PY_SSIZE_T_MAX);
}

// ---------------------------------------------------------------------------------------------
// NumPy's float64 sum, natively.

/*
 * Pairwise sum as NumPy's add loop computes it for a contiguous float64 block: blocks of more
 * than 128 elements split at half their length rounded down to a multiple of 8; blocks of 8 to
 * 128 elements add into eight interleaved accumulators, combined as
 * ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then add their remainder one by one;
 * shorter blocks add one by one. `value` maps each element as it is read.
 *
 *   a[n] - contiguous
 */
template <class Value>
double pairwise_sum(const double* a, Py_ssize_t n, Value value) {
    if (n < 8) {
        double sum = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            sum += value(a[i]);
        }
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) {
            r[j] = value(a[j]);
        }
        Py_ssize_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (int j = 0; j < 8; ++j) {
                r[j] += value(a[i + j]);
            }
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) {
            sum += value(a[i]);
        }
        return sum;
    }
    Py_ssize_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half, value) + pairwise_sum(a + half, n - half, value);
}

/// `np.sum` of a contiguous float64 array that its reduction hands to the add loop in one piece:
/// the reduction starts from 0.0 and adds the pairwise sum.
inline double numpy_sum(const double* a, Py_ssize_t n) {
    return 0.0 + pairwise_sum(a, n, [](double x) { return x; });
}

/// `np.nansum` of the same: NaN is replaced by 0.0 before the sum.
inline double numpy_nansum(const double* a, Py_ssize_t n) {
    return 0.0 + pairwise_sum(a, n, [](double x) { return std::isnan(x) ? 0.0 : x; });
}

/*
 * Lengths for which the native sums give NumPy's results. That holds only when `np` is the numpy
 * module with its own `sum` and `nansum`, and only for arrays its reduction passes in one piece:
 * NumPy before 2.3 cuts a reduction into pieces of its buffer size (`np.getbufsize()`, per
 * thread), later versions never do. Other versions are not assumed to behave alike.
 */
struct NativeSums {
    Py_ssize_t whole = -1;
    bool cover(Py_ssize_t n) const { return n <= whole; }
};

/// True when `function.__module__` is "numpy".
bool defined_by_numpy(PyObject* function) {
    Ref module = Ref::steal(PyObject_GetAttrString(function, "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

/// Major and minor version of `np.__version__`; {0, 0} when it cannot be read.
std::pair<long, long> numpy_version(PyObject* np) {
    Ref version = Ref::steal(PyObject_GetAttrString(np, "__version__"));
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {0, 0};
    }
    char* end;
    const long major = std::strtol(text, &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    return {major, minor};
}

/// Decides where the native sums may stand in for `sum` and `nansum`, the functions the call
/// looked up. False with an exception set when NumPy's buffer size cannot be read.
bool native_sums(PyObject* sum, PyObject* nansum, NativeSums& out) {
    out.whole = -1;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(state.dict, "np", &found) < 0) {
        return false;
    }
    Ref np = Ref::steal(found);
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    Ref numpy = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref{};
    if (!numpy) {
        return !PyErr_Occurred();
    }
    if (np.get() != numpy.get() || !defined_by_numpy(sum) || !defined_by_numpy(nansum)) {
        return true;
    }
    const auto [major, minor] = numpy_version(np.get());
    if (major == 2 && minor >= 3) {
        out.whole = PY_SSIZE_T_MAX;
    } else if (major == 1 || major == 2) {
        Ref getbufsize = Ref::steal(PyObject_GetAttrString(np.get(), "getbufsize"));
        Ref size = getbufsize ? Ref::steal(PyObject_CallNoArgs(getbufsize.get())) : Ref{};
        const Py_ssize_t elements = size ? PyLong_AsSsize_t(size.get()) : -1;
        if (elements == -1 && PyErr_Occurred()) {
            return false;
        }
        out.whole = elements;
    }
    return true;
}

/// Memory of the raw allocator (usable without the lock), freed with its holder.
struct RawMemory {
    void* data = nullptr;
    RawMemory() = default;
    RawMemory(const RawMemory&) = delete;
    RawMemory& operator=(const RawMemory&) = delete;
    ~RawMemory() { PyMem_RawFree(data); }
};

/// A one-dimensional argument copied into native memory, so that its values are read from the
/// caller once, checked, and then used: with -inf before its first element and +inf in the three
/// places after its last, which the searches read.
class AxisCopy {
public:
    /// False when the memory cannot be had.
    bool copy(View1<const double> from) {
        size_t bytes;
        Py_ssize_t padded;
        if (__builtin_add_overflow(from.size, 4, &padded) || !double_bytes(padded, bytes) ||
            !(memory_.data = PyMem_RawMalloc(bytes))) {
            return false;
        }
        double* values = static_cast<double*>(memory_.data) + 1;
        values[-1] = -std::numeric_limits<double>::infinity();
        std::fill(values + from.size, values + from.size + 3, std::numeric_limits<double>::infinity());
        if (from.contiguous()) {
            std::memcpy(values, from.data, sizeof(double) * static_cast<size_t>(from.size));
        } else {
            for (Py_ssize_t i = 0; i < from.size; ++i) {
                values[i] = from[i];
            }
        }
        size_ = from.size;
        return true;
    }
    const double* data() const { return static_cast<const double*>(memory_.data) + 1; }
    Py_ssize_t size() const { return size_; }
    View1<const double> view() const { return {data(), size_, static_cast<Py_ssize_t>(sizeof(double))}; }

private:
    RawMemory memory_;
    Py_ssize_t size_ = 0;
};

/*
 * Reference rows divided by their sums, each computed when a row is first used. Rows of an exact
 * ndarray are read in place and divided natively, as NumPy's true division does element by
 * element; any other ndarray subclass goes through its own indexing, `np.sum` and true division,
 * and the quotient's buffer is copied. Each row is stored with a NaN before its first element and
 * after its last, so that the row interpolation reads NaN where a point has no value.
 */
class ScaledRows {
public:
    ScaledRows(PyObject* matrix, View2<const double> view, Py_ssize_t width)
        : matrix_(matrix), view_(view), width_(width), exact_(PyArray_CheckExact(matrix)) {}
    ~ScaledRows() {
        if (rows_ && !block_) {
            for (Py_ssize_t r = 0; r < view_.rows; ++r) {
                PyMem_RawFree(rows_[r] ? rows_[r] - 1 : nullptr);
            }
        }
        PyMem_RawFree(rows_);
        PyMem_RawFree(spare_);
    }
    ScaledRows(const ScaledRows&) = delete;
    ScaledRows& operator=(const ScaledRows&) = delete;

    /*
     * The row table and the rows' memory, so that an impossible size fails before any work: one
     * NumPy array with room for every row, of which only the rows used are ever touched (NumPy
     * asks the system for large pages for it, so that first touches of fresh memory are few),
     * or, when that much cannot be had, the first row's memory and one allocation per further row.
     */
    bool allocate() {
        Py_ssize_t padded, all;
        if (__builtin_add_overflow(width_, 2, &padded) || !double_bytes(padded, row_bytes_)) {
            return false;
        }
        rows_ = static_cast<double**>(PyMem_RawCalloc(static_cast<size_t>(view_.rows), sizeof(double*)));
        if (!rows_) {
            return false;
        }
        size_t all_bytes;
        if (!__builtin_mul_overflow(padded, view_.rows, &all) && double_bytes(all, all_bytes)) {
            block_ = new_array(all, NPY_FLOAT64);
            if (block_) {
                return true;
            }
            PyErr_Clear();
        }
        spare_ = static_cast<double*>(PyMem_RawMalloc(row_bytes_));
        return spare_;
    }

    /// Row `r` (0 <= r < rows) divided by its sum, padded; nullptr with a Python exception set on
    /// failure.
    const double* get(Py_ssize_t r, PyObject* sum, const NativeSums& native) {
        if (rows_[r]) {
            return rows_[r];
        }
        double* memory = block_ ? static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(block_.get()))) +
                                      r * (width_ + 2)
                         : spare_ ? std::exchange(spare_, nullptr)
                                  : static_cast<double*>(PyMem_RawMalloc(row_bytes_));
        if (!memory) {
            PyErr_NoMemory();
            return nullptr;
        }
        double* scaled = memory + 1;
        scaled[-1] = scaled[width_] = nan;
        if (!(exact_ ? scale_in_place(r, sum, native, scaled) : scale_by_numpy(r, sum, scaled))) {
            if (!block_) {
                PyMem_RawFree(memory);
            }
            return nullptr;
        }
        return rows_[r] = scaled;
    }

private:
    bool scale_in_place(Py_ssize_t r, PyObject* sum, const NativeSums& native, double* scaled) {
        View1<const double> source = view_.row(r);
        double divisor;
        if (source.contiguous() && native.cover(source.size)) {
            // Native work on the caller's memory alone: other threads may run meanwhile.
            NoGil unlocked;
            if (width_ == source.size) {
                // The row is read once: summed and divided as copied.
                std::memcpy(scaled, source.data, sizeof(double) * static_cast<size_t>(width_));
                divisor = numpy_sum(scaled, width_);
                for (Py_ssize_t c = 0; c < width_; ++c) {
                    scaled[c] /= divisor;
                }
                return true;
            }
            divisor = numpy_sum(source.data, source.size);
            divide(source, divisor, scaled);
            return true;
        }
        Ref row = numpy_row(r);
        Ref total = row ? Ref::steal(PyObject_CallOneArg(sum, row.get())) : Ref{};
        if (!total || !to_c_double(total.get(), divisor)) {
            return false;
        }
        NoGil unlocked;
        divide(source, divisor, scaled);
        return true;
    }

    void divide(View1<const double> source, double divisor, double* scaled) const {
        for (Py_ssize_t c = 0; c < width_; ++c) {
            scaled[c] = source[c] / divisor;
        }
    }

    bool scale_by_numpy(Py_ssize_t r, PyObject* sum, double* scaled) {
        Ref row = numpy_row(r);
        Ref total = row ? Ref::steal(PyObject_CallOneArg(sum, row.get())) : Ref{};
        Ref quotient = total ? Ref::steal(PyNumber_TrueDivide(row.get(), total.get())) : Ref{};
        Buffer buffer;
        if (!quotient || !buffer.acquire(quotient.get(), element::float64, 1, Access::read)) {
            return false;
        }
        View1<const double> values = buffer.view1<const double>();
        if (values.size < width_) {
            PyErr_Format(PyExc_ValueError,
                         "row %zd of response_matrix divided by its sum has %zd channels but ref_E_axis has %zd", r,
                         values.size, width_);
            return false;
        }
        for (Py_ssize_t c = 0; c < width_; ++c) {
            scaled[c] = values[c];
        }
        return true;
    }

    Ref numpy_row(Py_ssize_t r) const {
        Ref index = Ref::steal(PyLong_FromSsize_t(r));
        return index ? Ref::steal(PyObject_GetItem(matrix_, index.get())) : Ref{};
    }

    PyObject* matrix_;
    View2<const double> view_;
    Py_ssize_t width_;
    bool exact_;
    size_t row_bytes_ = 0;
    Ref block_;
    double** rows_ = nullptr;
    double* spare_ = nullptr;
};

bool raise_value_error(const char* format, auto... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    return false;
}

/// Ascending (non-decreasing) and free of NaN.
bool check_axis(View1<const double> axis, const char* name) {
    for (Py_ssize_t i = 0; i < axis.size; ++i) {
        if (std::isnan(axis[i]) || (i > 0 && axis[i] < axis[i - 1])) {
            Ref value = Ref::steal(PyFloat_FromDouble(axis[i]));
            return value && raise_value_error("%s must be ascending and free of NaN; %s[%zd] = %R breaks that",
                                              name, name, i, value.get());
        }
    }
    return true;
}

/// Everything the driver relies on, checked before any work so that no input reads outside an array.
bool validate(const View2<const double>& matrix, View1<const double> ref_indices, View1<const double> ref_E_axis,
              View1<const double> requested_indices, View1<const double> requested_E_axis) {
    const Py_ssize_t references = ref_indices.size;
    if (references < 2) {
        return raise_value_error("ref_indices must hold at least 2 reference energies, got %zd", references);
    }
    if (matrix.rows != references) {
        return raise_value_error("response_matrix has %zd rows but ref_indices holds %zd energies", matrix.rows,
                                 references);
    }
    if (matrix.cols < ref_E_axis.size) {
        return raise_value_error("response_matrix rows have %zd channels but ref_E_axis has %zd", matrix.cols,
                                 ref_E_axis.size);
    }
    if (requested_E_axis.size > std::numeric_limits<int>::max()) {
        return raise_value_error("requested_E_axis has %zd channels; column numbers are int32",
                                 requested_E_axis.size);
    }
    for (Py_ssize_t r = 0; r < references; ++r) {
        if (!std::isfinite(ref_indices[r]) || (r > 0 && !(ref_indices[r] > ref_indices[r - 1]))) {
            Ref value = Ref::steal(PyFloat_FromDouble(ref_indices[r]));
            return value && raise_value_error(
                                "ref_indices must be finite and strictly ascending; ref_indices[%zd] = %R breaks that",
                                r, value.get());
        }
    }
    if (!check_axis(ref_E_axis, "ref_E_axis") || !check_axis(requested_E_axis, "requested_E_axis")) {
        return false;
    }
    const double first = ref_indices[0], last = ref_indices[references - 1];
    for (Py_ssize_t i = 0; i < requested_indices.size; ++i) {
        const double E_p = requested_indices[i];
        if (!(E_p >= first && E_p <= last)) {
            Ref value = Ref::steal(PyFloat_FromDouble(E_p));
            Ref low = Ref::steal(PyFloat_FromDouble(first));
            Ref high = Ref::steal(PyFloat_FromDouble(last));
            return value && low && high &&
                   raise_value_error("requested_indices[%zd] = %R keV is outside the reference range [%R, %R] keV", i,
                                     value.get(), low.get(), high.get());
        }
    }
    return true;
}

/// A read-only base-class ndarray over the memory of `axis`, kept alive by `owner`.
Ref plain_view(PyObject* owner, View1<const double> axis) {
    npy_intp size = axis.size, stride = axis.stride;
    Ref view = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1, &size, &stride,
                                               const_cast<double*>(axis.data), 0, nullptr));
    if (view && axis.data && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(owner)) < 0) {
        return {};
    }
    return view;
}

/// Maximum of the requested axis by NumPy's `max`, called on a plain ndarray over the memory the
/// rows are built from, so that a subclass's own reductions (a mask) do not apply. NumPy's error
/// for an empty axis is the caller's.
bool axis_maximum(PyObject* owner, View1<const double> axis, double& out) {
    Ref max = numpy_attribute("max");
    Ref view = max ? plain_view(owner, axis) : Ref{};
    Ref result = view ? Ref::steal(PyObject_CallOneArg(max.get(), view.get())) : Ref{};
    if (!result || !to_c_double(result.get(), out)) {
        add_traceback("interpolate_response_row", axis_maximum_line);
        return false;
    }
    return true;
}

/// Wraps native storage as a new NumPy array (a copy).
template <class T>
Ref to_array(const T* data, Py_ssize_t size, int type_num) {
    Ref array = new_array(size, type_num);
    if (array && size) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, sizeof(T) * size);
    }
    return array;
}

/// Appends the channels of `row` whose value divided by `total` lies above the store threshold;
/// room for `n` more entries has been made. Every channel is written at the end and counted only
/// when stored, so that the loop has no branch on the data.
void store_row(const double* row, Py_ssize_t n, double total, ResultArray<std::int32_t>& indices,
               ResultArray<double>& values) {
    std::int32_t* column = indices.end();
    double* value = values.end();
    Py_ssize_t stored = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const double scaled = row[j] / total;
        column[stored] = static_cast<std::int32_t>(j);
        value[stored] = scaled;
        stored += scaled > store_threshold;
    }
    indices.advance(stored);
    values.advance(stored);
}

PyObject* resampler_cy_impl(PyObject* response_matrix, View2<const double> matrix, View1<const double> ref_indices,
                            View1<const double> ref_E_axis, View1<const double> requested_indices,
                            PyObject* requested_E_axis_object, View1<const double> requested_E_axis) {
    constexpr const char* name = "resampler_cy";
    const Py_ssize_t m = requested_indices.size, n = requested_E_axis.size;
    // Everything whose size the arguments set is had before any work, so that an impossible size
    // is a MemoryError at once.
    ResultArray<std::int64_t> offsets(NPY_INT64);
    ResultArray<std::int32_t> indices(NPY_INT32);
    ResultArray<double> values(NPY_FLOAT64);
    ScaledRows scaled(response_matrix, matrix, ref_E_axis.size);
    RawMemory row_memory;
    // With rows to build, the one-dimensional arguments are copied, then checked and used.
    AxisCopy ref_indices_copy, ref_E_axis_copy, requested_indices_copy, requested_E_axis_copy;
    // Each row stores at most its n channels: room for m * n entries, reserved and not touched.
    Py_ssize_t offsets_count, most;
    size_t row_bytes;
    if (__builtin_mul_overflow(m, n, &most)) {
        most = -1;
    }
    if (__builtin_add_overflow(m, 1, &offsets_count) || !offsets.reserve_exactly(offsets_count) ||
        !indices.reserve_at_most(most) || !values.reserve_at_most(most) ||
        (m > 0 && (!double_bytes(std::max<Py_ssize_t>(n, 1), row_bytes) ||
                   !(row_memory.data = PyMem_RawMalloc(row_bytes)) || !scaled.allocate() ||
                   !ref_indices_copy.copy(ref_indices) || !ref_E_axis_copy.copy(ref_E_axis) ||
                   !requested_indices_copy.copy(requested_indices) ||
                   !requested_E_axis_copy.copy(requested_E_axis)))) {
        PyErr_NoMemory();
        return fail_at(name, validation_line);
    }
    *offsets.end() = 0;
    offsets.advance(1);
    if (m > 0) {
        ref_indices = ref_indices_copy.view();
        ref_E_axis = ref_E_axis_copy.view();
        requested_indices = requested_indices_copy.view();
    }
    if (!validate(matrix, ref_indices, ref_E_axis, requested_indices,
                  m > 0 ? requested_E_axis_copy.view() : requested_E_axis)) {
        return fail_at(name, validation_line);
    }
    if (m > 0) {
        double max_value;
        if (!axis_maximum(requested_E_axis_object, requested_E_axis, max_value)) {
            return fail_at(name, interpolate_call_line);
        }
        Ref sum = numpy_attribute("sum");
        Ref nansum = numpy_attribute("nansum");
        NativeSums native;
        if (!sum || !nansum || !native_sums(sum.get(), nansum.get(), native)) {
            return fail_at(name, reference_sum_line);
        }
        const bool native_row_sum = native.cover(n);
        double* row = static_cast<double*>(row_memory.data);
        const Axes axes{requested_E_axis_copy.data(), n, ref_E_axis_copy.data(), ref_E_axis_copy.size()};
        const double* energies = ref_indices_copy.data();
        const Py_ssize_t references = ref_indices_copy.size();
        AxisSearch bracket_search(energies, references);
        for (Py_ssize_t i = 0; i < m; ++i) {
            const double E_p = requested_indices_copy.data()[i];
            // The first reference energy itself is interpolated from rows 0 and 1 (t = 0). The
            // checked energies lie in the reference range, of at least 2 energies; the clamp
            // keeps the rows inside whatever the search answers.
            const Py_ssize_t high = std::clamp<Py_ssize_t>(bracket_search(E_p), 1, references - 1);
            Bracket bracket{energies[high - 1], energies[high], scaled.get(high - 1, sum.get(), native), nullptr};
            if (!bracket.low_row || !(bracket.high_row = scaled.get(high, sum.get(), native))) {
                return fail_at(name, reference_sum_line);
            }
            double total = 0.0;
            if (!native_row_sum) {
                {
                    NoGil unlocked;
                    interpolate_response_row(E_p, axes, bracket, max_value, row);
                }
                // NumPy gets a copy: what its `nansum` does with the array cannot reach the row.
                Ref copy = to_array(row, n, NPY_FLOAT64);
                Ref total_object = copy ? Ref::steal(PyObject_CallOneArg(nansum.get(), copy.get())) : Ref{};
                if (!total_object || !to_c_double(total_object.get(), total)) {
                    return fail_at(name, row_nansum_line);
                }
            }
            if (!indices.room(n) || !values.room(n)) {
                PyErr_NoMemory();
                return fail_at(name, result_line);
            }
            {
                NoGil unlocked;
                if (native_row_sum) {
                    interpolate_response_row(E_p, axes, bracket, max_value, row);
                    total = numpy_nansum(row, n);
                }
                store_row(row, n, total, indices, values);
            }
            *offsets.end() = values.size();
            offsets.advance(1);
        }
    }
    Ref result_offsets = offsets.finish();
    Ref result_indices = result_offsets ? indices.finish() : Ref{};
    Ref result_values = result_indices ? values.finish() : Ref{};
    if (!result_values) {
        return fail_at(name, result_line);
    }
    PyObject* result = PyTuple_Pack(3, result_offsets.get(), result_indices.get(), result_values.get());
    return result ? result : fail_at(name, result_line);
}

constexpr const char* resampler_cy_params[] = {"response_matrix", "ref_indices", "ref_E_axis", "requested_indices",
                                               "requested_E_axis"};

PyObject* resampler_cy(PyObject* const* args);

constexpr Signature resampler_cy_signature{"resampler_cy", resampler_cy_line, resampler_cy_params, {}, resampler_cy};

PyObject* resampler_cy(PyObject* const* args) {
    const Signature& s = resampler_cy_signature;
    for (Py_ssize_t i = 0; i < s.arity(); ++i) {
        const char* param = s.params[static_cast<size_t>(i)];
        if (!check_ndarray_required(args[i], param)) {
            note_array_argument(s.name, param, element::float64, i == 0 ? 2 : 1);
            return fail_at(s.name, s.line);
        }
    }
    Buffer buffers[5];
    for (Py_ssize_t i = 0; i < s.arity(); ++i) {
        if (!acquire_argument(buffers[i], s.name, s.params[static_cast<size_t>(i)], args[i], element::float64,
                              i == 0 ? 2 : 1, Access::read)) {
            return fail_at(s.name, s.line);
        }
    }
    return resampler_cy_impl(args[0], buffers[0].view2<const double>(), buffers[1].view1<const double>(),
                             buffers[2].view1<const double>(), buffers[3].view1<const double>(), args[4],
                             buffers[4].view1<const double>());
}

constexpr const Signature* functions[] = {&calculate_regions_signature, &resampler_cy_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_resampler() { return define_module(spec); }
