"""Concurrent use of the kernels whose loops run without the interpreter lock.

Calls from several threads must give the serial results bit for bit, and a long call must let
other Python threads run exactly when its stub says that it releases the lock. The second is
shown without timing: with a switch interval far longer than any call, no thread waiting for
the lock asks its holder to give it up, so the calling thread keeps the lock from just before
the call until just after it unless the call itself releases it.
"""

import contextlib
import functools
import gc
import sys
import threading
import time

import numpy as np
import pytest

from conftest import assert_identical, read_only, strided

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


NAI_K = 46.0 / 662.0**1.5  # FWHM 46 keV at 662 keV, growing as E^(3/2)
# Strided and read-only inputs make the kernels pack or copy them first.
LAYOUTS = {"contiguous": np.copy, "strided": strided, "read_only": read_only}


def energy_axis(n):
    return (np.arange(n) + 0.5) * (3000.0 / n)


def nai_response(n):
    axis = energy_axis(n)
    return deconvolution.build_gaussian_response(axis, NAI_K * axis**1.5 / 2.3548200450309493)


def counts(rng, n):
    return rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)


def ml_em_job(rng, n, layout):
    offsets, indices, values = nai_response(n)
    if layout == "strided":  # the same matrix with its columns counted from the end
        indices = (indices - n).astype(np.int32)
    arrays = (counts(rng, n), offsets, indices, values, rng.uniform(0.5, 1.5, n))
    return deconvolution.ML_EM_cy, [*map(LAYOUTS[layout], arrays), 25]


def richardson_lucy_job(rng, n, layout):
    x, y, sensitivity = map(LAYOUTS[layout], (energy_axis(n), counts(rng, n), np.ones(n)))
    return deconvolution.richardson_lucy_cy, [x, y, NAI_K * rng.uniform(0.5, 1.5), sensitivity, 25]


def resampler_job(rng, channels, layout, requested=24):
    axis = energy_axis(channels)
    ref = np.sort(rng.uniform(50.0, 3000.0, 12))
    matrix = np.array([np.exp(-0.5 * ((axis - E) / (5 + 0.02 * E)) ** 2) + 0.3 * (axis < E) * rng.random()
                       for E in ref])
    vectors = ref, axis, rng.uniform(ref[0], ref[-1], requested), axis * rng.uniform(0.95, 1.05) + rng.uniform(-5, 5)
    return resampler.resampler_cy, [matrix, *map(LAYOUTS[layout], vectors)]


def test_threads_agree_with_serial_calls():
    """Four threads run every job in different orders, so that all three kernels can overlap."""
    rng = np.random.default_rng(2024)
    work = [job for layout in LAYOUTS for job in (
        ml_em_job(rng, int(rng.integers(800, 1500)), layout),
        richardson_lucy_job(rng, int(rng.integers(400, 900)), layout),
        resampler_job(rng, int(rng.integers(300, 700)), layout))]
    copies = [[np.copy(a) for a in args if isinstance(a, np.ndarray)] for _, args in work]
    serial = [f(*args) for f, args in work]
    start = threading.Barrier(4)
    results = [[None] * len(work) for _ in range(4)]

    def run(t):
        start.wait()
        for i in np.random.default_rng(t).permutation(len(work)):
            f, args = work[i]
            results[t][i] = f(*args)

    pool = [threading.Thread(target=run, args=(t,)) for t in range(4)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    for per_thread in results:
        assert_identical(per_thread, serial)
    for (_, args), before in zip(work, copies):
        assert_identical([a for a in args if isinstance(a, np.ndarray)], before)


@contextlib.contextmanager
def lock_kept_unless_released():
    """Inside, a thread keeps the interpreter lock until it releases it itself (a kernel's loop,
    a sleep, a wait): the switch interval is far longer than any call, so no thread waiting for
    the lock asks its holder to give it up, and the collector is paused, so that no finalizer
    run by an allocation releases it. Threads that will wait for the lock are started inside,
    so that every wait of theirs is that patient."""
    interval, collecting = sys.getswitchinterval(), gc.isenabled()
    sys.setswitchinterval(1000.0)
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()
        sys.setswitchinterval(interval)


SCRIBBLED_ROWS = 2048


def scribbled_matrix(layout):
    """A NaI-like matrix in `layout` whose rows list their columns in descending order, so that
    the loop reads them where they lie instead of a run planned beforehand."""
    offsets, indices, values = nai_response(SCRIBBLED_ROWS)
    descending = np.concatenate([np.arange(end - 1, start - 1, -1) for start, end in zip(offsets[:-1], offsets[1:])])
    indices, values = indices[descending], values[descending]
    if layout == "negative":
        indices = (indices - SCRIBBLED_ROWS).astype(np.int32)
    return tuple(LAYOUTS.get(layout, np.copy)(a) for a in (offsets, indices, values))


@functools.cache
def untouched_ml_em(layout):
    n = SCRIBBLED_ROWS
    return deconvolution.ML_EM_cy(np.ones(n), *scribbled_matrix(layout), np.ones(n), 30)


def scribbled_ml_em(layout, array, rng):
    """ML-EM while another thread writes out-of-range positions into `array` of the matrix.
    The thread waits for the lock, which the call keeps until its loop, so the writes come
    after the positions were checked (unless NumPy releases the lock for a moment while it
    fills the call's working arrays: then the check raises IndexError). Returns the outcome
    and whether the writes changed the result, which they can only do while the loop reads
    them: after the loop they come too late, and offsets and packed copies are read before."""
    n = SCRIBBLED_ROWS
    untouched = untouched_ml_em(layout)
    offsets, indices, values = scribbled_matrix(layout)
    target = {"offsets": offsets, "indices": indices}[array]
    bad = {"offsets": [2**62, -2**62, 2 * len(values), -2 * len(values)],
           "indices": [2**31 - 1, -2**31, n, -n - 1]}[array]
    go = threading.Event()

    def scribble():
        go.wait()
        for _ in range(100):
            at = rng.integers(0, len(target), 20)
            target[at] = rng.choice(bad, 20)

    with lock_kept_unless_released():
        thread = threading.Thread(target=scribble)
        thread.start()
        go.set()
        try:
            x = deconvolution.ML_EM_cy(np.ones(n), offsets, indices, values, np.ones(n), 30)
            assert x.dtype == np.float64 and x.shape == (n,)
            return "result", not np.array_equal(x, untouched, equal_nan=True)
        except IndexError:  # the writes came before the check
            return "IndexError", False
        finally:
            thread.join()


def test_positions_changed_during_ml_em_stay_inside():
    """The loop guards every position it reads, so positions written by another thread
    meanwhile change the result but never make it read or write outside an array.

    Without a GIL nothing orders the writes after the check, so there only the safety half
    holds: every call returns a result or raises IndexError."""
    rng = np.random.default_rng(3)
    outcomes = [scribbled_ml_em(layout, array, rng)
                for layout in ("contiguous", "strided", "negative") for array in ("offsets", "indices")
                for _ in range(2)]
    if gil_enabled():
        assert ("result", True) in outcomes


def steps_during(call):
    """Where a counter thread stepped while `call` ran on this thread: each step inside the
    call as a fraction of its duration (0 at its start, 1 at its end), by the same clock.

    The counter sleeps after each step, which releases the lock, and needs the lock back for
    its next step. This thread holds the lock from `start` to `end` unless the call releases
    it, so every step inside that window was taken while the call had released the lock."""
    steps, running, started = [], [True], threading.Event()

    def counter():
        while running[0]:
            steps.append(time.perf_counter_ns())
            started.set()
            time.sleep(1e-4)

    with lock_kept_unless_released():
        thread = threading.Thread(target=counter)
        thread.start()
        try:
            started.wait()
            start = time.perf_counter_ns()
            call()
            end = time.perf_counter_ns()
        finally:
            running[0] = False
            thread.join()
    return [(t - start) / (end - start) for t in steps if start < t < end]


def long_ml_em():
    y = np.random.default_rng(1).poisson(100.0, 4096).astype(np.float64)
    matrix = nai_response(4096)
    return lambda: deconvolution.ML_EM_cy(y, *matrix, np.ones(4096), 100)


def long_resampling():
    _, args = resampler_job(np.random.default_rng(2), 16384, "contiguous", requested=128)
    return lambda: resampler.resampler_cy(*args)


def long_build():
    axis = energy_axis(4096)
    sigma = NAI_K * axis**1.5 / 2.3548200450309493
    return lambda: deconvolution.build_gaussian_response(axis, sigma)


def long_model():
    x, params = np.linspace(0.0, 1000.0, 1_000_000), np.tile([1.0, 500.0, 900.0], 10)
    return lambda: gaussian.multi_gaussian_cy(x, params)


def long_jacobian():
    x, params = np.linspace(0.0, 1000.0, 200_000), np.tile([1.0, 500.0, 900.0], 10)
    return lambda: gaussian.multi_gaussian_jacobian_cy(x, params)


RELEASING = {"ML_EM_cy": long_ml_em, "resampler_cy": long_resampling, "build_gaussian_response": long_build}
HOLDING = {"multi_gaussian_cy": long_model, "multi_gaussian_jacobian_cy": long_jacobian}


@pytest.mark.parametrize("make_call", RELEASING.values(), ids=RELEASING.keys())
def test_lock_is_released_during_the_loops(make_call, monkeypatch):
    """Steps in the middle half of a call: the lock was released while the loops ran, not only
    while the call set up its work or handed back the result. Where a kernel keeps the lock the
    counter can never step; where it releases it, the counter steps whenever the system gives
    it a core meanwhile, which a busy machine may not do during every call: the call runs on one
    thread, leaving the counter a core on a machine of two, and up to twenty calls are watched
    until one shows a step."""
    monkeypatch.setenv("VEXORA_NUM_THREADS", "1")
    call = make_call()
    assert any(any(0.25 < at < 0.75 for at in steps_during(call)) for _ in range(20))


@pytest.mark.parametrize("make_call", HOLDING.values(), ids=HOLDING.keys())
def test_counter_stands_still_while_the_lock_is_held(make_call):
    """The Gaussian model and its Jacobian keep the lock for their whole loops, so the counter
    cannot step at any point of the call."""
    if not gil_enabled():
        pytest.skip("no GIL to keep: without it the model and the Jacobian run beside other threads "
                    "(tests/test_free_threading.py)")
    assert steps_during(make_call()) == []
