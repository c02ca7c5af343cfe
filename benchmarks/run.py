"""Times the native kernels against their NumPy/SciPy baselines and prints one table.

    python benchmarks/run.py [--quick] [--only NAME] [--markdown FILE]

Native and baseline calls alternate so that noise on a shared machine hits both; the table
gives medians, their ratio (baseline / native), the target where one is set and whether the
two results agree.
"""

import os

# The targets are single-core figures: keep BLAS and OpenMP pools to one thread.
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse
import datetime
import gc
import importlib
import math
import platform
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np
import scipy
import scipy.sparse as sp

import baselines
import workloads
from libm_path import LibmProcess

_libm_process = None


def libm_process():
    """The one child process whose kernels use the C library's exp, started on first use."""
    global _libm_process
    if _libm_process is None:
        _libm_process = LibmProcess()
    return _libm_process

ITERATIONS = 30


def load_native(module):
    try:
        return importlib.import_module(f"vexora.utils.numerics.kernels.{module}")
    except ImportError:
        return None


deconvolution = load_native("deconvolution")
resampler = load_native("resampler")
gaussian = load_native("gaussian")


def native_function(module, name):
    return getattr(module, name, None)


# --- comparing results -----------------------------------------------------------------------


@dataclass
class Agreement:
    ok: bool
    text: str


def max_relative_difference(a, b):
    """Largest |a - b| / max(|a|, |b|) over elements; equal values and NaN pairs count as 0."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return math.inf
    if a.size == 0:
        return 0.0
    with np.errstate(invalid="ignore", divide="ignore"):
        difference = np.abs(a - b)
        relative = np.where(difference == 0, 0.0, difference / np.maximum(np.abs(a), np.abs(b)))
    same_nan = np.isnan(a) & np.isnan(b)
    relative = np.where(same_nan, 0.0, np.where(np.isnan(relative), math.inf, relative))
    return float(relative.max())


def agree_arrays(tolerance):
    def compare(native, baseline):
        difference = max_relative_difference(native, baseline)
        text = "bit-equal" if difference == 0 else f"max rel {difference:.1e}"
        return Agreement(difference <= tolerance, text)

    return compare


def agree_csr(tolerance):
    """CSR triples agree when their patterns are equal and their values within `tolerance`."""

    def compare(native, baseline):
        same_pattern = len(native[0]) == len(baseline[0]) and all(
            np.array_equal(n, b) for n, b in zip(native[:2], baseline[:2])
        )
        if same_pattern:
            return agree_arrays(tolerance)(native[2], baseline[2])
        columns = 1 + max(int(t[1].max(initial=-1)) for t in (native, baseline))
        matrices = [
            sp.csr_array((t[2], t[1], t[0]), shape=(len(t[0]) - 1, columns))
            for t in (native, baseline)
        ]
        if matrices[0].shape != matrices[1].shape:
            return Agreement(False, f"row counts differ: {len(native[0]) - 1} vs {len(baseline[0]) - 1}")
        largest = max(abs(matrices[1]).max(), 1e-300)
        return Agreement(False, f"patterns differ, max |Δ|/max {abs(matrices[0] - matrices[1]).max() / largest:.1e}")

    return compare


# --- timing ----------------------------------------------------------------------------------


SAMPLE_S = 0.005  # fast calls are repeated within one sample until it lasts about this long


def call_time(function, number):
    start = time.perf_counter()
    for _ in range(number):
        function()
    return (time.perf_counter() - start) / number


def interleaved_medians(calls, repeats):
    """Median seconds per call of each (timer, calls per sample), alternating their order; a
    timer returns the seconds per call of that many calls."""
    times = [[] for _ in calls]
    order = list(range(len(calls)))
    gc.disable()
    try:
        for _ in range(repeats):
            for i in order:
                timer, number = calls[i]
                times[i].append(timer(number))
            order.reverse()
    finally:
        gc.enable()
    return [statistics.median(t) for t in times]


# --- workloads -------------------------------------------------------------------------------


@dataclass
class Trial:
    """One timed comparison: the calls, how to compare their results and what to report."""

    native: Callable[[], object] | None
    baseline: Callable[[], object]
    compare: Callable[[object, object], Agreement]
    units: int = 1  # how many units (entries, rows, exp calls) one call handles
    unit: str = ""
    unit_limit_ns: float | None = None
    min_ratio: float | None = None
    baseline_scale: float = 1.0  # baseline runs a sample of the work: scale its time up
    native_check: Callable[[], object] | None = None  # native call on the baseline's sample
    baseline_timer: Callable[[int], float] | None = None  # times the baseline itself (another process)


@dataclass
class Case:
    name: str
    size: str
    baseline_name: str
    quick: bool
    trial: Callable[[], Trial]


@dataclass
class Row:
    name: str
    size: str
    baseline_name: str
    native_s: float | None
    baseline_s: float
    agreement: Agreement
    trial: Trial

    @property
    def ratio(self):
        return self.baseline_s / self.native_s if self.native_s else None

    def per_unit_ns(self, seconds):
        return seconds * 1e9 / self.trial.units

    def target_text(self):
        parts = []
        if self.trial.min_ratio is not None:
            parts.append(f"≥{self.trial.min_ratio:.3g}×")
        if self.trial.unit_limit_ns is not None:
            parts.append(f"≤{self.trial.unit_limit_ns * self.unit_scale:g} {self.trial.unit}")
        return ", ".join(parts)

    def verdict(self):
        if not self.target_text() or self.native_s is None:
            return ""
        missed = []
        if self.trial.min_ratio is not None and self.ratio < self.trial.min_ratio:
            missed.append("ratio")
        if self.trial.unit_limit_ns is not None and self.per_unit_ns(self.native_s) > self.trial.unit_limit_ns:
            missed.append(self.trial.unit)
        return f"MISS ({', '.join(missed)})" if missed else "PASS"

    @property
    def unit_scale(self):
        """Displayed unit per nanosecond."""
        return {"µs": 1e-3, "ms": 1e-6}.get(self.trial.unit[:2], 1.0)

    def per_unit_text(self):
        if not self.trial.unit:
            return ""
        shown = [f"{self.per_unit_ns(s) * self.unit_scale:.3g}" if s is not None else "n/a"
                 for s in (self.native_s, self.baseline_s)]
        return " / ".join(shown) + f" {self.trial.unit}"


ML_EM_SIZES = [(workloads.NAI, 1024, "0.23 M", 3.5, True), (workloads.HPGE, 8192, "0.26 M", 3.5, True),
               (workloads.NAI, 4096, "3.6 M", 2.5, False), (workloads.HPGE, 65536, "16 M", 2.5, False)]
MAX_OVER_STREAMING = 1.6  # an iteration beyond the cache should cost at most this many reads of the values


def ml_em_cases():
    # Matrices past the last-level cache have the lower target.
    for detector, n, entries, min_ratio, quick in ML_EM_SIZES:
        def trial(detector=detector, n=n, min_ratio=min_ratio):
            u = workloads.unfolding(detector, n)
            response, response_t = baselines.response_operators(u.offsets, u.indices, u.values, n)
            function = native_function(deconvolution, "ML_EM_cy")
            native = function and (lambda: function(u.y, u.offsets, u.indices, u.values, u.sensitivity, ITERATIONS))
            return Trial(
                native, lambda: baselines.ml_em(u.y, response, response_t, u.sensitivity, ITERATIONS),
                agree_arrays(1e-9), units=u.entries * ITERATIONS, unit="ns/entry·iter", min_ratio=min_ratio,
            )

        yield Case("ML_EM_cy", f"n={n} {detector.name}, {entries} entries", "SciPy CSR", quick, trial)


def ml_em_limit_cases():
    """The machine's limits: the set-up before the first iteration (checking and laying out the
    matrix), and a whole call against its floor, the set-up plus one streaming read of the values
    per iteration."""
    for detector, n, entries, _, quick in ML_EM_SIZES:
        def setup_trial(detector=detector, n=n):
            u = workloads.unfolding(detector, n)
            function = native_function(deconvolution, "ML_EM_cy")
            limit = 1e6 if (detector, n) == (workloads.NAI, 4096) else None
            return Trial(
                function and (lambda: function(u.y, u.offsets, u.indices, u.values, u.sensitivity, 0)),
                lambda: baselines.response_operators(u.offsets, u.indices, u.values, n),
                lambda native, baseline: Agreement(True, ""), unit="ms/call", unit_limit_ns=limit,
            )

        def floor_trial(detector=detector, n=n):
            u = workloads.unfolding(detector, n)
            function = native_function(deconvolution, "ML_EM_cy")
            arguments = (u.y, u.offsets, u.indices, u.values, u.sensitivity)

            def floor():
                function(*arguments, 0)
                for _ in range(ITERATIONS):
                    u.values.sum()

            beyond_cache = n >= 65536
            return Trial(
                function and (lambda: function(*arguments, ITERATIONS)), floor,
                lambda native, baseline: Agreement(True, ""), units=ITERATIONS, unit="ms/iter",
                min_ratio=1 / MAX_OVER_STREAMING if beyond_cache else None,
            )

        def setup_floor_trial(detector=detector, n=n):
            u = workloads.unfolding(detector, n)
            function = native_function(deconvolution, "ML_EM_cy")
            return Trial(
                function and (lambda: function(u.y, u.offsets, u.indices, u.values, u.sensitivity, 0)),
                u.indices.max, lambda native, baseline: Agreement(True, ""), unit="ms/call",
            )

        size = f"n={n} {detector.name}, {entries} entries"
        yield Case("ML_EM_cy set-up", size, "SciPy CSR + transpose", quick, setup_trial)
        yield Case("ML_EM_cy set-up", size, "floor: streaming read of the columns", quick, setup_floor_trial)
        yield Case("ML_EM_cy", size, "floor: set-up + streaming read per iteration", quick, floor_trial)


def builder_cases():
    for detector, n, quick in [(workloads.NAI, 4096, True), (workloads.HPGE, 16384, True),
                               (workloads.HPGE, 65536, False)]:
        def trial(detector=detector, n=n):
            axis = workloads.energy_axis(n)
            sigma = detector.sigma(axis)
            function = native_function(deconvolution, "build_gaussian_response")
            entries = int(baselines.build_gaussian_response(axis, sigma)[0][-1])
            return Trial(
                function and (lambda: function(axis, sigma)),
                lambda: baselines.build_gaussian_response(axis, sigma),
                agree_csr(1e-14), units=entries, unit="ns/entry", unit_limit_ns=2.0, min_ratio=4.0,
            )

        yield Case("build_gaussian_response", f"n={n} {detector.name}", "NumPy vectorised", quick, trial)


def richardson_lucy_trial(u):
    function = native_function(deconvolution, "richardson_lucy_cy")
    return Trial(
        function and (lambda: function(u.axis, u.y, u.k, u.sensitivity)),
        lambda: baselines.richardson_lucy(u.axis, u.y, u.k, u.sensitivity, ITERATIONS),
        agree_arrays(1e-9), min_ratio=3.0,
    )


def richardson_lucy_cases():
    for detector, n, quick in [(workloads.NAI, 4096, True), (workloads.HPGE, 16384, False),
                               (workloads.HPGE, 65536, False)]:
        yield Case("richardson_lucy_cy", f"n={n} {detector.name}", "NumPy + SciPy", quick,
                   lambda detector=detector, n=n: richardson_lucy_trial(workloads.unfolding(detector, n)))
    if workloads.MEASURED_HPGE.is_file():
        yield Case("richardson_lucy_cy", "n=8191 HPGe, measured spectrum", "NumPy + SciPy", False,
                   lambda: richardson_lucy_trial(workloads.measured_unfolding()))


def resampler_cases():
    for channels, requested, quick in [(1024, 256, True), (1024, 1024, False), (4096, 256, True),
                                       (4096, 1024, False), (16384, 256, False), (16384, 1024, False)]:
        def trial(channels=channels, requested=requested):
            problem = workloads.resampling(channels, requested)
            function = native_function(resampler, "resampler_cy")
            return Trial(
                function and (lambda: function(*problem.arguments())),
                lambda: baselines.resample(*problem.arguments()),
                agree_csr(1e-12), units=requested, unit="µs/row", min_ratio=8.0,
            )

        yield Case("resampler_cy", f"{channels} ch, {requested} E", "NumPy vectorised", quick, trial)


LITERAL_ROWS = 2  # requested energies the literal algorithm runs on
LITERAL_PAIRS = 4_000_000  # sampled channels × reference channels per literal row


def resampler_literal_cases():
    """The literal algorithm runs on a few requested energies and every s-th requested channel
    (spread over the whole axis, so its scans keep their average length); its time is scaled up."""
    requested = 256
    for channels, quick in [(1024, True), (4096, False), (16384, False)]:
        stride = max(1, channels * channels // LITERAL_PAIRS)

        def trial(channels=channels, stride=stride):
            problem = workloads.resampling(channels, requested)
            sample = workloads.Resampling(
                problem.response_matrix, problem.ref_indices, problem.ref_E_axis,
                problem.requested_indices[:: requested // LITERAL_ROWS], problem.requested_E_axis[::stride],
            )
            function = native_function(resampler, "resampler_cy")
            return Trial(
                function and (lambda: function(*problem.arguments())),
                lambda: baselines.resample_literal(*sample.arguments()),
                agree_csr(0.0), units=requested, unit="µs/row",
                baseline_scale=stride * requested / LITERAL_ROWS,
                native_check=function and (lambda: function(*sample.arguments())),
            )

        sampled = f"{LITERAL_ROWS} E" + (f" × every {stride}th ch" if stride > 1 else "")
        yield Case("resampler_cy", f"{channels} ch, {requested} E", f"literal Python ({sampled}, scaled)",
                   quick, trial)


# Targets against NumPy broadcasting at m = 100,000 and 1 / 10 / 50 peaks, and at m = 1,000, 10 peaks.
GAUSSIAN_TARGETS = {
    "multi_gaussian_cy": {(100_000, 1): 2.0, (100_000, 10): 5.0, (100_000, 50): 5.0, (1000, 10): 1.5},
    "multi_gaussian_jacobian_cy": {(100_000, 1): 1.3, (100_000, 10): 3.0, (100_000, 50): 3.0},
}
LIBM_PATH_TARGET = 4.0  # the model on the exact vector exp against itself on the C library's exp


def gaussian_cases():
    for name, baseline in [("multi_gaussian_cy", baselines.multi_gaussian),
                           ("multi_gaussian_jacobian_cy", baselines.multi_gaussian_jacobian)]:
        for samples in (1000, 100_000):
            for peaks in (1, 10, 50):
                def trial(name=name, baseline=baseline, samples=samples, peaks=peaks):
                    x, params = workloads.peak_fit(samples, peaks)
                    function = native_function(gaussian, name)
                    return Trial(
                        function and (lambda: function(x, params)), lambda: baseline(x, params),
                        agree_arrays(1e-12), units=samples * peaks, unit="ns/sample·peak",
                        min_ratio=GAUSSIAN_TARGETS[name].get((samples, peaks)),
                    )

                yield Case(name, f"m={samples}, {peaks} peaks", "NumPy broadcasting", peaks == 10, trial)


def libm_path_trial(module, name, args, units, unit, min_ratio=None, compare=agree_arrays(0.0)):
    """The native call beside the same call in a process whose kernels use the C library's exp."""
    child = libm_process()
    child.prepare(module, name, args)
    function = native_function(globals()[module], name)
    return Trial(
        function and (lambda: function(*args)), child.call, compare, units=units, unit=unit,
        min_ratio=min_ratio, baseline_timer=child.seconds_per_call,
    )


def libm_path_cases():
    for peaks in (1, 10, 50):
        def trial(peaks=peaks):
            x, params = workloads.peak_fit(100_000, peaks)
            return libm_path_trial("gaussian", "multi_gaussian_cy", (x, params), 100_000 * peaks,
                                   "ns/sample·peak", LIBM_PATH_TARGET)

        yield Case("multi_gaussian_cy", f"m=100000, {peaks} peaks", "native on libm exp", peaks == 10, trial)

    def jacobian_trial():
        x, params = workloads.peak_fit(100_000, 10)
        return libm_path_trial("gaussian", "multi_gaussian_jacobian_cy", (x, params), 1_000_000, "ns/sample·peak")

    yield Case("multi_gaussian_jacobian_cy", "m=100000, 10 peaks", "native on libm exp", False, jacobian_trial)
    for detector, n in [(workloads.NAI, 4096), (workloads.HPGE, 16384)]:
        def builder_trial(detector=detector, n=n):
            axis = workloads.energy_axis(n)
            sigma = detector.sigma(axis)
            entries = int(baselines.build_gaussian_response(axis, sigma)[0][-1])
            return libm_path_trial("deconvolution", "build_gaussian_response", (axis, sigma), entries, "ns/entry",
                                   compare=agree_csr(0.0))

        yield Case("build_gaussian_response", f"n={n} {detector.name}", "native on libm exp", False, builder_trial)


CACHED_EXP_VALUES = 1 << 14  # values per exp call of the floor rows: they stay in the L1/L2 caches


def cached_exp(count, low, high):
    """The exact vector exp of `count` values spread over [low, high], in cache-resident chunks."""
    exact_exp = load_native("_exact_exp")
    chunk = np.linspace(low, high, CACHED_EXP_VALUES)
    out = np.empty_like(chunk)
    calls, path = max(1, round(count / CACHED_EXP_VALUES)), exact_exp.path()

    def run():
        for _ in range(calls):
            exact_exp.exp(chunk, out, path)

    return run


def exp_floor_cases():
    """The machine's limits for the exp-bound kernels: the exact vector exp of as many values as the
    kernel exponentiates, and, for the builder, allocating and writing its result."""
    for peaks in (1, 50):
        def model_trial(peaks=peaks):
            x, params = workloads.peak_fit(100_000, peaks)
            function = native_function(gaussian, "multi_gaussian_cy")
            return Trial(
                function and (lambda: function(x, params)), cached_exp(100_000 * peaks, -300.0, 0.0),
                lambda native, baseline: Agreement(True, ""), units=100_000 * peaks, unit="ns/sample·peak",
            )

        yield Case("multi_gaussian_cy", f"m=100000, {peaks} peaks", "floor: exact exp of every sample·peak",
                   peaks == 1, model_trial)
    for detector, n in [(workloads.NAI, 4096), (workloads.HPGE, 65536)]:
        def builder_floor(detector=detector, n=n, kind="exp"):
            axis = workloads.energy_axis(n)
            sigma = detector.sigma(axis)
            offsets, indices, values = baselines.build_gaussian_response(axis, sigma)
            function = native_function(deconvolution, "build_gaussian_response")
            if kind == "exp":
                floor = cached_exp(len(values), -12.5, 0.0)
            else:
                def floor():
                    np.zeros(n + 1, np.int64)
                    np.ones(len(indices), np.int32)
                    np.ones(len(values))
            return Trial(
                function and (lambda: function(axis, sigma)), floor, lambda native, baseline: Agreement(True, ""),
                units=len(values), unit="ns/entry",
            )

        size = f"n={n} {detector.name}"
        yield Case("build_gaussian_response", size, "floor: exact exp of every entry", n == 4096, builder_floor)
        yield Case("build_gaussian_response", size, "floor: allocating and writing the result", n == 4096,
                   lambda detector=detector, n=n: builder_floor(detector, n, "write"))


def all_cases():
    for group in (ml_em_cases, ml_em_limit_cases, builder_cases, richardson_lucy_cases, resampler_cases,
                  resampler_literal_cases, gaussian_cases, libm_path_cases, exp_floor_cases):
        yield from group()


# --- running ---------------------------------------------------------------------------------


def run_case(case, budget_s, max_repeats):
    trial = case.trial()
    native_s = None
    native_error = None
    native_result = None
    if trial.native is not None:
        try:
            start = time.perf_counter()
            native_result = trial.native()
            native_s = time.perf_counter() - start
        except Exception as error:  # a kernel still in progress must not stop the other rows
            native_error = f"native raised {type(error).__name__}: {error}"
            trial.native = None
    start = time.perf_counter()
    baseline_result = trial.baseline()
    baseline_s = time.perf_counter() - start

    if native_error:
        agreement = Agreement(False, native_error)
    elif trial.native is None:
        agreement = Agreement(True, "")
    else:
        if trial.native_check is not None:
            native_result = trial.native_check()
        agreement = trial.compare(native_result, baseline_result)
    del native_result, baseline_result

    baseline_timer = trial.baseline_timer or (lambda number: call_time(trial.baseline, number))
    first_times = [(baseline_timer, baseline_s)]
    if trial.native is not None:
        first_times.insert(0, (lambda number: call_time(trial.native, number), native_s))
    calls = [(timer, max(1, math.ceil(SAMPLE_S / max(t, 1e-9)))) for timer, t in first_times]
    round_s = sum(number * t for (_, number), (_, t) in zip(calls, first_times))
    repeats = min(max_repeats, max(3, round(budget_s / round_s)))
    medians = interleaved_medians(calls, repeats)
    native_s, baseline_s = (medians[0] if trial.native is not None else None), medians[-1]
    return Row(case.name, case.size, case.baseline_name, native_s, baseline_s * trial.baseline_scale,
               agreement, trial)


COLUMNS = ("workload", "size", "baseline", "native", "baseline time", "ratio", "target", "result",
           "per unit (native / baseline)", "agreement")


def format_seconds(seconds):
    if seconds is None:
        return "n/a"
    if seconds >= 1:
        return f"{seconds:.3g} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def format_ratio(ratio):
    if ratio is None:
        return "n/a"
    return f"{ratio:.0f}×" if ratio >= 100 else f"{ratio:.2f}×"


def cells(row):
    agreement = row.agreement.text if row.agreement.ok else f"DIFF: {row.agreement.text}"
    return (row.name, row.size, row.baseline_name, format_seconds(row.native_s),
            format_seconds(row.baseline_s), format_ratio(row.ratio),
            row.target_text(), row.verdict(), row.per_unit_text(), agreement)


def text_table(rows):
    table = [COLUMNS] + [cells(r) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(COLUMNS))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in table]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def markdown_table(rows):
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    lines += ["| " + " | ".join(c.replace("|", "\\|") for c in cells(r)) + " |" for r in rows]
    return "\n".join(lines)


NOTES = [
    "Times are medians of alternating native and baseline calls on one core; ratio = baseline / native.",
    "ML_EM_cy: 30 iterations; the SciPy matrix and its CSR transpose are built once, outside the timed call.",
    "ML_EM_cy set-up: a call with 0 iterations (argument checks, checking and laying out the matrix), beside "
    "SciPy's construction of its two operators, and beside its floor (ratio = floor / native): one "
    "streaming read of the column indices (np.max over them), which checking every column costs at least.",
    f"ML_EM_cy against its floor: ratio = floor / native; beyond the last-level cache an iteration should cost "
    f"at most {MAX_OVER_STREAMING}× a streaming read of the values (np.sum over them, memory-bound), "
    f"i.e. ratio ≥ {1 / MAX_OVER_STREAMING:.3g}.",
    "richardson_lucy_cy: both sides build the response on every call; the baseline projects forward "
    "through the CSC view of its matrix.",
    "resampler_cy against literal Python: the per-point algorithm runs on the sample of requested "
    "energies and channels shown; its time is scaled to the full workload, and its result is compared "
    "with the native kernel's on that same sample.",
    "native on libm exp: the same call in a child process started with VEXORA_EXACT_EXP=libm (the kernels "
    "as they are without the exact vector exp), timed in that process; agreement must be bit-equal.",
    "floor rows: ratio = floor / native; the exact vector exp of as many values as the kernel "
    "exponentiates (in cache-resident chunks over the kernel's range of exponents), or allocating and "
    "first writing arrays of the result's sizes.",
]


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def machine_line():
    return (f"{cpu_model()}, {os.cpu_count()} cores; Python {platform.python_version()}, "
            f"NumPy {np.__version__}, SciPy {scipy.__version__}")


def write_markdown(path, rows, command):
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    text = "\n".join([
        "# Benchmark results", "",
        f"`{command}` on {stamp}.", "",
        f"Machine: {machine_line()}.", "",
        markdown_table(rows), "",
        *[f"- {note}" for note in NOTES], "",
    ])
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller workloads and fewer repeats (under a minute)")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only workloads whose name, size or baseline contains NAME "
                             "(case-insensitive; repeatable), e.g. ML_EM_cy, build, richardson, "
                             "resampler, literal, jacobian, HPGe")
    parser.add_argument("--markdown", metavar="FILE", help="also write the table as Markdown to FILE")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    budget_s, max_repeats = (0.4, 7) if arguments.quick else (4.0, 31)
    cases = [c for c in all_cases() if c.quick or not arguments.quick]
    if arguments.only:
        wanted = [w.lower() for w in arguments.only]
        cases = [c for c in cases if any(w in f"{c.name} {c.size} {c.baseline_name}".lower() for w in wanted)]
    missing = [name for name, module in [("deconvolution", deconvolution), ("resampler", resampler),
                                         ("gaussian", gaussian)] if module is None]
    if missing:
        print(f"native modules not importable: {', '.join(missing)} (baselines only)", file=sys.stderr)

    rows = []
    started = time.perf_counter()
    for case in cases:
        print(f"[{time.perf_counter() - started:6.1f} s] {case.name} {case.size} ...", file=sys.stderr, flush=True)
        rows.append(run_case(case, budget_s, max_repeats))
        gc.collect()
    print(f"[{time.perf_counter() - started:6.1f} s] done", file=sys.stderr)

    print(text_table(rows))
    print()
    print(f"Machine: {machine_line()}")
    for note in NOTES:
        print(f"- {note}")
    if arguments.markdown:
        write_markdown(arguments.markdown, rows, "python benchmarks/run.py " + " ".join(sys.argv[1:]))


if __name__ == "__main__":
    main()
