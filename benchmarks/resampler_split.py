"""One resampler_cy call on one thread against the same call split over two, alternating in one
process (VEXORA_NUM_THREADS set before each call), so that noise on a shared machine hits both.

    python benchmarks/resampler_split.py [--repeats N] [CHANNELSxROWS ...]

The table gives the medians of wall and CPU time per call and the ratio of the wall medians; the
CPU column of the split call is the work of both threads, so that its excess over the single
thread's is what splitting costs. "caller" is the CPU time of the calling thread alone, which
with the work split evenly is about half: on a machine whose other processes leave no core free
the wall ratio cannot show the split, and the single thread's CPU time over the caller's (the
last ratio) is then what two free cores would give, less the waits. "same" says whether the
results are the same bytes.
"""

import argparse
import os

# NumPy's BLAS threads, which spin after the workloads are made, would compete for the cores.
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import resource
import statistics
import time

import workloads
from vexora.utils.numerics.kernels.resampler import resampler_cy

CASES = ["4096x512", "4096x2048", "16384x256", "1024x64", "4096x64", "512x512"]


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(args, threads, calls):
    os.environ["VEXORA_NUM_THREADS"] = str(threads)
    cpu, caller, start = cpu_seconds(), time.thread_time(), time.perf_counter()
    for _ in range(calls):
        result = resampler_cy(*args)
    return ((time.perf_counter() - start) / calls, (cpu_seconds() - cpu) / calls,
            (time.thread_time() - caller) / calls, result)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("cases", nargs="*", default=CASES)
    options = parser.parse_args()
    before = os.environ.get("VEXORA_NUM_THREADS")
    print(f"{'case':>12} {'1 thread ms':>12} {'cpu':>8} {'2 threads ms':>13} {'cpu':>8} {'caller':>8} "
          f"{'ratio':>6} {'cpu/caller':>10}  same")
    for case in options.cases:
        channels, rows = map(int, case.split("x"))
        args = workloads.resampling(channels=channels, requested=rows).arguments()
        calls = max(1, 2**22 // (channels * rows))
        wall = {1: [], 2: []}
        cpu = {1: [], 2: []}
        caller = []
        results = {}
        for repeat in range(options.repeats):
            for threads in (1, 2) if repeat % 2 else (2, 1):
                w, c, own, results[threads] = timed(args, threads, calls)
                wall[threads].append(w)
                cpu[threads].append(c)
                if threads == 2:
                    caller.append(own)
        same = all(a.tobytes() == b.tobytes() for a, b in zip(results[1], results[2]))
        one, two = statistics.median(wall[1]), statistics.median(wall[2])
        single_cpu, own = statistics.median(cpu[1]), statistics.median(caller)
        print(f"{case:>12} {one * 1e3:12.3f} {single_cpu * 1e3:8.3f} {two * 1e3:13.3f} "
              f"{statistics.median(cpu[2]) * 1e3:8.3f} {own * 1e3:8.3f} {one / two:6.2f} {single_cpu / own:10.2f}  {same}",
              flush=True)
    if before is None:
        os.environ.pop("VEXORA_NUM_THREADS", None)
    else:
        os.environ["VEXORA_NUM_THREADS"] = before


if __name__ == "__main__":
    main()
