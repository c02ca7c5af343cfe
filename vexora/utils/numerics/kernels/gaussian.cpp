// Multi-Gaussian peak model and its Jacobian, for least-squares peak fitting.
#include "core/peaks.hpp"
#include "frame/frame.hpp"
#include "simd/exp/path.hpp"

#include <algorithm>

namespace {

using namespace vexora::frame;
namespace exact_exp = vexora::simd::exp;
namespace peaks = vexora::core::peaks;
namespace parallel = vexora::core::parallel;

constexpr ModuleIdentity identity{
    "gaussian",
    "vexora.utils.numerics.kernels.gaussian",
    "vexora/utils/numerics/kernels/gaussian",
};

// Lines that traceback entries report: part of the interface, as the module's source layout
// numbers them (tests/conftest.py and tests/test_tracebacks.py pin them).
constexpr int numpy_import_line = 7;
constexpr int model_line = 12;
constexpr int model_result_line = 24;
constexpr int jacobian_line = 40;
constexpr int jacobian_result_line = 53;

constexpr const char* params_names[] = {"x", "params"};

/// `x` and `params`: one-dimensional double arrays, read-only suffices, None refused.
constexpr ArrayParameter arrays[] = {
    {"x", element::double_, 1, Access::read, Accepts::ndarray},
    {"params", element::double_, 1, Access::read, Accepts::ndarray},
};

/// Samples per range of a call split over threads: half a million terms, a few tenths of a
/// millisecond where they are all computed (less where zero terms are skipped).
Py_ssize_t samples_per_range(Py_ssize_t n_gauss) {
    return std::max<Py_ssize_t>(16384, (Py_ssize_t{1} << 19) / std::max<Py_ssize_t>(n_gauss, 1));
}

/// np.zeros(shape, dtype=np.float64) opened for writing with `ndim` dimensions.
bool make_result(PyObject* shape, int ndim, Ref& array, Buffer& buffer) {
    Ref zeros = numpy_attribute("zeros");
    Ref float64 = zeros ? numpy_attribute("float64") : Ref{};
    if (!float64) {
        return false;
    }
    PyObject* call_args[] = {shape, float64.get()};
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "dtype"));
    if (!kwnames) {
        return false;
    }
    array = Ref::steal(PyObject_Vectorcall(zeros.get(), call_args, 1, kwnames.get()));
    if (!array) {
        return false;
    }
    if (!check_local_ndarray(array.get())) {
        return false;
    }
    return buffer.acquire(array.get(), element::double_, ndim, Access::write);
}

PyObject* multi_gaussian_cy(PyObject* const* args);
PyObject* multi_gaussian_jacobian_cy(PyObject* const* args);

constexpr Signature model_signature{"multi_gaussian_cy", model_line, params_names, {}, multi_gaussian_cy};
constexpr Signature jacobian_signature{
    "multi_gaussian_jacobian_cy", jacobian_line, params_names, {}, multi_gaussian_jacobian_cy};

PyObject* multi_gaussian_cy(PyObject* const* args) {
    const Signature& s = model_signature;
    ArrayArguments opened{s.name, arrays};
    Buffer y_buffer;
    if (!opened.open(args)) {
        return fail_at(s.name, s.line);
    }
    const View1<const double> x = opened[0].view1<const double>();
    const View1<const double> params = opened[1].view1<const double>();
    Ref shape = Ref::steal(PyLong_FromSsize_t(x.size));
    Ref y;
    // np.zeros, which the caller may replace, runs after the arguments were opened.
    if (!shape || !make_result(shape.get(), 1, y, y_buffer) || !opened.all_in_place().intact()) {
        return fail_at(s.name, model_result_line);
    }
    // Strided arrays are copied in and out, so that the kernel reads and writes plain arrays.
    Contiguous<const double> x_data;
    Contiguous<double> out;
    int threads;
    if (!x_data.open(x) || !out.open(y_buffer.view1<double>()) || !thread_limit(s.name, threads)) {
        return fail_at(s.name, model_result_line);
    }
    const Py_ssize_t m = std::min(x.size, out.size()), n_gauss = params.size / 3;
    // Samples are independent: any split over threads gives the same bits. The caller's thread
    // keeps the lock; helpers touch no Python object.
    exact_exp::with_exp([&]<class Exp>(Exp) {
        parallel::for_ranges(thread_budget(), threads, m, samples_per_range(n_gauss),
                             [&](Py_ssize_t first, Py_ssize_t count, const vexora::core::Interrupt&) {
                                 exact_exp::on_target_of<Exp>([&] {
                                     peaks::multi_gaussian<Exp>(x_data.get() + first, count, params, n_gauss,
                                                                out.get() + first);
                                 });
                                 return true;
                             });
    });
    out.store();
    return y.release();
}

PyObject* multi_gaussian_jacobian_cy(PyObject* const* args) {
    const Signature& s = jacobian_signature;
    ArrayArguments opened{s.name, arrays};
    Buffer J_buffer;
    if (!opened.open(args)) {
        return fail_at(s.name, s.line);
    }
    const View1<const double> x = opened[0].view1<const double>();
    const View1<const double> params = opened[1].view1<const double>();
    Ref shape = Ref::steal(Py_BuildValue("(nn)", x.size, params.size));
    Ref J;
    if (!shape || !make_result(shape.get(), 2, J, J_buffer) || !opened.all_in_place().intact()) {
        return fail_at(s.name, jacobian_result_line);
    }
    const View2<double> out = J_buffer.view2<double>();
    Contiguous<const double> x_data;
    int threads;
    if (!x_data.open(x) || !thread_limit(s.name, threads)) {
        return fail_at(s.name, jacobian_result_line);
    }
    const Py_ssize_t m = std::min(x.size, out.rows);
    const Py_ssize_t n_gauss = std::min(params.size, out.cols) / 3;
    exact_exp::with_exp([&]<class Exp>(Exp) {
        parallel::for_ranges(thread_budget(), threads, m, samples_per_range(n_gauss),
                             [&](Py_ssize_t first, Py_ssize_t count, const vexora::core::Interrupt&) {
                                 const View2<double> rows{reinterpret_cast<double*>(reinterpret_cast<char*>(out.data) +
                                                                                    first * out.row_stride),
                                                          count, out.cols, out.row_stride, out.col_stride};
                                 exact_exp::on_target_of<Exp>([&] {
                                     peaks::multi_gaussian_jacobian<Exp>(x_data.get() + first, count, params, n_gauss,
                                                                         rows);
                                 });
                                 return true;
                             });
    });
    return J.release();
}

constexpr const Signature* functions[] = {&model_signature, &jacobian_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_gaussian() {
    exact_exp::selected_path();
    return define_module(spec);
}
