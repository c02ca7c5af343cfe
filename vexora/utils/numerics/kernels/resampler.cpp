// Response-matrix resampling: region finding and feature-aligned interpolation of response rows
// from reference incident energies to requested ones.
#include "core/interpolation.hpp"
#include "core/numpy_sum.hpp"
#include "core/regions.hpp"
#include "core/search.hpp"
#include "frame/frame.hpp"
#include "frame/result_array.hpp"
#include "resampler_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

using namespace vexora::frame;
using namespace vexora::resampler;
using namespace vexora::core::interpolation;
using vexora::core::first_not_below;
using vexora::core::numpy_nansum;
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

PyObject* resampler_cy_impl(const InPlace& matrix_in_place, PyObject* response_matrix, View2<const double> matrix,
                            View1<const double> ref_indices,
                            View1<const double> ref_E_axis, View1<const double> requested_indices,
                            PyObject* requested_E_axis_object, View1<const double> requested_E_axis) {
    constexpr const char* name = "resampler_cy";
    const Py_ssize_t m = requested_indices.size, n = requested_E_axis.size;
    // Everything whose size the arguments set is had before any work, so that an impossible size
    // is a MemoryError at once.
    ResultArray<std::int64_t> offsets(NPY_INT64);
    ResultArray<std::int32_t> indices(NPY_INT32);
    ResultArray<double> values(NPY_FLOAT64);
    ScaledRows scaled(response_matrix, matrix, ref_E_axis.size, matrix_in_place);
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
    // Opening one argument can run Python code (a subclass's __buffer__) that moves another.
    const InPlace::Argument arguments[] = {{&buffers[0], "argument 'response_matrix'"},
                                           {&buffers[1], "argument 'ref_indices'"},
                                           {&buffers[2], "argument 'ref_E_axis'"},
                                           {&buffers[3], "argument 'requested_indices'"},
                                           {&buffers[4], "argument 'requested_E_axis'"}};
    if (!InPlace{s.name, arguments}.intact()) {
        return fail_at(s.name, s.line);
    }
    const InPlace matrix_in_place{s.name, std::span{arguments, 1}};
    return resampler_cy_impl(matrix_in_place, args[0], buffers[0].view2<const double>(), buffers[1].view1<const double>(),
                             buffers[2].view1<const double>(), buffers[3].view1<const double>(), args[4],
                             buffers[4].view1<const double>());
}

constexpr const Signature* functions[] = {&calculate_regions_signature, &resampler_cy_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_resampler() { return define_module(spec); }
