"""Array arguments: type tests, element types, dimensions, byte order, layouts and exporters."""

import array

import numpy as np
import pytest

from conftest import KERNELS, assert_identical, call_with, exact, read_only, sample_args, traceback_entries

BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"
HALF = "Unexpected format string character: 'e'"
RESAMPLER_PARAMS = KERNELS["resampler_cy"].params


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


def dims(expected, got):
    return f"Buffer has wrong number of dimensions (expected {expected}, got {got})"


def two_d(a):
    return a[None]


def zero_d(a):
    return np.array(1.0)


GAUSSIAN_BUFFER_ERRORS = [
    ("x", "f4", mismatch("double", "'float'")), ("params", "i8", mismatch("double", "'long'")),
    ("x", "i4", mismatch("double", "'int'")), ("params", ">f8", BIG_ENDIAN),
    ("x", two_d, dims(1, 2)), ("params", zero_d, dims(1, 0))]
BUFFER_ERRORS = [
    ("ML_EM_cy", "y", "f4", mismatch("float64_t", "'float'")),
    ("ML_EM_cy", "values", np.longdouble, mismatch("float64_t", "'long double'")),
    ("ML_EM_cy", "sensitivity", "c16", mismatch("float64_t", "'complex double'")),
    ("ML_EM_cy", "sensitivity", "c8", mismatch("float64_t", "'complex float'")),
    ("ML_EM_cy", "y", object, mismatch("float64_t", "Python object")),
    ("ML_EM_cy", "values", bool, mismatch("float64_t", "'bool'")),
    ("ML_EM_cy", "y", "i8", mismatch("float64_t", "'long'")),
    ("ML_EM_cy", "indices", "i8", mismatch("int32_t", "'long'")),
    ("ML_EM_cy", "indices", "u4", mismatch("int32_t", "'unsigned int'")),
    ("ML_EM_cy", "indices", "i2", mismatch("int32_t", "'short'")),
    ("ML_EM_cy", "indices", "i1", mismatch("int32_t", "'signed char'")),
    ("ML_EM_cy", "offsets", "u8", mismatch("int64_t", "'unsigned long'")),
    ("ML_EM_cy", "offsets", np.ulonglong, mismatch("int64_t", "'unsigned long long'")),
    ("ML_EM_cy", "offsets", "i4", mismatch("int64_t", "'int'")),
    ("ML_EM_cy", "offsets", "f8", mismatch("int64_t", "'double'")),
    ("ML_EM_cy", "y", "f2", HALF),
    ("ML_EM_cy", "values", ">f8", BIG_ENDIAN),
    ("ML_EM_cy", "offsets", ">i8", BIG_ENDIAN),
    ("ML_EM_cy", "y", two_d, dims(1, 2)),
    ("ML_EM_cy", "sensitivity", zero_d, dims(1, 0)),
    ("richardson_lucy_cy", "y", "f4", mismatch("float64_t", "'float'")),
    ("build_gaussian_response", "axis", "f4", mismatch("const double", "'float'")),
    ("build_gaussian_response", "sigma", lambda a: array.array("f", a), mismatch("const double", "'float'")),
    ("build_gaussian_response", "sigma", lambda a: bytes(8), mismatch("const double", "'unsigned char'")),
    ("build_gaussian_response", "sigma", "i8", mismatch("const double", "'long'")),
    ("build_gaussian_response", "axis", ">f8", BIG_ENDIAN),
    ("build_gaussian_response", "sigma", "f2", HALF),
    ("build_gaussian_response", "axis", lambda a: a[:, None], dims(1, 2)),
    ("build_gaussian_response", "axis", zero_d, dims(1, 0)),
    ("resampler_cy", "response_matrix", lambda a: a[0], dims(2, 1)),
    *(("resampler_cy", p, "f4", mismatch("float64_t", "'float'")) for p in RESAMPLER_PARAMS),
    *(("resampler_cy", p, two_d, dims(1, 2)) for p in RESAMPLER_PARAMS[1:]),
    *((f, *case) for f in ("multi_gaussian_cy", "multi_gaussian_jacobian_cy")
      for case in GAUSSIAN_BUFFER_ERRORS),
]


@pytest.mark.parametrize("name, param, convert, message", BUFFER_ERRORS)
def test_buffer_errors(name, param, convert, message, quiet):
    kernel = KERNELS[name]
    value = sample_args(name)[kernel.params.index(param)]
    value = value.astype(convert) if isinstance(convert, (str, type)) else convert(value)
    with pytest.raises(ValueError, match=exact(message)) as excinfo:
        call_with(name, **{param: value})
    # Typed views are declared per parameter; ndarray buffers are acquired at the definition.
    line = kernel.param_line(param) if name == "build_gaussian_response" else kernel.line
    assert traceback_entries(excinfo)[-1] == (kernel.path, line, kernel.qualname)


ARRAY_PARAMS = [(k.name, p) for k in KERNELS.values() for p, v in zip(k.params, sample_args(k.name))
                if isinstance(v, np.ndarray) and k.name != "build_gaussian_response"]
# The unfolding functions read None as an empty array, except the batch functions' spectra.
REFUSING_NONE = [(name, p) for name, p in ARRAY_PARAMS
                 if KERNELS[name].module not in ("deconvolution", "batch") or p == "Y"]


@pytest.mark.parametrize("name, param, value, got", [
    *((name, p, "list", "list") for name, p in ARRAY_PARAMS),
    *((name, p, None, "NoneType") for name, p in REFUSING_NONE),
    ("ML_EM_cy", "indices", (0, 1), "tuple"), ("ML_EM_cy", "sensitivity", 1.0, "float")])
def test_array_parameters_refuse_other_objects(name, param, value, got, quiet):
    kernel = KERNELS[name]
    if value == "list":
        value = sample_args(name)[kernel.params.index(param)].tolist()
    message = f"Argument '{param}' has incorrect type (expected numpy.ndarray, got {got})"
    with pytest.raises(TypeError, match=exact(message)) as excinfo:
        call_with(name, **{param: value})
    assert traceback_entries(excinfo)[-1] == (kernel.path, kernel.line, kernel.qualname)


@pytest.mark.parametrize("param, value, got", [("axis", [0.0, 1.0], "list"), ("sigma", 1.0, "float"),
                                               ("sigma", "abcdefgh", "str")])
def test_builder_refuses_objects_without_buffers(param, value, got):
    """The buffer protocol's own TypeError comes through unchanged."""
    with pytest.raises(TypeError, match=exact(f"a bytes-like object is required, not '{got}'")):
        call_with("build_gaussian_response", **{param: value})


# Other layouts, subclasses and plain exporters are covered for every kernel by test_properties.
FORMS = {"read-only": read_only,
         "long long": lambda a: a.astype(np.longlong) if a.dtype == np.int64 else a,  # format 'q'
         "array.array": lambda a: array.array("d", a),
         "strided memoryview": lambda a: memoryview(np.repeat(a, 2))[::2]}


@pytest.mark.parametrize("name, form", [*((name, "read-only") for name in KERNELS if name != "calculate_regions"),
                                        ("ML_EM_cy", "long long"), ("build_gaussian_response", "array.array"),
                                        ("build_gaussian_response", "strided memoryview")])
def test_accepted_arrays_give_the_plain_result(name, form):
    args = [FORMS[form](a) if isinstance(a, np.ndarray) else a for a in sample_args(name)]
    assert_identical(KERNELS[name].load()(*args), KERNELS[name].load()(*sample_args(name)))
