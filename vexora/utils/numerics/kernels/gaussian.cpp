// Multi-Gaussian peak model and its Jacobian, for least-squares peak fitting.
#include "frame/exact_exp.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <cmath>

namespace {

using namespace vexora::frame;
namespace ee = vexora::frame::exact_exp;

constexpr ModuleIdentity identity{
    "gaussian",
    "vexora.utils.numerics.kernels.gaussian",
    "vexora/utils/numerics/kernels/gaussian",
};

// Lines that traceback entries report, following the module's source layout.
constexpr int numpy_import_line = 7;
constexpr int model_line = 12;
constexpr int model_result_line = 24;
constexpr int jacobian_line = 40;
constexpr int jacobian_result_line = 53;

// ---------------------------------------------------------------------------------------------
// The kernels on the C library's exp, one call per value, where the vector exp is not selected.

/// Samples per tile: a tile of the result stays in cache while every Gaussian visits it.
constexpr Py_ssize_t tile = 64;

/// Peak parameters (A, mu, variance) of Gaussian i.
struct Peak {
    double A, mu, variance;
};

inline Peak peak(View1<const double> params, Py_ssize_t i) {
    return {params[3 * i], params[3 * i + 1], params[3 * i + 2]};
}

/// The exponent -0.5 dx^2 / variance, evaluated as ((-0.5 * dx) * dx) / variance.
inline double exponent(double dx, double variance) { return ((-0.5 * dx) * dx) / variance; }

/*
 * exp(-0.5 (x[j] - mu)^2 / variance) for the samples [start, stop) of one peak, into e[] and the
 * offsets x[j] - mu into dx[]. The arithmetic runs a vector at a time in its own loop, so the
 * loop of exp calls (the C library's, one per sample) holds nothing else.
 */
template <class X>
inline void peak_factors(const X& x, Py_ssize_t start, Py_ssize_t stop, const Peak& p, double* dx, double* e) {
    for (Py_ssize_t j = start; j < stop; ++j) {
        dx[j - start] = x[j] - p.mu;
        e[j - start] = exponent(dx[j - start], p.variance);
    }
    for (Py_ssize_t j = 0; j < stop - start; ++j) {
        e[j] = std::exp(e[j]);
    }
}

/*
 * y[j] = sum over Gaussians i of A_i exp(-0.5 (x[j] - mu_i)^2 / variance_i), accumulated in
 * parameter order for every sample.
 *
 *   x[m], params[3 n_gauss] (trailing values ignored), y[m] zeros on entry
 *
 * Samples are taken a tile at a time; the order of the sum over Gaussians is unchanged.
 */
template <class X, class Y>
void multi_gaussian(const X& x, Py_ssize_t m, View1<const double> params, Py_ssize_t n_gauss, const Y& y) {
    double dx[tile], e[tile];
    for (Py_ssize_t start = 0; start < m; start += tile) {
        const Py_ssize_t stop = std::min(start + tile, m);
        for (Py_ssize_t i = 0; i < n_gauss; ++i) {
            const Peak p = peak(params, i);
            peak_factors(x, start, stop, p, dx, e);
            for (Py_ssize_t j = start; j < stop; ++j) {
                y.set(j, y[j] + p.A * e[j - start]);
            }
        }
    }
}

/*
 * Partial derivatives of the model with respect to every parameter, J[j, 3i + c] for c = A, mu,
 * variance; trailing columns past 3 n_gauss stay 0.
 *
 *   x[m], params[n], J[m][n] zeros on entry
 */
template <class X>
void multi_gaussian_jacobian(const X& x, Py_ssize_t m, View1<const double> params, Py_ssize_t n_gauss,
                             const View2<double>& J) {
    double dx[tile], e[tile];
    for (Py_ssize_t start = 0; start < m; start += tile) {
        const Py_ssize_t stop = std::min(start + tile, m);
        for (Py_ssize_t i = 0; i < n_gauss; ++i) {
            const Peak p = peak(params, i);
            peak_factors(x, start, stop, p, dx, e);
            for (Py_ssize_t j = start; j < stop; ++j) {
                const double d = dx[j - start], f = e[j - start];
                const View1<double> row = J.row(j);
                row.set(3 * i, f);
                row.set(3 * i + 1, ((p.A * f) * d) / p.variance);
                row.set(3 * i + 2, (((p.A * f) * d) * d) / ((2 * p.variance) * p.variance));
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The same kernels on the vector exp, four samples to a vector.

/// Vectors of samples per tile of the model: their sums stay in registers across the Gaussians.
constexpr Py_ssize_t tile_vectors = 4;

/// Peak i's parameters, each in every lane.
struct PeakVector {
    __m256d A, mu, variance;
};

VEXORA_AVX2 inline PeakVector peak_vector(View1<const double> params, Py_ssize_t i) {
    const Peak p = peak(params, i);
    return {_mm256_set1_pd(p.A), _mm256_set1_pd(p.mu), _mm256_set1_pd(p.variance)};
}

/// ((-0.5 * dx) * dx) / variance in every lane, as `exponent`.
VEXORA_AVX2 inline __m256d exponent(__m256d dx, __m256d variance) {
    return _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-0.5), dx), dx), variance);
}

/// Contiguous, aligned access without stride arithmetic, for the common case.
template <class T>
struct Dense {
    T* data;
    T operator[](Py_ssize_t i) const { return data[i]; }
    void set(Py_ssize_t i, T value) const { data[i] = value; }
};

template <class V>
inline constexpr bool is_dense = false;
template <class T>
inline constexpr bool is_dense<Dense<T>> = true;

/// Vector v of the tile of samples from `start`, `count` of them (the lanes past them are 0).
template <class X>
VEXORA_AVX2 inline __m256d load_samples(const X& x, Py_ssize_t start, Py_ssize_t count, Py_ssize_t v) {
    if constexpr (is_dense<X>) {
        if (4 * v + 4 <= count) {
            return _mm256_loadu_pd(x.data + start + 4 * v);
        }
    }
    alignas(32) double lanes[4];
    for (Py_ssize_t k = 0; k < 4; ++k) {
        lanes[k] = 4 * v + k < count ? x[start + 4 * v + k] : 0.0;
    }
    return _mm256_load_pd(lanes);
}

/// Stores the first lanes of vector v of a tile, as many as are within the `count` samples.
template <class Y>
VEXORA_AVX2 inline void store_samples(const Y& y, Py_ssize_t start, Py_ssize_t count, Py_ssize_t v, __m256d values) {
    if constexpr (is_dense<Y>) {
        if (4 * v + 4 <= count) {
            _mm256_storeu_pd(y.data + start + 4 * v, values);
            return;
        }
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, values);
    for (Py_ssize_t k = 0; k < 4 && 4 * v + k < count; ++k) {
        y.set(start + 4 * v + k, lanes[k]);
    }
}

/// multi_gaussian with exp4<mask>: the same operations per sample, in the same order.
template <unsigned mask, class X, class Y>
VEXORA_AVX2 void multi_gaussian_exact(const X& x, Py_ssize_t m, View1<const double> params, Py_ssize_t n_gauss,
                                      const Y& y) {
    constexpr Py_ssize_t width = 4 * tile_vectors;
    for (Py_ssize_t start = 0; start < m; start += width) {
        const Py_ssize_t count = std::min(width, m - start);
        __m256d xs[tile_vectors], sums[tile_vectors];
        for (Py_ssize_t v = 0; v < tile_vectors; ++v) {
            xs[v] = load_samples(x, start, count, v);
            sums[v] = _mm256_setzero_pd();
        }
        for (Py_ssize_t i = 0; i < n_gauss; ++i) {
            const PeakVector p = peak_vector(params, i);
            for (Py_ssize_t v = 0; v < tile_vectors; ++v) {
                const __m256d e = ee::exp4<mask>(exponent(_mm256_sub_pd(xs[v], p.mu), p.variance));
                sums[v] = _mm256_add_pd(sums[v], _mm256_mul_pd(p.A, e));
            }
        }
        for (Py_ssize_t v = 0; v < tile_vectors; ++v) {
            store_samples(y, start, count, v, sums[v]);
        }
    }
}

/*
 * multi_gaussian_jacobian with exp4<mask>, four samples at a time, every Gaussian in turn, so
 * that the rows of J are written from start to end.
 *
 *   J[m][cols] - dense, row after row
 */
template <unsigned mask, class X>
VEXORA_AVX2 void multi_gaussian_jacobian_exact(const X& x, Py_ssize_t m, View1<const double> params,
                                               Py_ssize_t n_gauss, double* J, Py_ssize_t cols) {
    alignas(32) double f[4], d_mu[4], d_variance[4];
    for (Py_ssize_t start = 0; start < m; start += 4) {
        const Py_ssize_t count = std::min<Py_ssize_t>(4, m - start);
        const __m256d xs = load_samples(x, start, count, 0);
        for (Py_ssize_t i = 0; i < n_gauss; ++i) {
            const PeakVector p = peak_vector(params, i);
            const __m256d d = _mm256_sub_pd(xs, p.mu);
            const __m256d e = ee::exp4<mask>(exponent(d, p.variance));
            const __m256d Afd = _mm256_mul_pd(_mm256_mul_pd(p.A, e), d);
            const __m256d two_variance = _mm256_mul_pd(_mm256_set1_pd(2.0), p.variance);
            _mm256_store_pd(f, e);
            _mm256_store_pd(d_mu, _mm256_div_pd(Afd, p.variance));
            _mm256_store_pd(d_variance, _mm256_div_pd(_mm256_mul_pd(Afd, d), _mm256_mul_pd(two_variance, p.variance)));
            for (Py_ssize_t k = 0; k < count; ++k) {
                double* row = J + (start + k) * cols + 3 * i;
                row[0] = f[k];
                row[1] = d_mu[k];
                row[2] = d_variance[k];
            }
        }
    }
}

constexpr const char* params_names[] = {"x", "params"};

/// Acquires `x` and `params`: one-dimensional double arrays, read-only suffices, None refused.
bool open_arguments(const char* function, PyObject* const* args, Buffer& x, Buffer& params) {
    for (int i = 0; i < 2; ++i) {
        if (!check_ndarray_required(args[i], params_names[i])) {
            note_array_argument(function, params_names[i], element::double_, 1);
            return false;
        }
    }
    return acquire_argument(x, function, "x", args[0], element::double_, 1, Access::read) &&
           acquire_argument(params, function, "params", args[1], element::double_, 1, Access::read);
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
constexpr Signature jacobian_signature{"multi_gaussian_jacobian_cy", jacobian_line, params_names, {},
                                       multi_gaussian_jacobian_cy};

PyObject* multi_gaussian_cy(PyObject* const* args) {
    const Signature& s = model_signature;
    Buffer x_buffer, params_buffer, y_buffer;
    if (!open_arguments(s.name, args, x_buffer, params_buffer)) {
        return fail_at(s.name, s.line);
    }
    const View1<const double> x = x_buffer.view1<const double>();
    const View1<const double> params = params_buffer.view1<const double>();
    Ref shape = Ref::steal(PyLong_FromSsize_t(x.size));
    Ref y;
    if (!shape || !make_result(shape.get(), 1, y, y_buffer)) {
        return fail_at(s.name, model_result_line);
    }
    const View1<double> out = y_buffer.view1<double>();
    const Py_ssize_t m = std::min(x.size, out.size), n_gauss = params.size / 3;
    const bool dense = x.contiguous() && out.contiguous();
    const Dense<const double> x_dense{x.data};
    const Dense<double> out_dense{out.data};
    switch (ee::selected_path()) {
        case ee::Path::fused:
            dense ? multi_gaussian_exact<ee::fused>(x_dense, m, params, n_gauss, out_dense)
                  : multi_gaussian_exact<ee::fused>(x, m, params, n_gauss, out);
            break;
        case ee::Path::unfused:
            dense ? multi_gaussian_exact<ee::unfused>(x_dense, m, params, n_gauss, out_dense)
                  : multi_gaussian_exact<ee::unfused>(x, m, params, n_gauss, out);
            break;
        case ee::Path::libm:
            dense ? multi_gaussian(x_dense, m, params, n_gauss, out_dense) : multi_gaussian(x, m, params, n_gauss, out);
            break;
    }
    return y.release();
}

PyObject* multi_gaussian_jacobian_cy(PyObject* const* args) {
    const Signature& s = jacobian_signature;
    Buffer x_buffer, params_buffer, J_buffer;
    if (!open_arguments(s.name, args, x_buffer, params_buffer)) {
        return fail_at(s.name, s.line);
    }
    const View1<const double> x = x_buffer.view1<const double>();
    const View1<const double> params = params_buffer.view1<const double>();
    Ref shape = Ref::steal(Py_BuildValue("(nn)", x.size, params.size));
    Ref J;
    if (!shape || !make_result(shape.get(), 2, J, J_buffer)) {
        return fail_at(s.name, jacobian_result_line);
    }
    const View2<double> out = J_buffer.view2<double>();
    const Py_ssize_t m = std::min(x.size, out.rows);
    const Py_ssize_t n_gauss = std::min(params.size, out.cols) / 3;
    const Dense<const double> x_dense{x.data};
    const ee::Path path = out.dense() ? ee::selected_path() : ee::Path::libm;
    switch (path) {
        case ee::Path::fused:
            x.contiguous() ? multi_gaussian_jacobian_exact<ee::fused>(x_dense, m, params, n_gauss, out.data, out.cols)
                           : multi_gaussian_jacobian_exact<ee::fused>(x, m, params, n_gauss, out.data, out.cols);
            break;
        case ee::Path::unfused:
            x.contiguous() ? multi_gaussian_jacobian_exact<ee::unfused>(x_dense, m, params, n_gauss, out.data, out.cols)
                           : multi_gaussian_jacobian_exact<ee::unfused>(x, m, params, n_gauss, out.data, out.cols);
            break;
        case ee::Path::libm:
            x.contiguous() ? multi_gaussian_jacobian(x_dense, m, params, n_gauss, out)
                           : multi_gaussian_jacobian(x, m, params, n_gauss, out);
            break;
    }
    return J.release();
}

constexpr const Signature* functions[] = {&model_signature, &jacobian_signature};

constexpr ModuleSpec spec{identity, numpy_import_line, functions};

}  // namespace

PyMODINIT_FUNC PyInit_gaussian() {
    ee::selected_path();
    return define_module(spec);
}
