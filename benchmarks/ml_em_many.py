"""ML-EM of k spectra with one response: ML_EM_many against k ML_EM_cy calls and against SciPy's
ML-EM on an (n, k) block. Medians of runs in one process, the contenders taking turns, timed in the
process's CPU time (every contender runs on one thread with VEXORA_NUM_THREADS=1), which a busy
shared machine disturbs far less than the wall clock.

    VEXORA_NUM_THREADS=1 python benchmarks/ml_em_many.py [--repeats 5] [--iterations 10] [--only NAME]

The matrices: Gaussian responses (NaI n=4096, HPGe n=65536: every row a run of channels) and
the demo's crystal response moved to 3000 energies by the resampler (rows of two runs with a gap
between them, as measured responses moved to other energies have).
"""

import argparse
import statistics
import time

import numpy as np
import scipy.sparse

import workloads
from vexora.utils.numerics.kernels.batch import ML_EM_many
from vexora.utils.numerics.kernels.deconvolution import ML_EM_cy


def scipy_block_ml_em(A, At, Y, s, iterations):
    """ML-EM of the columns of Y (n, k) with the same update: A is sources x channels."""
    X = np.ones_like(Y)
    floor = np.fmax(s, 1e-12)[:, None]
    for _ in range(iterations):
        estimate = At @ X
        X = X * (A @ (Y / (estimate + 1e-12))) / floor
    return X


def median_ms(functions, repeats):
    """Median CPU time of each function in ms, the functions taking turns (in a rotating order) so
    that a machine whose speed drifts during the run disturbs their ratios the least."""
    times = [[] for _ in functions]
    for repeat in range(repeats):
        for turn in range(len(functions)):
            which = (repeat + turn) % len(functions)
            start = time.process_time()
            functions[which]()
            times[which].append(time.process_time() - start)
    return [1e3 * statistics.median(t) for t in times]


def matrices():
    yield "NaI", 4096, lambda: workloads.unfolding(workloads.NAI, 4096)
    yield "HPGe", 65536, lambda: workloads.unfolding(workloads.HPGE, 65536)
    yield "resampled", 3000, workloads.resampled_unfolding


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--iterations", type=int, default=10)
    parser.add_argument("--only", action="append", help="NaI, HPGe or resampled (repeatable; default all)")
    args = parser.parse_args()
    it = args.iterations
    for name, n, make in matrices():
        if args.only and name not in args.only:
            continue
        u = make()
        A = scipy.sparse.csr_matrix((u.values, u.indices, u.offsets), shape=(n, n))
        At = A.T.tocsr()
        rng = np.random.default_rng(1)
        for k in (1, 8, 32):
            Y = rng.poisson(u.y, (k, n)).astype(np.float64)
            Yt = np.ascontiguousarray(Y.T)
            contenders = [
                lambda: ML_EM_many(Y, u.offsets, u.indices, u.values, u.sensitivity, it),
                lambda: [ML_EM_cy(y, u.offsets, u.indices, u.values, u.sensitivity, it) for y in Y],
            ]
            if k > 1:
                contenders.append(lambda: scipy_block_ml_em(A, At, Yt, u.sensitivity, it))
            batch, separate, *block = median_ms(contenders, args.repeats)
            line = (f"{name} n={n} entries={u.entries} k={k}: ML_EM_many {batch:.1f} ms, "
                    f"{k} x ML_EM_cy {separate:.1f} ms ({separate / batch:.2f}x)")
            if block:
                line += f", SciPy block {block[0]:.1f} ms ({block[0] / batch:.2f}x)"
            print(line, flush=True)


if __name__ == "__main__":
    main()
