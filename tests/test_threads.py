"""Concurrent use of the kernels whose loops run without the interpreter lock.

Calls from several threads must give the serial results bit for bit, and a long ML-EM or
resampling call must let other Python threads run. The second is shown without timing: a
counter thread can only count while no other thread holds the interpreter lock.
"""

import threading
import time

import numpy as np
import pytest

from conftest import assert_identical, read_only, strided

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

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
    """Four threads run every job in different orders, so all three kernels overlap."""
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


def scribbled_ml_em(layout, array, rng):
    """ML-EM on a NaI-like matrix while another thread writes out-of-range positions into
    `array` of it. The thread can only run once the call releases the lock, so after the
    positions were checked. Returns the outcome and whether the writes happened during the call."""
    n = 2048
    matrix = nai_response(n)
    offsets, indices, values = (LAYOUTS.get(layout, np.copy)(a) for a in matrix)
    if layout == "negative":
        indices = (matrix[1] - n).astype(np.int32)
    target = {"offsets": offsets, "indices": indices}[array]
    bad = {"offsets": [2**62, -2**62, 2 * len(values), -2 * len(values)],
           "indices": [2**31 - 1, -2**31, n, -n - 1]}[array]
    go, writes = threading.Event(), []

    def scribble():
        go.wait()
        for _ in range(100):
            at = rng.integers(0, len(target), 20)
            target[at] = rng.choice(bad, 20)
            writes.append(at)

    thread = threading.Thread(target=scribble)
    thread.start()
    go.set()
    try:
        x = deconvolution.ML_EM_cy(np.ones(n), offsets, indices, values, np.ones(n), 30)
        assert x.dtype == np.float64 and x.shape == (n,)
        outcome, written = "result", len(writes)
    except IndexError:  # the writes came before the check
        outcome, written = "IndexError", 0
    thread.join()
    return outcome, written


def test_positions_changed_during_ml_em_stay_inside():
    """The loop guards every position it reads, so positions written by another thread
    meanwhile change the result but never make it read or write outside an array."""
    rng = np.random.default_rng(3)
    outcomes = [scribbled_ml_em(layout, array, rng)
                for layout in ("contiguous", "strided", "negative") for array in ("offsets", "indices")
                for _ in range(2)]
    assert any(outcome == "result" and written for outcome, written in outcomes)


def counted_during(call):
    """How far a counter thread advances while call runs on this thread. The counter sleeps
    after each step, which releases the lock, so it can only count while no other thread holds
    the lock: a call that keeps it throughout lets it advance once or twice, at its edges."""
    count, running, started = [0], [True], threading.Event()

    def counter():
        while running[0]:
            count[0] += 1
            started.set()
            time.sleep(1e-4)

    thread = threading.Thread(target=counter)
    thread.start()
    started.wait()
    before = count[0]
    try:
        call()
        return count[0] - before
    finally:
        running[0] = False
        thread.join()


def long_ml_em():
    y = np.random.default_rng(1).poisson(100.0, 4096).astype(np.float64)
    matrix = nai_response(4096)
    return lambda: deconvolution.ML_EM_cy(y, *matrix, np.ones(4096), 100)


def long_resampling():
    _, args = resampler_job(np.random.default_rng(2), 16384, "contiguous", requested=128)
    return lambda: resampler.resampler_cy(*args)


@pytest.mark.parametrize("make_call", [long_ml_em, long_resampling], ids=["ML_EM_cy", "resampler_cy"])
def test_lock_is_released_during_the_loops(make_call):
    assert counted_during(make_call()) > 10


def test_counter_stands_still_while_the_lock_is_held():
    """The Gaussian model keeps the lock for its whole loop, so the counter cannot run."""
    x, params = np.linspace(0.0, 1000.0, 1_000_000), np.tile([1.0, 500.0, 900.0], 10)
    assert counted_during(lambda: gaussian.multi_gaussian_cy(x, params)) <= 3
