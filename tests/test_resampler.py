"""calculate_regions and resampler_cy against the plain-Python reference."""

import numpy as np
import pytest

import reference_resampler as reference
from conftest import assert_identical, csr_rows, exact
from vexora.utils.numerics.kernels.resampler import calculate_regions, resampler_cy


def peak(axis, centre, sigma):
    return np.exp(-0.5 * ((axis - centre) / sigma) ** 2)


def response_row(E, axis, rng):
    """Photopeak, Compton continuum, backscatter bump and, above 1022 keV, escape peaks."""
    sigma = 20 + 0.03 * E
    backscatter = E / (2 * E / 511 + 1)
    row = peak(axis, E, sigma) + 0.3 * peak(axis, backscatter, 2 * sigma)
    row += 0.2 * (axis < E - backscatter) * (1 + axis / E)
    if E > 1022:
        row += 0.2 * peak(axis, E - 511, sigma) + 0.1 * peak(axis, E - 1022, sigma)
    row *= rng.uniform(0.8, 1.2, axis.size)
    row[rng.random(axis.size) < 0.1] = 0.0
    return row


def ascending_axis(rng, n, start, stop):
    steps = rng.uniform(0.5, 1.5, n)
    return start + np.concatenate(([0.0], np.cumsum(steps)[:-1])) * ((stop - start) / steps.sum())


def make_problem(seed, n_ref=5, n_ref_channels=40, n_requested=7, n_channels=36):
    rng = np.random.default_rng(seed)
    ref_indices = np.sort(np.exp(rng.uniform(np.log(50), np.log(3000), n_ref)))
    ref_E_axis = ascending_axis(rng, n_ref_channels, 0.0, 3100.0)
    requested_E_axis = ascending_axis(rng, n_channels, rng.choice([-20.0, 0.0]),
                                      rng.uniform(2500.0, 3200.0))
    on_reference = [ref_indices[0], ref_indices[-1], rng.choice(ref_indices[1:-1])]
    inside = rng.uniform(ref_indices[0], ref_indices[-1], n_requested - len(on_reference))
    requested = np.concatenate((inside, on_reference))
    matrix = np.array([response_row(E, ref_E_axis, rng) for E in ref_indices])
    return [matrix, ref_indices, ref_E_axis, rng.permutation(requested), requested_E_axis]


@pytest.mark.parametrize(("args", "expected"), [
    ((1000, 3000, False), [0, 203.50457984866588, 796.4954201513341, 990.0, 1010.0, 3000.0]),
    ((2000, 3000, True), [0, 226.55730436710266, 978.0, 1489.0, 1773.4426956328973, 1990.0,
                          2010.0, 3000.0]),
    ((200, 3000, False), [0, 112.18441273326016, 87.81558726673984, 190.0, 210.0, 3000.0]),
])
def test_calculate_regions_worked_values(args, expected):
    regions = calculate_regions(*args)
    assert regions == expected
    assert [type(x) for x in regions] == [int] + [float] * (len(expected) - 1)
    assert calculate_regions(*map(float, args[:2]), args[2]) == regions


@pytest.mark.parametrize("E_p", [200.0, 255.5, 511.0, 1021.5, 1022.0, 1022.5, 2999.0])
@pytest.mark.parametrize("max_value", [500.0, 3000.0])
@pytest.mark.parametrize("has_escape_peaks", [False, True, None])
def test_calculate_regions_matches_reference(E_p, max_value, has_escape_peaks):
    regions = calculate_regions(E_p, max_value, has_escape_peaks)
    expected = reference.calculate_regions(E_p, max_value, has_escape_peaks)
    assert [(type(x), x) for x in regions] == [(type(x), x) for x in expected]


def test_calculate_regions_stable_sort_and_negative_double_escape():
    at_pair_threshold = calculate_regions(1022.0, 3000.0, True)
    assert [type(x) for x in at_pair_threshold[:2]] == [int, float]
    below = calculate_regions(800.0, 3000.0, True)
    assert below[:2] == [-222.0, 0] and type(below[1]) is int


def test_backscatter_meets_compton_edge_at_255_5():
    assert calculate_regions(255.5, 3000.0, False)[1:3] == [127.75, 127.75]


@pytest.mark.parametrize(("low_E", "flipped_threshold"), [(1022.0, 1021.9), (1022.5, 1022.6)])
def test_escape_regions_start_strictly_above_1022(low_E, flipped_threshold, monkeypatch):
    args = make_problem(3)
    args[1] = np.array([300.0, low_E, 1900.0, 2800.0, 2950.0])
    args[3] = np.array([1400.0, 1850.0])
    result = resampler_cy(*args)
    assert_identical(result, reference.resampler_reference(*args))
    # The other side of the switch gives a visibly different row.
    monkeypatch.setattr(reference, "ESCAPE_THRESHOLD_KEV", flipped_threshold)
    assert not np.array_equal(result[2], reference.resampler_reference(*args)[2])


def threshold_problem(b):
    """Normalised row [nan, 1/(1+b), b/(1+b)] up to rounding: t = 0 and flat neighbourhoods."""
    low = np.ones(20)
    low[4:6] = b
    return [np.vstack((low, np.ones(20))), np.array([100.0, 200.0]), np.arange(0.0, 200.0, 10.0),
            np.array([100.0]), np.array([0.0, 15.0, 45.0])]


def test_value_exactly_at_threshold_is_not_stored():
    b = 1e-12 / (1 - 1e-12)
    for _ in range(8):
        b = np.nextafter(b, 0.0)
    while reference.normalised_rows(*threshold_problem(b))[0][2] < 1e-12:
        b = np.nextafter(b, np.inf)
    assert reference.normalised_rows(*threshold_problem(b))[0][2] == 1e-12
    assert resampler_cy(*threshold_problem(b))[1].tolist() == [1]
    above = resampler_cy(*threshold_problem(np.nextafter(b, np.inf)))
    assert above[1].tolist() == [1, 2] and above[2][1] > 1e-12


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_nan_reference_row_empties_the_rows_that_use_it():
    args = make_problem(8, n_ref=4)
    args[0][2, 17] = np.nan
    ref = args[1]
    args[3] = np.array([(ref[0] + ref[1]) / 2, ref[2], (ref[2] + ref[3]) / 2, ref[1], ref[3]])
    result = resampler_cy(*args)
    assert_identical(result, reference.resampler_reference(*args))
    assert [len(columns) > 0 for columns, _ in csr_rows(result)] == [True, False, False, True, False]


@pytest.mark.parametrize("n_channels", [0, 5])
def test_no_requested_energies_gives_empty_result(n_channels):
    args = make_problem(1)
    result = resampler_cy(*args[:3], np.empty(0), np.linspace(0.0, 3000.0, n_channels))
    assert_identical(result, (np.array([0]), np.empty(0, np.int32), np.empty(0)))


def test_empty_requested_axis_fails_in_the_maximum():
    args = make_problem(1)
    with pytest.raises(ValueError, match=exact(
            "zero-size array to reduction operation maximum which has no identity")):
        resampler_cy(*args[:4], np.empty(0))


def valid_arguments():
    """A sound call except for its empty requested axis, which fails as soon as a row is built."""
    return dict(response_matrix=np.ones((3, 31)), ref_indices=np.array([100.0, 500.0, 1000.0]),
                ref_E_axis=np.linspace(0.0, 3000.0, 31), requested_indices=np.array([300.0]),
                requested_E_axis=np.empty(0))


def with_step_down(axis, value):
    axis = axis.copy()
    axis[5] = value
    return axis


AXIS = np.linspace(0.0, 3000.0, 31)
TOO_FEW = "ref_indices must hold at least 2 reference energies, got {}"
STRICTLY = "ref_indices must be finite and strictly ascending; ref_indices[{}] = {} breaks that"
ASCENDING = "{0} must be ascending and free of NaN; {0}[5] = {1} breaks that"
OUTSIDE = "requested_indices[1] = {} keV is outside the reference range [100.0, 1000.0] keV"
INVALID_CALLS = [
    (dict(response_matrix=np.ones((1, 31)), ref_indices=np.array([100.0])), TOO_FEW.format(1)),
    (dict(response_matrix=np.ones((0, 31)), ref_indices=np.empty(0)), TOO_FEW.format(0)),
    (dict(ref_indices=np.array([100.0, 500.0])), "response_matrix has 3 rows but ref_indices holds 2 energies"),
    (dict(response_matrix=np.ones((4, 31))), "response_matrix has 4 rows but ref_indices holds 3 energies"),
    (dict(response_matrix=np.ones((3, 30))), "response_matrix rows have 30 channels but ref_E_axis has 31"),
    *((dict(ref_indices=np.array(energies)), STRICTLY.format(at, text)) for energies, at, text in [
        ([100.0, 100.0, 1000.0], 1, "100.0"), ([100.0, 50.0, 1000.0], 1, "50.0"),
        ([100.0, np.nan, 1000.0], 1, "nan"), ([100.0, 500.0, np.inf], 2, "inf"),
        ([-np.inf, 500.0, 1000.0], 0, "-inf")]),
    *(({name: with_step_down(AXIS, value)}, ASCENDING.format(name, text))
      for name in ("ref_E_axis", "requested_E_axis") for value, text in [(399.0, "399.0"), (np.nan, "nan")]),
    *((dict(requested_indices=np.array([300.0, value])), OUTSIDE.format(text))
      for value, text in [(np.nan, "nan"), (99.99, "99.99"), (1000.5, "1000.5")]),
]


@pytest.mark.parametrize(("changes", "message"), INVALID_CALLS)
def test_invalid_input_is_rejected_before_any_row_is_built(changes, message, quiet):
    with pytest.raises(ValueError, match=exact(message)):
        resampler_cy(**(valid_arguments() | changes))




# --- arguments that are not plain arrays ------------------------------------------------------

def resampling_arguments():
    channels = np.linspace(1.0, 3000.0, 200)
    ref_E = np.array([500.0, 1500.0, 2500.0])
    matrix = np.vstack([np.exp(-0.5 * ((channels - e) / 30.0) ** 2) + 0.01 for e in ref_E])
    return [matrix, ref_E, channels, np.array([900.0, 2100.0]), np.linspace(5.0, 2900.0, 150)]


def test_masked_requested_axis_gives_the_result_of_its_data():
    args = resampling_arguments()
    masked = np.ma.masked_array(args[4], mask=np.arange(len(args[4])) == len(args[4]) - 1)
    assert_identical(resampler_cy(*args[:4], masked), resampler_cy(*args))


class Raised(np.ndarray):
    """Rows taken from this matrix come back raised by 1: NumPy's indexing must be the one used."""

    def __getitem__(self, key):
        return np.asarray(super().__getitem__(key)) + 1.0


def test_matrix_subclass_gets_numpys_row_arithmetic():
    args = resampling_arguments()
    expected = resampler_cy(args[0] + 1.0, *args[1:])
    assert_identical(resampler_cy(args[0].view(Raised), *args[1:]), expected)
