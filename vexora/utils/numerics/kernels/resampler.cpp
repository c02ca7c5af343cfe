// Response-matrix resampling: region finding and feature-aligned interpolation of response rows
// from reference incident energies to requested ones.
#include "core/interpolation.hpp"
#include "core/numpy_sum.hpp"
#include "core/regions.hpp"
#include "core/search.hpp"
#include "frame/frame.hpp"
#include "frame/result_array.hpp"
#include "frame/threads.hpp"
#include "resampler_result.hpp"
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
namespace parallel = vexora::core::parallel;

constexpr ModuleIdentity identity{
    "resampler",
    "vexora.utils.numerics.kernels.resampler",
    "vexora/utils/numerics/kernels/resampler",
};

// Lines that traceback entries report: part of the interface, fixed numbers rather than this
// file's lines (the README's source layout gives the rule; tests/conftest.py and
// tests/test_tracebacks.py pin them).
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
// Resampling driver: checks and set-up; per requested energy the bracketing reference rows
// (scaled to unit sum when first used), the interpolated row, its normalisation and storing;
// then the CSR result.

/// The function whose traceback entries the driver's steps add.
constexpr const char* driver = "resampler_cy";

bool raise_value_error(const char* format, auto... args) {
    PyErr_Format(PyExc_ValueError, format, args...);
    return false;
}

/// Ascending (non-decreasing) and free of NaN.
bool check_axis(View1<const double> axis, const char* name) {
    for (Py_ssize_t i = 0; i < axis.size; ++i) {
        if (std::isnan(axis[i]) || (i > 0 && axis[i] < axis[i - 1])) {
            Ref value = Ref::steal(PyFloat_FromDouble(axis[i]));
            return value && raise_value_error("%s must be ascending and free of NaN; %s[%zd] = %R breaks that", name,
                                              name, i, value.get());
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
        return raise_value_error("requested_E_axis has %zd channels; column numbers are int32", requested_E_axis.size);
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
    if (view && axis.data &&
        PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), Py_NewRef(owner)) < 0) {
        return {};
    }
    return view;
}

/// Maximum of the requested axis by NumPy's `max`, called on a plain ndarray over the memory the
/// rows are built from, so that a subclass's own reductions (a mask) do not apply. NumPy's error
/// for an empty axis is the caller's.
bool axis_maximum(PyObject* owner, View1<const double> axis, const InPlace& arguments, double& out) {
    Ref max = numpy_attribute("max");
    Ref view = max && arguments.intact() ? plain_view(owner, axis) : Ref{};
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

/*
 * What the rows of one call are built from. The one-dimensional arguments are native copies,
 * checked and then used, so that what is checked is what is read; the searches read -inf before
 * and +inf in the three places after each. The reference rows are scaled when first used; one
 * work row serves every requested energy.
 */
struct RowInputs {
    RowInputs(PyObject* response_matrix, View2<const double> matrix, Py_ssize_t width, const InPlace& matrix_in_place)
        : scaled(response_matrix, matrix, width, matrix_in_place) {}

    /// The copies and the rows' memory; false when they cannot be had.
    bool allocate(View1<const double> ref_indices_view, View1<const double> ref_E_axis_view,
                  View1<const double> requested_indices_view, View1<const double> requested_E_axis_view) {
        constexpr Padding infinities{1, 3, -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::infinity()};
        // The copies first: making the scaled rows' NumPy array can run the collector, whose
        // finalisers are Python code.
        return ref_indices.copy(ref_indices_view, infinities) && ref_E_axis.copy(ref_E_axis_view, infinities) &&
               requested_indices.copy(requested_indices_view, infinities) &&
               requested_E_axis.copy(requested_E_axis_view, infinities) && row.allocate(requested_E_axis_view.size) &&
               scaled.allocate();
    }

    Py_ssize_t channels() const { return requested_E_axis.size(); }
    Axes axes() const { return {requested_E_axis.get(), channels(), ref_E_axis.get(), ref_E_axis.size()}; }

    /// Reference row `r` divided by its sum; nullptr with an exception set.
    const double* scaled_row(Py_ssize_t r) { return scaled.get(r, sum.get(), native); }

    Contiguous<const double> ref_indices, ref_E_axis, requested_indices, requested_E_axis;
    ScaledRows scaled;
    RawArray<double> row;
    double max_value = 0.0;  ///< top of the requested axis, by NumPy's `max`
    Ref sum, nansum;         ///< NumPy's, looked up once a call
    NativeSums native;       ///< where native sums stand in for them
    bool native_row_sum = false;
};

/*
 * Checks and set-up, before any row. Everything whose size the arguments set is had first, so
 * that an impossible size is a MemoryError at once; with rows to build, the one-dimensional
 * arguments are copied, then checked, then the top of the requested axis and NumPy's sums are
 * looked up. False with an exception set and the driver's traceback entry added.
 */
bool set_up(RowInputs& in, ResultRows& result, const InPlace& arguments, const View2<const double>& matrix,
            View1<const double> ref_indices, View1<const double> ref_E_axis, View1<const double> requested_indices,
            PyObject* requested_E_axis_object, View1<const double> requested_E_axis) {
    const bool rows = requested_indices.size > 0;
    if (!result.reserve(requested_indices.size, requested_E_axis.size)) {
        PyErr_NoMemory();
        return fail_at(driver, validation_line, false);
    }
    // Making the result's arrays can run the collector's finalisers: the arguments are copied
    // only where they still lie.
    if (!arguments.intact()) {
        return fail_at(driver, validation_line, false);
    }
    if (rows && !in.allocate(ref_indices, ref_E_axis, requested_indices, requested_E_axis)) {
        PyErr_NoMemory();
        return fail_at(driver, validation_line, false);
    }
    if (rows) {
        ref_indices = in.ref_indices.view();
        ref_E_axis = in.ref_E_axis.view();
        requested_indices = in.requested_indices.view();
    }
    if (!validate(matrix, ref_indices, ref_E_axis, requested_indices,
                  rows ? in.requested_E_axis.view() : requested_E_axis)) {
        return fail_at(driver, validation_line, false);
    }
    if (!rows) {
        return true;
    }
    if (!axis_maximum(requested_E_axis_object, requested_E_axis, arguments, in.max_value)) {
        return fail_at(driver, interpolate_call_line, false);
    }
    in.sum = numpy_attribute("sum");
    in.nansum = numpy_attribute("nansum");
    if (!in.sum || !in.nansum || !native_sums(in.sum.get(), in.nansum.get(), in.native)) {
        return fail_at(driver, reference_sum_line, false);
    }
    in.native_row_sum = in.native.cover(in.channels());
    return true;
}

/*
 * The reference rows that bracket `E_p`, scaled to unit sum: the upper one at the first reference
 * energy not below it, searched from `hint`, where the previous search ended. The first reference
 * energy itself is interpolated from rows 0 and 1 (t = 0). The checked energies lie in the
 * reference range, of at least 2 energies; the clamp keeps the rows inside whatever the search
 * answers. False with an exception set when a row cannot be scaled.
 */
Py_ssize_t upper_reference(const RowInputs& in, double E_p, Py_ssize_t& hint) {
    const Py_ssize_t references = in.ref_indices.size();
    hint = first_not_below(in.ref_indices.get(), references, E_p, hint);
    return std::clamp<Py_ssize_t>(hint, 1, references - 1);
}

bool bracket_of(RowInputs& in, double E_p, Py_ssize_t& hint, Bracket& bracket) {
    const double* energies = in.ref_indices.get();
    const Py_ssize_t high = upper_reference(in, E_p, hint);
    bracket = {energies[high - 1], energies[high], in.scaled_row(high - 1), nullptr};
    return bracket.low_row && (bracket.high_row = in.scaled_row(high));
}

/// The row at `E_p` interpolated into the work row; runs without the lock.
void interpolate_row(const RowInputs& in, double E_p, const Bracket& bracket) {
    interpolate_response_row(E_p, in.axes(), bracket, in.max_value, in.row.get());
}

/// The work row's sum by NumPy's `nansum`, which gets a copy: what it does with the array cannot
/// reach the row. False with an exception set.
bool numpy_row_total(const RowInputs& in, double& total) {
    Ref copy = to_array(in.row.get(), in.channels(), NPY_FLOAT64);
    Ref total_object = copy ? Ref::steal(PyObject_CallOneArg(in.nansum.get(), copy.get())) : Ref{};
    return total_object && to_c_double(total_object.get(), total);
}

/*
 * Requested row `i`: bracketed, interpolated, normalised by its NaN-skipping sum and stored. Where
 * the native sum stands in for NumPy's, the row is made, summed and stored in one stretch without
 * the lock; otherwise it is made without the lock and summed by NumPy with it. False with an
 * exception set and the driver's traceback entry added.
 */
bool build_row(RowInputs& in, ResultRows& result, Py_ssize_t i, Py_ssize_t& hint) {
    const double E_p = in.requested_indices.get()[i];
    Bracket bracket;
    if (!bracket_of(in, E_p, hint, bracket)) {
        return fail_at(driver, reference_sum_line, false);
    }
    double total = 0.0;
    if (!in.native_row_sum) {
        {
            NoGil unlocked;
            interpolate_row(in, E_p, bracket);
        }
        if (!numpy_row_total(in, total)) {
            return fail_at(driver, row_nansum_line, false);
        }
    }
    if (!result.room(in.channels())) {
        PyErr_NoMemory();
        return fail_at(driver, result_line, false);
    }
    NoGil unlocked;
    if (in.native_row_sum) {
        interpolate_row(in, E_p, bracket);
        total = numpy_nansum(in.row.get(), in.channels());
    }
    result.store(in.row.get(), in.channels(), total);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Requested rows split over threads, where a whole row is native work: the reference rows read in
// place and scaled by the native sum, each row totalled by the native NaN-skipping sum. Rows go in
// blocks; in each, the reference rows it needs are scaled first, then its rows are made, each by
// one thread exactly as the serial loop makes it, in a work row that stays in that thread's cache,
// and copied into the result in row order. Between blocks the caller's thread holds the lock and
// looks for signals, as the serial loop does between rows.

/// Requested rows × channels below which a call runs on the caller's thread alone: starting and
/// joining a helper costs about as much as interpolating a few thousand channels.
constexpr Py_ssize_t parallel_work = Py_ssize_t{1} << 18;

/// Channels of the rows of one block (unless the team's rows need more): about ten milliseconds
/// of work on one thread between looks for signals, and the result's room made for a block.
constexpr Py_ssize_t block_channels = Py_ssize_t{1} << 20;

/// One block's rows: their energies and brackets, where each row's entries end in the result
/// (counted from the block's first), and the reference rows the block scales.
struct RowBlock {
    /// Room for `rows` rows; false with MemoryError set when it cannot be had.
    bool allocate(Py_ssize_t rows_wanted) {
        Py_ssize_t references;
        rows = rows_wanted;
        if (__builtin_mul_overflow(rows, 2, &references)) {
            PyErr_NoMemory();
            return false;
        }
        return ends.allocate(rows) && brackets.allocate(rows) && energies.allocate(rows) &&
               claimed.allocate(references);
    }

    Py_ssize_t rows = 0;
    RawArray<Py_ssize_t> ends;
    RawArray<Bracket> brackets;
    RawArray<double> energies;
    RawArray<Py_ssize_t> claimed;
};

enum class Outcome { done, failed, short_of_memory };

/*
 * Requested rows [first, first + count) on `team`: bracketed and their new reference rows claimed
 * on the caller's thread; the claimed rows scaled, then each row interpolated, totalled and cut to
 * its stored entries in a work row, any row on any thread, and copied to the result in order.
 * Failed with an exception set and the driver's traceback entry added; short of memory, with
 * nothing done and no exception, when the result has no room for the block's rows.
 */
Outcome build_block(RowInputs& in, ResultRows& result, parallel::Team& team, RowBlock& block, WorkRows& work,
                    Py_ssize_t first, Py_ssize_t count, Py_ssize_t& hint) {
    const Py_ssize_t n = in.channels();
    // At most count × n entries: no more than the block's channels, checked when it was sized.
    // Room comes first, so that no reference row is claimed for rows the serial loop then makes.
    if (!result.room_for_entries(count * n)) {
        PyErr_Clear();
        return Outcome::short_of_memory;
    }
    const double* energies = in.ref_indices.get();
    Py_ssize_t claimed = 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        const double E_p = in.requested_indices.get()[first + k];
        const Py_ssize_t high = upper_reference(in, E_p, hint);
        for (const Py_ssize_t r : {high - 1, high}) {
            bool failed;
            if (in.scaled.claim(r, failed)) {
                block.claimed.get()[claimed++] = r;
            } else if (failed) {
                fail_at(driver, reference_sum_line);
                return Outcome::failed;
            }
        }
        // Both rows have their memory now: scaled_row() answers it without running any code.
        block.energies.get()[k] = E_p;
        block.brackets.get()[k] = {energies[high - 1], energies[high], in.scaled_row(high - 1), in.scaled_row(high)};
    }
    // A signal handler between blocks may have moved the matrix that the claimed rows are read from.
    if (claimed > 0 && !in.scaled.intact()) {
        fail_at(driver, reference_sum_line);
        return Outcome::failed;
    }
    const Axes axes = in.axes();
    {
        NoGil unlocked;
        auto scale = [&](Py_ssize_t c) { in.scaled.scale_claimed(block.claimed.get()[c]); };
        team.run(claimed, scale);
        work.start_block(count);
        auto make = [&](Py_ssize_t k) {
            const int w = work.take(k);
            double* row = work.values(w);
            interpolate_response_row(block.energies.get()[k], axes, block.brackets.get()[k], in.max_value, row);
            const double total = numpy_nansum(row, n);
            // Cut in place: the entry for channel j goes at or before j, after j was read.
            work.made(k, w, store_row(row, n, total, work.columns(w), row), result, block.ends.get());
        };
        team.run(count, make);
    }
    for (Py_ssize_t k = 0, at = 0; k < count; ++k) {
        result.end_row(block.ends.get()[k] - at);
        at = block.ends.get()[k];
    }
    return Outcome::done;
}

/*
 * The requested rows on a team of up to `threads`, when the call is large enough and each row is
 * native work, from the first on; `built` counts the rows stored and `hint` is where the next
 * row's search starts. The rest is the serial loop's: every row when no helper or no work rows
 * can be had, and the rows from a block for which the result could not make room (the team and
 * its work rows are then given back, and the loop grows the result row by row). False with an
 * exception set and the driver's traceback entry added.
 */
bool build_rows_split(RowInputs& in, ResultRows& result, int threads, Py_ssize_t& built, Py_ssize_t& hint) {
    const Py_ssize_t m = in.requested_indices.size(), n = in.channels();
    Py_ssize_t work;
    if (threads < 2 || m < 2 || !in.native_row_sum || (!__builtin_mul_overflow(m, n, &work) && work < parallel_work) ||
        !in.scaled.all_native(in.native)) {
        return true;
    }
    parallel::Team team(thread_budget(), static_cast<int>(std::min<Py_ssize_t>(threads, m)), parallel::Sharing::yield);
    if (team.size() < 2) {
        return true;
    }
    const Py_ssize_t block_rows = std::min(
        m, std::max<Py_ssize_t>(block_channels / std::max<Py_ssize_t>(n, 1), 4 * team.size()));
    Py_ssize_t block_cells;
    RowBlock block;
    WorkRows rows;  // two a thread, so that a thread held up leaves the others rows to work in
    if (__builtin_mul_overflow(block_rows, n, &block_cells) || !block.allocate(block_rows) ||
        !rows.allocate(2 * team.size(), n, block_rows)) {
        PyErr_Clear();
        return true;
    }
    while (built < m) {
        if (PyErr_CheckSignals() < 0) {
            return fail_at(driver, interpolate_call_line, false);
        }
        // Where the result could not reserve room for every row, it grows by a few rows at a time,
        // as the serial loop grows it.
        Py_ssize_t count = std::min(block_rows, m - built);
        const Py_ssize_t fit = result.free_entries() / std::max<Py_ssize_t>(n, 1);
        if (fit < count) {
            count = std::max(fit, std::min<Py_ssize_t>(team.size(), count));
        }
        switch (build_block(in, result, team, block, rows, built, count, hint)) {
            case Outcome::failed: return false;
            case Outcome::short_of_memory: return true;
            case Outcome::done: built += count;
        }
    }
    return true;
}

PyObject* resampler_cy_impl(const InPlace& arguments, const InPlace& matrix_in_place, PyObject* response_matrix,
                            View2<const double> matrix, View1<const double> ref_indices, View1<const double> ref_E_axis,
                            View1<const double> requested_indices, PyObject* requested_E_axis_object,
                            View1<const double> requested_E_axis) {
    ResultRows result;
    RowInputs in(response_matrix, matrix, ref_E_axis.size, matrix_in_place);
    if (!set_up(in, result, arguments, matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis_object,
                requested_E_axis)) {
        return nullptr;
    }
    int threads;
    if (!thread_limit(driver, threads)) {
        return fail_at(driver, interpolate_call_line);
    }
    Py_ssize_t built = 0, hint = 0;
    if (!build_rows_split(in, result, threads, built, hint)) {
        return nullptr;
    }
    for (Py_ssize_t i = built; i < requested_indices.size; ++i) {
        // Rows run without the lock one at a time; between them, with it, a signal handler may
        // stop a long call (the check costs next to nothing when no signal is pending).
        if (PyErr_CheckSignals() < 0) {
            return fail_at(driver, interpolate_call_line);
        }
        if (!build_row(in, result, i, hint)) {
            return nullptr;
        }
    }
    PyObject* csr = result.finish();
    return csr ? csr : fail_at(driver, result_line);
}

constexpr const char* resampler_cy_params[] = {"response_matrix", "ref_indices", "ref_E_axis", "requested_indices",
                                               "requested_E_axis"};

PyObject* resampler_cy(PyObject* const* args);

constexpr Signature resampler_cy_signature{"resampler_cy", resampler_cy_line, resampler_cy_params, {}, resampler_cy};

/// Every argument is a float64 ndarray; None is refused.
constexpr ArrayParameter resampler_cy_arrays[] = {
    {"response_matrix", element::float64, 2, Access::read, Accepts::ndarray, nullptr,
     ": one row per reference energy, one column per channel"},
    {"ref_indices", element::float64, 1, Access::read, Accepts::ndarray},
    {"ref_E_axis", element::float64, 1, Access::read, Accepts::ndarray},
    {"requested_indices", element::float64, 1, Access::read, Accepts::ndarray},
    {"requested_E_axis", element::float64, 1, Access::read, Accepts::ndarray},
};

PyObject* resampler_cy(PyObject* const* args) {
    const Signature& s = resampler_cy_signature;
    ArrayArguments arrays{s.name, resampler_cy_arrays};
    // Opening one argument can run Python code (a subclass's __buffer__) that moves another. The
    // matrix is read in place row by row, between which np's functions and signal handlers run.
    if (!arrays.open(args)) {
        return fail_at(s.name, s.line);
    }
    const InPlace arguments = arrays.all_in_place();
    if (!arguments.intact()) {
        return fail_at(s.name, s.line);
    }
    const InPlace matrix_in_place{s.name, std::span{&arrays.in_place(0), 1}};
    return resampler_cy_impl(arguments, matrix_in_place, args[0], arrays[0].view2<const double>(),
                             arrays[1].view1<const double>(), arrays[2].view1<const double>(),
                             arrays[3].view1<const double>(), args[4], arrays[4].view1<const double>());
}

constexpr const Signature* functions[] = {&calculate_regions_signature, &resampler_cy_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_resampler() { return define_module(spec); }
