"""Unfolding and peak fitting of many spectra: one core, a thread pool, or Dask.

A detector array, a monitoring network or an aerial survey records thousands of spectra with
the same detector model. This example synthesises such a stack (lines of Pb-214, Cs-137, K-40
and Tl-208 on a falling continuum, each spectrum with its own line intensities and Poisson
noise), removes the detector resolution from every spectrum with Richardson-Lucy and fits the
lines of the unfolded spectra with the multi-Gaussian model and its Jacobian.

The resolution matrix is the same for every spectrum, so it is built once and shared:
ML_EM_cy on the matrix of `resolution_response` gives exactly what richardson_lucy_cy gives,
which would rebuild the matrix on every call. The stack is cut into blocks of spectra; each
block is one task, unfolded by one ML_EM_many call (the matrix read once per iteration for the
block) and run by the back-end chosen with --backend:

  serial            one block after the other in this thread
  threads           a concurrent.futures thread pool; ML-EM releases the interpreter lock
  dask-threads      dask.array map_blocks on Dask's threaded scheduler
  dask-distributed  the same graph on a dask.distributed cluster: a LocalCluster, or the
                    scheduler at --scheduler ADDRESS; the matrix is scattered to every worker
                    once, not shipped with each task

Every back-end returns the same numbers, bit for bit.

    python examples/batch.py [--backend B] [--spectra N] [--channels C] [--workers W] ...
"""

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass

import numpy as np
from scipy.optimize import least_squares

from vexora.utils.numerics.kernels.batch import ML_EM_many
from vexora.utils.numerics.kernels.deconvolution import ML_EM_cy, build_gaussian_response
from vexora.utils.numerics.kernels.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy

BACKENDS = ("serial", "threads", "dask-threads", "dask-distributed")

E_MAX = 3000.0  # top of the energy axis, keV
FWHM_C = 2.0 * math.sqrt(2.0 * math.log(2.0))  # FWHM over standard deviation of a Gaussian
# Resolution FWHM = k·E^(3/2), the model richardson_lucy_cy deconvolves: 3 % FWHM at 662 keV.
RESOLUTION_K = 0.03 * 661.657 / 661.657**1.5
LINES = (351.932, 661.657, 1460.820, 2614.511)  # keV; far enough apart to fit one by one
LINE_COUNTS = 2.0e4  # mean photons per line in a spectrum
CONTINUUM_COUNTS = 2.0e5  # mean scattered photons per spectrum
WINDOW = 3.0  # fit windows reach this many resolution widths either side of a line
PARAMETERS = ("A", "mu", "variance", "background")  # per line, the columns of the result


@dataclass(frozen=True)
class Shared:
    """What every task needs besides its spectra: sent to each worker once."""

    axis: np.ndarray
    offsets: np.ndarray
    indices: np.ndarray
    values: np.ndarray
    sensitivity: np.ndarray
    iterations: int
    windows: tuple[np.ndarray, ...]  # channels of each line's fit window


def energy_axis(channels):
    """Centres of equal bins covering 0 to E_MAX keV (none at 0, so every width is positive)."""
    return (np.arange(channels) + 0.5) * (E_MAX / channels)


def resolution_widths(axis, k=RESOLUTION_K):
    # The order of richardson_lucy_cy's width computation: (k·√E)·E / FWHM_C.
    return k * np.sqrt(axis) * axis / FWHM_C


def resolution_response(axis, k=RESOLUTION_K):
    """The Gaussian resolution matrix that richardson_lucy_cy(axis, ., k, .) builds."""
    return build_gaussian_response(axis, resolution_widths(axis, k))


def shared_setup(channels, iterations):
    axis = energy_axis(channels)
    widths = resolution_widths(np.array(LINES))
    windows = tuple(np.flatnonzero(np.abs(axis - line) <= WINDOW * width)
                    for line, width in zip(LINES, widths))
    return Shared(axis, *resolution_response(axis), np.ones(channels), iterations, windows)


def synthesise(shared, n_spectra, seed):
    """n_spectra Poisson spectra: the continuum and the lines folded through the resolution,
    each spectrum with its own continuum level and line intensities. Returns the stack
    (n_spectra × channels) and the photons of each line (n_spectra × lines)."""
    rng = np.random.default_rng(seed)
    axis = shared.axis
    continuum = np.exp(-axis / 500.0)
    sources = [continuum * (CONTINUUM_COUNTS / continuum.sum())]
    for line in LINES:
        delta = np.zeros_like(axis)
        delta[np.argmin(np.abs(axis - line))] = 1.0
        sources.append(delta)
    folded = np.array([fold(shared, source) for source in sources])
    line_counts = LINE_COUNTS * rng.uniform(0.2, 1.5, (n_spectra, len(LINES)))
    scale = np.column_stack([rng.uniform(0.5, 1.5, n_spectra), line_counts])
    return rng.poisson(scale @ folded).astype(np.float64), line_counts


def fold(shared, x):
    """Forward projection ŷ[i] = Σ_j R[j][i]·x[j] through the shared matrix."""
    sources = np.repeat(x, np.diff(shared.offsets))
    return np.bincount(shared.indices, weights=shared.values * sources, minlength=len(x))


def fit_line(x, y):
    """One Gaussian on a constant background, weighted by Poisson errors: (A, mu, variance, b).

    MINPACK's Levenberg-Marquardt: the least Python work per fit of SciPy's solvers, which
    matters because the solver holds the interpreter lock while ML-EM does not.
    """
    error = np.sqrt(np.maximum(y, 1.0))
    background = min(y[0], y[-1])
    peak = int(np.argmax(y))
    start = np.array([max(y[peak] - background, 1.0), x[peak], ((x[-1] - x[0]) / 8.0) ** 2, background])

    def residual(p):
        return (multi_gaussian_cy(x, p[:3]) + p[3] - y) / error

    def jacobian(p):
        return np.column_stack([multi_gaussian_jacobian_cy(x, p[:3]), np.ones_like(x)]) / error[:, None]

    return least_squares(residual, start, jac=jacobian, method="lm").x


def fit_lines(unfolded, shared):
    """Fits each line of one unfolded spectrum: one row of the result."""
    return np.array([fit_line(shared.axis[w], unfolded[w]) for w in shared.windows]).ravel()


def analyse(spectrum, shared):
    """Unfolds one spectrum and fits each line: one row of the result."""
    unfolded = ML_EM_cy(spectrum, shared.offsets, shared.indices, shared.values, shared.sensitivity,
                        shared.iterations)
    return fit_lines(unfolded, shared)


def analyse_block(block, shared):
    """The task of every back-end: a block of spectra (rows) in, a block of results out. The
    block is unfolded by one ML_EM_many call, which reads the matrix once per iteration for up
    to 16 spectra; each row is what analyse() unfolds from that spectrum, bit for bit."""
    unfolded = ML_EM_many(np.asarray(block, dtype=np.float64).reshape(len(block), -1), shared.offsets,
                          shared.indices, shared.values, shared.sensitivity, shared.iterations)
    return np.array([fit_lines(row, shared) for row in unfolded]).reshape(len(block), columns(shared))


def columns(shared):
    """Columns of the result: PARAMETERS for each fitted line."""
    return len(PARAMETERS) * len(shared.windows)


def blocks(stack, size):
    return [stack[start:start + size] for start in range(0, len(stack), size)]


# --- back-ends -----------------------------------------------------------------------------------
# Each runner takes the stack, the shared data, the spectra per task, the number of workers and
# whether to show progress, and returns the results of all spectra in stack order.


def run_serial(stack, shared, block, workers, show_progress):
    progress = counter(len(stack), show_progress)
    results = []
    for part in blocks(stack, block):
        results.append(analyse_block(part, shared))
        progress(len(part))
    return np.concatenate(results)


def run_threads(stack, shared, block, workers, show_progress):
    progress = counter(len(stack), show_progress)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(analyse_block, part, shared) for part in blocks(stack, block)]
        for future in futures:
            future.add_done_callback(lambda f: progress(len(f.result())))
        return np.concatenate([future.result() for future in futures])


def dask_graph(stack, shared, block, width):
    """The lazy result, `width` columns: one map_blocks task per block of spectra. `shared` may
    be a Future of a cluster, which each task then finds on its worker."""
    import dask.array as da

    spectra = da.from_array(stack, chunks=(block, -1))
    return spectra.map_blocks(analyse_block, shared, chunks=(block, width), dtype=np.float64,
                              meta=np.empty((0, 0)))


def run_dask_threads(stack, shared, block, workers, show_progress):
    from dask.diagnostics import ProgressBar

    with ProgressBar(out=sys.stderr) if show_progress else nullcontext():
        return dask_graph(stack, shared, block, columns(shared)).compute(scheduler="threads", num_workers=workers)


@contextmanager
def dask_client(workers, scheduler=None, processes=True):
    """A client of the scheduler at `scheduler`, or of a LocalCluster of `workers` processes
    (processes=False: threads of this process) with one thread each."""
    from dask.distributed import Client, LocalCluster

    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # A dashboard (when bokeh is installed) on a free port, not on the default one that
    # another cluster of this machine may hold.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=processes,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def run_on_client(client, stack, shared, block, show_progress):
    """The dask-threads graph on a cluster, with `shared` scattered to every worker once."""
    from dask.distributed import progress

    shared_future = client.scatter(shared, broadcast=True)
    result = client.compute(dask_graph(stack, shared_future, block, columns(shared)))
    if show_progress:
        progress(result, file=sys.stderr)
    return result.result()


def run_dask_distributed(stack, shared, block, workers, show_progress, scheduler=None):
    with dask_client(workers, scheduler) as client:
        return run_on_client(client, stack, shared, block, show_progress)


RUNNERS: dict[str, Callable[..., np.ndarray]] = {
    "serial": run_serial,
    "threads": run_threads,
    "dask-threads": run_dask_threads,
    "dask-distributed": run_dask_distributed,
}


def counter(total, show):
    """Progress of the serial and thread back-ends: a count of finished spectra on stderr."""
    finished = 0

    def progress(done):
        nonlocal finished
        finished += done
        if show:
            print(f"\r{finished}/{total} spectra", end="\n" if finished == total else "", file=sys.stderr,
                  flush=True)

    return progress


# --- command line --------------------------------------------------------------------------------


def summary(results, line_counts, channel_width) -> Iterator[str]:
    """Per line: median fitted centre and FWHM, and how well fitted areas track the truth."""
    yield f"{'line keV':>10} {'centre keV':>11} {'spread keV':>11} {'FWHM keV':>9} {'area/true':>10} {'corr':>6}"
    for i, line in enumerate(LINES):
        amplitude, centre, variance, _ = results[:, 4 * i:4 * i + 4].T
        area = amplitude * np.sqrt(2.0 * np.pi * variance) / channel_width
        corr = np.corrcoef(area, line_counts[:, i])[0, 1]
        yield (f"{line:10.2f} {np.median(centre):11.2f} {np.std(centre):11.2f} "
               f"{np.median(FWHM_C * np.sqrt(variance)):9.2f} {np.median(area / line_counts[:, i]):10.3f} "
               f"{corr:6.3f}")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", choices=BACKENDS, default="threads")
    parser.add_argument("--spectra", type=int, default=2000, help="number of spectra (default 2000)")
    parser.add_argument("--channels", type=int, default=2048, help="channels per spectrum (default 2048)")
    parser.add_argument("--iterations", type=int, default=30, help="Richardson-Lucy iterations (default 30)")
    parser.add_argument("--block", type=int, default=64, help="spectra per task (default 64)")
    parser.add_argument("--workers", type=int, default=os.cpu_count(),
                        help="threads or worker processes (default: the number of cores)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="dask-distributed: address of a running scheduler instead of a LocalCluster")
    parser.add_argument("--seed", type=int, default=1)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    shared = shared_setup(args.channels, args.iterations)
    stack, line_counts = synthesise(shared, args.spectra, args.seed)
    print(f"{args.spectra} spectra of {args.channels} channels, {args.iterations} iterations, "
          f"blocks of {args.block}, back-end {args.backend} with {args.workers} workers")
    extra = {"scheduler": args.scheduler} if args.backend == "dask-distributed" else {}
    start = time.perf_counter()
    results = RUNNERS[args.backend](stack, shared, args.block, args.workers, True, **extra)
    elapsed = time.perf_counter() - start
    print(f"{elapsed:.2f} s, {args.spectra / elapsed:.0f} spectra/s")
    print("\n".join(summary(results, line_counts, shared.axis[1] - shared.axis[0])))
    return results


if __name__ == "__main__":
    main()
