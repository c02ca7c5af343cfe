"""Call binding, scalar conversions and type tests of the exported kernels."""

import math
import warnings

import numpy as np
import pytest

from conftest import KERNELS, assert_identical, call_with, exact, sample_args


class Name(str):
    """A keyword name of a str subclass: binding compares it by equality, not identity."""


def fresh(name):
    """An equal but not interned copy of an identifier."""
    return "".join(list(name))


def call(name, n_positional, keywords=(), extra=None):
    """Calls a kernel with its sample values: the first n_positional by position, the
    parameters named in keywords (names may be Name or fresh copies) by keyword."""
    kernel = KERNELS[name]
    values = sample_args(name) + [None]  # one spare value to overflow the parameter list
    kwargs = {p: values[kernel.params.index(p)] for p in keywords}
    return kernel.load()(*values[:n_positional], **kwargs, **(extra or {}))


def binding_cases():
    for k in KERNELS.values():
        m, n, p = k.required, len(k.params), k.params
        least, most = ("exactly", "exactly") if k.defaults is None else ("at least", "at most")
        few = f"{k.name}() takes {least} {m} positional arguments ({{}} given)".format
        many = f"{k.name}() takes {most} {n} positional arguments ({n + 1} given)"
        unknown = f"{k.name}() got an unexpected keyword argument 'foo'"
        twice = f"{k.name}() got multiple values for keyword argument '{{}}'".format
        cases = {
            "none": (0, (), None, few(0)),
            "too-few": (m - 1, (), None, few(m - 1)),
            "too-many": (n + 1, (), None, many),
            "too-many-before-unknown-keyword": (n + 1, (), {"foo": 1}, many),
            "keywords-lack-last-required": (0, p[: m - 1], None, few(m - 1)),
            "keywords-skip-first": (0, p[1:], None, few(0)),
            "keywords-skip-second": (1, p[2:], None, few(1)),
            "unknown-keyword": (n, (), {"foo": 1}, unknown),
            "unknown-before-missing": (0, (), {"foo": 1}, unknown),
            "unknown-subclass-name": (n, (), {Name("foo"): 1}, unknown),
            "first-twice": (1, p[:1], None, twice(p[0])),
            "last-twice": (n, (fresh(p[-1]),), None, twice(p[-1])),
            "subclass-name-twice": (1, (Name(p[0]),), None, twice(p[0])),
        }
        for label, (n_pos, keywords, extra, message) in cases.items():
            yield pytest.param(k.name, n_pos, keywords, extra, message, id=f"{k.name}-{label}")
    yield pytest.param("ML_EM_cy", 0, ("y", "indices"), None,
                       "ML_EM_cy() takes at least 5 positional arguments (1 given)", id="ML_EM_cy-y-indices")


@pytest.mark.parametrize("name, n_positional, keywords, extra, message", list(binding_cases()))
def test_binding_errors(name, n_positional, keywords, extra, message, quiet):
    with pytest.raises(TypeError, match=exact(message)):
        call(name, n_positional, keywords, extra)


@pytest.mark.parametrize("name", KERNELS)
@pytest.mark.parametrize("extra", [{1: 2}, {"foo": 1, 2: 3}], ids=["only", "after-str"])
def test_keyword_dict_needs_str_keys(name, extra, quiet):
    with pytest.raises(TypeError, match=exact("keywords must be strings")):
        call(name, 1, (), extra)


def number(value, *protocols):
    """An object whose number protocols (__float__, __index__, __int__) return value."""
    return type("Number", (), {name: lambda self: value for name in protocols})()


class SubInt(int):
    pass


def call_one(name, param, value):
    return call_with(name, **{param: value})


DOUBLE_PARAMS = [("calculate_regions", "E_p"), ("calculate_regions", "max_value"),
                 ("build_gaussian_response", "nsigma"), ("richardson_lucy_cy", "k"),
                 ("richardson_lucy_cy", "reg_tikhonov_lambda"), ("ML_EM_cy", "reg_tikhonov_lambda")]


@pytest.mark.parametrize("form", [int, lambda v: number(v, "__float__"), lambda v: number(int(v), "__index__"),
                                  np.int64, np.float32],
                         ids=["int", "__float__", "__index__", "numpy-int", "numpy-float32"])
@pytest.mark.parametrize("name, param", DOUBLE_PARAMS)
def test_double_conversion_accepts_numbers(name, param, form):
    value = sample_args(name)[KERNELS[name].params.index(param)]  # integral, exact in float32
    assert_identical(call_one(name, param, form(value)), call_one(name, param, value))


def float_protocol_error(value):
    """The interpreter's own message for an object its float protocol refuses."""
    with pytest.raises(TypeError) as refused:
        math.sqrt(value)
    return str(refused.value)


@pytest.mark.parametrize("bad", ["3", None, number("3", "__float__")], ids=["str", "None", "__float__-str"])
@pytest.mark.parametrize("name, param", DOUBLE_PARAMS)
def test_double_conversion_errors_come_from_interpreter(name, param, bad, quiet):
    with pytest.raises(TypeError, match=exact(float_protocol_error(bad))):
        call_one(name, param, bad)


INT_PARAMS = [("ML_EM_cy", "iterations"), ("richardson_lucy_cy", "iterations")]


@pytest.mark.parametrize("value, used", [(30.9, 30), (-0.9, 0), (True, 1), (np.int64(2), 2),
                                         (number(2, "__float__", "__int__"), 2), (-2**31, 0)])
@pytest.mark.parametrize("name, param", INT_PARAMS)
def test_int_conversion_accepts(name, param, value, used):
    assert_identical(call_one(name, param, value), call_one(name, param, used))


@pytest.mark.parametrize("value, error, message", [
    ("30", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
    (number("3", "__float__", "__int__"), TypeError, "__int__ returned non-int (type str)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
])
@pytest.mark.parametrize("name, param", INT_PARAMS)
def test_int_conversion_errors(name, param, value, error, message, quiet):
    with pytest.raises(error, match=exact(message)):
        call_one(name, param, value)


SUBCLASS_WARNING = ("__int__ returned non-int (type SubInt).  The ability to return an instance of a "
                    "strict subclass of int is deprecated, and may be removed in a future version of Python.")


@pytest.mark.parametrize("name, param", INT_PARAMS)
def test_int_subclass_from_int_warns_then_is_used(name, param):
    with pytest.warns(DeprecationWarning, match=exact(SUBCLASS_WARNING)):
        result = call_one(name, param, number(SubInt(2), "__int__"))
    assert_identical(result, call_one(name, param, 2))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=exact(SUBCLASS_WARNING)):
            call_one(name, param, number(SubInt(2), "__int__"))


BOOL_PARAMS = [("calculate_regions", "has_escape_peaks"), ("ML_EM_cy", "reg_tikhonov"),
               ("ML_EM_cy", "use_sensitivity"), ("richardson_lucy_cy", "reg_tikhonov"),
               ("richardson_lucy_cy", "use_sensitivity")]


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), (np.True_, "numpy.bool"),
                                              ("True", "str")])
@pytest.mark.parametrize("name, param", BOOL_PARAMS)
def test_bool_parameters_take_only_bool_or_none(name, param, value, type_name, quiet):
    message = f"Argument '{param}' has incorrect type (expected bool, got {type_name})"
    with pytest.raises(TypeError, match=exact(message)):
        call_one(name, param, value)


def ml_em_arrays(**replaced):
    return list((dict(zip(KERNELS["ML_EM_cy"].params, sample_args("ML_EM_cy")[:5])) | replaced).values())


ONES, F32 = np.ones(3), np.ones(3, np.float32)
FLOAT_FROM_STR, INT_FROM_STR = "must be real number, not str", "an integer is required"


def list_refused(param):
    return f"Argument '{param}' has incorrect type (expected numpy.ndarray, got list)"


# Conversions run first in parameter order, then the type tests, then the buffer checks.
@pytest.mark.parametrize("name, args, error, message", [
    ("calculate_regions", ("x", 1.0), TypeError,
     "calculate_regions() takes exactly 3 positional arguments (2 given)"),
    ("calculate_regions", (1.0, "x", 1), TypeError, FLOAT_FROM_STR),
    ("resampler_cy", ([], [], [], [], []), TypeError, list_refused("response_matrix")),
    ("multi_gaussian_jacobian_cy", (np.ones(2), []), TypeError, list_refused("params")),
    ("multi_gaussian_cy", ([1.0], None), TypeError, list_refused("x")),
    ("multi_gaussian_jacobian_cy", (F32, np.ones((3, 3))), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("ML_EM_cy", ([], [], [], [], [], "30", 1, "x"), TypeError, INT_FROM_STR),
    ("ML_EM_cy", ([], [], [], [], [], 30, 1, "x"), TypeError, FLOAT_FROM_STR),
    ("ML_EM_cy", (None,) * 5 + (30, 1, 0.1, 1), TypeError,
     "Argument 'reg_tikhonov' has incorrect type (expected bool, got int)"),
    ("ML_EM_cy", ml_em_arrays(y=F32, indices=np.ones(4, np.int64)), ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
    ("ML_EM_cy", ml_em_arrays(y=F32, values=[1.0]), TypeError, list_refused("values")),
    ("richardson_lucy_cy", ([], [], "x", [], "30"), TypeError, FLOAT_FROM_STR),
    ("richardson_lucy_cy", (ONES, ONES, 1.0, ONES, "b", False, "c"), TypeError, INT_FROM_STR),
    ("richardson_lucy_cy", (ONES, ONES, 1.0, [1.0], 1, False, "c"), TypeError, FLOAT_FROM_STR),
    ("richardson_lucy_cy", ([], [], 1.0, [], 30, 1), TypeError, list_refused("x")),
    ("richardson_lucy_cy", (F32, ONES, 1.0, ONES, 1, 1), TypeError,
     "Argument 'reg_tikhonov' has incorrect type (expected bool, got int)"),
])
def test_first_failure_in_check_order_is_reported(name, args, error, message, quiet):
    with pytest.raises(error, match=exact(message)):
        KERNELS[name].load()(*args)
