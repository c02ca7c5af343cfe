"""One ML_EM_cy (or richardson_lucy_cy) call on one thread and on two (VEXORA_NUM_THREADS), alternately in one process:
medians of the wall times and of the per-pair ratios, and the plan the call runs (batch._plan).

    python benchmarks/ml_em_threads.py [--repeats N] [--threads T] [CASE ...]

The pairs alternate their order, so that drifts of a shared machine fall on both counts alike.
--threads sets the second count (e.g. 64: more than the CPUs, which the kernels cap).
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
from vexora.utils.numerics.kernels import batch, deconvolution

ITERATIONS = 30

CASES = {
    "NaI n=256": (workloads.NAI, 256),
    "NaI n=1024": (workloads.NAI, 1024),
    "HPGe n=4096": (workloads.HPGE, 4096),
    "NaI n=4096": (workloads.NAI, 4096),
    "HPGe n=65536": (workloads.HPGE, 65536),
    "RL NaI n=4096": (workloads.NAI, 4096),
    "continuum n=2500": ("continuum", 2500),
    "resampled n=3000": ("resampled", 3000),
}


def timed(call, threads, calls):
    os.environ["VEXORA_NUM_THREADS"] = str(threads)
    start = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - start) / calls


def measure(call, repeats, threads):
    first = timed(call, 1, 1)
    calls = max(1, int(0.05 / max(first, 1e-6)))  # about 50 ms a sample
    times = {1: [], threads: []}
    ratios = []
    for r in range(repeats):
        pair = {}
        for count in (1, threads) if r % 2 else (threads, 1):
            pair[count] = timed(call, count, calls)
            times[count].append(pair[count])
        ratios.append(pair[1] / pair[threads])
    return statistics.median(times[1]), statistics.median(times[threads]), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=11)
    parser.add_argument("--threads", type=int, default=2, help="the count measured against one thread")
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    saved = os.environ.get("VEXORA_NUM_THREADS")
    print(f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}; {ITERATIONS} iterations; "
          f"medians of {args.repeats}")
    many = f"{args.threads} threads"
    print(f"{'call':16s} {'entries':>10s} {'1 thread':>11s} {many:>11s} {'ratio':>6s}  plan")
    try:
        for name in args.cases:
            detector, n = CASES[name]
            if detector == "continuum":
                u = workloads.continuum_unfolding(n)
            elif detector == "resampled":
                u = workloads.resampled_unfolding(n)
            else:
                u = workloads.unfolding(detector, n)
            strategy = batch._plan(u.offsets, u.indices, u.values, n, args.threads)[0]
            if name.startswith("RL"):
                call = lambda: deconvolution.richardson_lucy_cy(u.axis, u.y, u.k, u.sensitivity, ITERATIONS)
            else:
                call = lambda: deconvolution.ML_EM_cy(u.y, u.offsets, u.indices, u.values, u.sensitivity, ITERATIONS)
            one, two, ratio = measure(call, args.repeats, args.threads)
            print(f"{name:16s} {u.entries:10d} {one * 1e3:8.2f} ms {two * 1e3:8.2f} ms {ratio:5.2f}×  {strategy}",
                  flush=True)
    finally:
        if saved is None:
            os.environ.pop("VEXORA_NUM_THREADS", None)
        else:
            os.environ["VEXORA_NUM_THREADS"] = saved


if __name__ == "__main__":
    main()
