"""ML-EM and Richardson-Lucy over many spectra: every row of a batch result has the bits of the
single-spectrum call on that row, for every layout of the spectra, every kind of matrix row,
counts that are not finite and any number of threads; bad matrices raise what the
single-spectrum call raises."""

import re

import numpy as np
import pytest

from conftest import read_only, strided
from test_deconvolution import out_of_bounds_cases
from test_ml_em_layouts import band_rows, csr, non_finite_cases, shapes, with_scattered_row

batch = pytest.importorskip("vexora.utils.numerics.kernels.batch")
deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")
ML_EM_many, richardson_lucy_many = batch.ML_EM_many, batch.richardson_lucy_many
ML_EM_cy, richardson_lucy_cy = deconvolution.ML_EM_cy, deconvolution.richardson_lucy_cy

SPECTRA_COUNTS = [0, 1, 3, 8, 13, 37]  # none a multiple of every lane count


def assert_rows_match(result, Y, single):
    assert result.dtype == np.float64 and result.shape == Y.shape and result.flags.c_contiguous
    for s in range(Y.shape[0]):
        assert np.array_equal(result[s], single(np.ascontiguousarray(Y[s])), equal_nan=True), f"row {s}"


def spectra(rng, k, n, layout):
    """k Poisson spectra with a NaN, an infinite count, an empty channel and an empty spectrum
    among them, laid out as asked."""
    Y = rng.poisson(rng.uniform(5.0, 200.0, (k, 1)), (k, n)).astype(np.float64)
    if k > 3 and n > 5:
        Y[1, 3], Y[2, 5], Y[:, 4], Y[3] = np.nan, np.inf, 0.0, 0.0
    if layout == "F":
        return np.asfortranarray(Y)
    if layout == "strided":
        return strided(Y)
    if layout == "reversed":
        return Y[::-1, ::-1].copy()[::-1, ::-1]
    return Y


def gaussian_matrix(n):
    axis = np.linspace(20.0, 3000.0, n)
    return deconvolution.build_gaussian_response(axis, 0.02 * axis + 15.0)


@pytest.mark.parametrize("layout", ["C", "F", "strided", "reversed"])
@pytest.mark.parametrize("k", SPECTRA_COUNTS)
def test_rows_are_the_single_spectrum_results(k, layout):
    n = 53
    rng = np.random.default_rng(k)
    Y = spectra(rng, k, n, layout)
    matrix = gaussian_matrix(n)
    sensitivity = rng.uniform(0.5, 1.5, n)
    result = ML_EM_many(Y, *matrix, sensitivity, 7)
    assert_rows_match(result, Y, lambda y: ML_EM_cy(y, *matrix, sensitivity, 7))


def row_kinds(rng, n):
    """Matrices with every kind of row: runs, unsorted, repeated and negative columns, empty."""
    kinds = {name: csr(rows) for name, rows in shapes(rng, n).items()}
    offsets, indices, values = kinds["empty and scattered rows"]
    kinds["empty and scattered rows"] = offsets, with_scattered_row(offsets, indices, values, n), values
    offsets, indices, values = csr(band_rows(rng, n, np.full(n, 5)))
    mixed = indices.copy()
    mixed[::3] -= n  # the same channels counted from the end
    mixed[1::7] = mixed[0::7][: len(mixed[1::7])]  # repeated columns
    rng.shuffle(mixed[offsets[1]:offsets[2]])
    kinds["unsorted, repeated and negative columns"] = offsets, mixed, values
    kinds["strided values"] = offsets, indices, strided(values)
    kinds["gapped rows"] = gapped_rows(rng, n)
    return kinds


def gapped_rows(rng, n):
    """Rows of stretches of consecutive channels, long and short, with gaps between them (as a
    response moved to another energy has), every other row's second half counted from the end."""
    columns = []
    for j in range(n):
        first, gap = rng.integers(0, max(n // 3, 1)), rng.integers(1, 5)
        lengths = rng.integers(1, 20, 2)
        row = np.r_[np.arange(first, first + lengths[0]), first + lengths[0] + gap + np.arange(lengths[1])]
        row = row[row < n]
        if j % 2:
            row[len(row) // 2:] -= n
        columns.append(row)
    offsets = np.concatenate(([0], np.cumsum([len(c) for c in columns]))).astype(np.int64)
    indices = np.concatenate(columns).astype(np.int32)
    return offsets, indices, rng.uniform(0.1, 1.0, len(indices))


# Blocks of one to four vectors on one thread, of four spectra (1, 3, 4, 4 + 2, 4 + 4 vectors) and
# of eight (1, 2, 2, 3, 4), the width this processor runs (VEXORA_EXP_LANES=4 selects four).
@pytest.mark.parametrize("k", [3, 10, 13, 21, 29])
@pytest.mark.parametrize("n", [8, 19, 101])
@pytest.mark.parametrize("kind", list(row_kinds(np.random.default_rng(0), 8)))
def test_every_kind_of_row(n, kind, k, monkeypatch):
    monkeypatch.setenv("VEXORA_NUM_THREADS", "1")
    rng = np.random.default_rng(n)
    matrix = row_kinds(rng, n)[kind]
    Y = spectra(rng, k, n, "C")
    sensitivity = rng.uniform(0.5, 1.5, n)
    assert_rows_match(ML_EM_many(Y, *matrix, sensitivity, 5), Y, lambda y: ML_EM_cy(y, *matrix, sensitivity, 5))


@pytest.mark.parametrize("case", list(non_finite_cases(np.random.default_rng(0), 40)))
def test_non_finite_inputs(case):
    n = 40
    y, offsets, indices, values = non_finite_cases(np.random.default_rng(0), n)[case]
    Y = np.vstack([y, y[::-1], np.full(n, np.nan), np.zeros(n), np.full(n, np.inf)])
    sensitivity = np.ones(n)
    result = ML_EM_many(Y, offsets, indices, values, sensitivity, 6)
    assert_rows_match(result, Y, lambda row: ML_EM_cy(row, offsets, indices, values, sensitivity, 6))


@pytest.mark.parametrize("iterations", [0, -1, 1, 2])
@pytest.mark.parametrize("k", [1, 5])
def test_few_iterations(k, iterations):
    n = 11
    rng = np.random.default_rng(iterations + 10)
    Y = spectra(rng, k, n, "C")
    matrix = gaussian_matrix(n)
    result = ML_EM_many(Y, *matrix, np.ones(n), iterations)
    if iterations <= 0:
        assert np.array_equal(result, np.ones((k, n)))
    assert_rows_match(result, Y, lambda y: ML_EM_cy(y, *matrix, np.ones(n), iterations))


@pytest.mark.parametrize("shape", [(0, 5), (4, 0), (0, 0)])
def test_empty_stacks(shape):
    offsets = np.zeros(shape[1] + 1, dtype=np.int64)
    result = ML_EM_many(np.zeros(shape), offsets, np.zeros(0, np.int32), np.zeros(0), np.ones(shape[1]))
    assert result.shape == shape and np.all(result == 1.0)


def test_read_only_inputs_are_accepted_and_never_written():
    n = 30
    matrix = [read_only(a) for a in gaussian_matrix(n)]
    Y = read_only(spectra(np.random.default_rng(1), 6, n, "C"))
    sensitivity = read_only(np.ones(n))
    before = [a.copy() for a in (Y, *matrix, sensitivity)]
    result = ML_EM_many(Y, *matrix, sensitivity, 4)
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip((Y, *matrix, sensitivity), before))
    assert_rows_match(result, Y, lambda y: ML_EM_cy(y, *matrix, sensitivity, 4))


@pytest.mark.parametrize("threads", ["1", "2", "3", "4"])
def test_any_number_of_threads_gives_the_same_bits(threads, monkeypatch):
    n = 64
    rng = np.random.default_rng(5)
    Y = spectra(rng, 37, n, "C")
    matrix = gaussian_matrix(n)
    monkeypatch.setenv("VEXORA_NUM_THREADS", "1")
    serial = ML_EM_many(Y, *matrix, np.ones(n), 6)
    monkeypatch.setenv("VEXORA_NUM_THREADS", threads)
    assert np.array_equal(ML_EM_many(Y, *matrix, np.ones(n), 6), serial, equal_nan=True)
    assert_rows_match(serial, Y, lambda y: ML_EM_cy(y, *matrix, np.ones(n), 6))


def test_invalid_thread_count_is_refused(monkeypatch):
    monkeypatch.setenv("VEXORA_NUM_THREADS", "many")
    with pytest.raises(ValueError, match="VEXORA_NUM_THREADS"):
        ML_EM_many(np.ones((2, 1)), np.array([0, 1]), np.zeros(1, np.int32), np.ones(1), np.ones(1))


def raised(f, *args):
    with pytest.raises(Exception) as excinfo:
        f(*args)
    return excinfo.value


@pytest.mark.parametrize("k", [0, 1, 6])
@pytest.mark.parametrize("case", out_of_bounds_cases(), ids=lambda case: case[0])
def test_bad_matrices_raise_what_the_single_call_raises(case, k, quiet):
    _, _, y, *matrix = case
    single = raised(ML_EM_cy, y, *matrix, 3)
    many = raised(ML_EM_many, np.tile(y, (k, 1)), *matrix, 3)
    assert type(many) is type(single) and str(many) == str(single)
    # The same notes, but for the function's name (and Y where the spectrum is meant).
    def same(note):
        return note.replace("ML_EM_cy", "ML_EM_many").replace("Y has", "y has")
    assert [same(note) for note in getattr(many, "__notes__", [])] == [same(n) for n in getattr(single, "__notes__", [])]


@pytest.mark.parametrize("Y, error, advice", [
    (np.ones(4), ValueError, "y[np.newaxis]"),
    (np.ones((2, 2, 1)), ValueError, "two-dimensional"),
    (np.ones((2, 4), np.float32), ValueError, "astype(np.float64)"),
    (None, TypeError, "numpy.ndarray"),
    ([[1.0, 2.0]], TypeError, "numpy.ndarray"),
])
def test_spectra_of_the_wrong_kind_are_refused(Y, error, advice):
    with pytest.raises(error) as excinfo:
        ML_EM_many(Y, np.arange(5), np.arange(4, dtype=np.int32), np.ones(4), np.ones(4))
    notes = excinfo.value.__notes__
    assert any("ML_EM_many: argument 'Y'" in note and advice in note for note in notes)


def test_iterations_of_the_wrong_kind_are_refused():
    with pytest.raises(TypeError) as excinfo:
        ML_EM_many(np.ones((1, 1)), np.array([0, 1]), np.zeros(1, np.int32), np.ones(1), np.ones(1), "3")
    assert any("iterations" in note for note in excinfo.value.__notes__)


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
@pytest.mark.parametrize("k", [0, 1, 3, 13])
def test_richardson_lucy_rows_are_the_single_spectrum_results(k, layout):
    n = 41
    rng = np.random.default_rng(k + 100)
    x = np.linspace(20.0, 3000.0, n)
    Y = spectra(rng, k, n, layout)
    sensitivity = rng.uniform(0.5, 1.5, n)
    result = richardson_lucy_many(x, Y, 0.4, sensitivity, 6)
    assert_rows_match(result, Y, lambda y: richardson_lucy_cy(x, y, 0.4, sensitivity, 6))


def test_richardson_lucy_on_an_unsorted_axis():
    n = 17
    rng = np.random.default_rng(3)
    x = rng.uniform(10.0, 3000.0, n)
    Y = spectra(rng, 5, n, "C")
    result = richardson_lucy_many(x, Y, 0.4, np.ones(n), 4)
    assert_rows_match(result, Y, lambda y: richardson_lucy_cy(x, y, 0.4, np.ones(n), 4))


@pytest.mark.parametrize("n_x, n_y, n_sensitivity", [(5, 6, 6), (6, 5, 5), (0, 1, 1), (5, 5, 4)])
def test_richardson_lucy_unequal_lengths(n_x, n_y, n_sensitivity, quiet):
    x = np.linspace(1.0, 9.0, n_x)
    single = raised(richardson_lucy_cy, x, np.ones(n_y), 1.0, np.ones(n_sensitivity))
    many = raised(richardson_lucy_many, x, np.ones((3, n_y)), 1.0, np.ones(n_sensitivity))
    assert type(many) is type(single) is IndexError and str(many) == str(single)
    if n_x != n_y:
        assert re.search(r"x has \d+ energies but Y has \d+ channels", "\n".join(many.__notes__))


FOREVER = 2**31 - 1  # iterations: hours of work

CTRL_C_CHILD = """
import signal, sys, time
import numpy as np
sys.path.insert(0, {tests!r})
from in_the_loop import during_the_loop, kernel_entry
from vexora.utils.numerics.kernels import batch, deconvolution
n = 1024
axis = (np.arange(n) + 0.5) * (3000.0 / n)
Y = np.random.default_rng(1).poisson(100.0, (6, n)).astype(np.float64)
matrix = deconvolution.build_gaussian_response(axis, 0.02 * axis + 1.0)
f, args = {{"ML_EM_many": (batch.ML_EM_many, (Y, *matrix, np.ones(n), {forever})),
           "richardson_lucy_many": (batch.richardson_lucy_many, (axis, Y, 0.5, np.ones(n), {forever}))}}[{name!r}]
start = time.monotonic()
try:
    # SIGINT with Ctrl-C's own handler, once the call's loop runs.
    during_the_loop(signal.default_int_handler, f, *args, signum=signal.SIGINT)
except KeyboardInterrupt as error:
    print("interrupted", kernel_entry(error), time.monotonic() - start)
else:
    print("finished")
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("name", ["ML_EM_many", "richardson_lucy_many"])
def test_ctrl_c_stops_a_long_call(name, threads):
    # A fresh interpreter, where SIGINT raises KeyboardInterrupt; the most iterations an int
    # holds would take hours, so only the signal can end the call before the timeout.
    import os
    import subprocess
    import sys

    code = CTRL_C_CHILD.format(name=name, forever=FOREVER, tests=os.path.dirname(__file__))
    child = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=600,
                           env=os.environ | {"VEXORA_NUM_THREADS": threads})
    assert child.returncode == 0, child.stderr
    words = child.stdout.split()
    assert words[:2] == ["interrupted", f"vexora.utils.numerics.kernels.batch.{name}"]
    assert float(words[2]) < 120.0
