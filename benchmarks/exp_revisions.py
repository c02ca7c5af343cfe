"""The exact exp and the Gaussian kernels of another git revision beside the working tree's, timed
in one process with the calls alternating, so that noise on a shared machine hits all of them.

    python benchmarks/exp_revisions.py [--old REV] [--repeats N] [--only exp|gaussian]

The other revision's _exact_exp.cpp and gaussian.cpp are compiled as resampler_revisions.py
compiles its module. The exp table gives ns per value of the selected vector sequence (old and
new), the C library's exp and np.exp on 100,000 values of each range; the Gaussian table gives ns
per sample·peak of the model and the Jacobian on spectrum-like peaks (workloads.spectrum_peaks),
the old and new kernels against NumPy broadcasting, and the floor of writing the result (np.zeros of
its shape, filled). "same" says whether old and new results are bit-equal. Medians over the repeats; ratios are of medians taken in the same run.
"""

import argparse
import gc
import itertools
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

import baselines
import workloads
from resampler_revisions import build_revision
from vexora.utils.numerics.kernels import _exact_exp as current_exp
from vexora.utils.numerics.kernels import gaussian as current_gaussian

COUNT = 100_000


def mixed(rng, count):
    """Three values in [-50, 0] and one at -5000 in every vector of four."""
    x = rng.uniform(-50.0, 0.0, count)
    x[3::4] = -5000.0
    return x


EXP_RANGES = [
    ("[-50, 0]", lambda rng, n: rng.uniform(-50.0, 0.0, n)),
    ("[-745, -50]", lambda rng, n: rng.uniform(-745.0, -50.0, n)),
    ("[-1e5, -746]", lambda rng, n: rng.uniform(-1e5, -746.0, n)),
    ("subnormal results", lambda rng, n: rng.uniform(-745.2, -708.3, n)),
    ("[-700, -512]", lambda rng, n: rng.uniform(-700.0, -512.0, n)),
    ("3 in [-50,0], 1 at -5000", mixed),
]

GAUSSIAN_CASES = [  # (samples, peaks, variance or None for 1-50 keV²)
    (100_000, 1, None), (100_000, 10, None), (100_000, 50, None), (1000, 10, None),
    (100_000, 10, 4.0), (100_000, 10, 400.0),
]


def alternate(calls, repeats):
    """Median seconds per call of each, the calls taking turns in every order in turn, so that
    each follows every other equally often: a call right after NumPy's baseline, which frees
    large temporaries, runs several times slower than the same call after another kernel."""
    times = [[] for _ in calls]
    orders = itertools.cycle(itertools.permutations(range(len(calls))))
    gc.disable()
    try:
        for _ in range(repeats):
            for i in next(orders):
                start = time.perf_counter()
                calls[i]()
                times[i].append(time.perf_counter() - start)
    finally:
        gc.enable()
    return [statistics.median(t) for t in times]


def exp_table(old, repeats, old_name):
    path = current_exp.path()
    if path == "libm" or old.path() != path:
        print(f"exp: paths {old.path()!r} (old) and {path!r} (new): no vector sequence to compare")
        return
    rng = np.random.default_rng(2026)
    print(f"exp, path {path!r}, {COUNT} values, ns/value")
    print(f"{'range':<26} {old_name:>8} {'new':>8} {'libm':>8} {'np.exp':>8} {'old/new':>8}  same")
    for name, make in EXP_RANGES:
        x = make(rng, COUNT)
        outs = [np.zeros(COUNT) for _ in range(4)]
        calls = [lambda: old.exp(x, outs[0], path), lambda: current_exp.exp(x, outs[1], path),
                 lambda: current_exp.exp(x, outs[2], "libm"), lambda: np.exp(x, out=outs[3])]
        seconds = alternate(calls, repeats)
        same = np.array_equal(outs[0].view(np.int64), outs[1].view(np.int64)) and \
            np.array_equal(outs[1].view(np.int64), outs[2].view(np.int64))
        ns = [s / COUNT * 1e9 for s in seconds]
        print(f"{name:<26} {ns[0]:8.3f} {ns[1]:8.3f} {ns[2]:8.3f} {ns[3]:8.3f} {ns[0] / ns[1]:7.2f}×  {same}")


def gaussian_table(old, repeats, old_name):
    print("\nGaussian kernels, spectrum-like peaks over 0-3000 keV, ns per sample·peak")
    print(f"{'kernel':<11} {'workload':<30} {'NumPy':>8} {old_name:>8} {'new':>8} {'floor':>8} {'NumPy/old':>10} "
          f"{'NumPy/new':>10} {'old/new':>8}  same")
    kernels = [("model", "multi_gaussian_cy", baselines.multi_gaussian),
               ("Jacobian", "multi_gaussian_jacobian_cy", baselines.multi_gaussian_jacobian)]
    for label, name, baseline in kernels:
        for samples, peaks, variance in GAUSSIAN_CASES:
            x, params = workloads.spectrum_peaks(samples, peaks, variance)
            old_f, new_f = getattr(old, name), getattr(current_gaussian, name)
            same = np.array_equal(old_f(x, params).view(np.int64), new_f(x, params).view(np.int64))
            shape = (samples,) if label == "model" else (samples, len(params))
            seconds = alternate([lambda: baseline(x, params), lambda: old_f(x, params), lambda: new_f(x, params),
                                 lambda: np.zeros(shape).fill(-0.0)], repeats)
            numpy_ns, old_ns, new_ns, floor_ns = (s / (samples * peaks) * 1e9 for s in seconds)
            widths = "σ 1-7 keV" if variance is None else f"σ {variance ** 0.5:g} keV"
            workload = f"m={samples}, {peaks} peaks, {widths}"
            print(f"{label:<11} {workload:<30} {numpy_ns:8.3f} {old_ns:8.3f} {new_ns:8.3f} {floor_ns:8.3f} "
                  f"{numpy_ns / old_ns:9.2f}× {numpy_ns / new_ns:9.2f}× {old_ns / new_ns:7.2f}×  {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", default="main", help="git revision to compare with (default: main)")
    parser.add_argument("--repeats", type=int, default=21, help="calls of each per case (default: 21)")
    parser.add_argument("--only", choices=["exp", "gaussian"], help="one of the two tables")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        if args.only != "gaussian":
            exp_table(build_revision(args.old, pathlib.Path(directory), "_exact_exp"), args.repeats, args.old)
        if args.only != "exp":
            gaussian_table(build_revision(args.old, pathlib.Path(directory), "gaussian"), args.repeats, args.old)
    print("Medians of alternating calls in one process; ratios are of those medians.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
