"""Multi-Gaussian model and Jacobian: exact values and edge cases."""

import math
import types

import numpy as np
import pytest

from conftest import exact
from vexora.utils.numerics.kernels import gaussian

model = gaussian.multi_gaussian_cy
jacobian = gaussian.multi_gaussian_jacobian_cy
FUNCTIONS = pytest.mark.parametrize("f", [model, jacobian], ids=["model", "jacobian"])


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


def test_worked_example():
    e = math.exp(-0.5)
    x, params = np.array([1.0]), np.array([2.0, 0.0, 1.0])
    assert model(x, params).tolist() == [2 * e]
    assert jacobian(x, params).tolist() == [[e, 2 * e, e]]


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
    with pytest.raises(error, match=exact(message)):
        f(np.ones(2), np.ones(3))
