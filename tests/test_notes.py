"""Argument errors keep their message and carry one note naming the function, the argument and
what to pass instead."""

import numpy as np
import pytest

from conftest import call_with, sample_args

F64 = np.array([1.0, 2.0, 3.0])
DIMENSIONS_1 = "Buffer has wrong number of dimensions (expected 1, got 2)"
BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"


def mismatch(declared, found):
    return f"Buffer dtype mismatch, expected '{declared}' but got '{found}'"


def incorrect_type(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


# (function, argument, value, exception, message, what the note must tell)
CASES = [
    # Not an ndarray
    ("ML_EM_cy", "y", [1.0, 2.0], TypeError, incorrect_type("y", "numpy.ndarray", "list"), "np.asarray(y"),
    ("richardson_lucy_cy", "sensitivity", (1.0,), TypeError,
     incorrect_type("sensitivity", "numpy.ndarray", "tuple"), "float64"),
    ("resampler_cy", "ref_E_axis", None, TypeError, incorrect_type("ref_E_axis", "numpy.ndarray", "NoneType"),
     "numpy.ndarray"),
    ("multi_gaussian_jacobian_cy", "params", None, TypeError,
     incorrect_type("params", "numpy.ndarray", "NoneType"), "numpy.ndarray"),
    ("build_gaussian_response", "axis", [1.0], TypeError, "a bytes-like object is required, not 'list'",
     "np.asarray(axis"),
    # Dimensions
    ("ML_EM_cy", "values", np.ones((2, 2)), ValueError, DIMENSIONS_1, "values[0]"),
    ("richardson_lucy_cy", "x", np.ones((11, 1)), ValueError, DIMENSIONS_1, "one-dimensional"),
    ("resampler_cy", "response_matrix", np.ones(31), ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)", "one row per reference energy"),
    ("multi_gaussian_cy", "x", np.ones((1, 5)), ValueError, DIMENSIONS_1, "x.ravel()"),
    # Element type and item size
    ("ML_EM_cy", "y", np.array([1, 2, 3]), ValueError, mismatch("float64_t", "long"), "y.astype(np.float64)"),
    ("ML_EM_cy", "offsets", np.array([0, 2, 3, 4], dtype=np.int32), ValueError, mismatch("int64_t", "int"),
     "indptr.astype(np.int64)"),
    ("ML_EM_cy", "indices", np.array([0, 1, 1, 2]), ValueError, mismatch("int32_t", "long"),
     "indices.astype(np.int32)"),
    ("build_gaussian_response", "sigma", np.ones(11, dtype=np.float32), ValueError,
     mismatch("const double", "float"), "sigma.astype(np.float64)"),
    ("resampler_cy", "ref_indices", np.array([1, 2, 3], dtype=np.uint64), ValueError,
     mismatch("float64_t", "unsigned long"), "float64"),
    ("multi_gaussian_cy", "params", np.ones(3, dtype=np.complex128), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'complex double'", "params.astype(np.float64)"),
    ("ML_EM_cy", "sensitivity", np.ones(3, dtype=np.uint8), ValueError, mismatch("float64_t", "unsigned char"),
     "float64"),
    # Byte order
    ("richardson_lucy_cy", "y", np.ones(11, dtype=">f8"), ValueError, BIG_ENDIAN, "y.astype(np.float64)"),
    ("multi_gaussian_jacobian_cy", "x", np.ones(5, dtype=">f8"), ValueError, BIG_ENDIAN, "byte order"),
    # Scalars and flags
    ("ML_EM_cy", "iterations", "30", TypeError, "an integer is required", "integer"),
    ("richardson_lucy_cy", "iterations", 2**31, OverflowError, "value too large to convert to int", "C int"),
    ("richardson_lucy_cy", "k", "0.5", TypeError, "must be real number, not str", "real number"),
    ("build_gaussian_response", "nsigma", None, TypeError, "must be real number, not NoneType", "real number"),
    ("calculate_regions", "max_value", [], TypeError, "must be real number, not list", "real number"),
    ("ML_EM_cy", "reg_tikhonov", 1, TypeError, incorrect_type("reg_tikhonov", "bool", "int"), "bool(value)"),
    ("richardson_lucy_cy", "use_sensitivity", np.True_, TypeError,
     incorrect_type("use_sensitivity", "bool", "numpy.bool"), "True, False or None"),
    ("calculate_regions", "has_escape_peaks", 0, TypeError, incorrect_type("has_escape_peaks", "bool", "int"),
     "True, False or None"),
]


@pytest.mark.parametrize("function, param, value, error, message, advice", CASES,
                         ids=[f"{case[0]}-{case[1]}-{case[3].__name__}" for case in CASES])
def test_argument_error_has_a_note(function, param, value, error, message, advice):
    with pytest.raises(error) as excinfo:
        call_with(function, **{param: value})
    assert str(excinfo.value) == message  # pytest's match would also see the note
    notes = getattr(excinfo.value, "__notes__", [])
    assert len(notes) == 1, notes
    assert notes[0].startswith(f"{function}: argument '{param}' ") and advice in notes[0], notes[0]


def lengths_mismatch(function, replaced):
    with pytest.raises(IndexError) as excinfo:
        call_with(function, **replaced)
    assert str(excinfo.value) == "Out of bounds on buffer access (axis 0)"
    notes = getattr(excinfo.value, "__notes__", [])
    assert len(notes) == 1, notes
    return notes[0]


@pytest.mark.parametrize("x_size", [5, 20])
def test_richardson_lucy_axis_and_spectrum_of_different_lengths(x_size):
    note = lengths_mismatch("richardson_lucy_cy", {"x": np.linspace(1.0, 11.0, x_size)})
    assert note == f"richardson_lucy_cy: x has {x_size} energies but y has 11 channels: pass x and y of the same length"


def test_builder_short_sigma():
    note = lengths_mismatch("build_gaussian_response", {"sigma": np.ones(4)})
    assert note == "build_gaussian_response: sigma has 4 widths but axis has 11 bins: pass one width per bin"


def test_ml_em_short_offsets_speak_of_the_square_matrix():
    y = np.ones(200)
    note = lengths_mismatch("ML_EM_cy", {"y": y, "sensitivity": y, "offsets": np.zeros(101, dtype=np.int64)})
    assert note == "y has 200 channels, so the square response matrix needs 201 offsets; got 101"


def test_ml_em_none_spectrum():
    with pytest.raises(ValueError) as e:
        call_with("ML_EM_cy", y=None)
    assert str(e.value) == "Buffer has wrong number of dimensions (expected 1, got 0)"
    assert e.value.__notes__ == [
        "ML_EM_cy: argument 'y' must be a one-dimensional float64 array, not None: an empty spectrum is np.empty(0)"]


def test_valid_calls_and_errors_of_numpy_carry_no_note():
    # Notes belong to argument errors only; a valid call is unaffected.
    assert call_with("ML_EM_cy").shape == sample_args("ML_EM_cy")[0].shape
    with pytest.raises(TypeError) as excinfo:
        call_with("multi_gaussian_cy", bogus=F64)
    assert not hasattr(excinfo.value, "__notes__")
