"""Concurrent use of the kernels whose loops run without the interpreter lock.

Calls from several threads must give the serial results bit for bit, and a long ML-EM or
resampling call must let other Python threads run. The second is shown without timing: a
counter thread can only count while no other thread holds the interpreter lock.
"""

import threading
import time

import numpy as np
import pytest

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

FWHM_C = 2.3548200450309493
NAI_K = 46.0 / 662.0**1.5  # FWHM 46 keV at 662 keV, growing as E^(3/2)


def energy_axis(n):
    return (np.arange(n) + 0.5) * (3000.0 / n)


def nai_response(n):
    axis = energy_axis(n)
    return axis, deconvolution.build_gaussian_response(axis, NAI_K * axis**1.5 / FWHM_C)


def as_passed(a, layout):
    """Strided and read-only inputs make the kernels pack or copy them first."""
    if layout == "strided":
        wide = np.zeros(2 * len(a), dtype=a.dtype)
        wide[::2] = a
        return wide[::2]
    a = a.copy()
    a.flags.writeable = layout != "read_only"
    return a


def ml_em_job(rng, n, layout):
    axis, (offsets, indices, values) = nai_response(n)
    if layout == "strided":  # the same matrix with its columns counted from the end
        indices = (indices - n).astype(np.int32)
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    args = [as_passed(a, layout) for a in (y, offsets, indices, values, rng.uniform(0.5, 1.5, n))]
    return deconvolution.ML_EM_cy, args + [25]


def richardson_lucy_job(rng, n, layout):
    axis = energy_axis(n)
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    args = [as_passed(a, layout) for a in (axis, y)]
    return deconvolution.richardson_lucy_cy, args + [NAI_K * rng.uniform(0.5, 1.5),
                                                     as_passed(np.ones(n), layout), 25]


def resampler_job(rng, channels, layout, requested=24):
    axis = energy_axis(channels)
    ref = np.sort(rng.uniform(50.0, 3000.0, 12))
    matrix = np.array([np.exp(-0.5 * ((axis - E) / (5 + 0.02 * E)) ** 2) + 0.3 * (axis < E) * rng.random()
                       for E in ref])
    energies = rng.uniform(ref[0], ref[-1], requested)
    args = [matrix, ref, axis, energies, axis * rng.uniform(0.95, 1.05) + rng.uniform(-5.0, 5.0)]
    return resampler.resampler_cy, [as_passed(a, layout) if a.ndim == 1 else a for a in args]


def jobs():
    rng = np.random.default_rng(2024)
    made = []
    for layout in ("contiguous", "strided", "read_only"):
        made += [ml_em_job(rng, int(rng.integers(800, 1500)), layout),
                 richardson_lucy_job(rng, int(rng.integers(400, 900)), layout),
                 resampler_job(rng, int(rng.integers(300, 700)), layout)]
    return made


def assert_same(result, expected):
    if isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for got, want in zip(result, expected):
            assert_same(got, want)
    else:
        assert result.dtype == expected.dtype and np.array_equal(result, expected, equal_nan=True)


def test_threads_agree_with_serial_calls():
    """Four threads run every job in different orders, so all three kernels overlap."""
    work = jobs()
    copies = [[np.copy(a) for a in args if isinstance(a, np.ndarray)] for _, args in work]
    serial = [f(*args) for f, args in work]
    threads, start = 4, threading.Barrier(4)
    results = [[None] * len(work) for _ in range(threads)]

    def run(t):
        order = np.random.default_rng(t).permutation(len(work))
        start.wait()
        for i in order:
            f, args = work[i]
            results[t][i] = f(*args)

    pool = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    for per_thread in results:
        for result, expected in zip(per_thread, serial, strict=True):
            assert_same(result, expected)
    for (_, args), before in zip(work, copies):
        after = [a for a in args if isinstance(a, np.ndarray)]
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(after, before))


def scribbled_ml_em(layout, array, rng):
    """ML-EM on a NaI-like matrix while another thread writes out-of-range positions into
    `array` of it. The thread can only run once the call releases the lock, so after the
    positions were checked. Returns the outcome and whether the writes happened during the call."""
    n = 2048
    _, matrix = nai_response(n)
    offsets, indices, values = (as_passed(a, layout) for a in matrix)
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


class Counter:
    """Counts in pure Python and sleeps after each step, which releases the interpreter lock.
    It can therefore only count while no other thread holds the lock: a thread that keeps it
    through a whole call lets it advance at most once or twice, at the edges of the call."""

    def __init__(self):
        self.count = 0
        self.running = True
        self.started = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while self.running:
            self.count += 1
            self.started.set()
            time.sleep(1e-4)

    def __enter__(self):
        self.thread.start()
        self.started.wait()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


def counted_during(call):
    """How far the counter thread advances while call runs on this thread."""
    with Counter() as counter:
        before = counter.count
        call()
        return counter.count - before


def long_ml_em():
    _, matrix = nai_response(4096)
    y = np.random.default_rng(1).poisson(100.0, 4096).astype(np.float64)
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
