"""Array-argument conversion: element types, dimensions, byte order, strides and exporters."""

import array

import numpy as np
import pytest

from conftest import assert_identical, exact

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")
ML_EM_cy = deconvolution.ML_EM_cy
build_gaussian_response = deconvolution.build_gaussian_response

ML_EM_PARAMS = ("y", "offsets", "indices", "values", "sensitivity")


def ml_em_args():
    return {"y": np.array([1.0, 2.0, 3.0]), "offsets": np.array([0, 2, 3, 4]),
            "indices": np.array([0, 1, 1, 2], np.int32), "values": np.array([0.5, 0.5, 1.0, 1.0]),
            "sensitivity": np.array([1.0, 0.5, 2.0])}


def mismatch(expected, got):
    return f"Buffer dtype mismatch, expected '{expected}' but got {got}"


@pytest.mark.parametrize("param, convert, message", [
    ("y", lambda a: a.astype(np.float32), mismatch("float64_t", "'float'")),
    ("values", lambda a: a.astype(np.longdouble), mismatch("float64_t", "'long double'")),
    ("sensitivity", lambda a: a.astype(np.complex128), mismatch("float64_t", "'complex double'")),
    ("sensitivity", lambda a: a.astype(np.complex64), mismatch("float64_t", "'complex float'")),
    ("y", lambda a: a.astype(object), mismatch("float64_t", "Python object")),
    ("values", lambda a: a.astype(bool), mismatch("float64_t", "'bool'")),
    ("y", lambda a: a.astype(np.int64), mismatch("float64_t", "'long'")),
    ("indices", lambda a: a.astype(np.int64), mismatch("int32_t", "'long'")),
    ("indices", lambda a: a.astype(np.uint32), mismatch("int32_t", "'unsigned int'")),
    ("indices", lambda a: a.astype(np.int16), mismatch("int32_t", "'short'")),
    ("indices", lambda a: a.astype(np.int8), mismatch("int32_t", "'signed char'")),
    ("offsets", lambda a: a.astype(np.uint64), mismatch("int64_t", "'unsigned long'")),
    ("offsets", lambda a: a.astype(np.ulonglong), mismatch("int64_t", "'unsigned long long'")),
    ("offsets", lambda a: a.astype(np.int32), mismatch("int64_t", "'int'")),
    ("offsets", lambda a: a.astype(np.float64), mismatch("int64_t", "'double'")),
    ("y", lambda a: a.astype(np.float16), "Unexpected format string character: 'e'"),
    ("values", lambda a: a.astype(">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ("offsets", lambda a: a.astype(">i8"), "Big-endian buffer not supported on little-endian compiler"),
    ("y", lambda a: a.reshape(1, -1), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("sensitivity", lambda a: np.array(1.0), "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_ml_em_buffer_errors(param, convert, message, quiet):
    args = ml_em_args()
    args[param] = convert(args[param])
    with pytest.raises(ValueError, match=exact(message)):
        ML_EM_cy(**args)


@pytest.mark.parametrize("param, value, got", [("y", [1.0, 2.0, 3.0], "list"), ("indices", (0, 1), "tuple"),
                                               ("sensitivity", 1.0, "float")])
def test_ml_em_refuses_non_arrays(param, value, got):
    args = ml_em_args()
    args[param] = value
    with pytest.raises(TypeError, match=exact(
            f"Argument '{param}' has incorrect type (expected numpy.ndarray, got {got})")):
        ML_EM_cy(**args)


def test_ml_em_checks_types_then_buffers_in_order():
    args = ml_em_args()
    args.update(y=args["y"].astype(np.float32), indices=args["indices"].astype(np.int64))
    with pytest.raises(ValueError, match=exact(mismatch("float64_t", "'float'"))):
        ML_EM_cy(**args)
    args["values"] = list(args["values"])
    with pytest.raises(TypeError, match="^Argument 'values' has incorrect type"):
        ML_EM_cy(**args)


class Spectrum(np.ndarray):
    pass


@pytest.mark.parametrize("convert", [
    lambda a: a.view(Spectrum),
    lambda a: a.astype(np.longlong) if a.dtype == np.int64 else a,  # format 'q' for int64_t
    lambda a: np.repeat(a, 3)[::3],
    lambda a: a[::-1].copy()[::-1],
    lambda a: np.broadcast_to(a[:1], a.shape) if len(a) == 3 else a,  # stride 0, read-only
], ids=["subclass", "long long", "strided", "reversed", "stride 0"])
def test_ml_em_reads_arrays_in_place(convert):
    args = ml_em_args()
    expected = ML_EM_cy(*[np.ascontiguousarray(convert(a)) for a in args.values()], 4)
    assert_identical(ML_EM_cy(*map(convert, args.values()), 4), expected)


AXIS, SIGMA = np.linspace(0.0, 12.0, 7), np.array([0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5])


@pytest.mark.parametrize("axis, sigma, message", [
    (AXIS.astype(np.float32), SIGMA, mismatch("const double", "'float'")),
    (AXIS, array.array("f", SIGMA), mismatch("const double", "'float'")),
    (AXIS, bytes(56), mismatch("const double", "'unsigned char'")),
    (AXIS, SIGMA.astype(np.int64), mismatch("const double", "'long'")),
    (AXIS.astype(">f8"), SIGMA, "Big-endian buffer not supported on little-endian compiler"),
    (AXIS, SIGMA.astype(np.float16), "Unexpected format string character: 'e'"),
    (AXIS.reshape(7, 1), SIGMA, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), SIGMA, "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_builder_buffer_errors(axis, sigma, message, quiet):
    with pytest.raises(ValueError, match=exact(message)):
        build_gaussian_response(axis, sigma)


@pytest.mark.parametrize("axis, sigma, got", [([0.0, 1.0], SIGMA, "list"), (AXIS, 1.0, "float"),
                                              (AXIS, "abcdefgh", "str")])
def test_builder_refuses_objects_without_buffers(axis, sigma, got):
    """The buffer protocol's own TypeError comes through unchanged."""
    with pytest.raises(TypeError, match=exact(f"a bytes-like object is required, not '{got}'")):
        build_gaussian_response(axis, sigma)


@pytest.mark.parametrize("convert", [
    lambda a: array.array("d", a),
    memoryview,
    lambda a: memoryview(np.repeat(a, 2))[::2],
    lambda a: a[::-1].copy()[::-1],
    lambda a: a.view(Spectrum),
])
def test_builder_accepts_any_float64_buffer(convert):
    expected = build_gaussian_response(AXIS, SIGMA)
    assert_identical(build_gaussian_response(convert(AXIS), convert(SIGMA)), expected)
