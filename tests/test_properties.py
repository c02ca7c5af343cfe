"""Property-based checks of the seven kernels on unusual and malformed arguments.

Every call either returns a result that keeps the kernel's invariants or raises the exception
that its checks document, decided here from the arguments alone; no argument array is ever
written. Bulk contents come from a NumPy generator seeded by Hypothesis, so generation stays
cheap; shapes, layouts, faults and special values are Hypothesis's choices.
"""

import array
import inspect
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import reference_deconvolution as ref_deconvolution
import reference_resampler as ref_resampler
from conftest import KERNELS, assert_identical, sample_args

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

PROPERTY = settings(max_examples=300, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow, HealthCheck.data_too_large])
DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError)
OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"
SPECIAL_FLOATS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e300, -1.0])


class Subarray(np.ndarray):
    pass


# --- arguments -------------------------------------------------------------------------------

def frozen(a):
    a.flags.writeable = False
    return a


def junk(dtype):
    """A filler for the gaps of strided layouts that would change any result that read it."""
    return 1e300 if dtype.kind == "f" else np.iinfo(dtype).max


def layout(a, name):
    """The contents of a as the kernels may receive them. A zero stride repeats the first
    element, so checks always look at the array actually passed, never at a."""
    if name == "contiguous":
        return a.copy()
    if name == "read_only":
        return frozen(a.copy())
    if name == "subclass":
        return a.copy().view(Subarray)
    if name == "fortran":
        return np.asfortranarray(a)
    if name == "strided":
        wide = np.full(tuple(3 * s for s in a.shape), junk(a.dtype), dtype=a.dtype)
        view = wide[(slice(None, None, 3),) * a.ndim]
        view[...] = a
        return view
    if name == "unaligned":  # a field of a packed record: stride 9, misaligned elements
        records = np.zeros(a.shape, dtype=[("pad", "u1"), ("value", a.dtype)])
        records["value"] = a
        return records["value"]
    if name == "reversed":
        base = frozen(np.flip(a).copy())
        if a.size == 0:
            return base
        last = base[(slice(-1, None),) * a.ndim]
        return as_strided(last, a.shape, tuple(-s for s in base.strides), writeable=False)
    if name == "zero_stride":
        base = frozen(a.ravel()[:1].copy() if a.size else np.zeros(1, a.dtype))
        return as_strided(base, a.shape, (0,) * a.ndim, writeable=False)
    raise AssertionError(name)


LAYOUTS = ["contiguous", "read_only", "subclass", "fortran", "strided", "unaligned", "reversed",
           "zero_stride"]
ODD_FORMS = ["none", "list", "big_endian", "other_dtype", "other_ndim"]
OTHER_DTYPES = ["f4", "f2", "f8", "i8", "i4", "u8", "i2", "?", "c16", "g", "O", "U3", "S2", "M8[s]",
                [("a", "f8")]]


def now_and_then(draw, one_in):
    """True about once in one_in draws. Hypothesis leans towards small values and shrinks
    towards them, so the rare choice sits at the top of the range."""
    return draw(st.integers(0, one_in - 1)) == one_in - 1


def size(draw, small, large):
    """Mostly a length up to small; now and then one up to large, long enough for the kernels'
    vector loops and their tails, or an empty one (which Hypothesis would favour otherwise)."""
    if now_and_then(draw, 10):
        return 0
    return draw(st.integers(small + 1, large) if now_and_then(draw, 4) else st.integers(1, small))


@st.composite
def passed(draw, contents, exporters=False):
    """contents as one of the accepted layouts, or now and then in a form a check looks at:
    None, a list, big-endian, another element type or another number of dimensions."""
    if not now_and_then(draw, 16):
        if exporters and now_and_then(draw, 5) and contents.ndim == 1:
            return draw(st.sampled_from([lambda a: array.array(a.dtype.char, a.tolist()),
                                         memoryview]))(contents.copy())
        return layout(contents, draw(st.sampled_from(LAYOUTS)))
    form = draw(st.sampled_from(ODD_FORMS))
    if form == "none":
        return None
    if form == "list":
        return contents.tolist()
    if form == "big_endian":
        return contents.astype(contents.dtype.newbyteorder(">"))
    if form == "other_ndim":
        if contents.ndim == 2:
            return contents.ravel()
        return contents[None] if draw(st.booleans()) else np.zeros((), contents.dtype)
    other = np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
    if other.kind in "OUSMV":
        return np.zeros(contents.shape, other)
    with np.errstate(all="ignore"):
        return contents.astype(other)


def buffer_fault(obj, dtype, ndim, exporters=False):
    """The exception that the type test or the buffer checks raise for obj; None if it passes.
    None passes here: each kernel decides what None means."""
    if obj is None:
        return None
    if not isinstance(obj, np.ndarray):
        if not exporters:
            return TypeError
        try:
            obj = np.asarray(memoryview(obj))
        except TypeError:
            return TypeError
    if obj.ndim != ndim or obj.dtype != np.dtype(dtype):
        return ValueError
    return None


def first_fault(*faults):
    """The outcome of the first check that fails, in the kernel's order of checks."""
    return next((fault for fault in faults if fault is not None), None)


def length(obj):
    """Elements of a one-dimensional argument; None counts as empty."""
    return 0 if obj is None or np.ndim(obj) == 0 else len(obj)


def values_of(obj):
    return [] if obj is None else np.asarray(obj).tolist()


def float_vector(rng, n, low, high, specials):
    """n uniform values (none if n < 0), about a third of them special ones if asked."""
    n = max(n, 0)
    v = rng.uniform(low, high, n)
    if specials and n:
        hit = rng.random(n) < 0.3
        v[hit] = rng.choice(SPECIAL_FLOATS, hit.sum())
    return v


def scalar(draw, accepted, refused):
    """An accepted scalar most of the time, else one a conversion or type test refuses."""
    return draw(st.sampled_from(refused if now_and_then(draw, 10) else accepted))


def conversion_fault(convert, value):
    """The exception type a C-level conversion raises for value, or None."""
    try:
        convert(value)
    except Exception as error:  # noqa: BLE001 - the type is the answer
        return type(error)
    return None


def as_double(value):
    math.isfinite(value)  # the float protocol, as the kernels' double conversion uses it


def as_c_int(value):
    if isinstance(value, (str, bytes, complex)) or value is None or not hasattr(value, "__int__"):
        raise TypeError("an integer is required")
    if not -2**31 <= int(value) < 2**31:
        raise OverflowError("value too large to convert to int")


def as_bool_or_none(value):
    if value is not None and type(value) is not bool:
        raise TypeError("expected bool")


# --- calling ---------------------------------------------------------------------------------

def snapshot(objects):
    return [(a, a.tobytes(), a.flags.writeable) for a in objects if isinstance(a, np.ndarray)]


def names(expected):
    return " or ".join(e.__name__ for e in (expected if isinstance(expected, tuple) else (expected,)))


def call(f, args, kwargs, expected):
    """Calls f and checks the outcome against the expected exception type or types (None:
    success). Returns the result, or the exception raised."""
    before = snapshot([*args, *kwargs.values()])
    event(f"expected {'success' if expected is None else names(expected)}")
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            result = f(*args, **kwargs)
        except DOCUMENTED as error:
            note(f"raised {error!r}")
            result, raised = None, error
        else:
            raised = None
    for a, data, writeable in before:
        assert a.tobytes() == data and a.flags.writeable == writeable, "an argument was written"
    if expected is None:
        assert raised is None, f"valid arguments raised {raised!r}"
    else:
        assert raised is not None, f"expected {names(expected)}, got a result"
        assert isinstance(raised, expected), f"expected {names(expected)}, got {raised!r}"
    return raised if raised is not None else result


def options(draw, table):
    """Keyword arguments for some optional parameters, each value drawn by its strategy."""
    return {name: value(draw) for name, value in table.items() if draw(st.booleans())}


def assert_csr(result, rows, columns):
    """The CSR layout every kernel result shares; returns its rows as (columns, values)."""
    assert type(result) is tuple and len(result) == 3
    offsets, indices, values = result
    for a, dtype in zip(result, (np.int64, np.int32, np.float64)):
        assert isinstance(a, np.ndarray) and a.dtype == dtype and a.ndim == 1
    assert len(offsets) == rows + 1 and offsets[0] == 0 and np.all(np.diff(offsets) >= 0)
    assert len(indices) == len(values) == offsets[-1]
    assert np.all((indices >= 0) & (indices < columns))
    return [(indices[a:b], values[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


def is_sorted(a):
    return not np.isnan(a).any() and bool(np.all(a[:-1] <= a[1:]))


def array_stage(formats, nones):
    """Outcome of the type tests and buffer checks of kernels that refuse None. Type tests run
    first; a None and a buffer fault in the same call may be reported in either order."""
    if TypeError in formats:
        return TypeError
    if any(nones):
        return (TypeError, ValueError) if any(formats) else TypeError
    return ValueError if any(formats) else None


# --- deconvolution: ML-EM --------------------------------------------------------------------

ITERATIONS = [0, 1, 2, 3, -1, -2**31, 2.9, True, np.int64(2)]
BAD_ITERATIONS = [2**31, -2**31 - 1, 2**80, "2", None, math.nan, math.inf, 1j]
LAMBDAS = [0.001, 5.0, -1.0, 0, math.nan, math.inf, np.float32(0.5)]
BAD_LAMBDAS = [10**400, "0.1", None, 1j]
BOOLS = [True, False, None]
BAD_BOOLS = [1, 0, np.True_, "True"]
BAD_POSITIONS = [-2**63, -2**62, 2**62, 2**63 - 1]
BAD_COLUMNS = [2**31 - 1, -2**31]

ML_EM_OPTIONS = {
    "iterations": lambda draw: scalar(draw, ITERATIONS, BAD_ITERATIONS),
    "reg_tikhonov": lambda draw: scalar(draw, BOOLS, BAD_BOOLS),
    "reg_tikhonov_lambda": lambda draw: scalar(draw, LAMBDAS, BAD_LAMBDAS),
    "use_sensitivity": lambda draw: scalar(draw, BOOLS, BAD_BOOLS),
}


def option_faults(kwargs, order):
    """Faults of the scalar options in the kernel's order of conversions and type tests."""
    converters = {"iterations": as_c_int, "reg_tikhonov_lambda": as_double, "k": as_double,
                  "nsigma": as_double}
    conversions = [conversion_fault(converters[name], kwargs[name]) for name in order
                   if name in kwargs and name in converters]
    type_tests = [conversion_fault(as_bool_or_none, kwargs[name]) for name in order
                  if name in kwargs and name not in converters]
    return first_fault(*conversions), first_fault(*type_tests)


def used_iterations(kwargs):
    return int(kwargs.get("iterations", 30))


@st.composite
def csr_matrix(draw, rng, n):
    """offsets, indices and values of n rows stored after some junk, their positions given as
    they are, counted from the end, or shifted so that rows wrap from the end of the storage to
    its start; now and then a position or a column lies outside."""
    lengths = rng.integers(0, 4 if n < 8 else 13, n)
    junk_before = draw(st.integers(0, 2))
    storage = junk_before + int(lengths.sum()) + draw(st.integers(0, 2))
    wrapping = -draw(st.integers(1, storage)) if storage else 0
    start = draw(st.sampled_from([junk_before, junk_before - storage, wrapping]))
    offsets = start + np.concatenate(([0], np.cumsum(lengths), rng.integers(0, 2, 2)))
    offsets = offsets[:n + 1 + draw(st.sampled_from([0, 0, 0, 1, 2, -1]))]
    if len(offsets) and now_and_then(draw, 6):
        offsets[rng.integers(len(offsets))] = draw(st.sampled_from(
            BAD_POSITIONS + [-storage - 1, storage, storage + 1]))
    indices = rng.integers(-n, n, storage) if n else rng.integers(-3, 3, storage)
    if storage and now_and_then(draw, 6):
        indices[rng.integers(storage)] = draw(st.sampled_from(BAD_COLUMNS + [n, -n - 1]))
    values = float_vector(rng, storage + draw(st.sampled_from([0, 0, 0, 1, -1])), 0.0, 2.0,
                          draw(st.booleans()))
    return offsets.astype(np.int64), indices.astype(np.int32), values


def positions_inside(n, offsets, indices, values, sensitivity):
    """Whether every position that n rows address lies inside its array, counting negative
    positions from the end."""
    if n == 0:
        return True
    offsets, columns = values_of(offsets), values_of(indices)
    sizes = (len(columns), length(values))
    if len(offsets) < n + 1 or length(sensitivity) < n:
        return False
    for start, end in zip(offsets[:n], offsets[1:n + 1]):
        if end <= start:
            continue
        if any(start < -size or end - 1 >= size for size in sizes):
            return False
        if not all(-n <= columns[k] < n for k in range(start, end)):
            return False
    return True


@st.composite
def ml_em_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = size(draw, 6, 40)
    y = float_vector(rng, n, 0.0, 50.0, draw(st.booleans()))
    matrix = draw(csr_matrix(rng, n))
    sensitivity = float_vector(rng, n + draw(st.sampled_from([0, 0, 0, 2, -1])), 0.2, 2.0,
                               draw(st.booleans()))
    arrays = [draw(passed(a)) for a in (y, *matrix, sensitivity)]
    return arrays, options(draw, ML_EM_OPTIONS)


ML_EM_TYPES = ("f8", "i8", "i4", "f8", "f8")


@PROPERTY
@given(ml_em_calls())
def test_ml_em(quiet, call_args):
    arrays, kwargs = call_args
    y, offsets, indices, values, sensitivity = arrays
    conversions, bools = option_faults(kwargs, list(ML_EM_OPTIONS))
    formats = [buffer_fault(a, t, 1) for a, t in zip(arrays, ML_EM_TYPES)]
    expected = first_fault(conversions, first_fault(*(f for f in formats if f is TypeError), bools),
                           first_fault(*formats))
    if expected is None and y is None:
        expected = ValueError  # ones_like(None) is no one-dimensional array
    n = length(y)
    if expected is None and not positions_inside(n, *arrays[1:]):
        expected = IndexError
    outcome = call(deconvolution.ML_EM_cy, arrays, kwargs, expected)
    if expected is IndexError:  # checked before any work, naming the array in a note
        assert str(outcome) == OUT_OF_BOUNDS and len(getattr(outcome, "__notes__", ())) == 1
    if expected is not None:
        return
    assert isinstance(outcome, np.ndarray) and outcome.dtype == np.float64 and outcome.shape == (n,)
    if n:
        with np.errstate(all="ignore"):
            reference = ref_deconvolution.ml_em(y, offsets, values_of(indices), values_of(values),
                                                sensitivity, used_iterations(kwargs))
        assert np.array_equal(outcome, reference, equal_nan=True)


# --- deconvolution: Gaussian response builder ------------------------------------------------

NSIGMAS = [5.0, 3, 0.0, 0.5, 1e300, math.inf, math.nan, -1.0, np.float32(2.0), np.int64(1)]
BAD_NSIGMAS = ["5", None, 10**400]


def energy_axis(draw, rng, n):
    """Sorted energies from 0 keV (often with repeats) or any order, now and then with
    NaN, infinities and other special values."""
    axis = np.sort(rng.uniform(0.0, 30.0, max(n, 0)))
    if draw(st.booleans()):
        axis = np.round(axis)
    if now_and_then(draw, 4):
        axis = float_vector(rng, n, -5.0, 30.0, True)
    return axis


@st.composite
def builder_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = size(draw, 8, 60)
    axis = energy_axis(draw, rng, n)
    sigma = float_vector(rng, n + draw(st.integers(-1, 2)), 0.1, 8.0, draw(st.booleans()))
    arrays = [draw(passed(axis, exporters=True)), draw(passed(sigma, exporters=True))]
    kwargs = {"nsigma": scalar(draw, NSIGMAS, BAD_NSIGMAS)} if draw(st.booleans()) else {}
    return arrays, kwargs


def check_builder_rows(rows, axis, sigma, nsigma):
    """Each row is one window of consecutive bins. On a sorted axis without NaN and with a
    finite nsigma, a positive finite width gives a unit-sum row that holds its own bin, a zero
    width a delta row on the bins equal to the row's energy, and a negative or NaN width an
    empty row."""
    known = is_sorted(axis) and np.isfinite(nsigma)
    for i, (columns, values) in enumerate(rows):
        assert np.all(np.diff(columns) == 1)
        if not known:
            continue
        E, s = axis[i], sigma[i]
        if s == 0:
            assert np.array_equal(columns, np.flatnonzero(axis == E))
            assert np.all(values == 1 / len(columns))
        elif (np.isnan(s) or s < 0) and nsigma > 0:
            assert len(columns) == 0
        elif np.isfinite(E) and 0 < s < np.inf and nsigma >= 0:
            assert i in columns
            assert np.all((values >= 0) & (values <= 1))
            assert abs(values.sum() - 1.0) <= 1e-12


def as_array(obj):
    return obj if obj is None or isinstance(obj, np.ndarray) else np.asarray(memoryview(obj))


@PROPERTY
@given(builder_calls())
def test_build_gaussian_response(quiet, call_args):
    arrays, kwargs = call_args
    conversions, _ = option_faults(kwargs, ["nsigma"])
    # The views of axis and sigma are made in parameter order, before nsigma is converted.
    expected = first_fault(*(buffer_fault(a, "f8", 1, exporters=True) for a in arrays),
                           conversions)
    if expected is None and length(arrays[0]) > length(arrays[1]):
        expected = IndexError
    result = call(deconvolution.build_gaussian_response, arrays, kwargs, expected)
    if expected is not None:
        return
    axis, sigma = (as_array(a) for a in arrays)
    rows = assert_csr(result, length(axis), length(axis))
    if length(axis):
        check_builder_rows(rows, axis, sigma, float(kwargs.get("nsigma", 5.0)))


# --- deconvolution: Richardson-Lucy driver ---------------------------------------------------

KS = [0.5, 1.0, 2, 0.0, -1.0, math.nan, math.inf, 1e-300]
BAD_KS = ["1", None, 10**400]


@st.composite
def richardson_lucy_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = size(draw, 6, 40)
    sound = draw(st.booleans())  # finite counts on a sorted axis from 0 keV
    x = energy_axis(draw, rng, n + draw(st.integers(-1, 1)) * (not sound))
    y = float_vector(rng, n, 0.0, 100.0, not sound and draw(st.booleans()))
    sensitivity = float_vector(rng, n + draw(st.integers(-1, 1)) * (not sound), 0.5, 2.0,
                               not sound and draw(st.booleans()))
    arrays = [draw(passed(a)) for a in (x, y, sensitivity)]
    k = draw(st.sampled_from(KS[:2])) if sound else scalar(draw, KS, BAD_KS)
    return arrays[:2] + [k] + arrays[2:], options(draw, ML_EM_OPTIONS)


def sound_unfolding(x, k, y, sensitivity):
    """Finite counts on a sorted axis of non-negative energies with a positive width model."""
    axis, counts, floor = (np.asarray(values_of(a)) for a in (x, y, sensitivity))
    return (is_sorted(axis) and np.all(np.isfinite(axis) & (axis >= 0)) and 0 < k < math.inf
            and np.all(np.isfinite(counts) & (counts >= 0)) and np.all((floor >= 0.5) & (floor <= 2.0)))


@PROPERTY
@given(richardson_lucy_calls())
def test_richardson_lucy(quiet, call_args):
    args, kwargs = call_args
    x, y, k, sensitivity = args
    conversions, bools = option_faults({"k": k} | kwargs, ["k", *ML_EM_OPTIONS])
    formats = [buffer_fault(a, "f8", 1) for a in (x, y, sensitivity)]
    expected = first_fault(conversions, first_fault(*(f for f in formats if f is TypeError), bools),
                           first_fault(*formats))
    if expected is None and y is None:
        expected = ValueError  # empty_like(None) is no one-dimensional array
    n = length(y)
    if expected is None and (length(x) != n or length(sensitivity) < n):
        expected = IndexError
    result = call(deconvolution.richardson_lucy_cy, args, kwargs, expected)
    if expected is not None:
        return
    assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.shape == (n,)
    # The driver is the builder on the model's widths followed by ML-EM.
    sigmas = np.array([ref_deconvolution.get_sigma(k, E) for E in values_of(x)], dtype=np.float64)
    with np.errstate(all="ignore"):
        matrix = deconvolution.build_gaussian_response(x, sigmas)
        unfolded = deconvolution.ML_EM_cy(y, *matrix, sensitivity, used_iterations(kwargs))
    assert np.array_equal(result, unfolded, equal_nan=True)
    if sound_unfolding(x, k, y, sensitivity):
        assert np.all(np.isfinite(result))


# --- resampler -------------------------------------------------------------------------------

REGION_ENERGIES = [0.0, 100.0, 255.5, 1000.0, 1022.0, 1022.5, 3000.0, math.nan, math.inf,
                   -math.inf, -50.0, 1e300, 5e-324]
FLAGS = [True, False, None]
BAD_FLAGS = [1, 0, np.True_, "yes"]


@st.composite
def calculate_regions_calls(draw):
    energy = st.one_of(st.sampled_from(REGION_ENERGIES), st.floats(), st.integers(-2**70, 2**70),
                       st.sampled_from([10**400, "1000", None, np.float32(662.0), np.int64(662)]))
    return [draw(energy), draw(energy), scalar(draw, FLAGS, BAD_FLAGS)]


@PROPERTY
@given(calculate_regions_calls())
def test_calculate_regions(quiet, args):
    E_p, max_value, flag = args
    expected = first_fault(conversion_fault(as_double, E_p), conversion_fault(as_double, max_value),
                           conversion_fault(as_bool_or_none, flag))
    regions = call(resampler.calculate_regions, args, {}, expected)
    if expected is not None:
        return
    assert type(regions) is list and len(regions) == (8 if flag else 6)
    assert [type(r) for r in regions].count(int) == 1 and 0 in regions
    assert all(type(r) in (int, float) for r in regions)
    if flag:
        if not any(math.isnan(r) for r in regions):
            assert regions == sorted(regions)
    else:
        assert regions[0] == 0 and type(regions[0]) is int
        assert regions[-1] == float(max_value) or math.isnan(max_value)


def perturbed(draw, rng, a):
    """a with one element replaced by NaN, an infinity or its predecessor, now and then."""
    a = a.copy()
    if len(a) and now_and_then(draw, 8):
        at = rng.integers(len(a))
        a[at] = draw(st.sampled_from([np.nan, np.inf, -np.inf, a[at - 1] if at else -np.inf]))
    return a


def sorted_energies(rng, n, low, high, unique=False):
    energies = np.sort(rng.uniform(low, high, n))
    if unique:
        energies = np.unique(energies)
    return energies


def channels(draw):
    return 0 if now_and_then(draw, 20) else size(draw, 8, 64) or 1


@st.composite
def resampler_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_ref = draw(st.sampled_from([0, 1])) if now_and_then(draw, 20) else draw(st.integers(2, 4))
    ref_indices = perturbed(draw, rng, sorted_energies(rng, n_ref, 50.0, 3000.0, unique=True))
    ref_E_axis = perturbed(draw, rng, sorted_energies(rng, channels(draw), 0.0, 3100.0))
    rows = len(ref_indices) + (draw(st.sampled_from([-1, 1])) if now_and_then(draw, 10) else 0)
    columns = len(ref_E_axis) + draw(st.sampled_from([0, 1, 2]))
    columns -= now_and_then(draw, 10)
    matrix = rng.uniform(0.0, 1.0, (max(rows, 0), max(columns, 0)))
    if matrix.size and draw(st.booleans()):
        hit = rng.random(matrix.shape) < 0.2
        matrix[hit] = rng.choice(SPECIAL_FLOATS, hit.sum())
    low, high = np.sort(np.nan_to_num(ref_indices[[0, -1]], posinf=3e3, neginf=0.0)) \
        if len(ref_indices) else (0.0, 3000.0)
    requested = rng.uniform(low, high, draw(st.integers(0, 4)))
    if len(requested) and draw(st.booleans()):
        requested[0] = draw(st.sampled_from([low, high, *ref_indices]))
    requested = perturbed(draw, rng, requested)
    requested_E_axis = perturbed(draw, rng, sorted_energies(rng, channels(draw),
                                                            draw(st.sampled_from([-20.0, 0.0, 5.0])),
                                                            3200.0))
    return [draw(passed(a)) for a in (matrix, ref_indices, ref_E_axis, requested, requested_E_axis)]


def resampler_content_fault(matrix, ref_indices, ref_E_axis, requested, requested_E_axis):
    """ValueError when the inputs cannot describe a resampling, as the kernel checks them."""
    energies = np.asarray(ref_indices)
    if (len(energies) < 2 or matrix.shape[0] != len(energies) or matrix.shape[1] < len(ref_E_axis)
            or not np.all(np.isfinite(energies)) or not np.all(energies[:-1] < energies[1:])
            or not is_sorted(np.asarray(ref_E_axis)) or not is_sorted(np.asarray(requested_E_axis))):
        return ValueError
    inside = (np.asarray(requested) >= energies[0]) & (np.asarray(requested) <= energies[-1])
    if not np.all(inside) or (len(requested) and not len(requested_E_axis)):
        return ValueError
    return None


@PROPERTY
@given(resampler_calls())
def test_resampler(quiet, args):
    formats = [buffer_fault(a, "f8", ndim) for a, ndim in zip(args, (2, 1, 1, 1, 1))]
    expected = array_stage(formats, [a is None for a in args]) or resampler_content_fault(*args)
    result = call(resampler.resampler_cy, args, {}, expected)
    if expected is not None:
        return
    rows = assert_csr(result, len(args[3]), len(args[4]))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        reference = ref_resampler.resampler_reference(*args)
    assert_identical(result, reference)
    nonnegative = np.all(np.isfinite(args[0]) & (np.asarray(args[0]) >= 0))
    for columns, values in rows:
        assert np.all(np.diff(columns) > 0) and np.all(values > 1e-12)
        # Only values of at most 1e-12 and NaN are dropped, so a row of a sound response keeps
        # almost all of its unit sum, or is empty when nothing in it has a value.
        if nonnegative and len(values):
            assert abs(values.sum() - 1.0) <= 1e-9


# --- gaussian --------------------------------------------------------------------------------

@st.composite
def gaussian_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    x = float_vector(rng, size(draw, 8, 600), -10.0, 10.0, draw(st.booleans()))
    n_params = size(draw, 8, 30)
    params = np.column_stack([rng.uniform(-5.0, 5.0, 10), rng.uniform(-10.0, 10.0, 10),
                              rng.uniform(-1.0, 9.0, 10)]).ravel()[:n_params]
    if n_params and draw(st.booleans()):
        params[rng.integers(n_params)] = rng.choice(SPECIAL_FLOATS)
    return [draw(passed(x)), draw(passed(params))]


@PROPERTY
@given(gaussian_calls())
def test_gaussian_model_and_jacobian(quiet, args):
    expected = array_stage([buffer_fault(a, "f8", 1) for a in args], [a is None for a in args])
    y = call(gaussian.multi_gaussian_cy, args, {}, expected)
    J = call(gaussian.multi_gaussian_jacobian_cy, args, {}, expected)
    if expected is not None:
        return
    x, params = (np.asarray(a) for a in args)
    m, n = len(x), len(params)
    for result, shape in ((y, (m,)), (J, (m, n))):
        assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == shape
    n_gauss = n // 3
    assert np.all(J[:, 3 * n_gauss:] == 0.0)
    # The model is the A-weighted sum of the Jacobian's A columns, in parameter order.
    rebuilt = np.zeros(m)
    with np.errstate(all="ignore"):
        for i in range(n_gauss):
            rebuilt += params[3 * i] * J[:, 3 * i]
    assert np.array_equal(y, rebuilt, equal_nan=True)


# --- binding ---------------------------------------------------------------------------------

def signature(kernel):
    defaults = (inspect.Parameter.empty,) * kernel.required + (kernel.defaults or ())
    return inspect.Signature([inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                                default=d) for p, d in zip(kernel.params, defaults)])


class Name(str):
    """A keyword name of a str subclass."""


@st.composite
def bindings(draw):
    kernel = KERNELS[draw(st.sampled_from(sorted(KERNELS)))]
    values = dict(zip(kernel.params, sample_args(kernel.name)))
    n_positional = draw(st.integers(0, len(kernel.params) + 1))
    positional = list(values.values())[:n_positional] + [None] * (n_positional > len(values))
    unbound = kernel.params[n_positional:] if draw(st.booleans()) else kernel.params
    keyword_names = draw(st.lists(st.sampled_from(unbound), unique=True)) if unbound else []
    # Interned names, str subclasses and equal copies take different paths through binding.
    keywords = {draw(st.sampled_from([str, Name, lambda p: "".join(list(p))]))(p): values[p]
                for p in keyword_names}
    extra = draw(st.sampled_from([{"foo": 1}, {1: 2}, {Name("bar"): 3}])) if now_and_then(draw, 4) else {}
    return kernel, positional, keywords | extra


@PROPERTY
@given(bindings())
def test_binding(quiet, binding):
    kernel, positional, keywords = binding
    try:
        bound = signature(kernel).bind(*positional, **keywords)
    except TypeError:
        bound = None
    result = call(kernel.load(), positional, keywords, TypeError if bound is None else None)
    if bound is not None:
        bound.apply_defaults()
        assert_identical(result, kernel.load()(*bound.args))
