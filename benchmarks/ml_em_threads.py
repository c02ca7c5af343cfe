"""One ML_EM_cy (or richardson_lucy_cy) call on one thread and on two (VEXORA_NUM_THREADS), alternately in one process:
medians of the wall times and of the per-pair ratios.

    python benchmarks/ml_em_threads.py [--repeats N]

The pairs alternate their order, so that drifts of a shared machine fall on both counts alike.
"""

import argparse
import os

# NumPy's BLAS threads, which spin after the workloads are made, would compete for the cores.
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import statistics
import time

import numpy as np

import workloads
from vexora.utils.numerics.kernels import deconvolution

ITERATIONS = 30

CASES = {
    "NaI n=256": (workloads.NAI, 256),
    "NaI n=1024": (workloads.NAI, 1024),
    "HPGe n=4096": (workloads.HPGE, 4096),
    "NaI n=4096": (workloads.NAI, 4096),
    "HPGe n=65536": (workloads.HPGE, 65536),
    "RL NaI n=4096": (workloads.NAI, 4096),
    "continuum n=2500": (None, 2500),
}


def timed(call, threads, calls):
    os.environ["VEXORA_NUM_THREADS"] = str(threads)
    start = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - start) / calls


def measure(call, repeats):
    first = timed(call, 1, 1)
    calls = max(1, int(0.05 / max(first, 1e-6)))  # about 50 ms a sample
    times = {1: [], 2: []}
    ratios = []
    for r in range(repeats):
        pair = {}
        for threads in (1, 2) if r % 2 else (2, 1):
            pair[threads] = timed(call, threads, calls)
            times[threads].append(pair[threads])
        ratios.append(pair[1] / pair[2])
    return statistics.median(times[1]), statistics.median(times[2]), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=11)
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    saved = os.environ.get("VEXORA_NUM_THREADS")
    print(f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}; {ITERATIONS} iterations; "
          f"medians of {args.repeats}")
    print(f"{'call':16s} {'entries':>10s} {'1 thread':>11s} {'2 threads':>11s} {'ratio':>6s}")
    try:
        for name in args.cases:
            detector, n = CASES[name]
            u = workloads.unfolding(detector, n) if detector else workloads.continuum_unfolding(n)
            if name.startswith("RL"):
                call = lambda: deconvolution.richardson_lucy_cy(u.axis, u.y, u.k, u.sensitivity, ITERATIONS)
            else:
                call = lambda: deconvolution.ML_EM_cy(u.y, u.offsets, u.indices, u.values, u.sensitivity, ITERATIONS)
            one, two, ratio = measure(call, args.repeats)
            print(f"{name:16s} {u.entries:10d} {one * 1e3:8.2f} ms {two * 1e3:8.2f} ms {ratio:5.2f}×", flush=True)
    finally:
        if saved is None:
            os.environ.pop("VEXORA_NUM_THREADS", None)
        else:
            os.environ["VEXORA_NUM_THREADS"] = saved


if __name__ == "__main__":
    main()
