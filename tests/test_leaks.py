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

import numpy as np
import pytest

from conftest import read_only, strided

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")
batch = pytest.importorskip(f"{kernels}.batch")

WARM_UP, REPEATS = 200, 2000
ROUNDS = 3  # a real leak grows in every round; noise settles after the first
TRACED_SLACK, RSS_SLACK = 16 * 1024, 4 * 1024 * 1024
# The sanitizer's allocator quarantines freed memory, so the resident size keeps growing there.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def ml_em_args(n=2048):
    """Rows of three columns, the first through a negative column index, stored strided."""
    columns = np.arange(n)[:, None] + np.array([-1, 0, 1])
    columns[columns >= n] -= n  # wraps to the first channels
    return [strided(np.linspace(1.0, 50.0, n)), np.arange(0, 3 * n + 1, 3),
            strided(columns.ravel().astype(np.int32)), read_only(np.full(3 * n, 1 / 3)), np.ones(n)]


def many_args(k=6):
    """ML-EM's arguments with the spectrum stacked k times, strided."""
    y, *matrix = ml_em_args()
    return [strided(np.tile(np.asarray(y), (k, 1))), *matrix]


def builder_args(n=2048):
    return [read_only(np.linspace(0.0, 100.0, n)), np.full(n, 0.1)]


def richardson_lucy_args(n=512):
    """About 30 entries per row at the top of the axis."""
    return [np.linspace(0.0, 3000.0, n), np.linspace(100.0, 1.0, n), 0.0005, np.ones(n)]


def resampler_args(channels=256, requested=8):
    axis = np.linspace(0.0, 3000.0, channels)
    ref = np.array([100.0, 600.0, 1200.0, 2000.0, 2900.0])
    matrix = np.array([np.exp(-0.5 * ((axis - E) / 40.0) ** 2) + 0.01 for E in ref])
    return [strided(matrix), ref, axis, np.linspace(150.0, 2800.0, requested), read_only(axis * 0.99 + 3.0)]


def gaussian_args(m=4096):
    return [strided(np.linspace(-5.0, 5.0, m)), np.array([2.0, 0.1, 0.5, 1.0, -2.0, 2.0])]


def case(name, function, args, error=None, kwargs=None, **replaced):
    """A call of function on args, with the arguments at positions p0, p1, ... replaced."""
    for key, value in replaced.items():
        args[int(key[1:])] = value
    return pytest.param(function, args, kwargs or {}, error, id=name)


ML_EM, BUILDER, RL = deconvolution.ML_EM_cy, deconvolution.build_gaussian_response, deconvolution.richardson_lucy_cy
REGIONS, RESAMPLER = resampler.calculate_regions, resampler.resampler_cy
CASES = [
    case("ML_EM-success", ML_EM, ml_em_args(), kwargs={"iterations": 2, "reg_tikhonov": None}),
    case("ML_EM-binding", ML_EM, ml_em_args() + [1, True, 0.5, True, None], TypeError),
    case("ML_EM-conversion", ML_EM, ml_em_args(), OverflowError, {"iterations": 2**31}),
    case("ML_EM-type", ML_EM, ml_em_args(), TypeError, p4=[1.0]),
    case("ML_EM-buffer", ML_EM, ml_em_args(), ValueError, p3=np.ones(6144, np.float32)),
    case("ML_EM-no-spectrum", ML_EM, ml_em_args(), ValueError, p0=None),
    # The last row addresses channel n, after the plan of every other row is made.
    case("ML_EM-column-outside", ML_EM, ml_em_args(), IndexError,
         p2=np.append(np.tile(np.int32([0, 1, 2]), 2047), np.int32([0, 1, 2048]))),
    case("ML_EM-sensitivity-short", ML_EM, ml_em_args(), IndexError, p4=np.ones(2047)),
    case("builder-success", BUILDER, builder_args(), kwargs={"nsigma": 4.0}),
    case("builder-binding", BUILDER, builder_args() + [5.0, 1.0], TypeError),
    case("builder-conversion", BUILDER, builder_args(), TypeError, {"nsigma": "5"}),
    case("builder-type", BUILDER, builder_args(), TypeError, p0=[1.0]),
    case("builder-buffer", BUILDER, builder_args(), ValueError, p1=np.ones(2048, ">f8")),
    # The rows built before the missing width are dropped.
    case("builder-sigma-short", BUILDER, builder_args(), IndexError, p1=np.full(2047, 0.1)),
    case("RL-success", RL, richardson_lucy_args(), kwargs={"iterations": 3, "use_sensitivity": True}),
    case("RL-binding", RL, richardson_lucy_args()[:3], TypeError),
    case("RL-conversion", RL, richardson_lucy_args(), TypeError, {"reg_tikhonov_lambda": "x"}),
    case("RL-type", RL, richardson_lucy_args(), TypeError, {"reg_tikhonov": 1}),
    case("RL-buffer", RL, richardson_lucy_args(), ValueError, p1=np.ones((2, 256))),
    case("RL-axis-long", RL, richardson_lucy_args(), IndexError, p0=np.linspace(0.0, 3000.0, 513)),
    # Fails in ML-EM, after the widths and the matrix are made.
    case("RL-sensitivity-short", RL, richardson_lucy_args(), IndexError, p3=np.ones(511)),
    case("RL-no-spectrum", RL, richardson_lucy_args(), ValueError, p1=None),
    case("many-success", batch.ML_EM_many, many_args(), kwargs={"iterations": 2}),
    case("many-one-spectrum", batch.ML_EM_many, many_args(1), kwargs={"iterations": 2}),
    case("many-conversion", batch.ML_EM_many, many_args(), OverflowError, {"iterations": 2**31}),
    case("many-buffer", batch.ML_EM_many, many_args(), ValueError, p0=np.ones(2048)),
    case("many-column-outside", batch.ML_EM_many, many_args(), IndexError,
         p2=np.append(np.tile(np.int32([0, 1, 2]), 2047), np.int32([0, 1, 2048]))),
    case("many-sensitivity-short", batch.ML_EM_many, many_args(), IndexError, p4=np.ones(2047)),
    case("RL-many-success", batch.richardson_lucy_many, richardson_lucy_args(), kwargs={"iterations": 3},
         p1=np.tile(np.linspace(100.0, 1.0, 512), (5, 1))),
    case("RL-many-axis-long", batch.richardson_lucy_many, richardson_lucy_args(), IndexError,
         p0=np.linspace(0.0, 3000.0, 513), p1=np.ones((3, 512))),
    case("regions-success", REGIONS, [2000.5, 3000.5, True]),
    case("regions-binding", REGIONS, [2000.5, 3000.5], TypeError, {"E_p": 1.5}),
    case("regions-conversion", REGIONS, [10**400, 3000.5, False], OverflowError),
    case("regions-type", REGIONS, [2000.5, 3000.5, 1], TypeError),
    case("resampler-success", RESAMPLER, resampler_args()),
    case("resampler-binding", RESAMPLER, resampler_args(), TypeError, {"foo": 1}),
    case("resampler-type", RESAMPLER, resampler_args(), TypeError, p2=None),
    case("resampler-buffer", RESAMPLER, resampler_args(), ValueError, p4=np.ones(256, "f4")),
    case("resampler-outside", RESAMPLER, resampler_args(), ValueError, p3=np.array([500.0, 2950.0])),
    # NumPy's maximum of the empty axis fails while the first row is built.
    case("resampler-empty-axis", RESAMPLER, resampler_args(), ValueError, p4=np.empty(0)),
    *(c for f, label in ((gaussian.multi_gaussian_cy, "model"), (gaussian.multi_gaussian_jacobian_cy, "jacobian"))
      for c in (case(f"{label}-success", f, gaussian_args()),
                case(f"{label}-binding", f, gaussian_args(), TypeError, {"x": np.ones(3)}),
                case(f"{label}-type", f, gaussian_args(), TypeError, p1=None),
                case(f"{label}-buffer", f, gaussian_args(), ValueError, p0=np.ones((64, 64))))),
]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(call, times):
    """Growth of traced and resident memory over `times` calls."""
    gc.collect()
    traced, resident = tracemalloc.get_traced_memory()[0], resident_bytes()
    for _ in range(times):
        call()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - traced, resident_bytes() - resident


@pytest.mark.parametrize("function, args, kwargs, error", CASES)
def test_repeated_calls_leak_nothing(function, args, kwargs, error, quiet):
    def call():
        if error is None:
            return function(*args, **kwargs)
        with pytest.raises(error):  # the exception is dropped at once
            function(*args, **kwargs)

    watched = [*args, *kwargs.values()]
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call()
        references = [sys.getrefcount(a) for a in watched]
        for _ in range(ROUNDS):
            traced, resident = growth(call, REPEATS)
            if traced <= TRACED_SLACK and (UNDER_ASAN or resident <= RSS_SLACK):
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in watched] == references
    assert traced <= TRACED_SLACK, f"traced memory grew by {traced} bytes over {REPEATS} calls"
    if not UNDER_ASAN:
        assert resident <= RSS_SLACK, f"resident memory grew by {resident} bytes over {REPEATS} calls"
