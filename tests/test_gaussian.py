"""Multi-Gaussian model and Jacobian: exact values, edge cases, argument handling."""

import math
import re
import types

import numpy as np
import pytest

from vexora.utils.numerics.kernels import gaussian

model = gaussian.multi_gaussian_cy
jacobian = gaussian.multi_gaussian_jacobian_cy
FUNCTIONS = pytest.mark.parametrize("f", [model, jacobian], ids=["model", "jacobian"])
SOURCE = "vexora/utils/numerics/kernels/gaussian"
LINES = {model: 12, jacobian: 40}


@np.errstate(all="ignore")
def reference(x, params):
    """Model and Jacobian evaluated sample by sample in the kernels' order of operations."""
    y, J = [np.float64(0.0)] * len(x), np.zeros((len(x), len(params)))
    for i in range(len(params) // 3):
        A, mu, variance = params[3 * i:3 * i + 3]
        for j in range(len(x)):
            dx = x[j] - mu
            # np.float64 operands give IEEE inf and NaN where Python floats would raise.
            e = math.exp(((-0.5 * dx) * dx) / variance)
            y[j] += A * e
            J[j, 3 * i] = e
            J[j, 3 * i + 1] = ((A * e) * dx) / variance
            J[j, 3 * i + 2] = (((A * e) * dx) * dx) / ((2 * variance) * variance)
    return np.array(y, dtype=np.float64), J


def random_case(seed, m, n_params):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-10.0, 10.0, m)
    params = np.empty(n_params)
    params[0::3] = rng.uniform(-5.0, 5.0, len(params[0::3]))
    params[1::3] = rng.uniform(-10.0, 10.0, len(params[1::3]))
    params[2::3] = rng.uniform(0.05, 9.0, len(params[2::3]))
    return x, params


def assert_same(actual, expected):
    assert type(actual) is np.ndarray and actual.dtype == np.float64 and actual.flags.c_contiguous
    assert actual.shape == expected.shape
    assert np.array_equal(actual, expected, equal_nan=True)


@pytest.mark.parametrize("seed, m, n_params", [
    (0, 1, 3), (1, 63, 6), (2, 64, 30), (3, 65, 61), (4, 200, 120), (5, 1000, 14)])
def test_matches_reference_bit_for_bit(seed, m, n_params):
    x, params = random_case(seed, m, n_params)
    y, J = model(x, params), jacobian(x, params)
    expected_y, expected_J = reference(x, params)
    assert_same(y, expected_y)
    assert_same(J, expected_J)
    # The A column is exactly the factor that the model scales by A, summed in parameter order.
    rebuilt = np.zeros(m)
    for i, A in enumerate(params[0:3 * (n_params // 3):3]):
        rebuilt += A * J[:, 3 * i]
    assert np.array_equal(y, rebuilt)


def test_worked_example():
    e = math.exp(-0.5)
    x, params = np.array([1.0]), np.array([2.0, 0.0, 1.0])
    assert model(x, params).tolist() == [2 * e]
    assert jacobian(x, params).tolist() == [[e, 2 * e, e]]


@pytest.mark.parametrize("n_params", range(6))
def test_incomplete_triple_is_ignored(n_params):
    # NaN trailing values would poison any result that read them.
    x = np.linspace(-2.0, 3.0, 7)
    params = np.array([1.5, 0.2, 0.7, np.nan, np.nan])[:n_params]
    expected_y, expected_J = reference(x, params[:3 * (n_params // 3)])
    assert_same(model(x, params), expected_y)
    J = jacobian(x, params)
    assert J.shape == (7, n_params)
    assert np.array_equal(J[:, :expected_J.shape[1]], expected_J)
    assert (J[:, expected_J.shape[1]:] == 0.0).all()


@pytest.mark.parametrize("n_params", [0, 3, 5])
def test_empty_x(n_params):
    x, params = np.empty(0), np.ones(n_params)
    assert_same(model(x, params), np.zeros(0))
    assert_same(jacobian(x, params), np.zeros((0, n_params)))


def test_sample_at_centre():
    x, params = np.array([-1.0, 0.25, 2.0]), np.array([3.0, 0.25, 0.5])
    assert model(x, params)[1] == 3.0
    assert jacobian(x, params)[1].tolist() == [1.0, 0.0, 0.0]


def test_zero_variance():
    x, params = np.array([-1.0, 0.5, 2.0]), np.array([3.0, 0.5, 0.0])
    assert_same(model(x, params), np.array([0.0, np.nan, 0.0]))
    J = jacobian(x, params)
    assert np.array_equal(J[:, 0], [0.0, np.nan, 0.0], equal_nan=True)
    assert np.isnan(J[:, 1:]).all()


def test_negative_variance_grows_with_distance():
    x, params = np.arange(4.0), np.array([1.0, 0.0, -1.0])
    y, (expected_y, expected_J) = model(x, params), reference(x, params)
    assert y[0] == 1.0 and (np.diff(y) > 0).all()
    assert_same(y, expected_y)
    assert_same(jacobian(x, params), expected_J)


class Subclass(np.ndarray):
    pass


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@FUNCTIONS
@pytest.mark.parametrize("layout", [
    lambda x, p: (x[::2], p), lambda x, p: (x[::-1], p), lambda x, p: (x, p[::2]),
    lambda x, p: (x[::-3], p[::-2]), lambda x, p: (read_only(x), read_only(p)),
    lambda x, p: (x.view(Subclass), p.view(Subclass))],
    ids=["x[::2]", "x[::-1]", "params[::2]", "both reversed", "read-only", "subclass"])
def test_layouts_equal_contiguous_copies(f, layout):
    x, params = layout(*random_case(7, 131, 24))
    before = (x.copy(), params.copy(), x.flags.writeable, params.flags.writeable)
    assert_same(f(x, params), f(np.ascontiguousarray(x), np.ascontiguousarray(params)))
    assert np.array_equal(x, before[0]) and np.array_equal(params, before[1])
    assert (x.flags.writeable, params.flags.writeable) == before[2:]


def assert_traceback_entry(excinfo, f):
    """The innermost entry, and the only one from the module, is the function's definition."""
    entries, tb = [], excinfo.tb
    while tb is not None:
        entries.append((tb.tb_frame.f_code.co_filename, tb.tb_lineno, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    qualname = f"vexora.utils.numerics.kernels.gaussian.{f.__name__}"
    assert [e for e in entries if e[0] == SOURCE] == [(SOURCE, LINES[f], qualname)]
    assert entries[-1][0] == SOURCE


@FUNCTIONS
@pytest.mark.parametrize("x, params, error, message", [
    (np.ones(3, np.float32), np.ones(3), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(3), np.ones(3, np.int64), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones(3, np.int32), np.ones(3), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'int'"),
    (np.ones(3), np.ones(3, ">f8"), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    (np.ones((3, 1)), np.ones(3), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.ones(3), np.array(1.0), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (None, np.ones(3), TypeError,
     "Argument 'x' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (np.ones(3), None, TypeError,
     "Argument 'params' has incorrect type (expected numpy.ndarray, got NoneType)"),
    (np.ones(3), [1.0, 0.0, 1.0], TypeError,
     "Argument 'params' has incorrect type (expected numpy.ndarray, got list)"),
    # x is tested first, then its buffer is acquired first.
    ([1.0], None, TypeError, "Argument 'x' has incorrect type (expected numpy.ndarray, got list)"),
    (np.ones(3, np.float32), np.ones((3, 3)), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
])
def test_refused_arguments(f, x, params, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$") as excinfo:
        f(x, params)
    assert_traceback_entry(excinfo, f)


@FUNCTIONS
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{}() takes exactly 2 positional arguments (0 given)"),
    ((np.ones(2),), {}, "{}() takes exactly 2 positional arguments (1 given)"),
    ((np.ones(2),) * 3, {}, "{}() takes exactly 2 positional arguments (3 given)"),
    ((), {"x": np.ones(2)}, "{}() takes exactly 2 positional arguments (1 given)"),
    ((), {"params": np.ones(3)}, "{}() takes exactly 2 positional arguments (0 given)"),
    ((np.ones(2),), {"x": np.ones(2)}, "{}() got multiple values for keyword argument 'x'"),
    ((np.ones(2), np.ones(3)), {"mu": 1.0}, "{}() got an unexpected keyword argument 'mu'"),
])
def test_binding_errors(f, args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message.format(f.__name__))}$") as excinfo:
        f(*args, **kwargs)
    assert_traceback_entry(excinfo, f)


@FUNCTIONS
def test_keywords_bind_like_positions(f):
    x, params = random_case(8, 10, 9)
    assert_same(f(params=params, x=x), f(x, params))
    assert_same(f(x, params=params), f(x, params))


@FUNCTIONS
@pytest.mark.parametrize("np_global, error, message", [
    (None, NameError, "name 'np' is not defined"),
    (types.SimpleNamespace(zeros=lambda *a, **k: [], float64=np.float64), TypeError,
     "Cannot convert list to numpy.ndarray")])
def test_numpy_looked_up_at_call_time(monkeypatch, f, np_global, error, message):
    if np_global is None:
        monkeypatch.delattr(gaussian, "np")
    else:
        monkeypatch.setattr(gaussian, "np", np_global)
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        f(np.ones(2), np.ones(3))
