"""ML-EM unfolding, the Gaussian response builder and the Richardson-Lucy driver against the
plain-Python reference."""

import functools
import math
import operator
import re

import numpy as np
import pytest

import reference_deconvolution as ref
from conftest import assert_identical, csr_rows, exact

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")
ML_EM_cy = deconvolution.ML_EM_cy
richardson_lucy_cy = deconvolution.richardson_lucy_cy
build_gaussian_response = deconvolution.build_gaussian_response

OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"


def run_unchanged(f, *args, **kwargs):
    """Calls f, checking that no argument array is written."""
    before = [np.copy(a) for a in args if isinstance(a, np.ndarray)]
    try:
        return f(*args, **kwargs)
    finally:
        after = [a for a in args if isinstance(a, np.ndarray)]
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(after, before))


def int32(*values):
    return np.array(values, np.int32)


def identity(n):
    return np.arange(n + 1), np.arange(n, dtype=np.int32), np.ones(n)


@pytest.mark.parametrize("iterations", [0, -1, -30])
def test_no_iterations_gives_ones(iterations):
    x = ML_EM_cy(np.arange(4.0), np.zeros(5, dtype=np.int64), None, None, np.ones(4), iterations)
    assert x.dtype == np.float64 and np.array_equal(x, np.ones(4))


@pytest.mark.parametrize("offsets", [np.zeros(1, dtype=np.int64), np.array([-7, 3]), None])
def test_empty_spectrum(offsets, quiet):
    """No row means no position to read, so short or absent matrix arrays are no error."""
    empty = np.empty(0)
    for matrix in ((np.empty(0, np.int32), empty), (None, None)):
        x = ML_EM_cy(empty, offsets, *matrix, None if matrix[0] is None else empty)
        assert x.dtype == np.float64 and x.shape == (0,)


def test_identity_matrix_one_iteration():
    y = np.array([0.0, 1.0, 3.5, 1e300, 7e-310])
    assert np.array_equal(ML_EM_cy(y, *identity(5), np.ones(5), 1), y / (1 + 1e-12))


def test_empty_row_and_unreached_column():
    y, matrix = np.array([2.0, 5.0, 9.0]), (np.array([0, 2, 2, 3]), int32(0, 0, 1), np.array([0.25, 0.75, 1.0]))
    x = ML_EM_cy(y, *matrix, np.ones(3), 3)
    assert x[1] == 0.0 and np.array_equal(x, ref.ml_em(y, *matrix, np.ones(3), 3))
    # Channel 2 is reached by no row, so its count cannot move the estimate.
    assert np.array_equal(x, ML_EM_cy(np.array([2.0, 5.0, -4.0]), *matrix, np.ones(3), 3))


def test_sensitivity_floor():
    x = ML_EM_cy(np.ones(5), *identity(5), np.array([0.0, np.nan, -3.0, 1e-300, np.inf]), 1)
    assert np.array_equal(x, (1 / (1 + 1e-12)) / np.array([1e-12] * 4 + [np.inf]))


def test_none_spectrum():
    with pytest.raises(ValueError, match=exact("Buffer has wrong number of dimensions (expected 1, got 0)")):
        ML_EM_cy(None, np.zeros(1, dtype=np.int64), None, None, None)


def out_of_bounds_cases():
    """(name, array named in the note, y, offsets, indices, values, sensitivity) with n = 3."""
    offsets, indices, values = np.array([0, 2, 3, 4]), np.array([0, 1, 2, 2], np.int32), np.ones(4)
    y, s = np.ones(3), np.ones(3)
    return [
        ("offsets short", "offsets", y, offsets[:3], indices, values, s),
        ("offsets None", "offsets", y, None, indices, values, s),
        ("offsets past indices", "indices", y, np.array([0, 2, 3, 5]), indices, np.ones(5), s),
        ("offsets past values", "values", y, offsets, indices, values[:3], s),
        ("offsets below -len(indices)", "indices", y, np.array([-5, 2, 3, 4]), indices, np.ones(5), s),
        ("offsets below -len(values)", "values", y, np.array([-5, 2, 3, 4]), int32(0, 1, 2, 2, 0), values, s),
        ("indices None", "indices", y, offsets, None, values, s),
        ("values None", "values", y, offsets, indices, None, s),
        ("column n", "indices", y, offsets, int32(0, 1, 3, 2), values, s),
        ("column -n-1", "indices", y, offsets, int32(0, -4, 2, 2), values, s),
        ("column in a later row", "indices", y, offsets, int32(0, 1, 2, 2**31 - 1), values, s),
        ("columns stepping past the largest int32", "indices", y, offsets, int32(2**31 - 1, -2**31, 2, 2), values, s),
        ("sensitivity short", "sensitivity", y, offsets, indices, values, s[:2]),
        ("sensitivity None", "sensitivity", y, offsets, indices, values, None),
    ]


@pytest.mark.parametrize("case", out_of_bounds_cases(), ids=lambda case: case[0])
@pytest.mark.parametrize("iterations", [0, 3])
def test_out_of_bounds_raises_before_work(case, iterations, quiet):
    _, array_name, *args = case
    with pytest.raises(IndexError, match=re.escape(OUT_OF_BOUNDS)) as excinfo:
        run_unchanged(ML_EM_cy, *args, iterations)
    assert str(excinfo.value) == OUT_OF_BOUNDS  # match also sees the note
    notes = getattr(excinfo.value, "__notes__", [])
    assert len(notes) == 1 and re.search(rf"\b{array_name}\b", notes[0])


def test_negative_positions_count_from_end():
    """Offsets -2..2 read indices[-2:] then indices[:2]; column -1 is the last channel."""
    y, s = np.array([4.0, 1.0, 2.0]), np.ones(3)
    wrapped = np.array([-2, 2, 3, 4]), int32(0, -1, 1, 2), np.array([0.1, 0.2, 0.3, 0.4])
    plain = np.array([0, 4, 5, 6]), int32(1, 2, 0, 2, 1, 2), np.array([0.3, 0.4, 0.1, 0.2, 0.3, 0.4])
    x = ML_EM_cy(y, *wrapped, s, 4)
    assert np.array_equal(x, ML_EM_cy(y, *plain, s, 4))
    assert np.array_equal(x, ref.ml_em(y, *wrapped, s, 4))


def rl_inputs(rng, n, start_keV):
    x = np.linspace(start_keV, 3000.0, n)
    return x, rng.uniform(0.0, 100.0, n), rng.uniform(0.5, 1.5, n)


@pytest.mark.parametrize("k", [0.0, 0.3, 2.0])
@pytest.mark.parametrize("start_keV", [0.0, 20.0])
@pytest.mark.parametrize("n", [1, 7, 64])
def test_richardson_lucy_matches_reference(n, start_keV, k):
    x, y, sensitivity = rl_inputs(np.random.default_rng(n), n, start_keV)
    result = run_unchanged(richardson_lucy_cy, x, y, k, sensitivity, 6)
    assert np.all(np.isfinite(result))
    assert np.array_equal(result, ref.richardson_lucy(x, y, k, sensitivity, 6))
    widths = np.array([ref.get_sigma(k, E) for E in x])
    assert np.array_equal(result, ML_EM_cy(y, *build_gaussian_response(x, widths), sensitivity, 6))


@pytest.mark.parametrize("n_x, n_y, n_sensitivity", [(5, 6, 6), (6, 5, 5), (0, 1, 1), (5, 5, 4)])
def test_richardson_lucy_unequal_lengths(n_x, n_y, n_sensitivity, quiet):
    with pytest.raises(IndexError, match=re.escape(OUT_OF_BOUNDS)) as excinfo:
        richardson_lucy_cy(np.linspace(1.0, 9.0, n_x), np.ones(n_y), 1.0, np.ones(n_sensitivity))
    assert str(excinfo.value) == OUT_OF_BOUNDS


def test_long_axis_rows_widen_as_energy_to_three_halves():
    x = np.linspace(1.0, 3000.0, 1500)
    widths = np.array([ref.get_sigma(0.001, E) for E in x])
    result = build_gaussian_response(x, widths)
    assert_identical(result, ref.build_gaussian_response(x, widths))
    counts = np.diff(result[0])
    inner = slice(0, 1300)  # rows whose window is not cut by either end of the axis
    expected = 2 * np.floor(5 * widths / (x[1] - x[0])) + 1
    assert np.all(np.abs(counts[inner] - expected[inner]) <= 2)
    assert np.all(np.diff(counts[inner]) >= 0)
    assert counts[1200] / counts[300] == pytest.approx((x[1200] / x[300]) ** 1.5, rel=0.02)


def build_checked(axis, sigma, *nsigma):
    """Builds and checks the CSR layout that every result must have."""
    offsets, indices, values = result = build_gaussian_response(axis, sigma, *nsigma)
    assert (offsets.dtype, indices.dtype, values.dtype) == (np.int64, np.int32, np.float64)
    assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0)
    assert len(offsets) == len(axis) + 1 and len(indices) == len(values) == offsets[-1]
    return result


def test_window_includes_both_ends():
    result = csr_rows(build_checked(np.arange(11.0), np.ones(11), 5))
    weights = [math.exp((x * -0.5) * x) for x in range(-5, 6)]
    norm = functools.reduce(operator.add, weights)  # summed in order, as the builder does
    assert np.array_equal(result[5][0], np.arange(11))
    assert np.array_equal(result[5][1], [w / norm for w in weights])
    assert np.array_equal(result[0][0], np.arange(6))
    assert np.sum(result[0][1]) == pytest.approx(1.0, abs=1e-15)


def test_builder_sigma_length():
    axis, sigma = np.linspace(0.0, 20.0, 9), np.linspace(1.0, 3.0, 12)
    assert_identical(build_gaussian_response(axis, sigma), build_gaussian_response(axis, sigma[:9].copy()))
    with pytest.raises(IndexError, match=exact(OUT_OF_BOUNDS)):
        build_gaussian_response(axis, sigma[:8])


def test_invalid_widths_give_empty_rows():
    axis = np.arange(8.0)
    sigma = np.array([1.0, -1.0, np.nan, 2.0, -np.inf, np.inf, 1.5, np.nan])
    result = build_checked(axis, sigma)
    assert [len(i) for i, _ in csr_rows(result)][1:5] == [0, 0, 8, 0]
    assert_identical(result, ref.build_gaussian_response(axis, sigma))


def test_negative_width_and_window_cancel():
    axis, sigma = np.linspace(0.0, 30.0, 40), np.linspace(0.5, 4.0, 40)
    assert_identical(build_gaussian_response(axis, -sigma, -5.0), build_gaussian_response(axis, sigma))


@pytest.mark.parametrize("nsigma", [5.0, 0.0, -1.0, np.inf, np.nan])
@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_zero_width_is_delta_row_whatever_nsigma(zero, nsigma):
    axis = np.array([0.0, 1.0, 1.0, 1.0, 2.5, 4.0])
    sigma = np.array([zero, zero, 1.0, zero, zero, 1.0])
    result = csr_rows(build_checked(axis, sigma, nsigma))
    deltas = {0: ([0], [1.0]), 1: ([1, 2, 3], [1 / 3] * 3), 3: ([1, 2, 3], [1 / 3] * 3), 4: ([4], [1.0])}
    for row, (indices, values) in deltas.items():
        assert np.array_equal(result[row][0], indices) and np.array_equal(result[row][1], values)


def zero_width_cases():
    """(id, axis, sigma): axes in and out of order whose energies repeat, with zero widths."""
    cases = [
        ("unsorted", [3.0, 1.0, 2.0], [1.0, 0.0, 1.0]),
        ("unsorted, E repeated", [2.0, 1.0, 2.0, 0.0, 1.0, 2.0, 3.0], [0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.5]),
        ("unsorted, window without E", [5.0, 0.0, 1.0, 2.0, 3.0], [0.0, 0.0, 0.0, 1.0, 0.0]),
        ("descending, E repeated", [4.0, 3.0, 3.0, 2.0, 2.0, 2.0, 1.0], [0.0] * 7),
        ("sorted, E repeated", [0.0, 1.0, 1.0, 1.0, 2.5, 4.0], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0]),
        ("sorted, NaN energies", [0.0, 1.0, 1.0, np.nan, np.nan], [0.0, 0.0, 0.0, 0.0, 1.0]),
    ]
    for seed in range(3):
        rng = np.random.default_rng(seed)
        axis = rng.integers(0, 6, 40).astype(np.float64)
        sigma = np.where(rng.random(40) < 0.6, 0.0, rng.uniform(0.2, 2.0, 40))
        cases += [(f"unsorted, seed {seed}", axis, sigma), (f"sorted, seed {seed}", np.sort(axis), sigma)]
    return [pytest.param(np.array(axis), np.array(sigma), id=name) for name, axis, sigma in cases]


@pytest.mark.parametrize("axis, sigma", zero_width_cases())
def test_zero_width_rows_weigh_the_bins_equal_to_E(axis, sigma):
    """A zero-width row weighs 1 the bins of its window whose energy equals its own and 0 the
    others, however the axis is ordered, then scales them to sum 1."""
    result = build_checked(axis, sigma)
    assert_identical(result, ref.build_gaussian_response(axis, sigma))
    for E, s, (columns, values) in zip(axis, sigma, csr_rows(result)):
        if s == 0 and not np.isnan(E):
            equal = axis[columns] == E
            assert np.array_equal(values, equal / np.count_nonzero(equal))


def test_zero_window_keeps_equal_energies():
    axis = np.array([1.0, 2.0, 2.0, 3.0])
    result = csr_rows(build_checked(axis, np.ones(4), 0.0))
    assert [list(i) for i, _ in result] == [[0], [1, 2], [1, 2], [3]]
    assert [list(v) for _, v in result] == [[1.0], [0.5, 0.5], [0.5, 0.5], [1.0]]


@pytest.mark.parametrize("seed", range(4))
def test_unsorted_axis_follows_numpy_bisection(seed):
    rng = np.random.default_rng(seed)
    axis, sigma = rng.uniform(0.0, 50.0, 60), rng.uniform(0.1, 10.0, 60)
    assert_identical(build_checked(axis, sigma), ref.build_gaussian_response(axis, sigma))


def test_nan_energies_on_sorted_axis():
    axis = np.array([0.0, 1.0, 2.0, 3.0, np.nan, np.nan])
    result = build_checked(axis, np.ones(6), 2.0)
    assert_identical(result, ref.build_gaussian_response(axis, np.ones(6), 2.0))
    assert [list(i) for i, _ in csr_rows(result)][3:] == [[1, 2, 3], [4, 5], [4, 5]]
