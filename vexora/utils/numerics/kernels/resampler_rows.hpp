// Reference rows of a resampler call scaled to unit sum as NumPy would scale them, and where
// native sums may stand in for NumPy's.
#pragma once

#include "core/numpy_sum.hpp"
#include "core/text.hpp"
#include "frame/frame.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace vexora::resampler {

using namespace vexora::frame;
using vexora::core::numpy_sum;

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
inline bool defined_by_numpy(PyObject* function) {
    Ref module = Ref::steal(PyObject_GetAttrString(function, "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

/// Major and minor version of `np.__version__`; {0, 0} when it cannot be read.
inline std::pair<long, long> numpy_version(PyObject* np) {
    Ref version = Ref::steal(PyObject_GetAttrString(np, "__version__"));
    const char* text = version && PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {0, 0};
    }
    return core::text::major_minor(text);
}

/// Decides where the native sums may stand in for `sum` and `nansum`, the functions the call
/// looked up. False with an exception set when NumPy's buffer size cannot be read.
inline bool native_sums(PyObject* sum, PyObject* nansum, NativeSums& out) {
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
    /// Rows of `matrix`, opened as `view`, whose memory `in_place` checks before every read:
    /// `np`'s functions and signal handlers run between rows.
    ScaledRows(PyObject* matrix, View2<const double> view, Py_ssize_t width, const InPlace& in_place)
        : matrix_(matrix), view_(view), width_(width), exact_(PyArray_CheckExact(matrix)), in_place_(in_place) {}
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
        double* scaled = padded_row(r);
        if (!scaled) {
            return nullptr;
        }
        if (!(exact_ ? scale_in_place(r, sum, native, scaled) : scale_by_numpy(r, sum, scaled))) {
            release(scaled);
            return nullptr;
        }
        return rows_[r] = scaled;
    }

    /// Whether every row is scaled natively from the caller's memory, so that scaling runs no
    /// Python code: rows of an exact ndarray, each contiguous, whose sums the native sum gives.
    bool all_native(const NativeSums& native) const {
        if (!exact_ || !native.cover(view_.cols)) {
            return false;
        }
        for (Py_ssize_t r = 0; r < view_.rows; ++r) {
            if (!view_.row(r).contiguous()) {
                return false;
            }
        }
        return true;
    }

    /*
     * For rows scaled on several threads, when all_native(): the memory of row `r`, which
     * get() answers from now on, or nullptr when the row has it already (it is scaled or
     * claimed). The claimant fills it by scale_claimed(r) before the row is read, after
     * intact(). Null with MemoryError set when no memory can be had.
     */
    double* claim(Py_ssize_t r, bool& failed) {
        failed = false;
        if (rows_[r]) {
            return nullptr;
        }
        rows_[r] = padded_row(r);
        failed = !rows_[r];
        return rows_[r];
    }

    /// Scales claimed row `r`; touches no Python object, so that it runs on any thread.
    void scale_claimed(Py_ssize_t r) const { scale_natively(view_.row(r), rows_[r]); }

    /// Whether the matrix still lies where it was opened; false with BufferError set.
    bool intact() const { return in_place_.intact(); }

private:
    /// Memory for row `r` with its NaN padding, the row itself at [0, width); nullptr with
    /// MemoryError set.
    double* padded_row(Py_ssize_t r) {
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
        return scaled;
    }

    void release(double* scaled) {
        if (!block_) {
            PyMem_RawFree(scaled - 1);
        }
    }

    bool scale_in_place(Py_ssize_t r, PyObject* sum, const NativeSums& native, double* scaled) {
        View1<const double> source = view_.row(r);
        double divisor;
        if (!in_place_.intact()) {
            return false;
        }
        if (source.contiguous() && native.cover(source.size)) {
            // Native work on the caller's memory alone: other threads may run meanwhile.
            NoGil unlocked;
            scale_natively(source, scaled);
            return true;
        }
        Ref row = numpy_row(r);
        Ref total = row ? Ref::steal(PyObject_CallOneArg(sum, row.get())) : Ref{};
        if (!total || !to_c_double(total.get(), divisor) || !in_place_.intact()) {
            return false;
        }
        NoGil unlocked;
        divide(source, divisor, scaled);
        return true;
    }

    /// Row `source`, contiguous, divided by its sum as NumPy's sum adds it; touches no Python object.
    void scale_natively(View1<const double> source, double* scaled) const {
        if (width_ == source.size) {
            // The row is read once: summed and divided as copied.
            std::memcpy(scaled, source.data, sizeof(double) * static_cast<size_t>(width_));
            const double divisor = numpy_sum(scaled, width_);
            for (Py_ssize_t c = 0; c < width_; ++c) {
                scaled[c] /= divisor;
            }
            return;
        }
        divide(source, numpy_sum(source.data, source.size), scaled);
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
    const InPlace& in_place_;
    size_t row_bytes_ = 0;
    Ref block_;
    double** rows_ = nullptr;
    double* spare_ = nullptr;
};

}  // namespace vexora::resampler
