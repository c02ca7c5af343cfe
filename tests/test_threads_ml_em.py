"""ML-EM split over threads: the bits of one thread for any thread count (NaN payloads aside), and
a split call still stops at a signal or a moved argument.

The matrices are large enough to be split (several hundred thousand entries) and hold every kind
of row: runs, runs written with negative columns, unsorted and repeated columns, empty rows,
NaN and infinite values. The thread count comes from VEXORA_NUM_THREADS, set for each call.
"""

import contextlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import KERNELS

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")

THREAD_COUNTS = (1, 2, 3, 4, 7)
NAI_K = 46.0 / 662.0**1.5  # FWHM 46 keV at 662 keV, growing as E^(3/2)
HPGE_K = 2.0 / 1332.0**1.5  # FWHM 2 keV at 1332 keV


@contextlib.contextmanager
def thread_count(count):
    saved = os.environ.get("VEXORA_NUM_THREADS")
    os.environ["VEXORA_NUM_THREADS"] = str(count)
    try:
        yield
    finally:
        if saved is None:
            del os.environ["VEXORA_NUM_THREADS"]
        else:
            os.environ["VEXORA_NUM_THREADS"] = saved


def energy_axis(n):
    return (np.arange(n) + 0.5) * (3000.0 / n)


def rows_of(offsets, indices, values):
    ends = offsets[1:-1]
    return list(zip(np.split(indices, ends), np.split(values, ends), strict=True))


def csr(rows):
    lengths = [len(c) for c, _ in rows]
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    indices = np.concatenate([c for c, _ in rows]).astype(np.int32)
    values = np.concatenate([v for _, v in rows]).astype(np.float64)
    return offsets, indices, values


def matrix(kind, n, rng, k=NAI_K):
    """A Gaussian response of n channels (FWHM k E^(3/2)), its rows changed as `kind` says; k=None
    gives a continuum instead: row j spans channels 0 to j + 8, as a scintillator's Compton
    continuum does, so that the parts of rows below a cut are many."""
    if k is None:
        rows = [(np.arange(min(j + 9, n)), rng.uniform(0.01, 1.0, min(j + 9, n))) for j in range(n)]
    else:
        axis = energy_axis(n)
        rows = rows_of(*deconvolution.build_gaussian_response(axis, k * axis**1.5 / 2.3548200450309493))
    for j, (c, v) in enumerate(rows):
        if kind == "negative" and j % 2:
            rows[j] = (c - n, v)
        elif kind == "unsorted" and j % 3 == 1:
            order = rng.permutation(len(c))
            rows[j] = (c[order], v[order])
        elif kind == "repeated" and j % 5 == 2:
            rows[j] = (np.concatenate([c, c[: len(c) // 2], [c[0] - n]]), np.concatenate([v, v[: len(v) // 2], [0.5]]))
        elif kind == "scattered" and j % 9 == 4:  # far channels: no banded structure
            far = rng.integers(0, n, 40)
            rows[j] = (np.concatenate([c, far]), np.concatenate([v, rng.uniform(0.01, 0.1, 40)]))
        elif kind == "gapped" and j % 4 and len(c) >= 24:  # stretches with a gap, as moved responses have
            cut = len(c) // 3  # the part after the gap counted from the end in every third row
            rows[j] = (np.concatenate([c[:cut], c[cut + 3:] - (n if j % 3 == 0 else 0), c[:1]]),
                       np.concatenate([v[:cut], v[cut + 3:], [0.25]]))
        elif kind == "empty" and (j % 7 == 3 or 100 <= j < 140):
            rows[j] = (c[:0], v[:0])
    offsets, indices, values = csr(rows)
    if kind == "non_finite":
        values[offsets[n // 3] + 2] = np.nan
        values[offsets[2 * n // 3]] = np.inf
        values[offsets[n - 5] + 1] = -np.inf
    return offsets, indices, values


KINDS = ["runs", "negative", "unsorted", "repeated", "scattered", "gapped", "empty", "non_finite"]


# Runs of wide NaI rows take the pipeline on two threads and the split on more, narrow HPGe rows
# the pipeline, the continuum the split; rows that are not runs run on one thread
# (tests/test_ml_em_plan.py pins the plans; the native tests run every executor on every kind).
SIZES = [(2048, NAI_K), (3001, NAI_K), (16384, HPGE_K), (20001, HPGE_K), (2051, None)]


def same_bits(a, b):
    """Every bit the same but the payloads of NaNs, which may differ where the compiler swaps the
    operands of a commutative operation (IEEE leaves the choice open): NaN in the same places."""
    nan = np.isnan(a)
    return np.array_equal(nan, np.isnan(b)) and a[~nan].tobytes() == b[~nan].tobytes()


@pytest.mark.parametrize(("n", "k"), SIZES, ids=[f"n={n}" if k else f"continuum n={n}" for n, k in SIZES])
@pytest.mark.parametrize("kind", KINDS)
def test_ml_em_gives_the_same_bits_for_any_thread_count(kind, n, k):
    rng = np.random.default_rng(n)
    offsets, indices, values = matrix(kind, n, rng, k)
    assert offsets[-1] >= 1 << 19  # large enough to be split
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    if kind == "non_finite":
        y[7], y[n // 2] = np.nan, np.inf
    sensitivity = rng.uniform(0.5, 1.5, n)
    results = {}
    for count in THREAD_COUNTS:
        with thread_count(count):
            results[count] = deconvolution.ML_EM_cy(y, offsets, indices, values, sensitivity, 12)
    assert all(same_bits(results[count], results[1]) for count in THREAD_COUNTS), [
        count for count in THREAD_COUNTS if not same_bits(results[count], results[1])]
    # The iterations did something: the estimate moved away from its start of ones.
    assert results[1].tobytes() != np.ones(n).tobytes()
    if kind == "non_finite":  # and the non-finite values reached it (every row, in a continuum)
        assert np.isnan(results[1]).any() and (k is None or not np.isnan(results[1]).all())


@pytest.mark.parametrize("bad_rows", [(1500,), (400, 1900), (2047,)])
def test_the_first_bad_column_is_named_for_any_thread_count(bad_rows):
    """The columns of a large matrix are checked in ranges of rows over the threads; the error
    still names the first column outside [-n, n) in row order, whichever thread found which."""
    n = 2048
    offsets, indices, values = matrix("runs", n, np.random.default_rng(5))
    assert offsets[-1] >= 1 << 19  # large enough to be split
    positions = [int(offsets[j]) + 3 for j in bad_rows]
    for position, column in zip(positions, (n, -n - 1), strict=False):
        indices[position] = column
    expected = f"indices[{positions[0]}] = {indices[positions[0]]} is outside [{-n}, {n})"
    y, sensitivity = np.ones(n), np.ones(n)
    for count in THREAD_COUNTS:
        with thread_count(count), pytest.raises(IndexError) as excinfo:
            deconvolution.ML_EM_cy(y, offsets, indices, values, sensitivity, 3)
        assert excinfo.value.__notes__ == [expected], count


@pytest.mark.parametrize("n", [4096, 5003])
def test_richardson_lucy_gives_the_same_bytes_for_any_thread_count(n):
    rng = np.random.default_rng(n)
    axis = energy_axis(n)
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    results = {}
    for count in THREAD_COUNTS:
        with thread_count(count):
            results[count] = deconvolution.richardson_lucy_cy(axis, y, NAI_K, np.ones(n), 10).tobytes()
    assert all(results[count] == results[1] for count in THREAD_COUNTS)


CHILD = """
import signal, sys, time
sys.path.insert(0, {tests!r})
import numpy as np
import moved_arrays
from in_the_loop import during_the_loop
from vexora.utils.numerics.kernels import deconvolution
n = 1024
axis = (np.arange(n) + 0.5) * (3000.0 / n)
# Rows over the whole axis: a million entries, enough to be split.
offsets, indices, values = deconvolution.build_gaussian_response(axis, np.full(n, 1e5))
args = [np.random.default_rng(1).poisson(100.0, n).astype(np.float64), offsets, indices, values, np.ones(n),
        2**31 - 1]
scenario = {scenario!r}
if scenario == "sigint":
    start = time.monotonic()
    try:
        during_the_loop(signal.default_int_handler, deconvolution.ML_EM_cy, *args, signum=signal.SIGINT)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic() - start)
    else:
        print("finished")
elif scenario == "alarm":
    def stop(*_):
        raise moved_arrays.Stop
    moved_arrays.report(during_the_loop, stop, deconvolution.ML_EM_cy, *args)
else:
    moved_arrays.report(during_the_loop, lambda *_: moved_arrays.shrink(args[3]), deconvolution.ML_EM_cy, *args)
"""


def run_child(scenario, threads):
    code = CHILD.format(tests=str(Path(__file__).parent), scenario=scenario)
    env = {**os.environ, "VEXORA_NUM_THREADS": str(threads)}
    child = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=600, env=env)
    assert child.returncode == 0, child.stderr
    return child.stdout.split()


@pytest.mark.parametrize("threads", [2, 4])
def test_ctrl_c_stops_a_split_call(threads):
    words = run_child("sigint", threads)
    assert words[:1] == ["interrupted"]
    assert float(words[1]) < 120.0  # far below the hours an uninterrupted call takes


@pytest.mark.parametrize("threads", [2, 4])
def test_a_raising_handler_stops_a_split_call(threads):
    """The handler's exception passes through the kernel's entry. Without a GIL the interpreter
    may also run the handler at the call's own instruction, just before the kernel starts, whose
    entry the traceback then lacks."""
    words = run_child("alarm", threads)
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        assert words == ["raised", "Stop", KERNELS["ML_EM_cy"].qualname]
    else:
        assert words[:2] == ["raised", "Stop"] and words[2] in (KERNELS["ML_EM_cy"].qualname, "stop")


@pytest.mark.parametrize("threads", [2, 4])
def test_values_resized_during_a_split_call_raise_buffer_error(threads):
    words = run_child("resize", threads)
    assert words[:3] == ["raised", "BufferError", KERNELS["ML_EM_cy"].qualname]
    assert "argument 'values' was resized or reallocated during the call" in " ".join(words)
