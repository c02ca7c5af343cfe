"""The Gaussian model and its Jacobian called from two Python threads at once against one thread,
the same total work: the way a program fits many spectra from a thread pool.

    python benchmarks/free_threading.py [--calls N] [--repeats R] [--samples M] [--peaks P]

Each run makes N calls of each function (a spectrum of M channels with P peaks, as a
least-squares fit calls them), on one thread or split between two started together by a
barrier; runs alternate, one thread then two, R times each. Prints the medians of wall time, the
ratio of the medians (one thread's time over two threads') and the median of the per-pair
ratios, with the CPU, the interpreter and whether the GIL is on; then the same for a control,
NumPy alone (np.exp over the spectrum into an array of each thread's), which tells what two
threads can gain on this machine at the time. Beside the wall times it prints the CPU time the
threads used (their own, summed) and the cores that makes on average: with the same CPU time for
one and two threads, the calls do not slow each other, and a ratio below two is the machine's
other load (the cores used say how much of two it left). The calls are too small to be split over the
kernels' own threads (VEXORA_NUM_THREADS=1 is set anyway), so any gain is the Python threads
running at once: on a free-threaded interpreter (3.13t, PYTHON_GIL=0 or the GIL left off at
import) two threads approach twice one; with the GIL, the model and the Jacobian keep it and two
threads are no faster. Run it on an idle machine (`uptime` below 0.3 on two cores): a busy one
cannot show two threads. Where Linux groups the processes of each session for the scheduler
(/proc/sys/kernel/sched_autogroup_enabled), it shares the CPU between sessions before threads:
beside other busy sessions this process gets its session's share whatever its number of threads,
which the cores used show.
"""

import argparse
import os

os.environ["VEXORA_NUM_THREADS"] = "1"
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import platform
import statistics
import sys
import sysconfig
import threading
import time

import numpy as np

from vexora.utils.numerics.kernels import gaussian


def cpu_name():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def workload(samples, peaks):
    rng = np.random.default_rng(7)
    x = np.linspace(0.0, 3000.0, samples)
    params = np.column_stack([rng.uniform(10, 1000, peaks), rng.uniform(100, 2900, peaks),
                              rng.uniform(2, 10, peaks) ** 2]).ravel()
    return x, params


def calls(x, params, count):
    """`count` calls of the model and `count` of the Jacobian, alternately; the last results."""
    model = jacobian = None
    for _ in range(count):
        model = gaussian.multi_gaussian_cy(x, params)
        jacobian = gaussian.multi_gaussian_jacobian_cy(x, params)
    return model, jacobian


def control(x, params, count):
    """NumPy alone: `count` times as many exp evaluations as the model makes, into an array of
    the thread's own."""
    exponent = -x / 3000.0
    out = np.empty_like(x)
    for _ in range(count * (len(params) // 3)):
        np.exp(exponent, out=out)
    return (out,)


def timed(threads, x, params, total, work=calls):
    """Wall time of `total` calls of each function spread over `threads` threads started together,
    the CPU time of the threads summed, and the results of each thread."""
    start = threading.Barrier(threads + 1)
    results = [None] * threads
    cpu = [0.0] * threads
    shares = [total // threads + (t < total % threads) for t in range(threads)]

    def run(t):
        start.wait()
        began = time.thread_time()
        results[t] = work(x, params, shares[t])
        cpu[t] = time.thread_time() - began

    pool = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in pool:
        thread.join()
    return time.perf_counter() - began, sum(cpu), results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls of each function per run (2000)")
    parser.add_argument("--repeats", type=int, default=9, help="runs of each kind, alternating (9)")
    parser.add_argument("--samples", type=int, default=4096, help="channels of the spectrum (4096)")
    parser.add_argument("--peaks", type=int, default=5, help="peaks of the model (5)")
    options = parser.parse_args()

    load_before = os.getloadavg()[0]
    x, params = workload(options.samples, options.peaks)
    reference = calls(x, params, 1)
    timed(1, x, params, options.calls // 10)  # warm up: pages, caches, the exp's choice
    timed(2, x, params, options.calls // 10)
    one, two, control_one, control_two = [], [], [], []
    for _ in range(options.repeats):
        for threads, times in ((1, one), (2, two)):
            elapsed, cpu, results = timed(threads, x, params, options.calls)
            for result in results:
                if any(a.tobytes() != b.tobytes() for a, b in zip(result, reference)):
                    sys.exit("free_threading: a thread's result differs from the reference")
            times.append((elapsed, cpu))
        for threads, times in ((1, control_one), (2, control_two)):
            times.append(timed(threads, x, params, options.calls, control)[:2])

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"CPU: {cpu_name()}, {os.cpu_count()} logical CPUs; load average before {load_before:.2f}")
    print(f"Python {platform.python_version()}{'t' if free_threaded else ''} "
          f"(GIL {'enabled' if gil else 'disabled'}), NumPy {np.__version__}")
    print(f"work: {options.calls} calls each of multi_gaussian_cy and multi_gaussian_jacobian_cy, "
          f"{options.samples} samples, {options.peaks} peaks; {options.repeats} alternating runs")
    for label, single, double in (("model and Jacobian", one, two), ("control, NumPy's exp", control_one, control_two)):
        print(f"{label}:")
        for threads, runs in ((1, single), (2, double)):
            wall, cpu = (statistics.median(run[k] for run in runs) for k in (0, 1))
            print(f"  {threads} thread{'s' if threads > 1 else ' '}: median {wall * 1e3:7.1f} ms wall, "
                  f"{cpu * 1e3:7.1f} ms CPU, {statistics.median(c / w for w, c in runs):.2f} cores used")
        walls = [run[0] for run in single], [run[0] for run in double]
        print(f"  ratio (1 thread / 2 threads): {statistics.median(walls[0]) / statistics.median(walls[1]):.2f}x "
              f"of medians, {statistics.median(a / b for a, b in zip(*walls)):.2f}x median of pairs")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
