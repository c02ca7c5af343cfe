"""Calls split over threads: the same bytes for any number of threads, the knob that sets it, a
fork after a threaded call, and Ctrl-C with threads on."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import KERNELS
from vexora.utils.numerics.kernels import deconvolution, gaussian

# "default": neither variable set, the machine's CPUs (ML-EM's iterations: those left free).
THREAD_COUNTS = ["1", "2", "3", "4", "7", "default"]


@pytest.fixture
def threads(monkeypatch):
    """Sets VEXORA_NUM_THREADS for the calls that follow (os.environ is read at each call)."""
    def use(count):
        if count == "default":
            monkeypatch.delenv("VEXORA_NUM_THREADS", raising=False)
            monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
        else:
            monkeypatch.setenv("VEXORA_NUM_THREADS", count)
    return use


def builder_case():
    n = 20_000
    axis = np.linspace(1.0, 3000.0, n)
    sigma = 0.5 + 0.01 * axis
    sigma[::97] = 0.0  # delta rows
    sigma[5::101] = np.nan  # empty rows
    return deconvolution.build_gaussian_response, (axis, sigma)


def richardson_lucy_case():
    n = 6_000
    axis = np.linspace(1.0, 3000.0, n)
    counts = np.random.default_rng(3).poisson(50.0, n).astype(np.float64)
    return deconvolution.richardson_lucy_cy, (axis, counts, 0.8, np.ones(n), 5)


def peaks_case(function):
    rng = np.random.default_rng(5)
    x = np.linspace(0.0, 3000.0, 150_001)
    params = np.column_stack([rng.uniform(1, 100, 20), rng.uniform(0, 3000, 20), rng.uniform(10, 100, 20) ** 2])
    params = params.ravel()
    params[[3, 7]] = [np.nan, -0.0]  # a NaN amplitude and a negative zero centre
    return function, (x[::-1], params)  # strided samples


CASES = {
    "build_gaussian_response": builder_case,
    "richardson_lucy_cy": richardson_lucy_case,
    "multi_gaussian_cy": lambda: peaks_case(gaussian.multi_gaussian_cy),
    "multi_gaussian_jacobian_cy": lambda: peaks_case(gaussian.multi_gaussian_jacobian_cy),
}


def as_bytes(result):
    arrays = result if isinstance(result, tuple) else (result,)
    return [(a.dtype.str, a.shape, a.tobytes()) for a in arrays]


@pytest.mark.parametrize("name", CASES)
def test_results_are_the_same_bytes_for_any_thread_count(name, threads):
    function, args = CASES[name]()
    results = {}
    for count in THREAD_COUNTS:
        threads(count)
        results[count] = as_bytes(function(*args))
    assert all(results[count] == results["1"] for count in THREAD_COUNTS)


@pytest.mark.parametrize("value", ["0", "-2", "two", "", "1.5", " ", "3 threads"])
def test_an_invalid_thread_count_raises_with_a_note(value, threads):
    threads(value)
    with pytest.raises(ValueError) as excinfo:
        gaussian.multi_gaussian_cy(np.ones(3), np.ones(3))
    assert str(excinfo.value) == f"VEXORA_NUM_THREADS='{value}' is not a positive integer"
    assert excinfo.value.__notes__ == [
        f"multi_gaussian_cy: the environment variable VEXORA_NUM_THREADS is '{value}'; it takes a positive "
        "integer, the most threads one call runs (results are the same for any number), or unset it for the "
        "default"]
    assert excinfo.traceback[-1].name == KERNELS["multi_gaussian_cy"].qualname


@pytest.mark.parametrize("value", [" 2 ", "02", "100000", str(2**70)])
def test_valid_thread_counts_are_read_as_numbers(value, threads):
    function, args = CASES["multi_gaussian_cy"]()
    threads("1")
    expected = as_bytes(function(*args))
    threads(value)
    assert as_bytes(function(*args)) == expected


@pytest.mark.parametrize("omp", ["zero", "0", "-1", "", ",2", "4;2"])
def test_an_invalid_omp_num_threads_is_ignored(omp, monkeypatch):
    monkeypatch.delenv("VEXORA_NUM_THREADS", raising=False)
    monkeypatch.setenv("OMP_NUM_THREADS", omp)
    function, args = CASES["build_gaussian_response"]()
    expected = as_bytes(function(*args))
    monkeypatch.setenv("OMP_NUM_THREADS", "1")
    assert as_bytes(function(*args)) == expected


CHILD_AFTER_FORK = """
import os, sys
import numpy as np
sys.path.insert(0, {tests!r})
import test_parallel_calls as t
os.environ["VEXORA_NUM_THREADS"] = "2"
function, args = t.CASES["build_gaussian_response"]()
parent = t.as_bytes(function(*args))
pid = os.fork()
if pid == 0:
    # The child has one thread; its calls must still start helpers and finish.
    os._exit(0 if t.as_bytes(function(*args)) == parent else 1)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
"""


def test_a_forked_child_splits_its_calls_too():
    code = CHILD_AFTER_FORK.format(tests=str(Path(__file__).parent))
    child = subprocess.run([sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", code],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["child", "0"]


FORKED_MID_CALL = """
import os, sys, time
import numpy as np
sys.path.insert(0, {tests!r})
import test_parallel_calls as t
from in_the_loop import during_the_loop
os.environ["VEXORA_NUM_THREADS"] = "2"
function, args = t.CASES[{name!r}]()
expected = t.as_bytes(function(*args))
forked = []

def fork(number, frame):
    if not forked:
        forked.append(os.fork())

# The handler forks only while the call's loop runs; a call too short to catch one is repeated.
for _ in range(100):
    result = t.as_bytes(during_the_loop(fork, function, *args))
    if forked:
        break
if forked == [0]:
    os._exit(0 if result == expected else 1)
status = "no-fork"
for _ in range(12000 if forked else 0):
    pid, code = os.waitpid(forked[0], os.WNOHANG)
    if pid:
        status = f"child-exit-{{os.waitstatus_to_exitcode(code)}}"
        break
    time.sleep(0.01)
else:
    if forked:
        os.kill(forked[0], 9)
        status = "child-hung"
print(result == expected, status)
"""


def test_a_child_forked_by_a_signal_handler_mid_call_finishes_it():
    """A signal handler run between a split call's chunks may fork: the child has only the
    calling thread, which finishes the call alone with the same bits instead of waiting for the
    helpers it lost. (The Gaussian functions keep the lock, so no other thread can send the
    signal while they run.)"""
    code = FORKED_MID_CALL.format(tests=str(Path(__file__).parent), name="build_gaussian_response")
    child = subprocess.run([sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", code],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["True", "child-exit-0"]
