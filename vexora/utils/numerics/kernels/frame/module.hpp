// Module definition, creation and initialisation, and the process-wide module state.
#pragma once

#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "bind.hpp"
#include "error.hpp"
#include "lock.hpp"
#include "ref.hpp"
#include "threads.hpp"

namespace vexora::frame {

/// What a module exports and where its initialisation reports errors.
struct ModuleSpec {
    ModuleIdentity identity;
    int numpy_import_line;  ///< the line `import numpy as np` reports
    std::span<const Signature* const> functions;
};

/*
 * Process-wide state of this shared library. Nothing is released while the process runs.
 * Written only under state_mutex, by the entry point, creation and initialisation, which several
 * threads may run at once without the GIL (one module loaded under two names). `dict` and
 * `builtins` are set before any function of the module exists, and the functions read them
 * without the lock: they reach another thread only through the module, whose publication orders
 * those writes before any call.
 */
struct ModuleState {
    const ModuleSpec* spec = nullptr;
    PyObject* module = nullptr;  ///< set once initialisation has succeeded
    std::int64_t interpreter_id = -1;
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
};

inline ModuleState state;
inline PyMutex state_mutex{};

/// `np.<name>`, with `np` looked up at call time in the module globals, then in the builtins.
/// Strong references throughout: another thread may rebind `np` meanwhile.
inline Ref numpy_attribute(const char* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(state.dict, "np", &found) < 0) {
        return {};
    }
    Ref numpy = Ref::steal(found);
    if (!numpy) {
        numpy = Ref::steal(PyObject_GetAttrString(state.builtins, "np"));
        if (!numpy) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", "np");
            }
            return {};
        }
    }
    return Ref::steal(PyObject_GetAttrString(numpy.get(), name));
}

/// A new one-dimensional NumPy array of `size` elements of `type_num`, uninitialised.
inline Ref new_array(npy_intp size, int type_num) { return Ref::steal(PyArray_SimpleNew(1, &size, type_num)); }

namespace detail {

inline constexpr int init_line = 1;

/// Warns when the running interpreter's minor version differs from the one built against.
inline int check_python_version(const ModuleIdentity& identity) {
    constexpr unsigned long built = (PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION;
    unsigned long running = Py_Version >> 16;
    if (running == built) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, identity.dotted_name, "does not match", static_cast<int>(running >> 8),
                  static_cast<int>(running & 0xff));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

/// Imports NumPy's C interface; any failure becomes one ImportError with the cause chained.
inline int import_numpy_c_api() {
    if (_import_array() >= 0) {
        return 0;
    }
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError,
                    "numpy.core.multiarray failed to import (the kernels need NumPy's C interface, "
                    "NumPy 1.25 or newer; the chained exception says what went wrong)");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);
    PyErr_SetRaisedException(error);
    return -1;
}

enum class SizeCheck { warn, ignore };

/// Imports `module.name` and checks that it is a type at least as large as the C structure.
inline int import_type(PyObject* module, const char* module_name, const char* name, Py_ssize_t expected, SizeCheck mode,
                       PyTypeObject** out = nullptr) {
    Ref object = Ref::steal(PyObject_GetAttrString(module, name));
    if (!object) {
        return -1;
    }
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name);
        return -1;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object.get());
    Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item != 0 && item < 8) {
        item = 8;
    }
    const char* text =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
        "PyObject";
    if (basic + item < expected) {
        PyErr_Format(PyExc_ValueError, text, module_name, name, expected, basic + item);
        return -1;
    }
    if (mode == SizeCheck::warn && basic > expected &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0, text, module_name, name, expected, basic) < 0) {
        return -1;
    }
    if (out) {
        *out = reinterpret_cast<PyTypeObject*>(object.release());
    }
    return 0;
}

inline int import_types() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || import_type(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::warn) < 0) {
        return -1;
    }
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return -1;
    }
    struct Expected {
        const char* name;
        Py_ssize_t size;
        SizeCheck mode;
    };
    const Expected types[] = {
        {"dtype", sizeof(PyArray_Descr), SizeCheck::ignore},
        {"flatiter", sizeof(PyArrayIterObject), SizeCheck::ignore},
        // The iterator array is a flexible member: its fixed C++ stand-in must not count.
        {"broadcast", offsetof(PyArrayMultiIterObject, iters), SizeCheck::ignore},
        {"ndarray", sizeof(PyArrayObject_fields), SizeCheck::ignore},
        {"generic", sizeof(PyObject), SizeCheck::warn},
        {"number", sizeof(PyObject), SizeCheck::warn},
        {"integer", sizeof(PyObject), SizeCheck::warn},
        {"signedinteger", sizeof(PyObject), SizeCheck::warn},
        {"unsignedinteger", sizeof(PyObject), SizeCheck::warn},
        {"inexact", sizeof(PyObject), SizeCheck::warn},
        {"floating", sizeof(PyObject), SizeCheck::warn},
        {"complexfloating", sizeof(PyObject), SizeCheck::warn},
        {"flexible", sizeof(PyObject), SizeCheck::warn},
        {"character", sizeof(PyObject), SizeCheck::warn},
        {"ufunc", sizeof(PyUFuncObject), SizeCheck::ignore},
    };
    for (const Expected& type : types) {
        PyTypeObject** out = std::string_view(type.name) == "ndarray" ? &ndarray_type : nullptr;
        if (import_type(numpy.get(), "numpy", type.name, type.size, type.mode, out) < 0) {
            return -1;
        }
    }
    return 0;
}

/// `import numpy as np`, taking the loaded module when there is one.
inline int bind_numpy(PyObject* dict) {
    Ref name = Ref::steal(PyUnicode_InternFromString("numpy"));
    if (!name) {
        return -1;
    }
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (!numpy) {
        if (PyErr_Occurred()) {
            return -1;
        }
        numpy = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), dict, nullptr, nullptr, 0));
        if (!numpy) {
            return -1;
        }
    }
    return PyDict_SetItemString(dict, "np", numpy.get());
}

/// Makes the module reachable under its canonical name even when loaded under another.
inline int register_canonical_name(PyObject* module, const char* dotted_name) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_ContainsString(modules, dotted_name);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItemString(modules, dotted_name, module);
}

inline PyObject* create(PyObject* spec, PyModuleDef*) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    {
        Locked lock(state_mutex);
        if (state.interpreter_id == -1) {
            state.interpreter_id = current;
        } else if (state.interpreter_id != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        if (state.module) {
            return Py_NewRef(state.module);
        }
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    struct Copied {
        const char* from;
        const char* to;
        bool skip_none;
    };
    const Copied attributes[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copied& attribute : attributes) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (attribute.skip_none && value.get() == Py_None) {
            continue;
        }
        if (PyObject_SetAttrString(module.get(), attribute.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

/// Runs the initialisation sequence; `line` tells where a failure is reported.
inline int initialise(PyObject* module, const ModuleSpec& spec, int& line) {
    PyObject* dict = PyModule_GetDict(module);
    state.module = Py_NewRef(module);
    Py_XSETREF(state.dict, Py_NewRef(dict));
    module_identity = &spec.identity;
    module_globals = dict;

    Ref builtins_name = Ref::steal(PyUnicode_InternFromString("builtins"));
    if (!builtins_name) {
        return -1;
    }
    Ref builtins = Ref::steal(PyImport_GetModule(builtins_name.get()));
    if (!builtins) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "builtins is not loaded");
        }
        return -1;
    }
    if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    Py_XSETREF(state.builtins, builtins.release());
    if (check_python_version(spec.identity) < 0) {
        return -1;
    }

    // From here on failures carry the "init" traceback entry.
    line = init_line;
    if (import_numpy_c_api() < 0 || (!function_type && make_function_type() < 0) ||
        register_canonical_name(module, spec.identity.dotted_name) < 0 || import_types() < 0 ||
        share_thread_budget("vexora.utils.numerics.kernels") < 0) {
        return -1;
    }
    line = spec.numpy_import_line;
    if (bind_numpy(dict) < 0) {
        return -1;
    }
    for (const Signature* signature : spec.functions) {
        line = signature->line;
        Ref function = make_function(*signature, spec.identity, dict);
        if (!function || PyDict_SetItemString(dict, signature->name, function.get()) < 0) {
            return -1;
        }
    }
    line = init_line;
    Ref tests = Ref::steal(PyDict_New());
    if (!tests || PyDict_SetItemString(dict, "__test__", tests.get()) < 0) {
        return -1;
    }
    return 0;
}

/// Initialises the module under state_mutex, so that a second initialisation, from any thread,
/// finds the first one finished.
inline int exec(PyObject* module) {
    Locked lock(state_mutex);
    const ModuleSpec& spec = *state.spec;
    if (state.module) {
        if (state.module == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     spec.identity.short_name);
        return -1;
    }
    int line = 0;
    if (initialise(module, spec, line) == 0) {
        return 0;
    }
    if (line != 0) {
        char qualname[256];
        PyOS_snprintf(qualname, sizeof qualname, "init %s", spec.identity.dotted_name);
        add_traceback_entry(qualname, line);
    }
    Py_CLEAR(state.module);
    return -1;
}

inline PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_GIL_DISABLED
    // Safe to run without the GIL (docs/free-threading.md): importing the module into a
    // free-threaded interpreter leaves the GIL off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

inline PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

inline PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // name: set by define_module
    nullptr,  // no documentation
    0,        // all state is process-wide
    no_methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace detail

/// The entry point's whole work: hand the definition to multi-phase initialisation. Runs again
/// whenever the library is loaded under another name, maybe on another thread meanwhile.
inline PyObject* define_module(const ModuleSpec& spec) {
    Locked lock(state_mutex);
    if (!state.spec) {
        state.spec = &spec;
        detail::definition.m_name = spec.identity.short_name;
    }
    // Under the lock too: the first call writes the definition's index.
    return PyModuleDef_Init(&detail::definition);
}

}  // namespace vexora::frame
