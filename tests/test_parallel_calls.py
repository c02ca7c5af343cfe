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

# "default": neither variable set, the machine's CPUs. A count above them runs as many threads as
# CPUs: the native tests split the kernels over more.
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


def long_ml_em_case():
    """ML-EM's iterations of a Gaussian response of 1.6e6 entries, long enough to look for signals."""
    n = 4096
    axis = np.linspace(1.0, 3000.0, n)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, 30.0 + 0.02 * axis)
    y = np.random.default_rng(4).poisson(50.0, n).astype(np.float64)
    return deconvolution.ML_EM_cy, (y, offsets, indices, values, np.ones(n), 100)


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


# Calls whose loops look for signals: a split one and the iterations of ML-EM.
MID_CALL_CASES = {"build_gaussian_response": builder_case, "ML_EM_cy": long_ml_em_case}

FORKED_MID_CALL = """
import os, sys, time
import numpy as np
sys.path.insert(0, {tests!r})
import test_parallel_calls as t
from in_the_loop import during_the_loop
os.environ["VEXORA_NUM_THREADS"] = "2"
function, args = t.MID_CALL_CASES[{name!r}]()
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


@pytest.mark.parametrize("name", MID_CALL_CASES)
def test_a_child_forked_by_a_signal_handler_mid_call_finishes_it(name):
    """A signal handler run between a split call's chunks, or between ML-EM's iterations, may
    fork: the child has only the calling thread, which finishes the call alone with the same bits
    instead of waiting for the helpers it lost. (The Gaussian functions keep the lock, so no other
    thread can send the signal while they run.)"""
    code = FORKED_MID_CALL.format(tests=str(Path(__file__).parent), name=name)
    child = subprocess.run([sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", code],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["True", "child-exit-0"]


THREADS_OF_A_CALL = """
import os, sys, threading, time
sys.path.insert(0, {tests!r})
import test_parallel_calls as t
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{cpus}])
os.environ["VEXORA_NUM_THREADS"] = "8"
function, args = t.long_ml_em_case()
tasks = lambda: len(os.listdir("/proc/self/task"))
before = tasks()
helpers = 0
# Counted by a thread that looks every millisecond while the call runs; repeated until it has
# seen the helpers the CPUs allow, should it not get a CPU during a call.
for _ in range(20):
    running, most = threading.Event(), [0]
    def count():
        while running.is_set():
            most[0] = max(most[0], tasks() - before - 1)  # less this thread
            time.sleep(0.001)
    running.set()
    counter = threading.Thread(target=count)
    counter.start()
    function(*args)
    running.clear()
    counter.join()
    helpers = max(helpers, most[0])
    if helpers >= {cpus} - 1:
        break
print(helpers)
"""


@pytest.mark.parametrize("cpus", [1, 2])
def test_a_count_above_the_cpus_runs_as_many_threads_as_cpus(cpus):
    """VEXORA_NUM_THREADS=8 on a process allowed fewer CPUs starts helpers for those CPUs only."""
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"this process may run on fewer than {cpus} CPUs")
    code = THREADS_OF_A_CALL.format(tests=str(Path(__file__).parent), cpus=cpus)
    child = subprocess.run([sys.executable, "-P", "-W", "ignore::DeprecationWarning", "-c", code],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == [str(cpus - 1)]
