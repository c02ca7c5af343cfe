"""Throughput of the batch example (examples/batch.py) on each back-end with one and two
workers, and the cost per task of the thread pool and of Dask.

    python benchmarks/batch.py [--spectra N] [--channels C] [--block B] [--repeats R]

The serial run and the threaded scheduler's also run with every kernel call on one thread
(VEXORA_NUM_THREADS=1), to show what the kernels' own threads change. Two tasks are timed:
"unfold + fit" is the example's analysis (ML-EM without the interpreter lock, then SciPy's
least-squares fits, which hold it); "unfold" is ML-EM alone. Every
configuration runs once to warm up, then the configurations take turns, R times, and the
median wall time of each gives its spectra per second. Clusters are started before timing;
each timed cluster run includes scattering the shared matrix. The overhead per task is the
wall time of many empty tasks divided by their number.
"""

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from dataclasses import replace
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import batch  # noqa: E402

from dask.distributed import Client, LocalCluster  # noqa: E402

EMPTY_TASKS = 500
PROCESSES = "dask-distributed, processes"
ONE_PROCESS = "dask-distributed, 1 process, threads"
ONE_KERNEL_THREAD = "{}, kernels on 1 thread"
# Starting a dask.distributed cluster sets OMP_NUM_THREADS=1 in this process too (for the workers
# it spawns), which the kernels then follow: the in-process runs name their thread count instead.
MACHINE_THREADS = len(os.sched_getaffinity(0))


def with_kernel_threads(run, threads=MACHINE_THREADS):
    """`run` with every kernel call split over up to `threads` threads (VEXORA_NUM_THREADS, read
    at each call); 1 runs each call on its caller's thread alone, as before calls were split."""
    def wrapped(stack, shared, block):
        saved = os.environ.get("VEXORA_NUM_THREADS")
        os.environ["VEXORA_NUM_THREADS"] = str(threads)
        try:
            return run(stack, shared, block)
        finally:
            if saved is None:
                del os.environ["VEXORA_NUM_THREADS"]
            else:
                os.environ["VEXORA_NUM_THREADS"] = saved
    return wrapped


def configurations(stack_exit):
    """(name, workers, runner(stack, shared, block)) for every back-end and worker count, and
    the clients of the two-worker clusters by name."""
    def serial(s, sh, b):
        return batch.run_serial(s, sh, b, 1, False)

    def dask_threads(s, sh, b):
        return batch.run_dask_threads(s, sh, b, 2, False)

    found = [("serial", 1, with_kernel_threads(serial)),
             (ONE_KERNEL_THREAD.format("serial"), 1, with_kernel_threads(serial, 1))]
    for workers in (1, 2):
        found.append(("threads", workers,
                      with_kernel_threads(lambda s, sh, b, w=workers: batch.run_threads(s, sh, b, w, False))))
    found.append(("dask-threads", 1, with_kernel_threads(lambda s, sh, b: batch.run_dask_threads(s, sh, b, 1, False))))
    found.append(("dask-threads", 2, with_kernel_threads(dask_threads)))
    found.append((ONE_KERNEL_THREAD.format("dask-threads"), 2, with_kernel_threads(dask_threads, 1)))
    clients = {}
    for name, processes, threads in ((PROCESSES, 1, 1), (PROCESSES, 2, 1), (ONE_PROCESS, 1, 2)):
        client = stack_exit.enter_context(cluster(processes, threads))
        found.append((name, processes * threads, lambda s, sh, b, c=client: batch.run_on_client(c, s, sh, b, False)))
        if processes * threads == 2:
            clients[name] = client
    return found, clients


@contextmanager
def cluster(processes, threads):
    with LocalCluster(n_workers=processes, threads_per_worker=threads, processes=True,
                      dashboard_address=":0") as local, Client(local) as client:
        yield client


def time_runs(configs, tasks, stack, block, repeats):
    """Median wall time of every (task, configuration), taking turns."""
    times = {(task, name, workers): [] for task in tasks for name, workers, _ in configs}
    for round_ in range(repeats + 1):
        for task, shared in tasks.items():
            expected = None
            for name, workers, run in configs:
                start = time.perf_counter()
                result = run(stack, shared, block)
                elapsed = time.perf_counter() - start
                if expected is None:
                    expected = result
                assert np.array_equal(result, expected), (task, name, workers)
                if round_:  # the first round warms up
                    times[task, name, workers].append(elapsed)
    return {key: statistics.median(values) for key, values in times.items()}


def empty_task(block, shared=None):
    return block


def task_overhead(clients):
    """Seconds per empty task on two workers: thread pool, threaded scheduler, clusters."""
    import dask.array as da

    data = np.zeros((EMPTY_TASKS, 1))

    def pool():
        with ThreadPoolExecutor(max_workers=2) as executor:
            for future in [executor.submit(empty_task, data[i:i + 1]) for i in range(EMPTY_TASKS)]:
                future.result()

    def graph():
        return da.from_array(data, chunks=(1, 1)).map_blocks(empty_task, dtype=np.float64)

    found = {"threads": pool, "dask-threads": lambda: graph().compute(scheduler="threads", num_workers=2)}
    for name, client in clients.items():
        found[name] = lambda c=client: c.compute(graph()).result()
    medians = {}
    for name, run in found.items():
        run()
        samples = []
        for _ in range(3):
            start = time.perf_counter()
            run()
            samples.append((time.perf_counter() - start) / EMPTY_TASKS)
        medians[name] = statistics.median(samples)
    return medians


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--spectra", type=int, default=256)
    parser.add_argument("--channels", type=int, default=2048)
    parser.add_argument("--iterations", type=int, default=30)
    parser.add_argument("--block", type=int, default=64)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    shared = batch.shared_setup(args.channels, args.iterations)
    stack, _ = batch.synthesise(shared, args.spectra, seed=1)
    tasks = {"unfold + fit": shared, "unfold": replace(shared, windows=())}
    print(f"{args.spectra} spectra of {args.channels} channels, {args.iterations} ML-EM iterations, "
          f"blocks of {args.block}, {args.repeats} repeats; load average before: {os.getloadavg()[0]:.2f}")

    with ExitStack() as stack_exit:
        configs, clients = configurations(stack_exit)
        medians = time_runs(configs, tasks, stack, args.block, args.repeats)
        overhead = task_overhead(clients)

    for task in tasks:
        print(f"\n{task}")
        print(f"{'back-end':40} {'workers':>7} {'spectra/s':>10} {'vs 1 worker':>12}")
        for name, workers, _ in configs:
            rate = args.spectra / medians[task, name, workers]
            one = medians.get((task, name, 1))
            scaling = f"{one / medians[task, name, workers]:11.2f}x" if one and workers > 1 else ""
            print(f"{name:40} {workers:7d} {rate:10.1f} {scaling:>12}")
        threaded = medians[task, "dask-threads", 2]
        distributed = medians[task, PROCESSES, 2]
        print(f"2 worker processes vs threaded scheduler with 2 threads: {threaded / distributed:.2f}x the rate")
        single = medians[task, ONE_KERNEL_THREAD.format("dask-threads"), 2]
        print(f"threaded scheduler with 2 threads, kernels splitting calls vs on 1 thread: {single / threaded:.2f}x "
              "the rate")
    print(f"\noverhead per empty task, 2 workers ({EMPTY_TASKS} tasks)")
    for name, seconds in overhead.items():
        print(f"{name:40} {seconds * 1e6:10.0f} µs")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
