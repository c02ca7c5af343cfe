"""Property-based checks of the seven kernels on unusual and malformed arguments: every call
returns a result that keeps the kernel's invariants or raises the exception that its checks
document, decided here from the arguments alone, and writes no argument array. Bulk contents
come from a NumPy generator seeded by Hypothesis; shapes, layouts and faults are Hypothesis's."""

import array
import ctypes
import inspect
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings
from hypothesis import strategies as st

import reference_deconvolution as ref_deconvolution
import reference_resampler as ref_resampler
from conftest import KERNELS, assert_identical, csr_rows, read_only, sample_args, strided

kernels = "vexora.utils.numerics.kernels"
deconvolution = pytest.importorskip(f"{kernels}.deconvolution")
resampler = pytest.importorskip(f"{kernels}.resampler")
gaussian = pytest.importorskip(f"{kernels}.gaussian")

PROPERTY = settings(max_examples=300, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow, HealthCheck.data_too_large])
DOCUMENTED = (TypeError, ValueError, IndexError, OverflowError)
SPECIAL_FLOATS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e300, -1.0])


# --- arguments -------------------------------------------------------------------------------

class Subarray(np.ndarray):
    pass


def unaligned(a):
    """A field of a packed record: stride 9, misaligned elements."""
    records = np.zeros(a.shape, dtype=[("pad", "u1"), ("value", a.dtype)])
    records["value"] = a
    return records["value"]


# A zero stride repeats the first element, so checks look at the array passed, never at its source.
LAYOUTS = {"contiguous": np.copy, "read_only": read_only, "subclass": lambda a: a.copy().view(Subarray),
           "fortran": np.asfortranarray, "strided": strided, "unaligned": unaligned,
           "reversed": lambda a: np.flip(np.flip(a).copy()),
           "zero_stride": lambda a: np.broadcast_to(a.ravel()[:1] if a.size else np.zeros(1, a.dtype), a.shape)}
EXPORTERS = [lambda a: array.array(a.dtype.char, a.tolist()), memoryview,
             lambda a: (ctypes.c_double * len(a))(*a.tolist()),  # exports no strides
             lambda a: memoryview((ctypes.c_double * len(a))(*a.tolist())),
             lambda a: memoryview(bytearray(a.tobytes())).cast("d"),
             lambda a: memoryview(a.tobytes()).cast("d")]  # read-only
ODD_FORMS = ["none", "list", "big_endian", "other_dtype", "other_ndim"]
OTHER_DTYPES = ["f4", "f2", "f8", "i8", "i4", "u8", "i2", "?", "c16", "g", "O", "U3", "S2", "M8[s]",
                [("a", "f8")]]


def now_and_then(draw, one_in):
    """True about once in one_in draws. Hypothesis shrinks towards small values, so the rare
    choice sits at the top of the range."""
    return draw(st.integers(0, one_in - 1)) == one_in - 1


def size(draw, small, large):
    """Mostly a length up to small; now and then one up to large, long enough for the kernels'
    vector loops and their tails, or an empty one."""
    if now_and_then(draw, 10):
        return 0
    return draw(st.integers(small + 1, large) if now_and_then(draw, 4) else st.integers(1, small))


@st.composite
def passed(draw, contents, exporters=False):
    """contents in an accepted layout or, now and then, as None, a list, big-endian, another
    element type or another number of dimensions."""
    if not now_and_then(draw, 16):
        if exporters and now_and_then(draw, 5) and contents.ndim == 1:
            return draw(st.sampled_from(EXPORTERS))(contents.copy())
        return LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](contents)
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
    """The exception that the type test or the buffer checks raise for obj, or None. None passes
    here: each kernel decides what None means."""
    if obj is None:
        return None
    if not isinstance(obj, np.ndarray):
        if not exporters:
            return TypeError
        try:
            obj = np.asarray(memoryview(obj))
        except TypeError:
            return TypeError
    return ValueError if obj.ndim != ndim or obj.dtype != np.dtype(dtype) else None


def first_fault(*faults):
    """The outcome of the first check that fails, in the kernel's order of checks."""
    return next((fault for fault in faults if fault is not None), None)


def length(obj):
    return 0 if obj is None or np.ndim(obj) == 0 else len(obj)  # None counts as empty


def values_of(obj):
    return [] if obj is None else np.asarray(obj).tolist()


def float_vector(rng, n, low, high, specials):
    """n uniform values (none if n < 0), about a third of them special ones if asked."""
    v = rng.uniform(low, high, max(n, 0))
    if specials and v.size:
        hit = rng.random(v.size) < 0.3
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
        raise TypeError


# --- calling ---------------------------------------------------------------------------------

def call(f, args, kwargs, expected):
    """Calls f and checks the outcome against the expected exception type or types (None:
    success) and that no argument array was written. Returns the result or the exception."""
    before = [(a, a.tobytes(), a.flags.writeable) for a in [*args, *kwargs.values()]
              if isinstance(a, np.ndarray)]
    event(f"expected {getattr(expected, '__name__', expected) or 'success'}")
    result = raised = None
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            result = f(*args, **kwargs)
        except DOCUMENTED as error:
            note(f"raised {error!r}")
            raised = error
    for a, data, writeable in before:
        assert a.tobytes() == data and a.flags.writeable == writeable, "an argument was written"
    if expected is None:
        assert raised is None, f"valid arguments raised {raised!r}"
    else:
        assert isinstance(raised, expected), f"expected {expected}, got {raised!r}"
    return result if raised is None else raised


def options(draw, table):
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
    return csr_rows(result)


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
BOOLS, BAD_BOOLS = [True, False, None], [1, 0, np.True_, "True"]
BAD_POSITIONS = [-2**63, -2**62, 2**62, 2**63 - 1]
BAD_COLUMNS = [2**31 - 1, -2**31]
ML_EM_OPTIONS = {
    "iterations": lambda draw: scalar(draw, ITERATIONS, BAD_ITERATIONS),
    "reg_tikhonov": lambda draw: scalar(draw, BOOLS, BAD_BOOLS),
    "reg_tikhonov_lambda": lambda draw: scalar(draw, LAMBDAS, BAD_LAMBDAS),
    "use_sensitivity": lambda draw: scalar(draw, BOOLS, BAD_BOOLS),
}
CONVERTERS = {"iterations": as_c_int, "reg_tikhonov_lambda": as_double, "k": as_double,
              "nsigma": as_double}


def option_faults(kwargs, order):
    """Faults of the scalar options: conversions, then type tests, each in parameter order."""
    given_options = [name for name in order if name in kwargs]
    conversions = [conversion_fault(CONVERTERS[n], kwargs[n]) for n in given_options if n in CONVERTERS]
    type_tests = [conversion_fault(as_bool_or_none, kwargs[n]) for n in given_options if n not in CONVERTERS]
    return first_fault(*conversions), first_fault(*type_tests)


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


@st.composite
def csr_matrix(draw, rng, n):
    """The rows of random_rows stored between some junk, their positions given as they are,
    counted from the end, a mix of both, or shifted so that rows wrap from the end of the
    storage to its start; now and then a position or a column lies outside."""
    columns = [c for c, _ in random_rows(rng, n)]
    junk = [rng.integers(-n, n, draw(st.integers(0, 2))) if n else rng.integers(-3, 3, draw(st.integers(0, 2)))
            for _ in range(2)]
    indices = np.concatenate([junk[0], *columns, junk[1]]).astype(np.int32)
    storage, first = len(indices), len(junk[0])
    wrapping = -draw(st.integers(1, storage)) if storage else 0
    start = draw(st.sampled_from([first, first - storage, wrapping]))
    lengths = np.cumsum([len(c) for c in columns], dtype=np.int64)
    offsets = start + np.concatenate(([0], lengths, rng.integers(0, 2, 2)))
    if start == first and draw(st.booleans()):
        offsets[rng.random(len(offsets)) < 0.3] -= storage
    offsets = offsets[:n + 1 + draw(st.sampled_from([0, 0, 0, 1, 2, -1]))]
    if len(offsets) and now_and_then(draw, 6):
        offsets[rng.integers(len(offsets))] = draw(st.sampled_from(
            BAD_POSITIONS + [-storage - 1, storage, storage + 1]))
    if storage and now_and_then(draw, 6):
        indices[rng.integers(storage)] = draw(st.sampled_from(BAD_COLUMNS + [n, -n - 1]))
    values = float_vector(rng, storage + draw(st.sampled_from([0, 0, 0, 1, -1])), 0.0, 2.0,
                          draw(st.booleans()))
    return offsets.astype(np.int64), indices, values


def positions_inside(n, offsets, indices, values, sensitivity):
    """Whether every position that n rows address lies inside its array, negative positions
    counting from the end."""
    if n == 0:
        return True
    offsets, columns = values_of(offsets), values_of(indices)
    if len(offsets) < n + 1 or length(sensitivity) < n:
        return False
    for start, end in zip(offsets[:n], offsets[1:n + 1]):
        if end > start and (any(start < -extent or end - 1 >= extent for extent in (len(columns), length(values)))
                            or not all(-n <= columns[k] < n for k in range(start, end))):
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
    return [draw(passed(a)) for a in (y, *matrix, sensitivity)], options(draw, ML_EM_OPTIONS)


def argument_faults(arrays, types, kwargs, order):
    """Option conversions first, then type tests of arrays and flags, then buffer checks."""
    conversions, bools = option_faults(kwargs, order)
    formats = [buffer_fault(a, t, 1) for a, t in zip(arrays, types)]
    return first_fault(conversions, first_fault(*(f for f in formats if f is TypeError), bools),
                       first_fault(*formats))


@PROPERTY
@given(ml_em_calls())
def test_ml_em(quiet, call_args):
    arrays, kwargs = call_args
    y, offsets, indices, values, sensitivity = arrays
    expected = argument_faults(arrays, ("f8", "i8", "i4", "f8", "f8"), kwargs, list(ML_EM_OPTIONS))
    if expected is None and y is None:
        expected = ValueError  # ones_like(None) is no one-dimensional array
    n = length(y)
    if expected is None and not positions_inside(n, *arrays[1:]):
        expected = IndexError
    outcome = call(deconvolution.ML_EM_cy, arrays, kwargs, expected)
    if expected is IndexError:  # checked before any work, naming the array in a note
        assert str(outcome) == "Out of bounds on buffer access (axis 0)"
        assert len(getattr(outcome, "__notes__", ())) == 1
    if expected is not None:
        return
    assert isinstance(outcome, np.ndarray) and outcome.dtype == np.float64 and outcome.shape == (n,)
    if n:
        with np.errstate(all="ignore"):
            reference = ref_deconvolution.ml_em(y, offsets, values_of(indices), values_of(values),
                                                sensitivity, int(kwargs.get("iterations", 30)))
        assert np.array_equal(outcome, reference, equal_nan=True)


# --- deconvolution: Gaussian response builder ------------------------------------------------

NSIGMAS = [5.0, 3, 0.0, 0.5, 1e300, math.inf, math.nan, -1.0, np.float32(2.0), np.int64(1)]
BAD_NSIGMAS = ["5", None, 10**400]


def energy_axis(draw, rng, n):
    """Sorted energies from 0 keV (often with repeats) or, now and then, any values in any order."""
    if now_and_then(draw, 4):
        return float_vector(rng, n, -5.0, 30.0, True)
    axis = np.sort(rng.uniform(0.0, 30.0, max(n, 0)))
    return np.round(axis) if draw(st.booleans()) else axis


@st.composite
def builder_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = size(draw, 8, 60)
    axis = energy_axis(draw, rng, n)
    sigma = float_vector(rng, n + draw(st.integers(-1, 2)), 0.1, 8.0, draw(st.booleans()))
    arrays = [draw(passed(axis, exporters=True)), draw(passed(sigma, exporters=True))]
    return arrays, {"nsigma": scalar(draw, NSIGMAS, BAD_NSIGMAS)} if draw(st.booleans()) else {}


@PROPERTY
@given(builder_calls())
def test_build_gaussian_response(quiet, call_args):
    arrays, kwargs = call_args
    conversions, _ = option_faults(kwargs, ["nsigma"])
    # The views of axis and sigma are made in parameter order, before nsigma is converted.
    expected = first_fault(*(buffer_fault(a, "f8", 1, exporters=True) for a in arrays), conversions)
    if expected is None and length(arrays[0]) > length(arrays[1]):
        expected = IndexError
    result = call(deconvolution.build_gaussian_response, arrays, kwargs, expected)
    if expected is not None:
        return
    axis, sigma = (a if a is None or isinstance(a, np.ndarray) else np.asarray(memoryview(a)) for a in arrays)
    assert_csr(result, length(axis), length(axis))
    if length(axis):  # on any axis, sorted or not, with NaN, infinite widths or windows
        with np.errstate(all="ignore"):
            expected = ref_deconvolution.build_gaussian_response(axis, sigma, float(kwargs.get("nsigma", 5.0)))
        assert_identical(result, expected)


# --- deconvolution: Richardson-Lucy driver ---------------------------------------------------

KS, BAD_KS = [0.5, 1.0, 2, 0.0, -1.0, math.nan, math.inf, 1e-300], ["1", None, 10**400]


@st.composite
def richardson_lucy_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = size(draw, 6, 40)
    sound = draw(st.booleans())  # finite counts on a sorted axis from 0 keV
    x = energy_axis(draw, rng, n + draw(st.integers(-1, 1)) * (not sound))
    y = float_vector(rng, n, 0.0, 100.0, not sound and draw(st.booleans()))
    sensitivity = float_vector(rng, n + draw(st.integers(-1, 1)) * (not sound), 0.5, 2.0,
                               not sound and draw(st.booleans()))
    x, y, sensitivity = (draw(passed(a)) for a in (x, y, sensitivity))
    k = draw(st.sampled_from(KS[:2])) if sound else scalar(draw, KS, BAD_KS)
    return [x, y, k, sensitivity], options(draw, ML_EM_OPTIONS)


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
    expected = argument_faults([x, y, sensitivity], ("f8",) * 3, {"k": k} | kwargs, ["k", *ML_EM_OPTIONS])
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
        unfolded = deconvolution.ML_EM_cy(y, *matrix, sensitivity, int(kwargs.get("iterations", 30)))
    assert np.array_equal(result, unfolded, equal_nan=True)
    if sound_unfolding(x, k, y, sensitivity):
        assert np.all(np.isfinite(result))


# --- resampler -------------------------------------------------------------------------------

REGION_ENERGIES = [0.0, 100.0, 255.5, 1000.0, 1022.0, 1022.5, 3000.0, math.nan, math.inf,
                   -math.inf, -50.0, 1e300, 5e-324]


@st.composite
def calculate_regions_calls(draw):
    energy = st.one_of(st.sampled_from(REGION_ENERGIES), st.floats(), st.integers(-2**70, 2**70),
                       st.sampled_from([10**400, "1000", None, np.float32(662.0), np.int64(662)]))
    return [draw(energy), draw(energy), scalar(draw, BOOLS, [1, 0, np.True_, "yes"])]


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
        assert regions == sorted(regions) or any(math.isnan(r) for r in regions)
    else:
        assert regions[0] == 0 and type(regions[0]) is int
        assert regions[-1] == float(max_value) or math.isnan(max_value)


def perturbed(draw, rng, a):
    """a with one element replaced by NaN, an infinity or its predecessor, now and then."""
    if len(a) and now_and_then(draw, 8):
        at = rng.integers(len(a))
        a[at] = draw(st.sampled_from([np.nan, np.inf, -np.inf, a[at - 1] if at else -np.inf]))
    return a


def sorted_energies(draw, rng, n, low, high):
    return perturbed(draw, rng, np.sort(rng.uniform(low, high, n)))


def channels(draw):
    return 0 if now_and_then(draw, 20) else size(draw, 8, 64) or 1


@st.composite
def resampler_calls(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_ref = draw(st.sampled_from([0, 1])) if now_and_then(draw, 20) else draw(st.integers(2, 4))
    ref_indices = perturbed(draw, rng, np.unique(rng.uniform(50.0, 3000.0, n_ref)))
    ref_E_axis = sorted_energies(draw, rng, channels(draw), 0.0, 3100.0)
    rows = len(ref_indices) + (draw(st.sampled_from([-1, 1])) if now_and_then(draw, 10) else 0)
    columns = len(ref_E_axis) + draw(st.sampled_from([0, 1, 2])) - now_and_then(draw, 10)
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
    requested_E_axis = sorted_energies(draw, rng, channels(draw),
                                       draw(st.sampled_from([-20.0, 0.0, 5.0])), 3200.0)
    return [draw(passed(a)) for a in (matrix, ref_indices, ref_E_axis, requested, requested_E_axis)]


def resampler_content_fault(matrix, ref_indices, ref_E_axis, requested, requested_E_axis):
    """ValueError when the inputs cannot describe a resampling, as the kernel checks them."""
    energies, requested = np.asarray(ref_indices), np.asarray(requested)
    if (len(energies) < 2 or matrix.shape[0] != len(energies) or matrix.shape[1] < len(ref_E_axis)
            or not np.all(np.isfinite(energies)) or not np.all(energies[:-1] < energies[1:])
            or not is_sorted(np.asarray(ref_E_axis)) or not is_sorted(np.asarray(requested_E_axis))):
        return ValueError
    inside = (requested >= energies[0]) & (requested <= energies[-1])
    return ValueError if not np.all(inside) or (len(requested) and not len(requested_E_axis)) else None


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
        assert_identical(result, ref_resampler.resampler_reference(*args))
    nonnegative = np.all(np.isfinite(args[0]) & (np.asarray(args[0]) >= 0))
    for columns, values in rows:
        assert np.all(np.diff(columns) > 0) and np.all(values > 1e-12)
        assert np.all(np.asarray(args[4])[columns] > 0.0)  # channels at or below 0 keV have no value
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
    x, params = (np.ascontiguousarray(a) for a in args)
    m, n = len(x), len(params)
    for result, shape in ((y, (m,)), (J, (m, n))):
        assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == shape
    # Any layout reads the same values as a contiguous copy.
    assert_identical(y, gaussian.multi_gaussian_cy(x, params))
    assert_identical(J, gaussian.multi_gaussian_jacobian_cy(x, params))
    assert np.all(J[:, 3 * (n // 3):] == 0.0)
    # The model is the A-weighted sum of the Jacobian's A columns, in parameter order.
    rebuilt = np.zeros(m)
    with np.errstate(all="ignore"):
        for i in range(n // 3):
            rebuilt += params[3 * i] * J[:, 3 * i]
    assert np.array_equal(y, rebuilt, equal_nan=True)


# --- binding ---------------------------------------------------------------------------------

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
    f = kernel.load()
    try:
        bound = inspect.signature(f).bind(*positional, **keywords)
    except TypeError:
        bound = None
    result = call(f, positional, keywords, TypeError if bound is None else None)
    if bound is not None:
        bound.apply_defaults()
        assert_identical(result, f(*bound.args))
