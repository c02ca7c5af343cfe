import threading

import numpy as np
import pytest

import reference_resampler as reference
from conftest import exact
from vexora.utils.numerics.kernels.resampler import calculate_regions, resampler_cy

ARG_NAMES = ("response_matrix", "ref_indices", "ref_E_axis", "requested_indices",
             "requested_E_axis")


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


def strided(a):
    """The same values in every other element of a NaN-filled buffer."""
    buffer = np.full(tuple(2 * n for n in a.shape), np.nan)
    view = buffer[(slice(None, None, 2),) * a.ndim]
    view[...] = a
    return view


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def wide_rows(args):
    extra = np.random.default_rng(0).uniform(0.0, 1.0, (args[0].shape[0], 3))
    return [np.hstack((args[0], extra))] + args[1:]


LAYOUTS = {
    "contiguous": lambda args: args,
    "strided": lambda args: [strided(a) for a in args],
    "fortran": lambda args: [np.asfortranarray(args[0])] + args[1:],
    "reversed_requests": lambda args: args[:3] + [args[3][::-1]] + args[4:],
    "read_only": lambda args: [read_only(a) for a in args],
    "wide_rows": wide_rows,
}


def assert_same_csr(result, expected):
    assert [a.dtype for a in result] == [np.int64, np.int32, np.float64]
    for got, want in zip(result, expected, strict=True):
        assert np.array_equal(got, want)


def csr_rows(result):
    offsets, indices, values = result
    return [(indices[a:b], values[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


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


@pytest.mark.parametrize("E_p", [50.0, 200.0, 255.5, 511.0, 1021.5, 1022.0, 1022.5, 2999.0])
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


def test_calculate_regions_rejects_int_flag():
    message = "Argument 'has_escape_peaks' has incorrect type (expected bool, got int)"
    with pytest.raises(TypeError, match=exact(message)):
        calculate_regions(1000.0, 3000.0, 1)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("seed", range(5))
def test_matches_reference(seed, layout, quiet):
    args = LAYOUTS[layout](make_problem(seed))
    assert_same_csr(resampler_cy(*args), reference.resampler_reference(*args))


@pytest.mark.parametrize("seed", range(4))
def test_stored_rows_are_sorted_normalised_and_above_threshold(seed):
    args = make_problem(seed, n_requested=10)
    result = resampler_cy(*args)
    assert result[0][0] == 0 and len(result[0]) == len(args[3]) + 1
    for columns, values in csr_rows(result):
        assert np.all(np.diff(columns) > 0)
        assert np.all(values > 1e-12)
        assert np.all(args[4][columns] > 0.0)  # channels at or below 0 keV have no value
        assert abs(values.sum() - 1.0) < 1e-9


@pytest.mark.parametrize("which", ["first", "inner", "last"])
def test_requested_energy_on_a_reference_energy(which):
    args = make_problem(11)
    r = {"first": 0, "inner": 2, "last": len(args[1]) - 1}[which]
    args[3] = np.array([args[1][r]])
    result = resampler_cy(*args)
    assert_same_csr(result, reference.resampler_reference(*args))
    assert len(result[2]) > 0


@pytest.mark.parametrize(("low_E", "flipped_threshold"), [(1022.0, 1021.9), (1022.5, 1022.6)])
def test_escape_regions_start_strictly_above_1022(low_E, flipped_threshold, monkeypatch):
    args = make_problem(3)
    args[1] = np.array([300.0, low_E, 1900.0, 2800.0, 2950.0])
    args[3] = np.array([1400.0, 1850.0])
    result = resampler_cy(*args)
    assert_same_csr(result, reference.resampler_reference(*args))
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


def test_rows_follow_the_order_of_requested_indices():
    args = make_problem(5, n_requested=6)
    args[3] = np.sort(args[3])
    ascending = csr_rows(resampler_cy(*args))
    order = np.array([4, 0, 5, 2, 1, 3])
    permuted = csr_rows(resampler_cy(*args[:3], args[3][order], args[4]))
    for position, row in zip(order, permuted, strict=True):
        for got, want in zip(row, ascending[position], strict=True):
            assert np.array_equal(got, want)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_nan_reference_row_empties_the_rows_that_use_it():
    args = make_problem(8, n_ref=4)
    args[0][2, 17] = np.nan
    ref = args[1]
    args[3] = np.array([(ref[0] + ref[1]) / 2, ref[2], (ref[2] + ref[3]) / 2, ref[1], ref[3]])
    result = resampler_cy(*args)
    assert_same_csr(result, reference.resampler_reference(*args))
    assert [len(columns) > 0 for columns, _ in csr_rows(result)] == [True, False, False, True,
                                                                      False]


@pytest.mark.parametrize("n_channels", [0, 5])
def test_no_requested_energies_gives_empty_result(n_channels):
    args = make_problem(1)
    result = resampler_cy(*args[:3], np.empty(0), np.linspace(0.0, 3000.0, n_channels))
    assert_same_csr(result, (np.array([0]), np.empty(0), np.empty(0)))


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
INVALID_CALLS = [
    (dict(response_matrix=np.ones((1, 31)), ref_indices=np.array([100.0])),
     "ref_indices must hold at least 2 reference energies, got 1"),
    (dict(response_matrix=np.ones((0, 31)), ref_indices=np.empty(0)),
     "ref_indices must hold at least 2 reference energies, got 0"),
    (dict(ref_indices=np.array([100.0, 500.0])),
     "response_matrix has 3 rows but ref_indices holds 2 energies"),
    (dict(response_matrix=np.ones((4, 31))),
     "response_matrix has 4 rows but ref_indices holds 3 energies"),
    (dict(response_matrix=np.ones((3, 30))),
     "response_matrix rows have 30 channels but ref_E_axis has 31"),
    (dict(ref_indices=np.array([100.0, 100.0, 1000.0])),
     "ref_indices must be finite and strictly ascending; ref_indices[1] = 100.0 breaks that"),
    (dict(ref_indices=np.array([100.0, 50.0, 1000.0])),
     "ref_indices must be finite and strictly ascending; ref_indices[1] = 50.0 breaks that"),
    (dict(ref_indices=np.array([100.0, np.nan, 1000.0])),
     "ref_indices must be finite and strictly ascending; ref_indices[1] = nan breaks that"),
    (dict(ref_indices=np.array([100.0, 500.0, np.inf])),
     "ref_indices must be finite and strictly ascending; ref_indices[2] = inf breaks that"),
    (dict(ref_indices=np.array([-np.inf, 500.0, 1000.0])),
     "ref_indices must be finite and strictly ascending; ref_indices[0] = -inf breaks that"),
    (dict(ref_E_axis=with_step_down(AXIS, 399.0)),
     "ref_E_axis must be ascending and free of NaN; ref_E_axis[5] = 399.0 breaks that"),
    (dict(ref_E_axis=with_step_down(AXIS, np.nan)),
     "ref_E_axis must be ascending and free of NaN; ref_E_axis[5] = nan breaks that"),
    (dict(requested_E_axis=with_step_down(AXIS, 399.0)),
     "requested_E_axis must be ascending and free of NaN; requested_E_axis[5] = 399.0 breaks that"),
    (dict(requested_E_axis=with_step_down(AXIS, np.nan)),
     "requested_E_axis must be ascending and free of NaN; requested_E_axis[5] = nan breaks that"),
    (dict(requested_indices=np.array([300.0, np.nan])),
     "requested_indices[1] = nan keV is outside the reference range [100.0, 1000.0] keV"),
    (dict(requested_indices=np.array([300.0, 99.99])),
     "requested_indices[1] = 99.99 keV is outside the reference range [100.0, 1000.0] keV"),
    (dict(requested_indices=np.array([300.0, 1000.5])),
     "requested_indices[1] = 1000.5 keV is outside the reference range [100.0, 1000.0] keV"),
]


@pytest.mark.parametrize(("changes", "message"), INVALID_CALLS)
def test_invalid_input_is_rejected_before_any_row_is_built(changes, message, quiet):
    with pytest.raises(ValueError, match=exact(message)):
        resampler_cy(**(valid_arguments() | changes))


@pytest.mark.parametrize("name", ARG_NAMES)
def test_none_is_rejected(name):
    message = f"Argument '{name}' has incorrect type (expected numpy.ndarray, got NoneType)"
    with pytest.raises(TypeError, match=exact(message)):
        resampler_cy(**(valid_arguments() | {name: None}))


@pytest.mark.parametrize("name", ARG_NAMES)
def test_wrong_dtype_and_dimensions_are_rejected(name):
    args = valid_arguments()
    with pytest.raises(ValueError, match=exact(
            "Buffer dtype mismatch, expected 'float64_t' but got 'float'")):
        resampler_cy(**(args | {name: args[name].astype(np.float32)}))
    matrix = name == "response_matrix"
    wrong_ndim, expected = (args[name][0], 2) if matrix else (args[name][None], 1)
    with pytest.raises(ValueError, match=exact(
            f"Buffer has wrong number of dimensions (expected {expected}, got {3 - expected})")):
        resampler_cy(**(args | {name: wrong_ndim}))


def test_arguments_are_not_modified():
    args = LAYOUTS["strided"](make_problem(2))
    copies = [a.copy() for a in args]
    resampler_cy(*args)
    for arg, copy in zip(args, copies, strict=True):
        assert np.array_equal(arg, copy, equal_nan=True)


def test_concurrent_calls_match_serial_calls():
    problems = [make_problem(seed, n_ref_channels=600, n_requested=40, n_channels=500)
                for seed in range(4)]
    serial = [resampler_cy(*args) for args in problems]
    results = [[] for _ in problems]

    def work(k):
        for _ in range(3):
            results[k].append(resampler_cy(*problems[k]))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(problems))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for expected, repeats in zip(serial, results, strict=True):
        assert len(repeats) == 3
        for result in repeats:
            assert_same_csr(result, expected)


@pytest.mark.parametrize(("changes", "line"), [
    (dict(requested_indices=np.array([5000.0])), None),
    (dict(ref_indices=None), 162),
])
def test_traceback_names_resampler_cy(changes, line):
    with pytest.raises((ValueError, TypeError)) as excinfo:
        resampler_cy(**(valid_arguments() | changes))
    tb = excinfo.tb
    while tb.tb_next is not None:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert code.co_name == "vexora.utils.numerics.kernels.resampler.resampler_cy"
    assert code.co_filename == "vexora/utils/numerics/kernels/resampler"
    if line is not None:
        assert tb.tb_lineno == line
