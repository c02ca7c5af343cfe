"""ML-EM on the matrix shapes that the iterations lay out in vector lanes and bands: runs of
neighbouring rows at similar places and lengths, rows cut off at either end of the spectrum,
groups that cannot share lanes, and values, spectra and estimates that are not finite (where
the zeros of a band must not enter). Every result is compared bit for bit with the plain
algorithm."""

import numpy as np
import pytest

import reference_deconvolution as ref
from conftest import strided

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")
ML_EM_cy = deconvolution.ML_EM_cy


def csr(rows):
    """CSR arrays of rows given as (first column, values)."""
    lengths = [len(v) for _, v in rows]
    offsets = np.concatenate(([0], np.cumsum(lengths))).astype(np.int64)
    indices = np.concatenate([np.arange(f, f + len(v)) for f, v in rows] + [[]]).astype(np.int32)
    values = np.concatenate([v for _, v in rows] + [[]]).astype(np.float64)
    return offsets, indices, values


def band_rows(rng, n, lengths):
    """Rows centred on their own channel, cut off at both ends of the spectrum."""
    rows = []
    for j, length in enumerate(lengths):
        first = min(max(j - length // 2, 0), max(n - length, 0))
        length = min(length, n - first)
        rows.append((first, rng.uniform(0.05, 1.0, length)))
    return rows


def shapes(rng, n):
    smooth = np.maximum(1, (3 + 40 * (np.arange(n) / n) ** 1.5).astype(int))
    return {
        "widening": band_rows(rng, n, smooth),
        "ragged": band_rows(rng, n, rng.integers(1, 30, n)),
        "one long row per eight": band_rows(rng, n, np.where(np.arange(n) % 8 == 3, n, 2)),
        "delta rows": band_rows(rng, n, np.ones(n, int)),
        "empty and scattered rows": [
            (0, np.zeros(0)) if j % 11 == 5 else (f, v) for j, (f, v) in enumerate(band_rows(rng, n, smooth))
        ],
    }


SHAPES = list(shapes(np.random.default_rng(0), 8))


def with_scattered_row(offsets, indices, values, n):
    """Row 2 (when present) gets its columns reversed: no longer a run."""
    indices = indices.copy()
    if n > 2:
        indices[offsets[2]:offsets[3]] = indices[offsets[2]:offsets[3]][::-1]
    return indices


@pytest.mark.parametrize("n", [8, 19, 64, 101])
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("storage", ["contiguous", "strided values"])
def test_lane_layouts_match_plain_algorithm(n, shape, storage):
    rng = np.random.default_rng(n)
    offsets, indices, values = csr(shapes(rng, n)[shape])
    if shape == "empty and scattered rows":
        indices = with_scattered_row(offsets, indices, values, n)
    if storage == "strided values":
        values = strided(values)
    y = rng.poisson(50.0, n).astype(float)
    sensitivity = rng.uniform(0.5, 1.5, n)
    expected = ref.ml_em(y, offsets, indices, values, sensitivity, 5)
    assert np.array_equal(ML_EM_cy(y, offsets, indices, values, sensitivity, 5), expected, equal_nan=True)


def non_finite_cases(rng, n):
    """Inputs under which a ratio or an estimate is not finite, on rows that form bands."""
    offsets, indices, values = csr(band_rows(rng, n, np.full(n, 9)))
    y = rng.poisson(50.0, n).astype(float)
    with_zeros = values.copy()
    with_zeros[::7] = 0.0  # real zeros, whose products with an infinite x are NaN
    def spoiled(a, at, value):
        a = a.copy()
        a[at] = value
        return a
    return {
        "infinite value": (y, offsets, indices, spoiled(values, 20, np.inf)),
        "NaN value": (y, offsets, indices, spoiled(values, 33, np.nan)),
        "infinite value and zeros": (y, offsets, indices, spoiled(with_zeros, 20, np.inf)),
        "negative values": (y, offsets, indices, -values),
        "infinite count": (spoiled(y, 12, np.inf), offsets, indices, with_zeros),
        "NaN count": (spoiled(y, 30, np.nan), offsets, indices, values),
        "overflowing counts": (np.full(n, 1e308), offsets, indices, with_zeros),
        "tiny values": (y, offsets, indices, values * 1e-300),
    }


@pytest.mark.parametrize("case", list(non_finite_cases(np.random.default_rng(0), 40)))
def test_non_finite_inputs_match_plain_algorithm(case):
    n = 40
    y, offsets, indices, values = non_finite_cases(np.random.default_rng(1), n)[case]
    sensitivity = np.ones(n)
    with np.errstate(all="ignore"):
        expected = ref.ml_em(y, offsets, indices, values, sensitivity, 4)
    assert np.array_equal(ML_EM_cy(y, offsets, indices, values, sensitivity, 4), expected, equal_nan=True)


def row_order_ml_em(y, rows, iterations):
    """The plain algorithm a row at a time with NumPy, for matrices too big for the Python
    reference: each channel accumulates rows in order, each row sums its products in order."""
    n = len(y)
    x = np.ones(n)
    for _ in range(iterations):
        estimate = np.zeros(n)
        for j, (first, v) in enumerate(rows):
            estimate[first:first + len(v)] += x[j] * v
        ratio = y / (estimate + 1e-12)
        totals = np.array([np.add.accumulate(v * ratio[first:first + len(v)])[-1] for first, v in rows])
        x *= totals / np.fmax(np.ones(n), 1e-12)
    return x


def test_matrix_beyond_the_cache_matches_row_order():
    """A matrix of about 17 MB of values: too big for bands, so its groups run masked lanes."""
    rng = np.random.default_rng(7)
    n = 4096
    rows = band_rows(rng, n, rng.integers(500, 540, n))
    offsets, indices, values = csr(rows)
    y = rng.poisson(100.0, n).astype(float)
    expected = row_order_ml_em(y, rows, 3)
    assert np.array_equal(ML_EM_cy(y, offsets, indices, values, np.ones(n), 3), expected)
