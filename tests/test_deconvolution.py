"""ML-EM unfolding and the Richardson-Lucy driver against the plain-Python reference."""

import re
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import reference_deconvolution as ref
from conftest import exact

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")
ML_EM_cy = deconvolution.ML_EM_cy
richardson_lucy_cy = deconvolution.richardson_lucy_cy
build_gaussian_response = deconvolution.build_gaussian_response

OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"


def random_rows(rng, n):
    """Rows of (columns, values): ascending runs, runs through negative columns, scattered
    columns in any order with repeats, and empty rows."""
    rows = []
    for _ in range(n):
        kind = rng.integers(5)
        if kind == 0:
            start = rng.integers(n)
            columns = np.arange(start, rng.integers(start, n) + 1)
        elif kind == 1:  # consecutive raw indices that wrap from the last channel to the first
            columns = np.arange(-rng.integers(1, n + 1), rng.integers(n) + 1)
        elif kind == 2:
            columns = np.arange(-rng.integers(1, n + 1), 0)
        elif kind == 3:
            columns = rng.integers(-n, n, rng.integers(1, 2 * n + 2))
        else:
            columns = np.arange(0)
        rows.append((columns, rng.uniform(0.01, 1.0, len(columns))))
    return rows


def random_csr(rng, n, positions):
    """A CSR matrix with junk before and after its entries and spare offsets. Its offsets are
    all non-negative ("plain"), all written as negative positions ("negative"), or written
    so at random ("mixed"), where a row can run from a negative position through the end of
    the storage into its start."""
    rows = random_rows(rng, n)
    junk_before, junk_after = rng.integers(0, 4), rng.integers(1, 4)
    indices = np.concatenate([rng.integers(-n, n, junk_before), *(c for c, _ in rows),
                              rng.integers(-n, n, junk_after)]).astype(np.int32)
    values = np.concatenate([rng.random(junk_before), *(v for _, v in rows),
                             rng.random(junk_after)])
    offsets = junk_before + np.cumsum([0, *(len(c) for c, _ in rows), *rng.integers(0, 2, 2)])
    negative = {"plain": 0.0, "negative": 1.0, "mixed": 0.3}[positions] > rng.random(len(offsets))
    offsets[negative] -= len(values)
    return offsets.astype(np.int64), indices, values


def as_layout(a, layout):
    """The same elements as a, as a strided, reversed, read-only or contiguous array."""
    if layout == "strided":
        wide = np.full(2 * len(a), -1, dtype=a.dtype)
        wide[::2] = a
        return wide[::2]
    if layout == "reversed":
        return a[::-1].copy()[::-1]
    if layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    return a


def spectrum_args(rng, n, positions="negative"):
    return rng.uniform(0.0, 50.0, n), *random_csr(rng, n, positions), rng.uniform(0.2, 2.0, n + 2)


def run_unchanged(f, *args, **kwargs):
    """Calls f, checking that no argument array is written."""
    before = [np.copy(a) for a in args if isinstance(a, np.ndarray)]
    try:
        return f(*args, **kwargs)
    finally:
        after = [a for a in args if isinstance(a, np.ndarray)]
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(after, before))


@pytest.mark.parametrize("iterations", [0, 1, 2, 7])
@pytest.mark.parametrize("positions", ["plain", "negative", "mixed"])
@pytest.mark.parametrize("n", [1, 2, 3, 5, 13, 30])
@pytest.mark.parametrize("seed", range(3))
def test_ml_em_matches_reference(seed, n, positions, iterations, quiet):
    args = spectrum_args(np.random.default_rng([seed, n]), n, positions)
    expected = ref.ml_em(*args, iterations)
    for layout in ["contiguous", "strided", "reversed", "readonly"]:
        x = run_unchanged(ML_EM_cy, *(as_layout(a, layout) for a in args), iterations)
        assert x.dtype == np.float64 and np.array_equal(x, expected, equal_nan=True), layout


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


def test_rows_are_source_bins():
    y, sensitivity = np.array([1.0, 3.0]), np.ones(2)
    matrix = np.array([0, 2, 3]), np.array([0, 1, 1], np.int32), np.array([0.5, 0.5, 1.0])
    np.testing.assert_allclose(ML_EM_cy(y, *matrix, sensitivity, 1), [2.0, 2.0], rtol=0, atol=1e-11)


def test_empty_row_and_unreached_column():
    matrix = np.array([0, 2, 2, 3]), np.array([0, 0, 1], np.int32), np.array([0.25, 0.75, 1.0])
    x = ML_EM_cy(np.array([2.0, 5.0, 9.0]), *matrix, np.ones(3), 3)
    assert x[1] == 0.0 and np.array_equal(x, ref.ml_em(np.array([2.0, 5.0, 9.0]), *matrix, np.ones(3), 3))
    # Channel 2 is reached by no row, so its count cannot move the estimate.
    assert np.array_equal(x, ML_EM_cy(np.array([2.0, 5.0, -4.0]), *matrix, np.ones(3), 3))


def test_sensitivity_floor():
    y = np.ones(5)
    sensitivity = np.array([0.0, np.nan, -3.0, 1e-300, np.inf])
    x = ML_EM_cy(y, *identity(5), sensitivity, 1)
    assert np.array_equal(x, (y / (1 + 1e-12)) / np.array([1e-12] * 4 + [np.inf]))


def test_iterations_truncated():
    args = spectrum_args(np.random.default_rng(7), 6)
    assert np.array_equal(ML_EM_cy(*args, 2.7), ML_EM_cy(*args, 2))
    assert not np.array_equal(ML_EM_cy(*args, 2.7), ML_EM_cy(*args, 3))


@pytest.mark.parametrize("options", [(30, True, 5.0, True), (30, None, -1.0, None), (30, False, 0.0, True)])
def test_ignored_options(options):
    args = spectrum_args(np.random.default_rng(3), 8)
    assert np.array_equal(ML_EM_cy(*args, *options), ML_EM_cy(*args), equal_nan=True)


def test_none_spectrum():
    with pytest.raises(ValueError, match=exact("Buffer has wrong number of dimensions (expected 1, got 0)")):
        ML_EM_cy(None, np.zeros(1, dtype=np.int64), None, None, None)


def int32(*values):
    return np.array(values, np.int32)


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
    wrapped = np.array([-2, 2, 3, 4]), np.array([0, -1, 1, 2], np.int32), np.array([0.1, 0.2, 0.3, 0.4])
    plain = np.array([0, 4, 5, 6]), np.array([1, 2, 0, 2, 1, 2], np.int32), \
        np.array([0.3, 0.4, 0.1, 0.2, 0.3, 0.4])
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


def test_richardson_lucy_defaults_and_readonly():
    x, y, sensitivity = rl_inputs(np.random.default_rng(1), 40, 0.0)
    result = richardson_lucy_cy(x, y, 1.0, sensitivity)
    assert np.array_equal(result, richardson_lucy_cy(x, y, 1.0, sensitivity, 30, False, 0.001, False))
    for a in (x, y, sensitivity):
        a.flags.writeable = False
    assert np.array_equal(result, richardson_lucy_cy(x, y, 1.0, sensitivity))


@pytest.mark.parametrize("n_x, n_y, n_sensitivity", [(5, 6, 6), (6, 5, 5), (0, 1, 1), (5, 5, 4)])
def test_richardson_lucy_unequal_lengths(n_x, n_y, n_sensitivity, quiet):
    with pytest.raises(IndexError, match=re.escape(OUT_OF_BOUNDS)) as excinfo:
        richardson_lucy_cy(np.linspace(1.0, 9.0, n_x), np.ones(n_y), 1.0, np.ones(n_sensitivity))
    assert str(excinfo.value) == OUT_OF_BOUNDS


def test_richardson_lucy_empty():
    empty = np.empty(0)
    result = richardson_lucy_cy(empty, empty, 1.0, empty)
    assert result.dtype == np.float64 and result.shape == (0,)


def test_rows_widen_as_energy_to_three_halves():
    x = np.linspace(1.0, 3000.0, 3000)
    widths = np.array([ref.get_sigma(0.003, E) for E in x])
    counts = np.diff(build_gaussian_response(x, widths)[0])
    inner = slice(0, 2200)  # rows whose window is not cut by either end of the axis
    expected = 2 * np.floor(5 * widths / (x[1] - x[0])) + 1
    assert np.all(np.abs(counts[inner] - expected[inner]) <= 2)
    assert np.all(np.diff(counts[inner]) >= 0)
    assert counts[2000] / counts[400] == pytest.approx((x[2000] / x[400]) ** 1.5, rel=0.02)


@pytest.mark.parametrize("args, error, message", [
    ((np.ones(3), np.ones(3), "a", np.ones(3), "b"), TypeError, "must be real number, not str"),
    ((np.ones(3), np.ones(3), 1.0, np.ones(3), "b", False, "c"), TypeError, "an integer is required"),
    ((np.ones(3), np.ones(3), 1.0, [1.0], 1, False, "c"), TypeError, "must be real number, not str"),
    (([1.0], np.ones(3), 1.0, np.ones(3), 1, 1), TypeError,
     "Argument 'x' has incorrect type (expected numpy.ndarray, got list)"),
    ((np.ones(3, np.float32), np.ones(3), 1.0, np.ones(3), 1, 1), TypeError,
     "Argument 'reg_tikhonov' has incorrect type (expected bool, got int)"),
    ((np.ones(3), np.ones(3), 1.0, np.ones(3), 1, np.True_), TypeError,
     "Argument 'reg_tikhonov' has incorrect type (expected bool, got numpy.bool)"),
    ((np.ones(3), np.ones(3), 1.0, np.ones(3), 1, None, 0.1, 0), TypeError,
     "Argument 'use_sensitivity' has incorrect type (expected bool, got int)"),
    ((np.ones(3), np.ones(3, np.float32), 1.0, np.ones(3), 1, None), ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
])
def test_richardson_lucy_conversion_order(args, error, message):
    with pytest.raises(error, match=exact(message)):
        richardson_lucy_cy(*args)


def test_concurrent_calls_agree_with_serial():
    rng = np.random.default_rng(11)
    jobs = [(ML_EM_cy, *spectrum_args(rng, 200), 40) for _ in range(6)]
    jobs += [(richardson_lucy_cy, *rl_inputs(rng, 500, 0.0)[:2], 0.01, np.ones(500), 40) for _ in range(6)]
    serial = [f(*args) for f, *args in jobs]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda job: job[0](*job[1:]), jobs * 3))
    assert all(np.array_equal(t, s, equal_nan=True) for t, s in zip(threaded, serial * 3))
