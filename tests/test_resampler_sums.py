"""The resampler scales reference rows by np.sum and built rows by np.nansum. Where it sums
natively, the sums must be NumPy's own to the last bit: checked on lengths around every block
boundary of NumPy's pairwise summation, with NaN, infinities, signed zeros and wide ranges."""

import numpy as np
import pytest

import reference_resampler as ref
from conftest import assert_identical

resampler = pytest.importorskip("vexora.utils.numerics.kernels.resampler")

# Around the eight-way unrolling, the 128-element blocks and several levels of splitting.
LENGTHS = sorted({*range(1, 40), *(b + d for b in (64, 128, 256, 512, 1024, 1031) for d in (-9, -1, 0, 1, 7, 9))})
REFERENCE = np.array([800.0, 1500.0])
REF_AXIS = np.linspace(1.0, 3000.0, 40)  # short, so that the point-by-point reference stays cheap


def contents(rng, shape, kind):
    if kind == "uniform":
        return rng.uniform(0.0, 1.0, shape)
    if kind == "wide":
        return rng.uniform(0.0, 1.0, shape) * 10.0 ** rng.integers(-30, 30, shape)
    values = rng.uniform(-1.0, 1.0, shape)
    hit = rng.random(shape) < 0.02
    values[hit] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 0.0], hit.sum())
    return values


@pytest.mark.parametrize("kind", ["uniform", "wide", "special"])
def test_sums_are_numpys(kind):
    rng = np.random.default_rng(len(kind))
    for n in LENGTHS:
        # Rows longer than the reference axis: np.sum of the whole row scales it.
        matrix = contents(rng, (2, n + 40), kind)
        requested_axis = np.sort(rng.uniform(0.0, 3000.0, n))
        requested = np.array([rng.uniform(800.0, 1500.0)])
        args = (matrix, REFERENCE, REF_AXIS, requested, requested_axis)
        with np.errstate(all="ignore"):
            expected = ref.resampler_reference(*args)
            assert_identical(resampler.resampler_cy(*args), expected)


def test_sums_follow_a_replaced_numpy(monkeypatch):
    """With `np` replaced, the replacement's sums are the ones used."""
    class Halving:
        def __getattr__(self, name):
            return getattr(np, name)

        @staticmethod
        def nansum(a):
            return np.nansum(a) / 2

    args = (np.ones((2, 50)), REFERENCE, REF_AXIS, np.array([1000.0]), np.linspace(5.0, 2900.0, 300))
    plain = resampler.resampler_cy(*args)
    monkeypatch.setattr(resampler, "np", Halving())
    halved = resampler.resampler_cy(*args)
    assert np.array_equal(halved[2], plain[2] * 2)
