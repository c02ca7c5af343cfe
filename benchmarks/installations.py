"""The same calls timed in two installations of the package, alternating, so that noise on a shared
machine hits both: a wheel against the development build, say.

    python benchmarks/installations.py PYTHON_A PYTHON_B [--repeats N]

Each PYTHON is an interpreter whose environment has the package (a venv's bin/python); each runs a
worker process that stays up for the whole run, and the rounds alternate between them. Prints the
median time of each call in each installation, their ratio (B over A: below 1 means B is faster),
and whether both gave the same bits.
"""

import argparse
import pickle
import statistics
import subprocess
import sys
from pathlib import Path

WORKER = r"""
import pickle, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
import workloads
from vexora.utils.numerics.kernels import deconvolution, gaussian

nai = workloads.unfolding(workloads.NAI, 1024)
axis = workloads.energy_axis(4096)
x, params = workloads.spectrum_peaks(4096, 64)
CALLS = {
    "multi_gaussian_cy, 4096 samples x 64 peaks": lambda: gaussian.multi_gaussian_cy(x, params),
    "multi_gaussian_jacobian_cy, 4096 x 64": lambda: gaussian.multi_gaussian_jacobian_cy(x, params),
    "build_gaussian_response, n=4096 NaI": lambda: deconvolution.build_gaussian_response(
        axis, workloads.NAI.sigma(axis)),
    "ML_EM_cy, n=1024 NaI, 30 iterations": lambda: deconvolution.ML_EM_cy(
        nai.y, nai.offsets, nai.indices, nai.values, nai.sensitivity, 30),
}
out = sys.stdout.buffer
pickle.dump(list(CALLS), out); out.flush()
for line in sys.stdin:
    name, calls = line.rstrip("\n").rsplit("\t", 1)
    call = CALLS[name]
    result = call()
    start = time.perf_counter()
    for _ in range(int(calls)):
        call()
    elapsed = (time.perf_counter() - start) / int(calls)
    pickle.dump((elapsed, pickle.dumps(result)), out); out.flush()
"""


class Worker:
    def __init__(self, python):
        self.process = subprocess.Popen([python, "-P", "-c", WORKER, str(Path(__file__).resolve().parent)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=False)
        self.names = pickle.load(self.process.stdout)

    def time(self, name, calls):
        self.process.stdin.write(f"{name}\t{calls}\n".encode())
        self.process.stdin.flush()
        return pickle.load(self.process.stdout)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("python_a")
    parser.add_argument("python_b")
    parser.add_argument("--repeats", type=int, default=15, help="rounds per call (15)")
    args = parser.parse_args()
    a, b = Worker(args.python_a), Worker(args.python_b)
    assert a.names == b.names, "the two workers define different calls"
    print(f"A: {args.python_a}\nB: {args.python_b}")
    print(f"{'call':<44} {'A (ms)':>9} {'B (ms)':>9} {'B/A':>6}  same bits")
    for name in a.names:
        calls = max(1, round(0.05 / a.time(name, 1)[0]))  # about 50 ms a round
        times = {a: [], b: []}
        results = {}
        for _ in range(args.repeats):
            for worker in (a, b):
                elapsed, results[worker] = worker.time(name, calls)
                times[worker].append(elapsed)
        median_a, median_b = statistics.median(times[a]), statistics.median(times[b])
        print(f"{name:<44} {median_a * 1e3:9.3f} {median_b * 1e3:9.3f} {median_b / median_a:6.3f}  "
              f"{'yes' if results[a] == results[b] else 'NO'}")
    a.close()
    b.close()


if __name__ == "__main__":
    sys.exit(main())
