// Response-matrix resampling: region finding and feature-aligned interpolation of response rows
// from reference incident energies to requested ones.
#include "frame/frame.hpp"

#include <cmath>
#include <cstring>
#include <limits>

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

/// y1 + ((x - x1) * (y2 - y1)) / (x2 - x1), in that order; x1 == x2 gives IEEE inf or NaN.
inline double linear_interpolation(double x, double x1, double x2, double y1, double y2) {
    return y1 + ((x - x1) * (y2 - y1)) / (x2 - x1);
}

/// Energy left to a photon of `E_p` after Compton scattering through 180 degrees.
inline double get_backscatter_E(double E_p) { return E_p / ((E_p + E_p) / 511 + 1); }

/*
 * The same index as find_index_from_energy on an ascending axis without NaN, found by galloping
 * from the previous answer: neighbouring queries, as a row's channels give, cost O(1) each.
 *
 *   axis[n] - ascending, no NaN (the driver checks this before any search)
 */
class AxisSearch {
public:
    explicit AxisSearch(View1<const double> axis) : axis_(axis) {}

    Py_ssize_t operator()(double E) {
        const Py_ssize_t n = axis_.size;
        if (std::isnan(E)) {
            return n > 0 ? 0 : -1;
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
            // Neighbouring channels mostly move the answer by 0, 1 or 2: two steps without
            // branches, then galloping when that was not enough.
            low += low < n && E > axis_[low];
            low += low < n && E > axis_[low];
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
        hint_ = low;
        return low == n ? -1 : low;
    }

private:
    View1<const double> axis_;
    Py_ssize_t hint_ = 0;
};

/// Value of `y_array` at `x` by linear interpolation on `x_array`; NaN at or below the first
/// element, above the last, or for NaN.
template <class Search>
double interpolate_point_on_axis(double x, View1<const double> x_array, const double* y_array, Search& search) {
    Py_ssize_t i = search(x);
    if (i <= 0) {
        return nan;
    }
    return linear_interpolation(x, x_array[i - 1], x_array[i], y_array[i - 1], y_array[i]);
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

/*
 * Builds the response row at incident energy `E_p` from the two reference rows that bracket it,
 * region by region: each requested channel is placed at the same relative position in the same
 * region of both reference rows, the rows are read there, and the readings are interpolated
 * linearly in incident energy. Channels without a value get NaN.
 *
 *   requested_E_axis[n]  - channel energies of the row to build, ascending
 *   ref_E_axis[r]        - channel energies of the reference rows, ascending, no NaN
 *   bracket              - low_row[r], high_row[r]; low_E < high_E, both finite
 *   max_value            - top of the requested axis
 *   row[n]               - output
 *
 * Runs without the interpreter lock; cost O(n + r).
 */
void interpolate_response_row(double E_p, View1<const double> requested_E_axis, View1<const double> ref_E_axis,
                              const Bracket& bracket, double max_value, double* row) {
    const double low_E = bracket.low_E, high_E = bracket.high_E;
    const bool has_escape_peaks = low_E > 1022;
    const Regions low = calculate_regions_native(low_E, max_value, has_escape_peaks);
    const Regions high = calculate_regions_native(high_E, max_value, has_escape_peaks);
    const double t = (E_p - low_E) / (high_E - low_E);
    Regions requested = low;
    for (int b = 0; b < low.count; ++b) {
        requested.bounds[b] = (high.bounds[b] - low.bounds[b]) * t + low.bounds[b];
    }
    // linear_interpolation(E_p, low_E, high_E, y_low, y_high), with its two differences hoisted.
    const double offset = E_p - low_E;
    const double span = high_E - low_E;
    AxisSearch search_high(ref_E_axis), search_low(ref_E_axis);
    for (Py_ssize_t i = 0; i < requested_E_axis.size; ++i) {
        const double e = requested_E_axis[i];
        const Py_ssize_t k = find_index_from_energy(e, requested.bounds, requested.count);
        if (k <= 0) {
            row[i] = nan;
            continue;
        }
        const double f = (e - requested.bounds[k - 1]) / (requested.bounds[k] - requested.bounds[k - 1]);
        const double e_high = f * (high.bounds[k] - high.bounds[k - 1]) + high.bounds[k - 1];
        const double e_low = f * (low.bounds[k] - low.bounds[k - 1]) + low.bounds[k - 1];
        const double y_high = interpolate_point_on_axis(e_high, ref_E_axis, bracket.high_row, search_high);
        const double y_low = interpolate_point_on_axis(e_low, ref_E_axis, bracket.low_row, search_low);
        row[i] = y_low + (offset * (y_high - y_low)) / span;
    }
}

// ---------------------------------------------------------------------------------------------
// Resampling driver.

/// A growable native array; the lock may be released while it grows.
template <class T>
class Growing {
public:
    Growing() = default;
    Growing(const Growing&) = delete;
    Growing& operator=(const Growing&) = delete;
    ~Growing() { PyMem_RawFree(data_); }

    bool push(T value) {
        if (size_ == capacity_ && !grow(capacity_ ? 2 * capacity_ : 4096)) {
            return false;
        }
        data_[size_++] = value;
        return true;
    }
    /// Makes room for `capacity` elements in all, if it can, so that pushing up to there moves nothing.
    void reserve(Py_ssize_t capacity) {
        if (capacity > capacity_) {
            grow(capacity);
        }
    }
    const T* data() const { return data_; }
    Py_ssize_t size() const { return size_; }

private:
    bool grow(Py_ssize_t capacity) {
        void* grown = PyMem_RawRealloc(data_, sizeof(T) * capacity);
        if (!grown) {
            return false;
        }
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }
    T* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

/// Reference rows scaled by NumPy's sum of each row, computed when a row is first used.
class ScaledRows {
public:
    ScaledRows(PyObject* matrix, View2<const double> view, Py_ssize_t width)
        : matrix_(matrix), view_(view), width_(width) {}
    ~ScaledRows() {
        if (rows_) {
            for (Py_ssize_t r = 0; r < view_.rows; ++r) {
                PyMem_RawFree(rows_[r]);
            }
        }
        PyMem_RawFree(rows_);
    }
    ScaledRows(const ScaledRows&) = delete;
    ScaledRows& operator=(const ScaledRows&) = delete;

    bool allocate() {
        rows_ = static_cast<double**>(PyMem_RawCalloc(static_cast<size_t>(view_.rows), sizeof(double*)));
        return rows_ != nullptr;
    }

    /// Row `r` divided by its sum; nullptr with a Python exception set on failure.
    const double* get(Py_ssize_t r, PyObject* sum) {
        if (rows_[r]) {
            return rows_[r];
        }
        Ref index = Ref::steal(PyLong_FromSsize_t(r));
        Ref row = index ? Ref::steal(PyObject_GetItem(matrix_, index.get())) : Ref{};
        Ref total = row ? Ref::steal(PyObject_CallOneArg(sum, row.get())) : Ref{};
        double divisor;
        if (!total || !to_c_double(total.get(), divisor)) {
            return nullptr;
        }
        auto* scaled = static_cast<double*>(PyMem_RawMalloc(sizeof(double) * (width_ ? width_ : 1)));
        if (!scaled) {
            PyErr_NoMemory();
            return nullptr;
        }
        View1<const double> source = view_.row(r);
        for (Py_ssize_t c = 0; c < width_; ++c) {
            scaled[c] = source[c] / divisor;
        }
        return rows_[r] = scaled;
    }

private:
    PyObject* matrix_;
    View2<const double> view_;
    Py_ssize_t width_;
    double** rows_ = nullptr;
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

/// Maximum of the requested axis by NumPy, whose error for an empty axis is the caller's.
bool axis_maximum(PyObject* axis, double& out) {
    Ref max = numpy_attribute("max");
    Ref result = max ? Ref::steal(PyObject_CallOneArg(max.get(), axis)) : Ref{};
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

PyObject* resampler_cy_impl(PyObject* response_matrix, View2<const double> matrix, View1<const double> ref_indices,
                            View1<const double> ref_E_axis, View1<const double> requested_indices,
                            PyObject* requested_E_axis_object, View1<const double> requested_E_axis) {
    constexpr const char* name = "resampler_cy";
    if (!validate(matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis)) {
        return fail_at(name, validation_line);
    }
    const Py_ssize_t m = requested_indices.size, n = requested_E_axis.size;
    Growing<std::int64_t> offsets;
    Growing<std::int32_t> indices;
    Growing<double> values;
    if (!offsets.push(0)) {
        PyErr_NoMemory();
        return fail_at(name, result_line);
    }
    if (m > 0) {
        double max_value;
        if (!axis_maximum(requested_E_axis_object, max_value)) {
            return fail_at(name, interpolate_call_line);
        }
        Ref sum = numpy_attribute("sum");
        Ref nansum = numpy_attribute("nansum");
        Ref row_array = new_array(n, NPY_FLOAT64);
        ScaledRows scaled(response_matrix, matrix, ref_E_axis.size);
        if (!sum || !nansum || !row_array || !scaled.allocate()) {
            if (!PyErr_Occurred()) {
                PyErr_NoMemory();
            }
            return fail_at(name, reference_sum_line);
        }
        double* row = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(row_array.get())));
        AxisSearch bracket_search(ref_indices);
        for (Py_ssize_t i = 0; i < m; ++i) {
            const double E_p = requested_indices[i];
            // The first reference energy itself is interpolated from rows 0 and 1 (t = 0).
            const Py_ssize_t high = std::max<Py_ssize_t>(bracket_search(E_p), 1);
            Bracket bracket{ref_indices[high - 1], ref_indices[high], scaled.get(high - 1, sum.get()), nullptr};
            if (!bracket.low_row || !(bracket.high_row = scaled.get(high, sum.get()))) {
                return fail_at(name, reference_sum_line);
            }
            {
                NoGil unlocked;
                interpolate_response_row(E_p, requested_E_axis, ref_E_axis, bracket, max_value, row);
            }
            Ref total_object = Ref::steal(PyObject_CallOneArg(nansum.get(), row_array.get()));
            double total;
            if (!total_object || !to_c_double(total_object.get(), total)) {
                return fail_at(name, row_nansum_line);
            }
            bool stored = true;
            {
                NoGil unlocked;
                for (Py_ssize_t j = 0; j < n && stored; ++j) {
                    const double value = row[j] / total;
                    if (value > store_threshold) {
                        stored = indices.push(static_cast<std::int32_t>(j)) && values.push(value);
                    }
                }
                stored = stored && offsets.push(values.size());
                // Rows at neighbouring energies store about as many entries as the first; if
                // that much cannot be had at once, the arrays grow as they go.
                if (i == 0) {
                    const Py_ssize_t expected = values.size() * m + values.size() / 4 * m + n;
                    indices.reserve(expected);
                    values.reserve(expected);
                }
            }
            if (!stored) {
                PyErr_NoMemory();
                return fail_at(name, result_line);
            }
        }
    }
    Ref result_offsets = to_array(offsets.data(), offsets.size(), NPY_INT64);
    Ref result_indices = to_array(indices.data(), indices.size(), NPY_INT32);
    Ref result_values = to_array(values.data(), values.size(), NPY_FLOAT64);
    if (!result_offsets || !result_indices || !result_values) {
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
                              i == 0 ? 2 : 1, Access::read, false)) {
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
