// Spectrum unfolding: ML-EM on a CSR response matrix, the Gaussian energy-resolution response
// builder and the Richardson-Lucy driver that joins them.
#include "core/response.hpp"
#include "frame/frame.hpp"
#include "ml_em_matrix.hpp"
#include "simd/exp/path.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

using namespace vexora::frame;
using namespace vexora::deconvolution;
using namespace vexora::core::response;
namespace exact_exp = vexora::simd::exp;
namespace parallel = vexora::core::parallel;
using vexora::core::Interrupt;

constexpr ModuleIdentity identity{
    "deconvolution",
    "vexora.utils.numerics.kernels.deconvolution",
    "vexora/utils/numerics/kernels/deconvolution",
};

// Lines that traceback entries report: part of the interface, as the module's source layout
// numbers them (tests/conftest.py and tests/test_tracebacks.py pin them).
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

/// Options that ML-EM checks; only `iterations` changes the result.
struct Options {
    int iterations = 30;
    PyObject* reg_tikhonov = Py_False;
    double reg_tikhonov_lambda = 0.001;
    PyObject* use_sensitivity = Py_False;
};

/*
 * The numeric options of ML_EM_cy and richardson_lucy_cy, whose parameters from `iterations` on
 * are the same: iterations (args[first]), reg_tikhonov (first + 1), reg_tikhonov_lambda
 * (first + 2), use_sensitivity (first + 3). Errors are reported at the parameter's line.
 */
bool parse_numbers(const Signature& s, PyObject* const* args, int first, Options& options) {
    if (args[first] && !to_c_int(args[first], options.iterations)) {
        note_scalar_argument(s.name, "iterations", Scalar::integer);
        return fail_at(s.name, s.param_line(first), false);
    }
    if (args[first + 2] && !to_c_double(args[first + 2], options.reg_tikhonov_lambda)) {
        note_scalar_argument(s.name, "reg_tikhonov_lambda", Scalar::real);
        return fail_at(s.name, s.param_line(first + 2), false);
    }
    return true;
}

/// The flags of the same options, checked after the arrays; errors at the function's line.
bool parse_flags(const Signature& s, PyObject* const* args, int first, Options& options) {
    options.reg_tikhonov = args[first + 1] ? args[first + 1] : Py_False;
    options.use_sensitivity = args[first + 3] ? args[first + 3] : Py_False;
    for (const auto& [flag, name] :
         {std::pair{options.reg_tikhonov, "reg_tikhonov"}, std::pair{options.use_sensitivity, "use_sensitivity"}}) {
        if (!check_bool(flag, name)) {
            note_scalar_argument(s.name, name, Scalar::boolean);
            return fail_at(s.name, s.line, false);
        }
    }
    return true;
}

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

/// ML-EM's arrays: the spectrum, the CSR response matrix (SciPy's indptr, indices and data) and
/// the sensitivity. Each is an ndarray or None, which reads as empty.
constexpr ArrayParameter ml_em_arrays[] = {
    {"y", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"offsets", element::int64, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indptr is often int32: pass indptr.astype(np.int64))"},
    {"indices", element::int32, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indices may be int64: pass %s.astype(np.int32))"},
    {"values", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"sensitivity", element::float64, 1, Access::read, Accepts::ndarray_or_none},
};

/*
 * ML-EM on the arrays of a call, in the order of ml_em_arrays: `y` (n channels), the CSR matrix
 * `offsets`, `indices`, `values` (n rows) and `sensitivity` (at least n). Returns the new
 * estimate, or nullptr with an exception and this function's traceback entry.
 */
PyObject* ml_em(PyObject* const* arrays, const Options& options) {
    constexpr const char* name = "ML_EM_cy";
    PyObject* y = arrays[0];
    ArrayArguments opened{name, ml_em_arrays};
    if (!opened.open(arrays)) {
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
            add_argument_note(name, "y",
                              "must be a one-dimensional float64 array, not None: an empty spectrum is np.empty(0)");
        }
        return fail_at(name, ml_em_working_arrays_line);
    }

    // np's functions ran since the arguments were opened: from here on they are read in place,
    // and again after every look for signals. The result, read before the loop and written after
    // it, may have been moved by the np functions that ran after it was opened.
    const InPlace::Argument read_in_place[] = {opened.in_place(0), opened.in_place(2), opened.in_place(3)};
    const InPlace in_place{name, read_in_place};
    const InPlace::Argument read_once[] = {opened.in_place(1), opened.in_place(4)};
    const InPlace::Argument result[] = {{&x_buffer, "its result np.ones_like(y)", false}};
    const InPlace result_in_place{name, result};
    if (!in_place.intact() || !InPlace{name, read_once}.intact() || !result_in_place.intact()) {
        return fail_at(name, ml_em_working_arrays_line);
    }

    const View1<const double> y_v = opened[0].view1<const double>();
    const View1<const double> sensitivity_v = opened[4].view1<const double>();
    const Py_ssize_t n = y_v.size;
    const View1<const std::int32_t> indices_v = opened[2].view1<const std::int32_t>();
    const View1<const double> values_v = opened[3].view1<const double>();
    Matrix matrix;
    if (!matrix.plan_rows(n, opened[1].view1<const std::int64_t>(), indices_v, values_v)) {
        return fail_at(name, ml_em_matrix_check_line);
    }
    // The team is made before the columns are read, which it shares, and the plan made for the
    // threads it really has; its threads wait for each other many times an iteration, so that by
    // default it takes only CPUs left free.
    int threads;
    bool machine_default;
    if (!thread_limit(name, threads, &machine_default)) {
        return fail_at(name, ml_em_loop_line);
    }
    std::optional<parallel::Team> team;
    char reason[128];
    if (options.iterations > 0 && !ml_em::too_small_for_threads(n, matrix.entries(), threads, reason)) {
        team.emplace(thread_budget(), machine_default ? lockstep_threads(threads) : threads);
    }
    if (!matrix.plan_columns(n, indices_v, values_v, {}, team ? &*team : nullptr)) {
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

    // The working arrays are native: NumPy's arrays are never written while Python code may run
    // (a signal handler can reach them through a subclass of y), the estimate written into x once
    // the iterations are over.
    Contiguous<const double> y_data;
    RawArray<double> sensitivity_floor;
    Contiguous<double> x_data;
    ml_em::Plan plan;
    SpectrumIterations iterations;
    if (!y_data.open(y_v) || !sensitivity_floor.allocate(n) || !x_data.copy(x_buffer.view1<double>()) ||
        !matrix.plan_iterations(n, team ? team->size() : 1, plan) ||
        !iterations.prepare(matrix, n, plan, team ? &*team : nullptr)) {
        return fail_at(name, ml_em_loop_line);
    }
    bool interrupted;
    {
        NoGil unlocked{&in_place};
        for (Py_ssize_t i = 0; i < n; ++i) {
            sensitivity_floor.get()[i] = ml_em::floor_sensitivity(sensitivity_v[i]);
        }
        iterations.run(options.iterations, y_data.get(), sensitivity_floor.get(), x_data.get(), unlocked);
        interrupted = unlocked.raised();
    }
    if (interrupted || !result_in_place.intact()) {
        return fail_at(name, ml_em_loop_line);
    }
    x_data.store();
    return x.release();
}

// clang-format off
constexpr const char* ml_em_params[] = {"y",          "offsets",      "indices",
                                        "values",     "sensitivity",  "iterations",
                                        "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"};
// clang-format on
constexpr Default em_defaults[] = {Default::of(30L), Default::false_(), Default::of(0.001), Default::false_()};

PyObject* ML_EM_cy(PyObject* const* args);

constexpr Signature ml_em_signature{"ML_EM_cy", ml_em_line, ml_em_params, em_defaults, ML_EM_cy};

PyObject* ML_EM_cy(PyObject* const* args) {
    const Signature& s = ml_em_signature;
    Options options;
    if (!parse_numbers(s, args, 5, options)) {
        return nullptr;
    }
    if (!check_array_types(s.name, ml_em_arrays, args)) {
        return fail_at(s.name, s.line);
    }
    if (!parse_flags(s, args, 5, options)) {
        return nullptr;
    }
    return ml_em(args, options);
}

// ---------------------------------------------------------------------------------------------
// Gaussian response builder.

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
 * Whatever `np` is at call time, its answers must lie in [0, n] before they index the axis, and
 * the arrays must still lie where they were before they are read again.
 */
bool numpy_windows(PyObject* axis_object, View1<const double> axis, View1<const double> sigma, double nsigma,
                   Window* windows, const InPlace& in_place) {
    Ref searchsorted = numpy_attribute("searchsorted");
    if (!searchsorted) {
        return false;
    }
    const Py_ssize_t n = axis.size;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!in_place.intact()) {
            return false;
        }
        // Both keys before either search: each search runs Python code, after which the axis is
        // handed on only while it is intact.
        const double energy = axis[i], d = window_half_width(sigma[i], nsigma);
        Window& window = windows[i];
        if (!numpy_search(searchsorted.get(), axis_object, energy - d, false, window.low) || !in_place.intact() ||
            !numpy_search(searchsorted.get(), axis_object, energy + d, true, window.high)) {
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

// Rows per range of a builder's windows: a few tenths of a millisecond of work each.
constexpr Py_ssize_t rows_per_window_range = 8192;

/*
 * Rows per range of a builder's fill, a whole number of its row groups: 2^17 entries or more
 * (1 MiB of weights, a few tenths of a millisecond), and up to 2^19 when every thread still gets
 * eight ranges. The result is fresh memory that the threads fault in as they write it; ranges
 * smaller than its 2 MiB pages made two threads meet on the same page, and HPGe n = 65536 ran
 * 1.5 times faster on two threads than on one instead of 1.8.
 */
Py_ssize_t rows_per_fill_range(Py_ssize_t rows, std::int64_t entries, int threads) {
    const std::int64_t spread = entries / (8 * std::int64_t{std::max(threads, 1)});
    const std::int64_t range_entries = std::clamp<std::int64_t>(spread, std::int64_t{1} << 17, std::int64_t{1} << 19);
    const Py_ssize_t per_row = std::max<Py_ssize_t>(entries / std::max<Py_ssize_t>(rows, 1), 1);
    const Py_ssize_t grain = std::max<Py_ssize_t>(range_entries / per_row, 64);
    return (grain + row_group - 1) / row_group * row_group;
}

/*
 * The Gaussian response of an energy axis as a CSR matrix (offsets, indices, values): row i is a
 * Gaussian centred on axis[i] of width sigma[i], sampled at the bins within nsigma widths and
 * scaled to sum 1. Windows are found first, so the arrays are allocated at their final size.
 *
 *   axis[n]   - bin energies, ascending (`axis_object` exports them; an unsorted axis gets the
 *               windows of NumPy's searchsorted)
 *   sigma[>=n] - widths; a shorter sigma raises IndexError
 *   in_place  - the arrays that axis and sigma view, checked after Python code ran
 */
PyObject* build_gaussian_response_impl(PyObject* axis_object, View1<const double> axis, View1<const double> sigma,
                                       double nsigma, const InPlace& in_place, int threads) {
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
    RawArray<Window> windows;
    if (!windows.allocate(n)) {
        return fail_at(name, builder_rows_line);
    }
    bool interrupted = false;
    if (vexora::core::sorted_for_search(axis)) {
        NoGil unlocked{&in_place};
        parallel::for_ranges(
            thread_budget(), threads, n, rows_per_window_range,
            [&](Py_ssize_t first, Py_ssize_t count, const Interrupt& asked) {
                sorted_windows(axis, sigma, nsigma, windows.get(), first, first + count, asked);
                return true;
            },
            unlocked.interrupt());
        interrupted = unlocked.raised();
    } else if (!numpy_windows(axis_object, axis, sigma, nsigma, windows.get(), in_place)) {
        return fail_at(name, builder_rows_line);
    }
    if (interrupted) {
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
        NoGil unlocked{&in_place};
        exact_exp::with_exp([&]<class Exp>(Exp) {
            parallel::for_ranges(
                thread_budget(), threads, n, rows_per_fill_range(n, ends[n], threads),
                [&](Py_ssize_t first, Py_ssize_t count, const Interrupt& asked) {
                    exact_exp::on_target_of<Exp>([&] {
                        fill_response<Exp>(axis, sigma, windows.get(), ends, columns, weights, first, first + count,
                                           asked);
                    });
                    return true;
                },
                unlocked.interrupt());
        });
        interrupted = unlocked.raised();
    }
    if (interrupted) {
        return fail_at(name, builder_result_line);
    }
    PyObject* result = PyTuple_Pack(3, offsets.get(), indices.get(), values.get());
    return result ? result : fail_at(name, builder_result_line);
}

constexpr const char* builder_params[] = {"axis", "sigma", "nsigma"};
constexpr Default builder_defaults[] = {Default::of(5.0)};

PyObject* build_gaussian_response(PyObject* const* args);

constexpr Signature builder_signature{"build_gaussian_response", builder_line, builder_params, builder_defaults,
                                      build_gaussian_response};

/// Any buffer of doubles (None reads as empty); a refused one is reported at its parameter's line.
constexpr ArrayParameter builder_arrays[] = {
    {"axis", element::const_double, 1, Access::read, Accepts::buffer},
    {"sigma", element::const_double, 1, Access::read, Accepts::buffer},
};

PyObject* build_gaussian_response(PyObject* const* args) {
    const Signature& s = builder_signature;
    ArrayArguments arrays{s.name, builder_arrays};
    double nsigma = 5.0;
    if (!arrays.open(args)) {
        return fail_at(s.name, s.param_line(static_cast<Py_ssize_t>(arrays.refused())));
    }
    if (args[2] && !to_c_double(args[2], nsigma)) {
        note_scalar_argument(s.name, "nsigma", Scalar::real);
        return fail_at(s.name, s.param_line(2));
    }
    // Opening sigma and reading nsigma can run Python code.
    const InPlace in_place = arrays.all_in_place();
    if (!in_place.intact()) {
        return fail_at(s.name, s.line);
    }
    int threads;
    if (!thread_limit(s.name, threads)) {
        return fail_at(s.name, builder_rows_line);
    }
    const View1<const double> axis_v = arrays[0].view1<const double>(), sigma_v = arrays[1].view1<const double>();
    PyObject* result = build_gaussian_response_impl(args[0], axis_v, sigma_v, nsigma, in_place, threads);
    if (!result && sigma_v.size < axis_v.size) {
        add_note("%s: sigma has %zd widths but axis has %zd bins: pass one width per bin", s.name, sigma_v.size,
                 axis_v.size);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Richardson-Lucy driver.

PyObject* richardson_lucy_cy(PyObject* const* args);

constexpr const char* richardson_lucy_params[] = {
    "x", "y", "k", "sensitivity", "iterations", "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity"};

constexpr Signature richardson_lucy_signature{"richardson_lucy_cy", richardson_lucy_line, richardson_lucy_params,
                                              em_defaults, richardson_lucy_cy};

/// The spectrum, its energies and the sensitivity: float64 ndarrays or None, which reads as empty.
constexpr ArrayParameter richardson_lucy_arrays[] = {
    {"x", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"y", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"sensitivity", element::float64, 1, Access::read, Accepts::ndarray_or_none},
};

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
    if (!parse_numbers(s, args, 4, options)) {
        return nullptr;
    }
    PyObject* x = args[0];
    PyObject* y = args[1];
    PyObject* sensitivity = args[3];
    PyObject* const array_args[] = {x, y, sensitivity};
    if (!check_array_types(name, richardson_lucy_arrays, array_args)) {
        return fail_at(name, s.line);
    }
    if (!parse_flags(s, args, 4, options)) {
        return nullptr;
    }
    ArrayArguments arrays{name, richardson_lucy_arrays};
    if (!arrays.open(array_args)) {
        return fail_at(name, s.line);
    }

    Ref empty_like = numpy_attribute("empty_like");
    Ref sigmas;
    Buffer sigmas_buffer;
    if (!empty_like || !make_working_array(empty_like.get(), y, sigmas, sigmas_buffer)) {
        if (y == Py_None) {
            add_argument_note(name, "y",
                              "must be a one-dimensional float64 array, not None: an empty spectrum is np.empty(0)");
        }
        return fail_at(name, richardson_lucy_sigmas_line);
    }
    if (!arrays.all_in_place().intact()) {
        return fail_at(name, richardson_lucy_sigmas_line);
    }
    const View1<const double> axis = arrays[0].view1<const double>();
    const View1<double> widths = sigmas_buffer.view1<double>();
    const Py_ssize_t n = arrays[1].shape(0);
    if (axis.size < n || widths.size < n) {
        raise_out_of_bounds(0);
        if (axis.size < n) {
            add_note("%s: x has %zd energies but y has %zd channels: pass x and y of the same length", name, axis.size,
                     n);
        }
        return fail_at(name, richardson_lucy_widths_line);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        widths.set(i, get_sigma(k, axis[i]));
    }

    int threads;
    if (!thread_limit(name, threads)) {
        return fail_at(name, richardson_lucy_builder_line);
    }
    // A subclass of y keeps what np.empty_like(y) made, so a signal handler may reach the widths.
    const InPlace::Argument builder_arguments[] = {arrays.in_place(0),
                                                   {&sigmas_buffer, "its working array np.empty_like(y)", false}};
    Ref matrix = Ref::steal(build_gaussian_response_impl(x, axis, sigmas_buffer.view1<const double>(), 5.0,
                                                         InPlace{name, builder_arguments}, threads));
    if (!matrix) {
        if (axis.size > n) {
            add_note("%s: x has %zd energies but y has %zd channels: pass x and y of the same length", name, axis.size,
                     n);
        }
        return fail_at(name, richardson_lucy_builder_line);
    }
    PyObject* const ml_em_args[] = {y, PyTuple_GET_ITEM(matrix.get(), 0), PyTuple_GET_ITEM(matrix.get(), 1),
                                    PyTuple_GET_ITEM(matrix.get(), 2), sensitivity};
    PyObject* result = ml_em(ml_em_args, options);
    return result ? result : fail_at(name, richardson_lucy_ml_em_line);
}

constexpr const Signature* functions[] = {&ml_em_signature, &builder_signature, &richardson_lucy_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_deconvolution() {
    exact_exp::selected_path();
    return define_module(spec);
}
