"""Many repeated calls, on success and on every kind of error path, leave the arguments'
reference counts unchanged and the process's memory flat.

Python-visible memory (objects and NumPy data) is measured with tracemalloc, native buffers
(packed matrices, row plans, reserved output) by the resident set size. The arrays hold hundreds
to thousands of elements, so one leaked buffer per call adds megabytes over the repeated calls
and one leaked object tens of kilobytes; the slacks only absorb allocator noise.
"""

import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

WARM_UP = 200
REPEATS = 2000
ROUNDS = 3  # a real leak grows in every round; noise settles after the first
TRACED_SLACK = 16 * 1024
RSS_SLACK = 4 * 1024 * 1024
# The sanitizer's allocator quarantines freed memory, so the resident size keeps growing there.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def strided(a):
    """a in every other element of a larger buffer, so that kernels cannot use it in place."""
    wide = np.zeros(2 * len(a), dtype=a.dtype)
    wide[::2] = a
    return wide[::2]


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def band_matrix(n):
    """Rows of three columns, the first through a negative column index, stored strided."""
    columns = np.arange(n)[:, None] + np.array([-1, 0, 1])
    columns[columns >= n] -= n  # wraps to the first channels
    offsets = np.arange(0, 3 * n + 1, 3)
    return offsets, strided(columns.ravel().astype(np.int32)), read_only(np.full(3 * n, 1 / 3))


def ml_em_args(n=2048):
    y = strided(np.linspace(1.0, 50.0, n))
    return [y, *band_matrix(n), np.ones(n)]


def builder_args(n=2048):
    return [read_only(np.linspace(0.0, 100.0, n)), np.full(n, 0.1)]


def richardson_lucy_args(n=512):
    """About 30 entries per row at the top of the axis."""
    return [np.linspace(0.0, 3000.0, n), np.linspace(100.0, 1.0, n), 0.0005, np.ones(n)]


def resampler_args(channels=256, requested=8):
    axis = np.linspace(0.0, 3000.0, channels)
    ref = np.array([100.0, 600.0, 1200.0, 2000.0, 2900.0])
    matrix = np.array([np.exp(-0.5 * ((axis - E) / 40.0) ** 2) + 0.01 for E in ref])
    return [strided(matrix.ravel()).reshape(len(ref), channels), ref, axis,
            np.linspace(150.0, 2800.0, requested), read_only(axis * 0.99 + 3.0)]


def gaussian_args(m=4096):
    return [strided(np.linspace(-5.0, 5.0, m)), np.array([2.0, 0.1, 0.5, 1.0, -2.0, 2.0])]


def replaced(args, at, value):
    args = list(args)
    args[at] = value
    return args


@dataclass(frozen=True)
class Case:
    name: str
    function: Callable
    arguments: Callable  # fresh (args, kwargs)
    error: type | None = None


def leak_case(name, function, args, kwargs=None, error=None):
    return pytest.param(Case(name, function, lambda: (args(), dict(kwargs or {})), error), id=name)


ML_EM = deconvolution.ML_EM_cy
BUILDER = deconvolution.build_gaussian_response
RL = deconvolution.richardson_lucy_cy
REGIONS = resampler.calculate_regions
RESAMPLER = resampler.resampler_cy
MODEL = gaussian.multi_gaussian_cy
JACOBIAN = gaussian.multi_gaussian_jacobian_cy

GAUSSIAN_CASES = [
    case
    for f, label in ((MODEL, "model"), (JACOBIAN, "jacobian"))
    for case in (
        leak_case(f"{label}-success", f, gaussian_args),
        leak_case(f"{label}-binding", f, gaussian_args, {"x": np.ones(3)}, TypeError),
        leak_case(f"{label}-type", f, lambda: replaced(gaussian_args(), 1, None), error=TypeError),
        leak_case(f"{label}-buffer", f, lambda: replaced(gaussian_args(), 0, np.ones((64, 64))),
                  error=ValueError),
    )
]

CASES = [
    leak_case("ML_EM-success", ML_EM, ml_em_args, {"iterations": 2, "reg_tikhonov": None}),
    leak_case("ML_EM-binding", ML_EM, lambda: ml_em_args() + [1, True, 0.5, True, None],
              error=TypeError),
    leak_case("ML_EM-conversion", ML_EM, ml_em_args, {"iterations": 2**31}, OverflowError),
    leak_case("ML_EM-type", ML_EM, lambda: replaced(ml_em_args(), 4, [1.0]), error=TypeError),
    leak_case("ML_EM-buffer", ML_EM, lambda: replaced(ml_em_args(), 3, np.ones(6144, np.float32)),
              error=ValueError),
    leak_case("ML_EM-no-spectrum", ML_EM, lambda: replaced(ml_em_args(), 0, None), error=ValueError),
    # The last row addresses channel n, after the plan of every other row is made.
    leak_case("ML_EM-column-outside", ML_EM, lambda: replaced(
        ml_em_args(), 2, np.append(np.tile(np.int32([0, 1, 2]), 2047), np.int32([0, 1, 2048]))),
        error=IndexError),
    leak_case("ML_EM-sensitivity-short", ML_EM, lambda: replaced(ml_em_args(), 4, np.ones(2047)),
              error=IndexError),
    leak_case("builder-success", BUILDER, builder_args, {"nsigma": 4.0}),
    leak_case("builder-binding", BUILDER, lambda: builder_args() + [5.0, 1.0], error=TypeError),
    leak_case("builder-conversion", BUILDER, builder_args, {"nsigma": "5"}, TypeError),
    leak_case("builder-type", BUILDER, lambda: replaced(builder_args(), 0, [1.0]), error=TypeError),
    leak_case("builder-buffer", BUILDER, lambda: replaced(builder_args(), 1, np.ones(2048, ">f8")),
              error=ValueError),
    # The rows built before the missing width are dropped.
    leak_case("builder-sigma-short", BUILDER, lambda: replaced(builder_args(), 1, np.full(2047, 0.1)),
              error=IndexError),
    leak_case("RL-success", RL, richardson_lucy_args, {"iterations": 3, "use_sensitivity": True}),
    leak_case("RL-binding", RL, lambda: richardson_lucy_args()[:3], error=TypeError),
    leak_case("RL-conversion", RL, richardson_lucy_args, {"reg_tikhonov_lambda": "x"}, TypeError),
    leak_case("RL-type", RL, richardson_lucy_args, {"reg_tikhonov": 1}, TypeError),
    leak_case("RL-buffer", RL, lambda: replaced(richardson_lucy_args(), 1, np.ones((2, 256))),
              error=ValueError),
    leak_case("RL-axis-long", RL, lambda: replaced(richardson_lucy_args(), 0, np.linspace(0.0, 3000.0, 513)),
              error=IndexError),
    # Fails in ML-EM, after the widths and the matrix are made.
    leak_case("RL-sensitivity-short", RL, lambda: replaced(richardson_lucy_args(), 3, np.ones(511)),
              error=IndexError),
    leak_case("RL-no-spectrum", RL, lambda: replaced(richardson_lucy_args(), 1, None), error=ValueError),
    leak_case("regions-success", REGIONS, lambda: [2000.5, 3000.5, True]),
    leak_case("regions-binding", REGIONS, lambda: [2000.5, 3000.5], {"E_p": 1.5}, TypeError),
    leak_case("regions-conversion", REGIONS, lambda: [10**400, 3000.5, False], error=OverflowError),
    leak_case("regions-type", REGIONS, lambda: [2000.5, 3000.5, 1], error=TypeError),
    leak_case("resampler-success", RESAMPLER, resampler_args),
    leak_case("resampler-binding", RESAMPLER, resampler_args, {"foo": 1}, TypeError),
    leak_case("resampler-type", RESAMPLER, lambda: replaced(resampler_args(), 2, None), error=TypeError),
    leak_case("resampler-buffer", RESAMPLER, lambda: replaced(resampler_args(), 4, np.ones(256, "f4")),
              error=ValueError),
    leak_case("resampler-outside", RESAMPLER,
              lambda: replaced(resampler_args(), 3, np.array([500.0, 2950.0])), error=ValueError),
    # NumPy's maximum of the empty axis fails while the first row is built.
    leak_case("resampler-empty-axis", RESAMPLER, lambda: replaced(resampler_args(), 4, np.empty(0)),
              error=ValueError),
    *GAUSSIAN_CASES,
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeated(call, times):
    """Growth of traced and resident memory over `times` calls."""
    gc.collect()
    traced, resident = tracemalloc.get_traced_memory()[0], resident_bytes()
    for _ in range(times):
        call()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - traced, resident_bytes() - resident


def calling(f, args, kwargs, error):
    """A call of f that must succeed, or must raise error (the exception is dropped at once)."""
    if error is None:
        return lambda: f(*args, **kwargs)

    def failing():
        try:
            f(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"expected {error.__name__}")

    return failing


@pytest.mark.parametrize("case", CASES)
def test_repeated_calls_leak_nothing(case, quiet):
    args, kwargs = case.arguments()
    watched = [*args, *kwargs.values()]
    call = calling(case.function, args, kwargs, case.error)
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call()
        references = [sys.getrefcount(a) for a in watched]
        for _ in range(ROUNDS):
            traced, resident = repeated(call, REPEATS)
            if traced <= TRACED_SLACK and (UNDER_ASAN or resident <= RSS_SLACK):
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in watched] == references
    assert traced <= TRACED_SLACK, f"traced memory grew by {traced} bytes over {REPEATS} calls"
    if not UNDER_ASAN:
        assert resident <= RSS_SLACK, f"resident memory grew by {resident} bytes over {REPEATS} calls"
