"""resampler_cy against the plain-Python reference on rows long enough that one region holds
hundreds of channels, on reference axes that move the search by different steps per channel."""

import os
import subprocess
import sys

import numpy as np
import pytest

import reference_resampler as reference
from conftest import assert_identical
from vexora.utils.numerics.kernels.resampler import resampler_cy


def irregular_axis(rng, n, start, stop):
    steps = rng.uniform(0.3, 1.7, n)
    return start + np.concatenate(([0.0], np.cumsum(steps)[:-1])) * ((stop - start) / steps.sum())


def with_repeats(rng, axis):
    """Runs of equal elements: the axis stays ascending (non-decreasing)."""
    axis = axis.copy()
    for at in rng.choice(np.arange(1, axis.size - 3), axis.size // 6, replace=False):
        axis[at + 1:at + 1 + rng.integers(1, 3)] = axis[at]
    return np.maximum.accumulate(axis)


# Reference axes of (channels, first, last) beside a requested axis of a few hundred channels:
# about two requested channels per reference channel, three reference channels per requested
# one (the search jumps farther than its short step reaches), and one that covers only the
# middle of the requested range (channels mapped beyond either end have no value).
REFERENCE_AXES = {
    "sparser": (260, 0.0, 3100.0),
    "denser": (1100, 0.0, 3100.0),
    "middle only": (300, 400.0, 2200.0),
}


def long_problem(seed, axis, repeats, n_channels):
    rng = np.random.default_rng(seed)
    n_ref_channels, first, last = REFERENCE_AXES[axis]
    ref_E_axis = irregular_axis(rng, n_ref_channels, first, last)
    if repeats:
        ref_E_axis = with_repeats(rng, ref_E_axis)
    ref_indices = np.array([60.0, 180.0, 700.0, 1500.0, 2400.0, 3000.0])
    matrix = rng.uniform(0.0, 1.0, (ref_indices.size, n_ref_channels))
    matrix[rng.random(matrix.shape) < 0.05] = 0.0
    # 120 keV lies where the backscatter energy is above the Compton edge: a region runs backwards.
    requested = np.array([120.0, 1100.0, 2900.0, 700.0])
    requested_E_axis = irregular_axis(rng, n_channels, rng.choice([-15.0, 0.0]), 3050.0)
    return [matrix, ref_indices, ref_E_axis, requested, requested_E_axis]


@pytest.mark.parametrize("n_channels", [601, 603])
@pytest.mark.parametrize("repeats", [False, True])
@pytest.mark.parametrize("axis", REFERENCE_AXES)
def test_long_rows_match_reference(axis, repeats, n_channels):
    args = long_problem(n_channels, axis, repeats, n_channels)
    assert_identical(resampler_cy(*args), reference.resampler_reference(*args))


# --- a result whose largest possible size cannot be reserved ----------------------------------

CHILD = """
import resource, sys
import numpy as np
from vexora.utils.numerics.kernels.resampler import resampler_cy

problem = np.load(sys.argv[1])
args = [problem[f"arg_{i}"] for i in range(5)]
page = resource.getpagesize()
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * page
resource.setrlimit(resource.RLIMIT_AS, (in_use + int(sys.argv[3]) * 2**20, resource.RLIM_INFINITY))
result = resampler_cy(*args)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
np.savez(sys.argv[2], *result)
"""


def narrow_problem():
    """Rows on 65536 channels of which only a few thousand have a value above zero: the most
    that 64 such rows can store (32 MiB of values, 16 MiB of columns) is far more than they
    store (about a MiB)."""
    rng = np.random.default_rng(11)
    ref_E_axis = np.linspace(0.0, 3000.0, 4096)
    ref_indices = np.array([500.0, 1500.0, 2500.0])
    matrix = np.vstack([np.where(np.abs(ref_E_axis - E) < 40.0, rng.uniform(0.5, 1.0, ref_E_axis.size), 0.0)
                        for E in ref_indices])
    requested = rng.uniform(500.0, 2500.0, 64)
    return [matrix, ref_indices, ref_E_axis, requested, np.linspace(1.0, 2990.0, 65536)]


def many_references_problem():
    """1200 reference rows of which the 16 requested energies use about 30: room for every
    scaled reference row (38 MiB) is far more than the rows used take (about a MiB)."""
    rng = np.random.default_rng(12)
    ref_E_axis = np.linspace(0.0, 3000.0, 4096)
    ref_indices = np.linspace(50.0, 3000.0, 1200)
    matrix = rng.uniform(0.0, 1.0, (ref_indices.size, ref_E_axis.size))
    requested = rng.uniform(50.0, 3000.0, 16)
    return [matrix, ref_indices, ref_E_axis, requested, np.linspace(1.0, 2990.0, 4096)]


# A helper thread's stack takes address space of its own (1 MiB, which the C library may keep for
# reuse when the thread ends).
HELPER_STACK_MIB = 1


# With 24 MiB to spare only the values cannot be reserved; with 12 MiB the columns cannot either;
# with many reference rows, room for all of them cannot be had either. Split over two threads, the
# rows then also need a helper's stack and the blocks' buffers.
@pytest.mark.parametrize("threads", [1, pytest.param(2, marks=pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's own memory for each thread counts against the address-space limit"))])
@pytest.mark.parametrize(("problem", "spare_mib"), [(narrow_problem, 24), (narrow_problem, 12),
                                                    (many_references_problem, 12)])
def test_memory_grows_as_used_when_the_most_cannot_be_reserved(problem, spare_mib, threads, tmp_path):
    args = problem()
    np.savez(tmp_path / "problem.npz", **{f"arg_{i}": a for i, a in enumerate(args)})
    here = os.path.dirname(__file__)
    spare_mib += HELPER_STACK_MIB * (threads - 1)
    child = subprocess.run([sys.executable, "-P", "-c", CHILD, str(tmp_path / "problem.npz"),
                            str(tmp_path / "result.npz"), str(spare_mib)], cwd=here, capture_output=True,
                           text=True, timeout=120,
                           env=os.environ | {"OPENBLAS_NUM_THREADS": "1", "VEXORA_NUM_THREADS": str(threads)})
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"
    grown = np.load(tmp_path / "result.npz")
    expected = resampler_cy(*args)
    assert len(expected[2]) > 0
    assert_identical(tuple(grown[f"arr_{i}"] for i in range(3)), expected)
