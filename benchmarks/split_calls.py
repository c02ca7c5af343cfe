"""Each kernel's large call on one thread and split over two, alternately in one process
(VEXORA_NUM_THREADS set before each call), with the medians of wall time and of the per-pair
ratios, and whether the results are the same bytes.

    python benchmarks/split_calls.py [--repeats N] [CASE ...]

On a machine whose other processes leave no core free the ratio cannot show the split: run it
on an idle machine (`uptime` below 0.3 on two cores).
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
from vexora.utils.numerics.kernels import deconvolution, gaussian, resampler


def ml_em(detector, n):
    u = workloads.unfolding(detector, n)
    return lambda: deconvolution.ML_EM_cy(u.y, u.offsets, u.indices, u.values, u.sensitivity, 30)


def builder(n):
    axis = workloads.energy_axis(n)
    sigma = workloads.HPGE.sigma(axis)
    return lambda: deconvolution.build_gaussian_response(axis, sigma)


def richardson_lucy(n):
    u = workloads.unfolding(workloads.NAI, n)
    return lambda: deconvolution.richardson_lucy_cy(u.axis, u.y, u.k, u.sensitivity, 30)


def resampling(channels, rows):
    r = workloads.resampling(channels, rows)
    return lambda: resampler.resampler_cy(r.response_matrix, r.ref_indices, r.ref_E_axis, r.requested_indices,
                                          r.requested_E_axis)


def peaks(function, samples, count):
    rng = np.random.default_rng(2)
    x = np.linspace(0.0, workloads.E_MAX, samples)
    params = np.column_stack([rng.uniform(1, 100, count), rng.uniform(0, workloads.E_MAX, count),
                              rng.uniform(10, 100, count) ** 2]).ravel()
    return lambda: function(x, params)


CASES = {
    "ML-EM NaI n=4096": lambda: ml_em(workloads.NAI, 4096),
    "ML-EM HPGe n=65536": lambda: ml_em(workloads.HPGE, 65536),
    "ML-EM NaI n=256": lambda: ml_em(workloads.NAI, 256),
    "builder HPGe n=65536": lambda: builder(65536),
    "Richardson-Lucy n=4096": lambda: richardson_lucy(4096),
    "resampler 4096x512": lambda: resampling(4096, 512),
    "model 200000x20": lambda: peaks(gaussian.multi_gaussian_cy, 200_000, 20),
    "Jacobian 200000x20": lambda: peaks(gaussian.multi_gaussian_jacobian_cy, 200_000, 20),
}


def timed(call, threads):
    os.environ["VEXORA_NUM_THREADS"] = str(threads)
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def as_bytes(result):
    arrays = result if isinstance(result, tuple) else (result,)
    return [a.tobytes() for a in arrays]


def measure(call, repeats):
    one, two, ratios, same = [], [], [], True
    for repeat in range(repeats):
        order = (1, 2) if repeat % 2 == 0 else (2, 1)
        times = {}
        for threads in order:
            times[threads], result = timed(call, threads)
            if repeat == 0:
                same = same and (threads == 1 or as_bytes(result) == reference)
                reference = as_bytes(result) if threads == 1 else locals().get("reference")
        one.append(times[1])
        two.append(times[2])
        ratios.append(times[1] / times[2])
    return statistics.median(one), statistics.median(two), statistics.median(ratios), same


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("cases", nargs="*", default=list(CASES))
    options = parser.parse_args()
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the start; medians of {options.repeats}")
    print(f"{'case':<26} {'1 thread':>10} {'2 threads':>10} {'ratio':>7}  same")
    for name in options.cases:
        call = CASES[name]()
        call()  # warm-up: first touches, the exp's choice
        one, two, ratio, same = measure(call, options.repeats)
        print(f"{name:<26} {one * 1e3:8.2f} ms {two * 1e3:8.2f} ms {ratio:6.2f}x  {'yes' if same else 'NO'}",
              flush=True)
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
