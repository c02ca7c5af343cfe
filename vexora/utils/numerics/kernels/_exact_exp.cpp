// Test hooks of the exact exp: which path this module selected at its import, the sequences of
// the list in simd/exp/sequence.hpp, and each of them on a buffer.
// Not part of the package's interface; the kernels' modules export nothing of it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "simd/exp/path.hpp"

namespace {

namespace ee = vexora::simd::exp;

PyObject* selected_path(PyObject*, PyObject*) { return PyUnicode_FromString(ee::path_name(ee::selected_path())); }

PyObject* selected_lanes(PyObject*, PyObject*) { return PyLong_FromLong(ee::selected_lanes()); }

PyObject* selected_gathers(PyObject*, PyObject*) { return PyBool_FromLong(ee::gather_lookups); }

// Each function computes result[i] = exp(source[i]) in one sweep, reading source[i] before it
// writes result[i]: the two may be the same buffer, but must not overlap otherwise.

void libm(const double* source, double* result, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        result[i] = std::exp(source[i]);
    }
}

/// By the sequence, `width` values at a time and the rest one at a time, on the target of that
/// width. The first values go one at a time until the result is aligned to a vector, so that no
/// store straddles two cache lines (NumPy's arrays start 16 bytes into a line).
template <unsigned mask, int width>
void vector_of_width(const double* source, double* result, Py_ssize_t n) {
    using V = typename vexora::simd::Vectors<width>::Double;
    Py_ssize_t i = 0;
    for (; i < std::min(vexora::simd::doubles_to_alignment(result, sizeof(V)), n); ++i) {
        result[i] = ee::exp_scalar<mask>(source[i]);
    }
    for (; i + width <= n; i += width) {
        vexora::simd::store(result + i, ee::exp_lanes<mask>(vexora::simd::load<V>(source + i)));
    }
    for (; i < n; ++i) {
        result[i] = ee::exp_scalar<mask>(source[i]);
    }
}

/// The same at the lanes this module selected, compiled as the kernels compile it where the
/// processor allows (and for the baseline elsewhere).
template <unsigned mask>
void vector(const double* source, double* result, Py_ssize_t n) {
#if VEXORA_EIGHT_LANES
    if (ee::selected_lanes() == 8) {
        ee::on_exp8_target([&] { vector_of_width<mask, 8>(source, result, n); });
        return;
    }
#endif
    const auto run = [&] { vector_of_width<mask, 4>(source, result, n); };
    ee::processor_supports_exp_target() ? ee::on_exp_target(run) : run();
}

template <unsigned mask>
void scalar(const double* source, double* result, Py_ssize_t n) {
    const auto run = [&] {
        for (Py_ssize_t i = 0; i < n; ++i) {
            result[i] = ee::exp_scalar<mask>(source[i]);
        }
    };
    ee::processor_supports_exp_target() ? ee::on_exp_target(run) : run();
}

using Run = void (*)(const double*, double*, Py_ssize_t);

/// The function that computes exp by `name`: "libm", or an entry of the sequences' list, four
/// values at a time under its name and one at a time as "<name>-scalar"; nullptr for any other.
Run find_sequence(const char* name) {
    if (std::strcmp(name, "libm") == 0) {
        return libm;
    }
    Run found = nullptr;
    ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
        const std::size_t length = std::strlen(ee::sequences[s].name);
        if (std::strncmp(name, ee::sequences[s].name, length) != 0) {
            return;
        }
        if (name[length] == '\0') {
            found = vector<mask>;
        } else if (std::strcmp(name + length, "-scalar") == 0) {
            found = scalar<mask>;
        }
    });
    return found;
}

/// exp(source, result, sequence): result[i] = exp(source[i]) by the named sequence.
PyObject* exp(PyObject*, PyObject* args) {
    Py_buffer source, result;
    const char* name;
    if (!PyArg_ParseTuple(args, "y*w*s", &source, &result, &name)) {
        return nullptr;
    }
    PyObject* answer = nullptr;
    const Run run = find_sequence(name);
    if (run == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown sequence %s", name);
    } else if (source.len != result.len || source.len % sizeof(double) != 0) {
        PyErr_SetString(PyExc_ValueError, "source and result must hold the same number of doubles");
    } else {
        const Py_ssize_t n = source.len / static_cast<Py_ssize_t>(sizeof(double));
        const auto* from = static_cast<const double*>(source.buf);
        auto* to = static_cast<double*>(result.buf);
        const auto start = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
        const std::uintptr_t bytes = static_cast<std::uintptr_t>(source.len);
        const bool overlap = from != to && start(from) < start(to) + bytes && start(to) < start(from) + bytes;
        Py_BEGIN_ALLOW_THREADS
        if (overlap) {
            std::memmove(to, from, static_cast<std::size_t>(source.len));
            from = to;
        }
        run(from, to, n);
        Py_END_ALLOW_THREADS
        answer = Py_NewRef(Py_None);
    }
    PyBuffer_Release(&source);
    PyBuffer_Release(&result);
    return answer;
}

/// sequences(): the names of the sequences, in the order the selection tries them.
PyObject* sequence_names(PyObject*, PyObject*) {
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(ee::sequence_count));
    if (names == nullptr) {
        return nullptr;
    }
    for (std::size_t s = 0; s < ee::sequence_count; ++s) {
        PyObject* name = PyUnicode_FromString(ee::sequences[s].name);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(s), name);
    }
    return names;
}

PyMethodDef methods[] = {
    {"path", selected_path, METH_NOARGS,
     "The exp this module chose when it was imported: the name of a sequence or 'libm'. Each module "
     "(deconvolution, gaussian, this one) chooses at its own import, so a module imported after "
     "VEXORA_EXACT_EXP changed may have chosen differently."},
    {"lanes", selected_lanes, METH_NOARGS,
     "The lanes the sequences run at in this module (in its kernels when one is selected, and in exp()): 8 "
     "where the processor has AVX-512 and VEXORA_EXP_LANES is not '4', else 4. Chosen at import, as path()."},
    {"gathers", selected_gathers, METH_NOARGS,
     "Whether the eight-lane sequences take their table's words with the processor's gather instruction: "
     "VEXORA_EXP_GATHER '1' or '0' where set, else on Intel processors whose gathers the kernel reports not "
     "affected by Gather Data Sampling; never at four lanes nor on the C library's exp. Chosen at import, as "
     "path()."},
    {"sequences", sequence_names, METH_NOARGS,
     "The names of the sequences that may stand in for the C library's exp, in the order the choice tries them."},
    {"exp", exp, METH_VARARGS,
     "exp(source, result, sequence): result = exp(source) by 'libm', by one of sequences() lanes() values at "
     "a time, or by one of them one at a time with '-scalar' appended ('fused-scalar'); both buffers of "
     "C-contiguous doubles."},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* module) {
    ee::selected_path();
    // The sequences this build may select: a baseline-only build for x86-64 never selects one
    // that fuses (its target has no FMA instructions), and the tests expect that of it.
    PyObject* names = PyList_New(0);
    for (const ee::Variant& variant : ee::sequences) {
        if (names == nullptr || !ee::selectable(variant)) {
            continue;
        }
        PyObject* name = PyUnicode_FromString(variant.name);
        if (name == nullptr || PyList_Append(names, name) < 0) {
            Py_CLEAR(names);
        }
        Py_XDECREF(name);
    }
    PyObject* selectable = names ? PyList_AsTuple(names) : nullptr;
    Py_XDECREF(names);
    // The widest vectors this build has code for: a processor with AVX-512 gets eight lanes only
    // from a build with eight-lane code (not a baseline-only one, nor the sanitizers' build).
    if (PyModule_Add(module, "selectable", selectable) < 0) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "most_lanes", VEXORA_EIGHT_LANES ? 8 : 4);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_GIL_DISABLED
    // Its state is the exp selected once at import (simd/exp/path.hpp); exp() writes only the
    // caller's buffer. Importing it leaves a free-threaded interpreter's GIL off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_exact_exp",
    "Test hooks of the kernels' exact exp.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__exact_exp() { return PyModuleDef_Init(&definition); }
