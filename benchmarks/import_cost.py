"""What choosing the exp costs at import: `deconvolution` and `gaussian` imported in fresh
interpreters, with the exp chosen as usual (probe and self-check) and with VEXORA_EXACT_EXP=libm
(no probe, no self-check), alternating; medians and their difference.

    python benchmarks/import_cost.py [--runs N]
"""

import argparse
import os
import statistics
import subprocess
import sys

# The package is imported before the clock starts: in an editable installation its import runs
# the build's up-to-date check, which takes several milliseconds and varies far more than the
# choice costs.
CHILD = """
import time
import numpy
import vexora.utils.numerics.kernels
start = time.perf_counter()
import vexora.utils.numerics.kernels.deconvolution
import vexora.utils.numerics.kernels.gaussian
elapsed = time.perf_counter() - start
import vexora.utils.numerics.kernels._exact_exp as e
print(elapsed, e.path())
"""


def import_time(environment):
    out = subprocess.run([sys.executable, "-c", CHILD], env=environment, capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]), out[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20)
    runs = parser.parse_args().runs
    usual = {k: v for k, v in os.environ.items() if k != "VEXORA_EXACT_EXP"}
    forced = dict(usual, VEXORA_EXACT_EXP="libm")
    times = {"chosen": [], "libm": []}
    paths = set()
    for _ in range(runs):
        elapsed, path = import_time(usual)
        times["chosen"].append(elapsed)
        paths.add(path)
        times["libm"].append(import_time(forced)[0])
    chosen, libm = statistics.median(times["chosen"]), statistics.median(times["libm"])
    print(f"import of deconvolution and gaussian, median of {runs} fresh interpreters each:")
    print(f"  exp chosen ({'/'.join(sorted(paths))}): {chosen * 1e3:.3f} ms")
    print(f"  VEXORA_EXACT_EXP=libm:         {libm * 1e3:.3f} ms")
    print(f"  cost of the probe and self-check: {(chosen - libm) * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
