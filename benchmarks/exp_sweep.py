"""Sweeps the exact exp's sequences against this process's libm exp and times them.

    python benchmarks/exp_sweep.py [--count N] [--chunk N] [--seed S]

The vector sequences run at the lanes the module chose (_exact_exp.lanes(); VEXORA_EXP_LANES=4
keeps four where the processor has eight). Inputs come in chunks from the ranges the kernels use (random over [-50, 0], [-745, 710], the
subnormal-result range, beyond 512 each side, the tails of narrow peaks and far beyond them),
the reduction's rounding boundaries and the neighbourhoods of every threshold. Each chunk runs
through every sequence and np.exp, in an order that rotates from chunk to chunk so that noise on
a shared machine hits all of them; the tables give mismatches against libm (bits, not values),
the median time per element over the chunks of each range, and the median per chunk of the ratio
of each time to the selected vector sequence's time on the same chunk.
"""

import argparse
import math
import os
import statistics
import sys
import time

import numpy as np

from vexora.utils.numerics.kernels import _exact_exp

INV_LN2_N = float.fromhex("0x1.71547652b82fep+7")  # the reduction's 128 / ln 2
SEQUENCES = ["libm", *_exact_exp.sequences(), *(s + "-scalar" for s in _exact_exp.sequences()), "np.exp"]


def run(sequence, x, out):
    if sequence == "np.exp":
        with np.errstate(over="ignore", invalid="ignore"):
            np.exp(x, out=out)
    else:
        _exact_exp.exp(x, out, sequence)


def uniform_chunks(low, high):
    def chunks(count, chunk, rng):
        buffer = np.empty(chunk)
        for start in range(0, count, chunk):
            part = buffer[: min(chunk, count - start)]
            rng.random(out=part)
            part *= high - low
            part += low
            yield part
    return chunks


def boundary_chunks(count, chunk, rng):
    """x with x * 128/ln2 near k + 1/2 for every k of [-745.2, 709.8], offset by as many ulps each
    side as the count allows (at least 8)."""
    k = np.arange(math.floor(-745.2 * INV_LN2_N), math.ceil(709.8 * INV_LN2_N), dtype=np.float64)
    bits = ((k + 0.5) / INV_LN2_N).view(np.int64)
    ulps = max(8, count // (2 * len(bits)))
    offsets = np.arange(-ulps, ulps + 1, dtype=np.int64)
    per_chunk = max(1, chunk // len(bits))
    for start in range(0, len(offsets), per_chunk):
        yield (bits[:, None] + offsets[None, start : start + per_chunk]).ravel().view(np.float64)


def threshold_points():
    ln2 = math.log(2.0)
    points = [2.0**-54, 2.0**-53, 512.0, 1024.0, 1.0, math.log(sys.float_info.max), -1022 * ln2,
              -1074 * ln2, -1075 * ln2, sys.float_info.max, sys.float_info.min]
    return [sign * p for p in points for sign in (1.0, -1.0)]


def edge_chunks(count, chunk, rng):
    """Neighbours of every threshold through the representation (zero's neighbours are the
    subnormals of both signs), then NaNs with random payloads and infinities."""
    points = threshold_points()
    ulps = max(1, count // (2 * (len(points) + 1)))
    for start in range(-ulps, ulps + 1, chunk // len(points)):
        steps = np.arange(start, min(start + chunk // len(points), ulps + 1), dtype=np.int64)
        yield (np.array(points).view(np.int64)[:, None] + steps[None, :]).ravel().view(np.float64)
    magnitudes = np.arange(0, ulps + 1, dtype=np.int64)
    for start in range(0, len(magnitudes), chunk // 2):
        part = magnitudes[start : start + chunk // 2]
        yield np.concatenate([part, part | np.int64(-(1 << 63))]).view(np.float64)
    payloads = rng.integers(1, 1 << 52, min(chunk, max(4096, count // 10)) // 2, dtype=np.int64)
    nans = np.int64(0x7FF0_0000_0000_0000) | payloads
    yield np.concatenate([nans, nans | np.int64(-(1 << 63)), [np.inf, -np.inf, 0.0, -0.0]]).view(np.float64)


# Shares of the count; the kernels' exponents lie in [-50, 0].
RANGES = [
    ("[-50, 0]", 0.40, uniform_chunks(-50.0, 0.0)),
    ("[-745, 710]", 0.20, uniform_chunks(-745.0, 710.0)),
    ("subnormal results", 0.10, uniform_chunks(-745.2, -708.3)),
    ("[512, 710]", 0.05, uniform_chunks(512.0, 710.0)),
    ("[-1100, -500]", 0.05, uniform_chunks(-1100.0, -500.0)),
    ("[-745, -50]", 0.05, uniform_chunks(-745.0, -50.0)),  # the tails of narrow peaks
    ("[-1e5, -746]", 0.05, uniform_chunks(-1e5, -746.0)),  # +0, far beyond the peaks
    ("reduction boundaries", 0.15, boundary_chunks),
    ("threshold neighbours", 0.05, edge_chunks),
]


def sweep(count, chunk, seed, reference):
    rng = np.random.default_rng(seed)
    # Written once before timing: first touches of fresh pages would otherwise dominate.
    buffers = {s: np.zeros(chunk) for s in SEQUENCES}
    rows = []
    rotation = 0
    for name, share, chunks in RANGES:
        inputs = 0
        wrong = dict.fromkeys(SEQUENCES, 0)
        first_wrong = {}
        times = {s: [] for s in SEQUENCES}
        ratios = {s: [] for s in SEQUENCES}
        for x in chunks(int(count * share), chunk, rng):
            x = np.ascontiguousarray(x)
            if len(x) > chunk:  # a boundary chunk holds every k at least once
                chunk = len(x)
                buffers = {s: np.zeros(chunk) for s in SEQUENCES}
            results = {s: buffers[s][: len(x)] for s in SEQUENCES}
            order = SEQUENCES[rotation % len(SEQUENCES):] + SEQUENCES[: rotation % len(SEQUENCES)]
            rotation += 1
            elapsed = {}
            for sequence in order:
                start = time.perf_counter_ns()
                run(sequence, x, results[sequence])
                elapsed[sequence] = (time.perf_counter_ns() - start) / len(x)
            libm = results["libm"].view(np.int64)
            for sequence in SEQUENCES:
                differ = np.flatnonzero(results[sequence].view(np.int64) != libm)
                wrong[sequence] += len(differ)
                if len(differ) and sequence not in first_wrong:
                    first_wrong[sequence] = x[differ[0]]
                times[sequence].append(elapsed[sequence])
                ratios[sequence].append(elapsed[sequence] / elapsed[reference])
            inputs += len(x)
        rows.append((name, inputs, wrong, first_wrong, times, ratios))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=float, default=1e8, help="inputs in all (default 1e8)")
    parser.add_argument("--chunk", type=int, default=1 << 16, help="inputs per chunk and timing")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()

    path = _exact_exp.path()
    reference = path if path != "libm" else _exact_exp.sequences()[0]
    print(f"{os.confstr('CS_GNU_LIBC_VERSION')}; GLIBC_TUNABLES={os.environ.get('GLIBC_TUNABLES', '')!r}; "
          f"VEXORA_EXACT_EXP={os.environ.get('VEXORA_EXACT_EXP', '')!r}; path() = {path!r}; "
          f"lanes() = {_exact_exp.lanes()}; "
          f"count {args.count:.3g}, chunk {args.chunk}")
    began = time.perf_counter()
    rows = sweep(int(args.count), args.chunk, args.seed, reference)

    width = max(len(s) for s in SEQUENCES) + 2
    head = f"{'range':<22}{'inputs':>11}" + "".join(f"{s:>{width}}" for s in SEQUENCES)
    print("\nMismatches against libm (bits)")
    print(head)
    for name, inputs, wrong, _, _, _ in rows:
        print(f"{name:<22}{inputs:>11}" + "".join(f"{wrong[s]:>{width}}" for s in SEQUENCES))
    total = sum(r[1] for r in rows)
    print(f"{'all':<22}{total:>11}" + "".join(f"{sum(r[2][s] for r in rows):>{width}}" for s in SEQUENCES))

    selected = (reference, reference + "-scalar")
    print(f"\nFirst input where {' or '.join(selected)} differs from libm (hex)")
    found = [(name, s, first[s]) for name, _, _, first, _, _ in rows for s in selected if s in first]
    for name, sequence, x in found:
        print(f"  {name}: {sequence} at x = {x.hex()}")
    if not found:
        print("  none")

    def median_table(title, column, digits):
        print(title)
        print(head)
        for row in rows:
            print(f"{row[0]:<22}{row[1]:>11}" + "".join(f"{statistics.median(row[column][s]):>{width}.{digits}f}"
                                                        for s in SEQUENCES))
        every = {s: [t for r in rows for t in r[column][s]] for s in SEQUENCES}
        print(f"{'all chunks':<22}{total:>11}" + "".join(f"{statistics.median(every[s]):>{width}.{digits}f}"
                                                         for s in SEQUENCES))

    median_table("\nTime per element, ns: median over the range's chunks", 4, 3)
    median_table(f"\nTime / time of {reference!r} on the same chunk: median over the range's chunks", 5, 2)
    print(f"\nswept in {time.perf_counter() - began:.1f} s")


if __name__ == "__main__":
    main()
