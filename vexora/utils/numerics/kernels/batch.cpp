// Many spectra unfolded with one response: ML-EM and the Richardson-Lucy driver over a stack of
// spectra, each matrix entry read once per pass for a whole block of them.
#include "core/ml_em_many.hpp"
#include "core/response.hpp"
#include "frame/frame.hpp"
#include "ml_em_matrix.hpp"
#include "simd/exp/path.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

using namespace vexora::frame;
using namespace vexora::deconvolution;
namespace parallel = vexora::core::parallel;
using vexora::core::Index;

constexpr ModuleIdentity identity{
    "batch",
    "vexora.utils.numerics.kernels.batch",
    "vexora/utils/numerics/kernels/batch",
};

// Lines that traceback entries report: part of the interface, as the module's source layout
// numbers them (tests/conftest.py and tests/test_tracebacks.py pin them).
constexpr int numpy_import_line = 6;
constexpr int ml_em_many_line = 12;
constexpr int ml_em_many_matrix_check_line = 19;
constexpr int ml_em_many_working_arrays_line = 20;
constexpr int ml_em_many_loop_line = 21;
constexpr int ml_em_many_result_line = 22;
constexpr int richardson_lucy_many_line = 30;
constexpr int richardson_lucy_many_widths_line = 36;
constexpr int richardson_lucy_many_builder_line = 37;
constexpr int richardson_lucy_many_ml_em_line = 38;
constexpr int plan_line = 44;
constexpr int plan_matrix_check_line = 50;

/// ML_EM_many's arrays: the spectra (k x n, any strides), the CSR response matrix (SciPy's
/// indptr, indices and data) and the sensitivity. The matrix and the sensitivity may be None,
/// which reads as empty.
constexpr ArrayParameter ml_em_arrays[] = {
    {"Y", element::float64, 2, Access::read, Accepts::ndarray, nullptr,
     ": one spectrum per row (pass y[np.newaxis] for a single spectrum)"},
    {"offsets", element::int64, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indptr is often int32: pass indptr.astype(np.int64))"},
    {"indices", element::int32, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indices may be int64: pass %s.astype(np.int32))"},
    {"values", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"sensitivity", element::float64, 1, Access::read, Accepts::ndarray_or_none},
};

/// A new C-ordered float64 array of `rows` x `cols`, uninitialised.
Ref new_matrix(Py_ssize_t rows, Py_ssize_t cols) {
    npy_intp dims[2] = {rows, cols};
    return Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
}

/*
 * Blocks of spectra for a call of k spectra on up to `threads` threads: whole vectors of `lanes`
 * spectra, at most most_block_vectors each, and as many blocks as threads while that keeps them
 * full. Vectors are eight spectra wide where the processor has eight-lane registers
 * (`widest_lanes`) and that still gives every thread a block, else four. Every spectrum gets the
 * same bits in any block and at any width, so the choice changes only the speed.
 */
struct BlockPlan {
    Index lanes;          ///< spectra per vector
    Index vectors;        ///< vectors of spectra in all
    Index block_vectors;  ///< per block, the last one possibly fewer
    Index blocks;

    BlockPlan(Index k, int threads, Index widest_lanes) {
        const auto vectors_of = [k](Index width) { return (k + width - 1) / width; };
        const bool wide = vectors_of(widest_lanes) >= std::min<Index>(threads, vectors_of(ml_em::lanes));
        lanes = wide ? widest_lanes : ml_em::lanes;
        vectors = vectors_of(lanes);
        const Index per_thread = (vectors + threads - 1) / std::max(threads, 1);
        block_vectors = std::clamp<Index>(per_thread, 1, ml_em::most_block_vectors);
        blocks = (vectors + block_vectors - 1) / block_vectors;
    }
    Index first_vector(Index b) const { return b * block_vectors; }
    int vectors_of(Index b) const { return static_cast<int>(std::min(block_vectors, vectors - first_vector(b))); }
};

/*
 * ML-EM of every row of `Y` over the arrays of a call, in the order of ml_em_arrays. Returns the
 * new (k, n) estimates, row s with the bits of ML_EM_cy(Y[s], ...), or nullptr with an exception
 * and this function's traceback entry. `threads` is the most threads the call may run.
 */
PyObject* ml_em_many(PyObject* const* arrays, int iterations, int threads) {
    constexpr const char* name = "ML_EM_many";
    ArrayArguments opened{name, ml_em_arrays};
    if (!opened.open(arrays)) {
        return fail_at(name, ml_em_many_line);
    }
    // The result first: making an object can run the collector, whose finalisers are Python
    // code, as can opening an argument (a subclass's buffer export). From here on no Python
    // code runs but a signal handler, after which the loop asks intact() again.
    Ref result = new_matrix(opened[0].shape(0), opened[0].shape(1));
    if (!result) {
        return fail_at(name, ml_em_many_result_line);
    }
    const InPlace in_place = opened.all_in_place();
    if (!in_place.intact()) {
        return fail_at(name, ml_em_many_line);
    }
    const View2<const double> Y = opened[0].view2<const double>();
    const View1<const double> sensitivity_v = opened[4].view1<const double>();
    const Py_ssize_t k = Y.rows, n = Y.cols;
    Matrix matrix;
    if (!matrix.plan(n, opened[1].view1<const std::int64_t>(), opened[2].view1<const std::int32_t>(),
                     opened[3].view1<const double>())) {
        return fail_at(name, ml_em_many_matrix_check_line);
    }
    if (sensitivity_v.size < n) {
        raise_out_of_bounds_note("sensitivity has %zd elements; Y has %zd channels", sensitivity_v.size, n);
        return fail_at(name, ml_em_many_matrix_check_line);
    }
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    RawArray<double> sensitivity_floor;
    if (!sensitivity_floor.allocate(n) || !matrix.plan_segments(n)) {
        return fail_at(name, ml_em_many_working_arrays_line);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        sensitivity_floor.get()[i] = ml_em::floor_sensitivity(sensitivity_v[i]);
    }
    if (k == 0 || n == 0) {
        std::fill(out, out + k * n, 1.0);
        return result.release();
    }

    if (k == 1) {
        // One spectrum: planned and run as ML_EM_cy runs it.
        std::optional<parallel::Team> team;
        char reason[128];
        if (iterations > 0 && !ml_em::too_small_for_threads(n, matrix.entries(), threads, reason)) {
            team.emplace(thread_budget(), threads);
        }
        Contiguous<const double> y_data;
        ml_em::Plan plan;
        SpectrumIterations spectrum;
        if (!y_data.copy(Y.row(0)) || !matrix.plan_iterations(n, team ? team->size() : 1, plan) ||
            !spectrum.prepare(matrix, n, plan, team ? &*team : nullptr)) {
            return fail_at(name, ml_em_many_working_arrays_line);
        }
        bool interrupted;
        {
            NoGil unlocked{&in_place};
            std::fill(out, out + n, 1.0);
            spectrum.run(iterations, y_data.get(), sensitivity_floor.get(), out, unlocked);
            interrupted = unlocked.raised();
        }
        return interrupted ? fail_at(name, ml_em_many_loop_line) : result.release();
    }

    // The spectra transposed into blocks, channel-major, padded to whole vectors; the working
    // arrays native, so no Python code can reach them while the lock is released.
    const BlockPlan blocks{k, threads, VEXORA_EIGHT_LANES ? vexora::simd::exp::selected_lanes() : ml_em::lanes};
    Py_ssize_t size;
    if (__builtin_mul_overflow(blocks.vectors * blocks.lanes, n, &size)) {
        PyErr_NoMemory();
        return fail_at(name, ml_em_many_working_arrays_line);
    }
    RawArray<double> y_t, x_t, estimate_t, ratio_t;
    if (!y_t.allocate(size, 64) || !x_t.allocate(size, 64) || !estimate_t.allocate(size, 64) ||
        !ratio_t.allocate(size, 64)) {
        return fail_at(name, ml_em_many_working_arrays_line);
    }
    auto block_data = [&](Index b, double* base) { return base + blocks.first_vector(b) * blocks.lanes * n; };
    for (Index b = 0; b < blocks.blocks; ++b) {
        const Index width = blocks.vectors_of(b) * blocks.lanes, first = blocks.first_vector(b) * blocks.lanes;
        double* y_b = block_data(b, y_t.get());
        for (Index s = 0; s < width; ++s) {
            if (first + s < k) {
                const View1<const double> row = Y.row(first + s);
                for (Index c = 0; c < n; ++c) {
                    y_b[c * width + s] = row[c];
                }
            } else {
                for (Index c = 0; c < n; ++c) {
                    y_b[c * width + s] = 0.0;
                }
            }
        }
    }

    bool interrupted = false;
    {
        NoGil unlocked{&in_place};
        std::fill(x_t.get(), x_t.get() + size, 1.0);
        const ml_em::RowPlan plan = matrix.row_plan();
        Index step = 0;
        auto work = [&](Index b) {
            const ml_em::SpectraBlock block{block_data(b, y_t.get()), block_data(b, x_t.get()),
                                            block_data(b, estimate_t.get()), block_data(b, ratio_t.get())};
#if VEXORA_EIGHT_LANES
            if (blocks.lanes == 8) {
                ml_em::ml_em_many_step8(blocks.vectors_of(b), plan, n, sensitivity_floor.get(), block, step,
                                        iterations);
                return;
            }
#endif
            ml_em::ml_em_many_step(blocks.vectors_of(b), plan, n, sensitivity_floor.get(), block, step, iterations);
        };
        parallel::Team team(thread_budget(), static_cast<int>(std::min<Index>(threads, blocks.blocks)),
                            parallel::Sharing::yield);
        for (; step < ml_em::ml_em_many_steps(iterations); ++step) {
            if (!team.run(blocks.blocks, work, unlocked.interrupt())) {
                break;
            }
        }
        interrupted = unlocked.raised();
    }
    if (interrupted) {
        return fail_at(name, ml_em_many_loop_line);
    }
    for (Index b = 0; b < blocks.blocks; ++b) {
        const Index width = blocks.vectors_of(b) * blocks.lanes, first = blocks.first_vector(b) * blocks.lanes;
        const double* x_b = block_data(b, x_t.get());
        for (Index s = 0; s < width && first + s < k; ++s) {
            double* row = out + (first + s) * n;
            for (Index c = 0; c < n; ++c) {
                row[c] = x_b[c * width + s];
            }
        }
    }
    return result.release();
}

/// `iterations` as a C int; false with the parameter's note and traceback entry.
bool parse_iterations(const Signature& s, PyObject* const* args, Py_ssize_t at, int& iterations) {
    if (args[at] && !to_c_int(args[at], iterations)) {
        note_scalar_argument(s.name, "iterations", Scalar::integer);
        return fail_at(s.name, s.param_line(at), false);
    }
    return true;
}

constexpr const char* ml_em_params[] = {"Y", "offsets", "indices", "values", "sensitivity", "iterations"};
constexpr Default em_defaults[] = {Default::of(30L)};

PyObject* ML_EM_many(PyObject* const* args);

constexpr Signature ml_em_signature{"ML_EM_many", ml_em_many_line, ml_em_params, em_defaults, ML_EM_many};

PyObject* ML_EM_many(PyObject* const* args) {
    const Signature& s = ml_em_signature;
    int iterations = 30;
    if (!parse_iterations(s, args, 5, iterations)) {
        return nullptr;
    }
    int threads;
    if (!thread_limit(s.name, threads)) {
        return fail_at(s.name, ml_em_many_loop_line);
    }
    return ml_em_many(args, iterations, threads);
}

// ---------------------------------------------------------------------------------------------
// Richardson-Lucy over many spectra.

PyObject* richardson_lucy_many(PyObject* const* args);

constexpr const char* richardson_lucy_params[] = {"x", "Y", "k", "sensitivity", "iterations"};

constexpr Signature richardson_lucy_signature{"richardson_lucy_many", richardson_lucy_many_line, richardson_lucy_params,
                                              em_defaults, richardson_lucy_many};

/// The energies, the spectra and the sensitivity; x and the sensitivity may be None (empty).
constexpr ArrayParameter richardson_lucy_arrays[] = {
    {"x", element::float64, 1, Access::read, Accepts::ndarray_or_none},
    {"Y", element::float64, 2, Access::read, Accepts::ndarray, nullptr,
     ": one spectrum per row (pass y[np.newaxis] for a single spectrum)"},
    {"sensitivity", element::float64, 1, Access::read, Accepts::ndarray_or_none},
};

/// The response matrix of richardson_lucy_cy for `widths`: the deconvolution module's builder.
Ref build_response(PyObject* axis, PyObject* widths) {
    Ref module = Ref::steal(PyImport_ImportModule("vexora.utils.numerics.kernels.deconvolution"));
    Ref builder = module ? Ref::steal(PyObject_GetAttrString(module.get(), "build_gaussian_response")) : Ref{};
    if (!builder) {
        return {};
    }
    Ref nsigma = Ref::steal(PyFloat_FromDouble(5.0));
    if (!nsigma) {
        return {};
    }
    PyObject* builder_args[] = {axis, widths, nsigma.get()};
    return Ref::steal(PyObject_Vectorcall(builder.get(), builder_args, 3, nullptr));
}

/// Deconvolves every row of `Y`, measured on axis `x`, for a resolution of width get_sigma(k, E).
PyObject* richardson_lucy_many(PyObject* const* args) {
    const Signature& s = richardson_lucy_signature;
    constexpr const char* name = "richardson_lucy_many";
    double k;
    int iterations = 30;
    if (!to_c_double(args[2], k)) {
        note_scalar_argument(name, "k", Scalar::real);
        return fail_at(name, s.param_line(2));
    }
    if (!parse_iterations(s, args, 4, iterations)) {
        return nullptr;
    }
    // The widths, from the energies as they are now; the arrays are opened again by ML-EM, as
    // the builder runs Python code.
    Ref widths;
    Py_ssize_t energies, n;
    {
        PyObject* const array_args[] = {args[0], args[1], args[3]};
        ArrayArguments arrays{name, richardson_lucy_arrays};
        if (!arrays.open(array_args)) {
            return fail_at(name, s.line);
        }
        // Made before the arrays are read: making an object can run the collector's finalisers.
        n = arrays[1].shape(1);
        widths = new_array(n, NPY_FLOAT64);
        if (!widths) {
            return fail_at(name, richardson_lucy_many_widths_line);
        }
        if (!arrays.all_in_place().intact()) {
            return fail_at(name, s.line);
        }
        const View1<const double> axis = arrays[0].view1<const double>();
        energies = axis.size;
        if (energies < n) {
            raise_out_of_bounds(0);
            add_note("%s: x has %zd energies but Y has %zd channels: pass x with one energy per column of Y", name,
                     energies, n);
            return fail_at(name, richardson_lucy_many_widths_line);
        }
        auto* w = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(widths.get())));
        for (Py_ssize_t i = 0; i < n; ++i) {
            w[i] = vexora::core::response::get_sigma(k, axis[i]);
        }
    }
    Ref matrix = build_response(args[0], widths.get());
    if (!matrix) {
        if (energies > n) {
            add_note("%s: x has %zd energies but Y has %zd channels: pass x with one energy per column of Y", name,
                     energies, n);
        }
        return fail_at(name, richardson_lucy_many_builder_line);
    }
    if (!PyTuple_Check(matrix.get()) || PyTuple_GET_SIZE(matrix.get()) != 3) {
        PyErr_SetString(PyExc_TypeError, "the response builder did not return (offsets, indices, values)");
        return fail_at(name, richardson_lucy_many_builder_line);
    }
    int threads;
    if (!thread_limit(name, threads)) {
        return fail_at(name, richardson_lucy_many_ml_em_line);
    }
    PyObject* const ml_em_args[] = {args[1], PyTuple_GET_ITEM(matrix.get(), 0), PyTuple_GET_ITEM(matrix.get(), 1),
                                    PyTuple_GET_ITEM(matrix.get(), 2), args[3]};
    PyObject* result = ml_em_many(ml_em_args, iterations, threads);
    return result ? result : fail_at(name, richardson_lucy_many_ml_em_line);
}

// ---------------------------------------------------------------------------------------------
// The plan of one spectrum's ML-EM, for tests and for users who ask why a call ran as it did.

PyObject* plan(PyObject* const* args);

constexpr const char* plan_params[] = {"offsets", "indices", "values", "n", "threads"};

constexpr Signature plan_signature{"_plan", plan_line, plan_params, {}, plan};

constexpr ArrayParameter plan_arrays[] = {
    {"offsets", element::int64, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indptr is often int32: pass indptr.astype(np.int64))"},
    {"indices", element::int32, 1, Access::read, Accepts::ndarray_or_none,
     " (SciPy's indices may be int64: pass %s.astype(np.int32))"},
    {"values", element::float64, 1, Access::read, Accepts::ndarray_or_none},
};

/// (strategy, reason): how ML_EM_cy runs the n-row matrix on `threads` threads.
PyObject* plan(PyObject* const* args) {
    const Signature& s = plan_signature;
    int n, threads;
    if (!to_c_int(args[3], n)) {
        note_scalar_argument(s.name, "n", Scalar::integer);
        return fail_at(s.name, s.param_line(3));
    }
    if (!to_c_int(args[4], threads)) {
        note_scalar_argument(s.name, "threads", Scalar::integer);
        return fail_at(s.name, s.param_line(4));
    }
    if (n < 0 || threads < 1) {
        PyErr_Format(PyExc_ValueError, "%s needs n >= 0 and threads >= 1; got n = %d, threads = %d", s.name, n,
                     threads);
        return fail_at(s.name, s.line);
    }
    ArrayArguments opened{s.name, plan_arrays};
    if (!opened.open(args)) {
        return fail_at(s.name, s.line);
    }
    Matrix matrix;
    ml_em::Plan chosen;
    if (!matrix.plan(n, opened[0].view1<const std::int64_t>(), opened[1].view1<const std::int32_t>(),
                     opened[2].view1<const double>())) {
        return fail_at(s.name, plan_matrix_check_line);
    }
    if (!matrix.plan_iterations(n, std::min(threads, parallel::max_threads), chosen)) {
        return fail_at(s.name, s.line);
    }
    return Py_BuildValue("(ss)", ml_em::strategy_name(chosen.strategy), chosen.reason);
}

constexpr const Signature* functions[] = {&ml_em_signature, &richardson_lucy_signature, &plan_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_batch() { return define_module(spec); }
