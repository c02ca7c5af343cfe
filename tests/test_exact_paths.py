"""The exp-bound kernels give the same bits on every exp path: the exact vector exp this process
selected, the C library's exp, forced in a child interpreter by VEXORA_EXACT_EXP=libm, and the
vector exp four lanes wide where this process runs eight, forced by VEXORA_EXP_LANES=4.

The inputs reach every branch of the exp: exponents far below -1024 (samples far from a peak),
positive ones that overflow (negative variances), subnormal results, NaN and infinities, and
lengths that leave partial vectors and tiles.
"""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from vexora.utils.numerics.kernels import _exact_exp as exact_exp
from vexora.utils.numerics.kernels import deconvolution, gaussian

CHILD = """
import pickle, sys
from vexora.utils.numerics.kernels import _exact_exp, deconvolution, gaussian
calls = pickle.load(sys.stdin.buffer)
results = [getattr({"gaussian": gaussian, "deconvolution": deconvolution}[module], name)(*args)
           for module, name, args in calls]
pickle.dump((_exact_exp.path(), results), sys.stdout.buffer)
"""


def model_inputs():
    rng = np.random.default_rng(12)
    cases = []
    for m in (0, 1, 3, 4, 15, 16, 17, 63, 1001):
        x = np.sort(rng.uniform(-200.0, 1200.0, m))
        peaks = [[rng.uniform(1, 1e4), rng.uniform(0, 1000), rng.uniform(0.01, 400.0) ** 2] for _ in range(5)]
        peaks += [[2.0, 500.0, -3.0],                # exponents positive: overflow to infinity
                  [1.0, 100.0, 1e-6],                # far below -1024 almost everywhere
                  [3.0, 700.0, 0.0012],              # subnormal results near the centre
                  [1.0, 0.0, 26.0 * 26.0]]
        cases.append((x, np.ravel(peaks)))
    special = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e308, -1e308, 500.0, 500.0 + 1e-13])
    cases.append((special, np.array([1.0, 500.0, 1.0, 2.0, 0.0, 1e300, 1.0, 0.0, 1e-300])))
    cases.append((special, np.array([1.0, np.nan, 1.0, 1.0, 0.0, np.inf, -1.0, np.inf, 2.0])))
    cases.append((np.linspace(-30, 30, 40)[::3], np.array([1.5, 0.0, 1.0, 2.0, 1.0, 0.5])))  # strided x
    # NaNs with payloads meeting in the products: which survives is the compiler's operand order.
    payload_nans = np.array([0x7FF8_0000_0000_0001, 0, 0x7FF8_0000_0000_0002], dtype=np.int64).view(np.float64)
    payload_nans[1] = 0.0
    cases.append((np.array([-1.0, 0.0, 2.5, np.nan]), payload_nans))
    return cases


def builder_inputs():
    rng = np.random.default_rng(5)
    cases = []
    for n in (1, 2, 5, 9, 130):
        axis = np.sort(rng.uniform(10.0, 3000.0, n))
        cases.append((axis, rng.uniform(0.0, 40.0, n), 5.0))
    even = np.linspace(1.0, 4096.0, 4096)
    cases.append((even, 0.9 * np.sqrt(even), 5.0))              # mirrored bins, long windows
    cases.append((even[::2], np.full(2048, 1e-3), 3.0))          # strided axis, tiny widths
    cases.append((even[:40], np.r_[np.zeros(10), np.full(30, 2.0)], 40.0))  # delta rows beside wide ones
    return cases


def kernel_calls():
    calls = []
    for x, params in model_inputs():
        calls.append(("gaussian", "multi_gaussian_cy", (x, params)))
        calls.append(("gaussian", "multi_gaussian_jacobian_cy", (x, params)))
    for axis, sigma, nsigma in builder_inputs():
        calls.append(("deconvolution", "build_gaussian_response", (axis, sigma, nsigma)))
    axis = np.linspace(20.0, 3000.0, 700)
    y = np.random.default_rng(3).poisson(50.0, 700).astype(np.float64)
    calls.append(("deconvolution", "richardson_lucy_cy", (axis, y, 0.7, np.ones(700), 5)))
    return calls


def in_child(calls, **setting):
    # GLIBC_TUNABLES passes on, so that the child's C library runs the same variant as ours.
    environment = dict(os.environ, **setting)
    child = subprocess.run([sys.executable, "-P", "-c", CHILD], input=pickle.dumps(calls), capture_output=True,
                           env=environment, timeout=120)
    assert child.returncode == 0, child.stderr.decode()
    return pickle.loads(child.stdout)


def on_libm_exp(calls):
    return in_child(calls, VEXORA_EXACT_EXP="libm")


def same_bits(a, b):
    """Equal bit for bit, except that a NaN may carry another payload or sign: the operand order
    of an addition or product of two NaNs is the compiler's, and decides which one survives."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind != "f":
        return a.tobytes() == b.tobytes()
    nan = np.isnan(a)
    return np.array_equal(nan, np.isnan(b)) and a[~nan].tobytes() == b[~nan].tobytes()


@pytest.fixture(scope="module")
def libm_results():
    path, results = on_libm_exp(kernel_calls())
    assert path == "libm"
    return results


@pytest.fixture(scope="module")
def four_lane_results():
    """The kernels in a child whose vector exp runs four lanes wide, where this process runs eight."""
    if exact_exp.lanes() == 4:
        pytest.skip("this process runs the vector exp four lanes wide already")
    path, results = in_child(kernel_calls(), VEXORA_EXP_LANES="4")
    assert path == exact_exp.path()
    return results


def assert_same_results(here, there):
    if isinstance(here, tuple):
        assert len(here) == len(there) and all(same_bits(h, t) for h, t in zip(here, there))
    else:
        assert same_bits(here, there)


def call(index):
    module, name, args = kernel_calls()[index]
    return getattr({"gaussian": gaussian, "deconvolution": deconvolution}[module], name)(*args)


@pytest.mark.parametrize("index", range(len(kernel_calls())))
def test_kernels_equal_on_every_exp_path(index, libm_results):
    assert_same_results(call(index), libm_results[index])


@pytest.mark.parametrize("index", range(len(kernel_calls())))
def test_kernels_equal_at_every_width(index, four_lane_results):
    assert_same_results(call(index), four_lane_results[index])
