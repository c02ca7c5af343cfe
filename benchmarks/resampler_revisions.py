"""resampler_cy of another git revision beside the working tree's and the NumPy baseline, timed
in one process with the three calls alternating, so that noise on a shared machine hits all three.

    python benchmarks/resampler_revisions.py [--old REV] [--repeats N] [CHANNELSxROWS ...]

The other revision's resampler.cpp and the headers beside it are compiled with the compile command that
the editable build recorded for the working tree's module (build/release), into a temporary
directory, and loaded there under the same module name. The table gives medians per call and the
ratios of the three side by side; "same" says whether the two revisions' results are bit-equal.
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import json
import pathlib
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import baselines
import workloads
from vexora.utils.numerics.kernels import resampler as current

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "release"
KERNELS = "vexora/utils/numerics/kernels"
CASES = ["1024x256", "1024x1024", "4096x256", "4096x1024", "16384x256", "16384x1024"]


def build_revision(revision, directory, module="resampler"):
    """The kernel module `module` compiled from `revision` in `directory`, loaded."""
    directory = directory / module
    directory.mkdir()
    source = directory / "kernels"
    source.mkdir()
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, KERNELS], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source), f"--strip-components={KERNELS.count('/') + 1}"],
                   input=archive, check=True)
    entries = json.loads((BUILD / "compile_commands.json").read_text())
    command = shlex.split(next(e["command"] for e in entries if e["file"].endswith(f"/{module}.cpp")))
    # The compiler and its flags, without the dependency file and with this source and object.
    flags, skip = [], 0
    for word in command[1:]:
        if skip:
            skip -= 1
        elif word in ("-MQ", "-MF", "-o"):
            skip = 1
        elif word not in ("-MD", "-c") and not word.endswith(f"/{module}.cpp"):
            flags.append(word)
    objects = directory / f"{module}.o"
    library = directory / f"{module}{importlib.machinery.EXTENSION_SUFFIXES[0]}"
    subprocess.run([command[0], *flags, "-c", str(source / f"{module}.cpp"), "-o", str(objects)],
                   cwd=BUILD, check=True)
    subprocess.run([command[0], "-shared", "-fPIC", "-static-libstdc++", "-static-libgcc",
                    "-Wl,--exclude-libs,ALL", str(objects), "-o", str(library)], check=True)
    spec = importlib.util.spec_from_file_location(module, library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def identical(a, b):
    return all(x.dtype == y.dtype and np.array_equal(x, y) for x, y in zip(a, b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", default="main", help="git revision to compare with (default: main)")
    parser.add_argument("--repeats", type=int, default=15, help="calls of each per case (default: 15)")
    parser.add_argument("cases", nargs="*", default=CASES, help="CHANNELSxROWS (default: the run.py sizes)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        old = build_revision(args.old, pathlib.Path(directory))
        print(f"{'workload':<18} {'NumPy':>9} {args.old:>9} {'current':>9} {'NumPy/old':>10} {'NumPy/new':>10} "
              f"{'old/new':>8}  same")
        for case in args.cases:
            channels, rows = map(int, case.split("x"))
            arguments = workloads.resampling(channels, rows).arguments()
            calls = [lambda: baselines.resample(*arguments), lambda: old.resampler_cy(*arguments),
                     lambda: current.resampler_cy(*arguments)]
            same = identical(old.resampler_cy(*arguments), current.resampler_cy(*arguments))
            times = [[] for _ in calls]
            order = list(range(len(calls)))
            gc.disable()
            try:
                for _ in range(args.repeats):
                    for i in order:
                        start = time.perf_counter()
                        calls[i]()
                        times[i].append(time.perf_counter() - start)
                    order.reverse()
            finally:
                gc.enable()
            numpy_s, old_s, new_s = (statistics.median(t) for t in times)
            print(f"{channels:>5} ch, {rows:>4} E  {numpy_s * 1e3:7.1f}ms {old_s * 1e3:7.2f}ms {new_s * 1e3:7.2f}ms "
                  f"{numpy_s / old_s:9.2f}× {numpy_s / new_s:9.2f}× {old_s / new_s:7.2f}×  {same}")
    print("Medians of alternating calls in one process; ratios are of those medians.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
