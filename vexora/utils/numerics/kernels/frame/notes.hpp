// Notes on argument errors (PEP 678): which function, which argument, and what to pass instead.
// The exception and its message stay as raised; the note is added to it.
#pragma once

#include <Python.h>

#include <cstdarg>

#include "ref.hpp"
#include "view.hpp"

namespace vexora::frame {

/// Adds a formatted note to the pending exception. If the note cannot be made, the pending
/// exception is left as it was.
inline void add_note(const char* format, ...) {
    PyObject* error = PyErr_GetRaisedException();
    if (!error) {
        return;
    }
    va_list args;
    va_start(args, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (note) {
        Ref added = Ref::steal(PyObject_CallMethod(error, "add_note", "O", note.get()));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error);
}

/// "<function>: argument '<param>' <what_to_pass>" on the pending exception.
inline void add_argument_note(const char* function, const char* param, const char* what_to_pass) {
    add_note("%s: argument '%s' %s", function, param, what_to_pass);
}

namespace detail {

inline const char* dtype_name(const ElementType& type) {
    return type.kind == 'f' ? "float64" : type.size == 8 ? "int64" : "int32";
}

/// How arrays of `type` usually arrive with another dtype, and the conversion.
inline const char* dtype_advice(const ElementType& type) {
    if (type.kind == 'f') {
        return ": integer counts or float32 data can be passed as %s.astype(np.float64)";
    }
    if (type.size == 8) {
        return " (SciPy's indptr is often int32: pass indptr.astype(np.int64)%.0s)";
    }
    return " (SciPy's indices may be int64: pass %s.astype(np.int32))";
}

}  // namespace detail

/// Notes the pending error of array argument `param`, declared as `ndim`-dimensional `type`,
/// refused for `error`.
inline void note_array_argument(const char* function, const char* param, const ElementType& type, int ndim,
                                ArrayError error) {
    const char* dims = ndim == 1 ? "one-dimensional" : "two-dimensional";
    const char* dtype = detail::dtype_name(type);
    char advice[160];
    switch (error) {
        case ArrayError::not_an_array:
            add_note("%s: argument '%s' must be a %s %s numpy.ndarray: pass np.asarray(%s, dtype=np.%s)", function,
                     param, dims, dtype, param, dtype);
            return;
        case ArrayError::dimensions:
            if (ndim == 1) {
                add_note("%s: argument '%s' must be a one-dimensional %s array: pass one row, e.g. %s[0], or %s.ravel()",
                         function, param, dtype, param, param);
            } else {
                add_note("%s: argument '%s' must be a two-dimensional %s array: one row per reference energy, one "
                         "column per channel",
                         function, param, dtype);
            }
            return;
        case ArrayError::byte_order:
            add_note("%s: argument '%s' must be %s in the machine's (little-endian) byte order: pass %s.astype(np.%s)",
                     function, param, dtype, param, dtype);
            return;
        case ArrayError::element_type:
            PyOS_snprintf(advice, sizeof advice, detail::dtype_advice(type), param);
            add_note("%s: argument '%s' must be a %s %s array%s", function, param, dims, dtype, advice);
            return;
        case ArrayError::none:
        case ArrayError::layout:
            add_note("%s: argument '%s' must be a %s %s array addressable with strides: pass np.ascontiguousarray(%s)",
                     function, param, dims, dtype, param);
            return;
    }
}

/// Acquires array argument `param` like Buffer::acquire, noting a failure.
inline bool acquire_argument(Buffer& buffer, const char* function, const char* param, PyObject* object,
                             const ElementType& type, int ndim, Access access) {
    if (buffer.acquire(object, type, ndim, access)) {
        return true;
    }
    note_array_argument(function, param, type, ndim, buffer.error());
    return false;
}

enum class Scalar { integer, real, boolean };

/// Notes the pending error of scalar argument `param`.
inline void note_scalar_argument(const char* function, const char* param, Scalar kind) {
    switch (kind) {
        case Scalar::integer:
            add_argument_note(function, param,
                              PyErr_ExceptionMatches(PyExc_OverflowError)
                                  ? "must fit a C int: a whole number from -2147483648 to 2147483647"
                                  : "must be an integer (an int, or anything with __int__, such as np.int64)");
            return;
        case Scalar::real:
            add_argument_note(function, param, "must be a real number (a float, int or NumPy scalar)");
            return;
        case Scalar::boolean:
            add_argument_note(function, param, "must be True, False or None (1, 0 and NumPy bools are refused: pass bool(value))");
            return;
    }
}

}  // namespace vexora::frame
