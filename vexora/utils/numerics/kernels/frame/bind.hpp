// Exported function objects: signatures, argument binding, scalar conversions and type tests.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <climits>
#include <cstring>
#include <span>

#include "error.hpp"
#include "ref.hpp"

namespace vexora::frame {

/// A parameter default as the signature shows it; calls use the C values of the body.
struct Default {
    enum class Kind { integer, real, false_ } kind;
    long integer = 0;
    double real = 0.0;

    static constexpr Default of(long value) { return {Kind::integer, value, 0.0}; }
    static constexpr Default of(double value) { return {Kind::real, 0, value}; }
    static constexpr Default false_() { return {Kind::false_, 0, 0.0}; }
};

/// The body receives one object per parameter, nullptr where the call left a default.
using Body = PyObject* (*)(PyObject* const* args);

/// One exported function: its Python signature and the line its definition reports.
struct Signature {
    const char* name;
    int line;
    std::span<const char* const> params;
    std::span<const Default> defaults;  ///< for the trailing parameters
    Body body;

    Py_ssize_t arity() const { return static_cast<Py_ssize_t>(params.size()); }
    Py_ssize_t required() const { return arity() - static_cast<Py_ssize_t>(defaults.size()); }
    /// Parameters are declared one per line after the definition.
    int param_line(Py_ssize_t index) const { return line + 1 + static_cast<int>(index); }
};

/// The most parameters a signature may have: calls bind into an array of this size.
inline constexpr Py_ssize_t max_params = 9;

// ---------------------------------------------------------------------------------------------
// Scalar conversions and type tests. Each returns false with a Python exception set.

/// C int from an int (directly) or from any object with __int__.
inline bool to_c_int(PyObject* object, int& out) {
    Ref converted;
    if (!PyLong_Check(object)) {
        PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
        if (!number || !number->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = Ref::steal(number->nb_int(object));
        if (!converted) {
            return false;
        }
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
            return false;
        }
        if (!PyLong_CheckExact(converted.get()) &&
            PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(converted.get())->tp_name) < 0) {
            return false;
        }
        object = converted.get();
    }
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

/// C double through the float protocol (__float__, then __index__).
inline bool to_c_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

inline void raise_argument_type(const char* name, const char* expected, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(object)->tp_name);
}

/// Exactly True, False or None.
inline bool check_bool(PyObject* object, const char* name) {
    if (object == Py_True || object == Py_False || object == Py_None) {
        return true;
    }
    raise_argument_type(name, "bool", object);
    return false;
}

/// numpy.ndarray from the imported module; set by initialisation.
inline PyTypeObject* ndarray_type = nullptr;

/// An ndarray (subclasses included) or None.
inline bool check_ndarray(PyObject* object, const char* name) {
    if (object == Py_None || PyObject_TypeCheck(object, ndarray_type)) {
        return true;
    }
    raise_argument_type(name, "numpy.ndarray", object);
    return false;
}

/// An ndarray (subclasses included); None is refused because the function needs the array's data.
inline bool check_ndarray_required(PyObject* object, const char* name) {
    if (object != Py_None && PyObject_TypeCheck(object, ndarray_type)) {
        return true;
    }
    raise_argument_type(name, "numpy.ndarray", object);
    return false;
}

/// An array made inside a function (a NumPy array local): an ndarray or None.
inline bool check_local_ndarray(PyObject* object) {
    if (object == Py_None || PyObject_TypeCheck(object, ndarray_type)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(object)->tp_name, "numpy.ndarray");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Function objects.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* signature;
    PyObject* names;  ///< tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;  ///< shown to introspection only
};

namespace detail {

inline int raise_arity(const Signature& signature, const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

inline int raise_too_few(const Signature& signature, Py_ssize_t given) {
    bool exact = signature.required() == signature.arity();
    return raise_arity(signature, exact ? "exactly" : "at least", signature.required(), given);
}

inline int raise_too_many(const Signature& signature, Py_ssize_t given) {
    bool exact = signature.required() == signature.arity();
    return raise_arity(signature, exact ? "exactly" : "at most", signature.arity(), given);
}

/// Exact str names compare by hash, length, width and characters without calling into Python.
inline bool same_exact_str(PyObject* a, PyObject* b) {
    return PyObject_Hash(a) == PyObject_Hash(b) && PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
           PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), PyUnicode_GET_LENGTH(a) * PyUnicode_KIND(a)) == 0;
}

/// Index of the parameter in [first, last) whose name equals `keyword`; -1 if none; -2 on error.
inline Py_ssize_t match_keyword(PyObject* names, PyObject* keyword, Py_ssize_t first, Py_ssize_t last) {
    for (Py_ssize_t i = first; i < last; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (PyUnicode_CheckExact(keyword)) {
            if (same_exact_str(keyword, name)) {
                return i;
            }
        } else {
            int equal = PyObject_RichCompareBool(keyword, name, Py_EQ);
            if (equal < 0) {
                return -2;
            }
            if (equal) {
                return i;
            }
        }
    }
    return -1;
}

/// Binds a vectorcall to the parameters; unbound defaults stay nullptr.
inline int bind(const Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** bound) {
    const Signature& signature = *function.signature;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < signature.required()) {
            return raise_too_few(signature, nargs);
        }
        if (nargs > signature.arity()) {
            return raise_too_many(signature, nargs);
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            bound[i] = args[i];
        }
        return 0;
    }
    if (nargs > signature.arity()) {
        return raise_too_many(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t q = 0; q < nkw; ++q) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, q);
        PyObject* value = args[nargs + q];
        Py_ssize_t index = -1;
        for (Py_ssize_t i = nargs; i < signature.arity(); ++i) {
            if (PyTuple_GET_ITEM(function.names, i) == keyword) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
                return -1;
            }
            index = match_keyword(function.names, keyword, nargs, signature.arity());
            if (index == -2) {
                return -1;
            }
            if (index < 0) {
                Py_ssize_t positional = match_keyword(function.names, keyword, 0, nargs);
                if (positional == -2) {
                    return -1;
                }
                PyErr_Format(PyExc_TypeError,
                             positional >= 0 ? "%s() got multiple values for keyword argument '%U'"
                                             : "%s() got an unexpected keyword argument '%U'",
                             signature.name, keyword);
                return -1;
            }
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.name,
                         keyword);
            return -1;
        }
        bound[index] = value;
    }
    for (Py_ssize_t i = nargs; i < signature.required(); ++i) {
        if (!bound[i]) {
            return raise_too_few(signature, i);
        }
    }
    return 0;
}

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* function = reinterpret_cast<Function*>(self);
    PyObject* bound[max_params] = {};
    if (bind(*function, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        return fail_at(function->signature->name, function->signature->line);
    }
    return function->signature->body(bound);
}

inline PyObject* function_repr(PyObject* self) {
    auto* function = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U.%U>", function->module, function->qualname);
}

inline void function_dealloc(PyObject* self) {
    auto* function = reinterpret_cast<Function*>(self);
    Py_XDECREF(function->names);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->module);
    Py_XDECREF(function->globals);
    Py_XDECREF(function->code);
    Py_XDECREF(function->defaults);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

/// Stored as a class attribute the function stays unbound, like a built-in function.
inline PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

/// Pickling by reference: the function is found again as a module global.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

inline PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace detail

/// The type of the exported function objects, made once per shared library.
inline PyTypeObject* function_type = nullptr;

inline int make_function_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(detail::function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(detail::function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(detail::function_descr_get)},
        {Py_tp_members, detail::function_members},
        {Py_tp_getset, detail::function_getset},
        {Py_tp_methods, detail::function_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "vexora_function",
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return function_type ? 0 : -1;
}

/// The code object introspection sees: parameters as its first variables, no body.
inline Ref make_code(const Signature& signature, PyObject* names, const char* source_path) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path, signature.name, signature.line)));
    if (!empty) {
        return {};
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:n,s:n,s:O,s:i}", "co_argcount", signature.arity(), "co_nlocals",
                                          signature.arity(), "co_varnames", names, "co_flags",
                                          CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !kwargs) {
        return {};
    }
    Ref args = Ref::steal(PyTuple_New(0));
    if (!args) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), args.get(), kwargs.get()));
}

inline Ref make_defaults(const Signature& signature) {
    if (signature.defaults.empty()) {
        return Ref::borrow(Py_None);
    }
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(signature.defaults.size())));
    if (!tuple) {
        return {};
    }
    for (size_t i = 0; i < signature.defaults.size(); ++i) {
        const Default& d = signature.defaults[i];
        PyObject* item = d.kind == Default::Kind::integer ? PyLong_FromLong(d.integer)
                         : d.kind == Default::Kind::real  ? PyFloat_FromDouble(d.real)
                                                          : Py_NewRef(Py_False);
        if (!item) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

/// A new function object for `signature`, living in the module namespace `globals`.
inline Ref make_function(const Signature& signature, const ModuleIdentity& identity, PyObject* globals) {
    if (signature.arity() > max_params) {
        PyErr_Format(PyExc_SystemError, "%s has more parameters than the binder holds", signature.name);
        return {};
    }
    Ref names = Ref::steal(PyTuple_New(signature.arity()));
    if (!names) {
        return {};
    }
    for (Py_ssize_t i = 0; i < signature.arity(); ++i) {
        PyObject* name = PyUnicode_InternFromString(signature.params[static_cast<size_t>(i)]);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(signature.name));
    Ref module = Ref::steal(PyUnicode_InternFromString(identity.dotted_name));
    Ref code = make_code(signature, names.get(), identity.source_path);
    Ref defaults = make_defaults(signature);
    if (!name || !module || !code || !defaults) {
        return {};
    }
    Function* function = PyObject_New(Function, function_type);
    if (!function) {
        return {};
    }
    function->vectorcall = detail::function_vectorcall;
    function->signature = &signature;
    function->names = names.release();
    function->qualname = Py_NewRef(name.get());
    function->name = name.release();
    function->module = module.release();
    function->globals = Py_NewRef(globals);
    function->code = code.release();
    function->defaults = defaults.release();
    return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace vexora::frame
