"""Speed-up of two threads over one: eight calls of a kernel run on one worker thread, then
split four and four over two, alternately, and the medians of the wall times are compared.

    python benchmarks/threads.py [--repeats N]

Kernels whose loops run without the interpreter lock approach 2× on two free cores; the
Gaussian model, which keeps the lock, stays near 1× and shows what serialised calls give.
The CPU column is the process's CPU time over the wall time of the two-thread runs: near 2
when both threads computed at once, near 1 when the lock (or another process on a shared
machine) left only one core to them.
"""

import argparse
import os
import resource
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import workloads
from vexora.utils.numerics.kernels import deconvolution, gaussian, resampler

CALLS = 8
ITERATIONS = 30


def spectra(unfolding, rng):
    """CALLS Poisson spectra around the workload's spectrum, one per call."""
    return [rng.poisson(np.maximum(unfolding.y, 0.0)).astype(np.float64) for _ in range(CALLS)]


def ml_em_calls(rng):
    u = workloads.unfolding(workloads.NAI, 4096)
    return [lambda y=y: deconvolution.ML_EM_cy(y, u.offsets, u.indices, u.values, u.sensitivity, ITERATIONS)
            for y in spectra(u, rng)]


def richardson_lucy_calls(rng):
    u = workloads.unfolding(workloads.NAI, 4096)
    return [lambda y=y: deconvolution.richardson_lucy_cy(u.axis, y, u.k, u.sensitivity, ITERATIONS)
            for y in spectra(u, rng)]


def resampler_calls(rng):
    args = workloads.resampling(channels=4096, requested=256).arguments()
    return [lambda: resampler.resampler_cy(*args) for _ in range(CALLS)]


def gaussian_calls(rng):
    x, params = workloads.peak_fit(samples=100_000, peaks=50)
    return [lambda: gaussian.multi_gaussian_cy(x, params) for _ in range(CALLS)]


KERNELS = {
    "ML_EM_cy (NaI n=4096, 30 it.)": ml_em_calls,
    "richardson_lucy_cy (NaI n=4096, 30 it.)": richardson_lucy_calls,
    "resampler_cy (4096 ch., 256 rows)": resampler_calls,
    "multi_gaussian_cy (lock held; 1e5 x 50)": gaussian_calls,
}


def run_share(calls):
    for call in calls:
        call()


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed_run(pool, calls, threads):
    """Wall and CPU seconds to run all calls, split into equal shares on the pool's workers."""
    shares = [calls[t::threads] for t in range(threads)]
    cpu, start = cpu_seconds(), time.perf_counter()
    for future in [pool.submit(run_share, share) for share in shares]:
        future.result()
    wall = time.perf_counter() - start
    return wall, (cpu_seconds() - cpu) / wall


def measure(calls, repeats):
    """Medians of the wall times on one and on two threads, taken alternately, and of the CPU
    use of the two-thread runs."""
    runs = {1: [], 2: []}
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(2) as two:
        for threads, pool in ((1, one), (2, two)):  # warm-up: pages, caches, worker threads
            timed_run(pool, calls, threads)
        for r in range(repeats):
            for threads, pool in ((1, one), (2, two))[:: 1 if r % 2 else -1]:
                runs[threads].append(timed_run(pool, calls, threads))
    one, two = (statistics.median(wall for wall, _ in runs[t]) for t in (1, 2))
    return one, two, statistics.median(cpu for _, cpu in runs[2])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=9, help="timed runs per thread count")
    repeats = parser.parse_args().repeats
    rng = np.random.default_rng(0)
    print(f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}; {CALLS} calls per run; "
          f"medians of {repeats} runs")
    print(f"{'kernel':42s} {'1 thread':>10s} {'2 threads':>10s} {'speed-up':>9s} {'CPU':>5s}")
    for name, make_calls in KERNELS.items():
        one, two, cpu = measure(make_calls(rng), repeats)
        print(f"{name:42s} {one * 1e3:8.1f} ms {two * 1e3:8.1f} ms {one / two:8.2f}× {cpu:5.2f}")


if __name__ == "__main__":
    main()
