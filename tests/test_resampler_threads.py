"""resampler_cy split over threads: the requested rows of a large call are made on several threads
where every row is native work, and the result is the same bytes for any thread count, including
where a call runs serially (NumPy's sums replaced, a matrix subclass, rows not contiguous)."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from conftest import KERNELS

resampler = pytest.importorskip("vexora.utils.numerics.kernels.resampler")

THREAD_COUNTS = [1, 2, 3, 4, 7]


def with_threads(threads, f, *args):
    """f(*args) with VEXORA_NUM_THREADS set to `threads` for the call, then restored."""
    before = os.environ.get("VEXORA_NUM_THREADS")
    os.environ["VEXORA_NUM_THREADS"] = str(threads)
    try:
        return f(*args)
    finally:
        if before is None:
            del os.environ["VEXORA_NUM_THREADS"]
        else:
            os.environ["VEXORA_NUM_THREADS"] = before


def assert_same_bytes(a, b):
    assert len(a) == len(b) == 3
    for x, y in zip(a, b):
        assert x.dtype == y.dtype and x.shape == y.shape
        assert x.tobytes() == y.tobytes()


def large_problem(seed, channels=2048, requested=300, references=40, nan_rows=()):
    """Rows × channels far above the size from which a call splits: reference rows with a peak,
    a continuum and zeros, requested energies in no order with repeats, the reference energies
    themselves among them (the first one too: t = 0), on a recalibrated axis."""
    rng = np.random.default_rng(seed)
    axis = (np.arange(channels) + 0.5) * (3000.0 / channels)
    ref = np.sort(rng.uniform(50.0, 3000.0, references))
    matrix = np.array([np.exp(-0.5 * ((axis - E) / (5 + 0.02 * E)) ** 2) + 0.3 * (axis < E) * rng.random()
                       for E in ref])
    matrix[rng.random(matrix.shape) < 0.01] = 0.0
    for r in nan_rows:
        matrix[r, rng.integers(0, channels, 3)] = np.nan
    energies = rng.uniform(ref[0], ref[-1], requested)
    energies[:references] = ref[rng.permutation(references)]
    energies[-5:] = energies[7]
    requested_axis = axis * rng.uniform(0.95, 1.05) + rng.uniform(-5, 5)
    return [matrix, ref, axis, energies, requested_axis]


def same_for_every_count(args):
    serial = with_threads(1, resampler.resampler_cy, *args)
    for threads in THREAD_COUNTS[1:]:
        assert_same_bytes(with_threads(threads, resampler.resampler_cy, *args), serial)
    return serial


def as_fortran(matrix):
    return np.asfortranarray(matrix)


def columns_strided(matrix):
    wide = np.zeros((matrix.shape[0], 2 * matrix.shape[1]))
    wide[:, ::2] = matrix
    return wide[:, ::2]


def wider_than_the_axis(matrix):
    """Rows longer than the reference axis: each is scaled by the sum of the whole row."""
    return np.hstack([matrix, np.full((matrix.shape[0], 7), 0.25)])


@pytest.mark.parametrize("layout", [np.copy, wider_than_the_axis, as_fortran, columns_strided])
@pytest.mark.parametrize("nan_rows", [(), (0, 5, 6, 39)], ids=["finite", "nan_rows"])
def test_same_bytes_for_every_thread_count(layout, nan_rows):
    args = large_problem(len(nan_rows) + 1, nan_rows=nan_rows)
    args[0] = layout(args[0])
    serial = same_for_every_count(args)
    assert len(serial[2]) > 100_000
    if nan_rows:
        # A row made from a reference row with NaN has no value to store.
        lengths = np.diff(serial[0])
        assert (lengths == 0).any() and (lengths > 0).any()


def test_uneven_blocks_and_long_rows():
    """Rows long enough that a block holds only a few, and a count that leaves a short last block."""
    same_for_every_count(large_problem(7, channels=70_001, requested=23, references=5))


class Subclass(np.ndarray):
    pass


class StandIn:
    """numpy, with `sum` replaced by a function of its own (same values)."""

    def __getattr__(self, name):
        return getattr(np, name)

    @staticmethod
    def sum(a, *args, **kwargs):
        return np.sum(a, *args, **kwargs)


def test_same_bytes_where_numpy_sums_the_rows(monkeypatch):
    """A replaced np.sum and a matrix subclass: the rows go through NumPy, on the caller's thread,
    and give what the native sums give."""
    args = large_problem(11, requested=150)
    native = same_for_every_count(args)
    monkeypatch.setattr(resampler, "np", StandIn())
    assert_same_bytes(same_for_every_count(args), native)
    monkeypatch.undo()
    args[0] = args[0].view(Subclass)
    assert_same_bytes(same_for_every_count(args), native)


def test_concurrent_calls_share_the_helpers():
    """Calls from four threads at once ask for 7 threads each: together they get fewer than they
    ask for, and each still gives the serial bytes."""
    problems = [large_problem(20 + i, requested=200) for i in range(4)]
    serial = [with_threads(1, resampler.resampler_cy, *args) for args in problems]
    results = [[None] * len(problems) for _ in range(4)]
    start = threading.Barrier(4)

    def run(t):
        start.wait()
        for i in np.random.default_rng(t).permutation(len(problems)):
            results[t][i] = resampler.resampler_cy(*problems[i])

    before = os.environ.get("VEXORA_NUM_THREADS")
    os.environ["VEXORA_NUM_THREADS"] = "7"
    try:
        pool = [threading.Thread(target=run, args=(t,)) for t in range(4)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
    finally:
        if before is None:
            del os.environ["VEXORA_NUM_THREADS"]
        else:
            os.environ["VEXORA_NUM_THREADS"] = before
    for per_thread in results:
        for got, expected in zip(per_thread, serial):
            assert_same_bytes(got, expected)


@pytest.mark.parametrize("value", ["0", "-2", "two", ""])
def test_an_invalid_thread_count_is_refused(value, monkeypatch):
    monkeypatch.setenv("VEXORA_NUM_THREADS", value)
    with pytest.raises(ValueError, match="VEXORA_NUM_THREADS") as excinfo:
        resampler.resampler_cy(*large_problem(3, requested=60))
    assert any("resampler_cy" in note and "positive integer" in note for note in excinfo.value.__notes__)


CHILD = """
import os, signal, sys, time
import numpy as np
sys.path.insert(0, {tests!r})
import test_resampler_threads as t
from in_the_loop import during_the_loop, kernel_entry
os.environ["VEXORA_NUM_THREADS"] = "2"
# 2**22 requested rows of 4096 channels: minutes of work; a narrow peak keeps the rows stored short.
axis = np.linspace(1.0, 3000.0, 4096)
ref = np.linspace(100.0, 2900.0, 64)
matrix = np.array([np.exp(-0.5 * ((axis - E) / 4.0) ** 2) for E in ref])
energies = np.random.default_rng(1).uniform(ref[0], ref[-1], 2**22)
start = time.monotonic()
try:
    # SIGINT with Ctrl-C's own handler, once the call's loop runs.
    during_the_loop(signal.default_int_handler, t.resampler.resampler_cy, matrix, ref, axis, energies, axis,
                    signum=signal.SIGINT)
except KeyboardInterrupt as error:
    print("interrupted", kernel_entry(error), time.monotonic() - start)
else:
    print("finished")
"""


def test_ctrl_c_stops_a_split_call():
    code = CHILD.format(tests=str(Path(__file__).parent))
    child = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    words = child.stdout.split()
    assert words[:2] == ["interrupted", KERNELS["resampler_cy"].qualname]
    assert float(words[2]) < 60.0  # far below the minutes an uninterrupted call takes
