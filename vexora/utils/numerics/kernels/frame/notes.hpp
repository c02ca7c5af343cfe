// Notes on argument errors (PEP 678): which function, which argument, and what to pass instead.
// The exception and its message stay as raised; the note is added to it.
#pragma once

#include <Python.h>

#include <cstdarg>

#include "ref.hpp"

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
            add_argument_note(function, param,
                              "must be True, False or None (1, 0 and NumPy bools are refused: pass bool(value))");
            return;
    }
}

}  // namespace vexora::frame
