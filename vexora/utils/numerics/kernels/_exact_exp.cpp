// Test hooks of the exact exp: which path this process selects, and each sequence on a buffer.
// Not part of the package's interface; the kernels' modules export nothing of it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>

#include "simd/exp/path.hpp"

namespace {

namespace ee = vexora::simd::exp;

PyObject* selected_path(PyObject*, PyObject*) { return PyUnicode_FromString(ee::path_name(ee::selected_path())); }

void libm(double* values, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        values[i] = std::exp(values[i]);
    }
}

/// values[i] = exp(values[i]) by the sequence, four at a time and the rest one at a time, compiled
/// as the kernels compile it where the processor allows (and for the baseline elsewhere).
template <unsigned mask>
void vector(double* values, Py_ssize_t n) {
    const auto run = [&] {
        Py_ssize_t i = 0;
        for (; i + vexora::simd::lanes <= n; i += vexora::simd::lanes) {
            vexora::simd::store4(values + i, ee::exp4<mask>(vexora::simd::load4(values + i)));
        }
        for (; i < n; ++i) {
            values[i] = ee::exp_scalar<mask>(values[i]);
        }
    };
    ee::processor_supports_exp_target() ? ee::on_exp_target(run) : run();
}

template <unsigned mask>
void scalar(double* values, Py_ssize_t n) {
    const auto run = [&] {
        for (Py_ssize_t i = 0; i < n; ++i) {
            values[i] = ee::exp_scalar<mask>(values[i]);
        }
    };
    ee::processor_supports_exp_target() ? ee::on_exp_target(run) : run();
}

struct Sequence {
    const char* name;
    void (*run)(double*, Py_ssize_t);
};

constexpr Sequence sequences[] = {
    {"libm", libm},
    {"fused", vector<ee::fused>},
    {"unfused", vector<ee::unfused>},
    {"fused-scalar", scalar<ee::fused>},
    {"unfused-scalar", scalar<ee::unfused>},
};

/// exp(source, result, sequence): result[i] = exp(source[i]) by the named sequence.
PyObject* exp(PyObject*, PyObject* args) {
    Py_buffer source, result;
    const char* name;
    if (!PyArg_ParseTuple(args, "y*w*s", &source, &result, &name)) {
        return nullptr;
    }
    PyObject* answer = nullptr;
    const Sequence* sequence = nullptr;
    for (const Sequence& s : sequences) {
        if (std::strcmp(s.name, name) == 0) {
            sequence = &s;
        }
    }
    if (sequence == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown sequence %s", name);
    } else if (source.len != result.len || source.len % sizeof(double) != 0) {
        PyErr_SetString(PyExc_ValueError, "source and result must hold the same number of doubles");
    } else {
        const Py_ssize_t n = source.len / static_cast<Py_ssize_t>(sizeof(double));
        Py_BEGIN_ALLOW_THREADS
        std::memmove(result.buf, source.buf, static_cast<std::size_t>(source.len));
        sequence->run(static_cast<double*>(result.buf), n);
        Py_END_ALLOW_THREADS
        answer = Py_NewRef(Py_None);
    }
    PyBuffer_Release(&source);
    PyBuffer_Release(&result);
    return answer;
}

PyMethodDef methods[] = {
    {"path", selected_path, METH_NOARGS, "The exp the kernels use in this process: 'fused', 'unfused' or 'libm'."},
    {"exp", exp, METH_VARARGS,
     "exp(source, result, sequence): result = exp(source) by 'libm', 'fused', 'unfused', 'fused-scalar' or "
     "'unfused-scalar'; both buffers of C-contiguous doubles."},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* module) {
    ee::selected_path();
    // The sequences this build may select: a baseline-only build for x86-64 never selects the one
    // that fuses (its target has no FMA instructions), and the tests expect that of it.
    return PyModule_Add(module, "selectable",
                        vexora::simd::exp_target_fuses ? Py_BuildValue("(ss)", "fused", "unfused")
                                                       : Py_BuildValue("(s)", "unfused"));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_exact_exp", "Test hooks of the kernels' exact exp.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__exact_exp() { return PyModuleDef_Init(&definition); }
