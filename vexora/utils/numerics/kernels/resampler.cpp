// Response-matrix resampling: region finding and feature-aligned interpolation of response rows
// from reference incident energies to requested ones.
#include "core/interpolation.hpp"
#include "core/numpy_sum.hpp"
#include "core/regions.hpp"
#include "core/search.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

using namespace vexora::frame;
using namespace vexora::core::interpolation;
using vexora::core::first_not_below;
using vexora::core::numpy_nansum;
using vexora::core::numpy_sum;
using vexora::core::regions::region_bounds;

constexpr ModuleIdentity identity{
    "resampler",
    "vexora.utils.numerics.kernels.resampler",
    "vexora/utils/numerics/kernels/resampler",
};

// Lines that traceback entries report: part of the interface, as the module's source layout
// numbers them (tests/conftest.py and tests/test_tracebacks.py pin them).
constexpr int numpy_import_line = 6;
constexpr int calculate_regions_line = 69;
constexpr int regions_list_line = 82;
constexpr int axis_maximum_line = 111;
constexpr int resampler_cy_line = 162;
constexpr int validation_line = 170;
constexpr int reference_sum_line = 179;
constexpr int interpolate_call_line = 182;
constexpr int row_nansum_line = 184;
constexpr int result_line = 191;

// ---------------------------------------------------------------------------------------------
// Regions of a response row.

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
        std::size_t bytes;
        return vexora::core::bytes_of<T>(count, bytes);
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
        if (__builtin_add_overflow(width_, 2, &padded) || !vexora::core::bytes_of<double>(padded, row_bytes_)) {
            return false;
        }
        rows_ = static_cast<double**>(PyMem_RawCalloc(static_cast<size_t>(view_.rows), sizeof(double*)));
        if (!rows_) {
            return false;
        }
        size_t all_bytes;
        if (!__builtin_mul_overflow(padded, view_.rows, &all) && vexora::core::bytes_of<double>(all, all_bytes)) {
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
        scaled[-1] = scaled[width_] = std::numeric_limits<double>::quiet_NaN();
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
    RawArray<double> row_memory;
    // With rows to build, the one-dimensional arguments are copied, then checked and used; the
    // searches read -inf before and +inf in the three places after each.
    constexpr Padding infinities{1, 3, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    Contiguous<const double> ref_indices_copy, ref_E_axis_copy, requested_indices_copy, requested_E_axis_copy;
    // Each row stores at most its n channels: room for m * n entries, reserved and not touched.
    Py_ssize_t offsets_count, most;
    if (__builtin_mul_overflow(m, n, &most)) {
        most = -1;
    }
    if (__builtin_add_overflow(m, 1, &offsets_count) || !offsets.reserve_exactly(offsets_count) ||
        !indices.reserve_at_most(most) || !values.reserve_at_most(most) ||
        (m > 0 && (!row_memory.allocate(n) || !scaled.allocate() || !ref_indices_copy.copy(ref_indices, infinities) ||
                   !ref_E_axis_copy.copy(ref_E_axis, infinities) ||
                   !requested_indices_copy.copy(requested_indices, infinities) ||
                   !requested_E_axis_copy.copy(requested_E_axis, infinities)))) {
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
        double* row = row_memory.get();
        const Axes axes{requested_E_axis_copy.get(), n, ref_E_axis_copy.get(), ref_E_axis_copy.size()};
        const double* energies = ref_indices_copy.get();
        const Py_ssize_t references = ref_indices_copy.size();
        Py_ssize_t bracket_hint = 0;
        for (Py_ssize_t i = 0; i < m; ++i) {
            // Rows run without the lock one at a time; between them, with it, a signal handler
            // may stop a long call (the check costs next to nothing when no signal is pending).
            if (PyErr_CheckSignals() < 0) {
                return fail_at(name, interpolate_call_line);
            }
            const double E_p = requested_indices_copy.get()[i];
            // The first reference energy itself is interpolated from rows 0 and 1 (t = 0). The
            // checked energies lie in the reference range, of at least 2 energies; the clamp
            // keeps the rows inside whatever the search answers.
            bracket_hint = first_not_below(energies, references, E_p, bracket_hint);
            const Py_ssize_t high = std::clamp<Py_ssize_t>(bracket_hint, 1, references - 1);
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
                const Py_ssize_t stored = store_row(row, n, total, indices.end(), values.end());
                indices.advance(stored);
                values.advance(stored);
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
            note_array_argument(s.name, param, element::float64, i == 0 ? 2 : 1, ArrayError::not_an_array);
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
