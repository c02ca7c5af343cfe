"""Scenarios that once crashed the interpreter or read outside an array. Each runs in a child
interpreter (test_hostile_inputs.py), where a crash is a failed test rather than a lost run;
each asserts what the call must do instead."""

import array
import ctypes
import multiprocessing
import sys
import time
from multiprocessing import shared_memory

import numpy as np

from vexora.utils.numerics.kernels import deconvolution, gaussian, resampler

HUGE = 2**59  # the most float64 elements NumPy lets a zero-stride array describe


def expect(error, f, *args, note=None):
    """Calls f, which must raise `error`; with `note`, one of its notes must contain it."""
    try:
        f(*args)
    except error as raised:
        if note is not None:
            notes = getattr(raised, "__notes__", [])
            assert any(note in n for n in notes), notes
        return raised
    raise AssertionError(f"{f.__name__} did not raise {error.__name__}")


# --- buffer exporters --------------------------------------------------------------------------

def exporters_without_strides():
    """ctypes exports no strides; memoryviews cast from bytes objects are read-only."""
    axis = np.array([1.0, 2.0, 3.5, 4.0])
    sigma = np.array([0.7, 1.0, 0.0, 2.0])
    expected = deconvolution.build_gaussian_response(axis, sigma)

    def forms(a):
        raw = a.tobytes()
        return [(ctypes.c_double * len(a))(*a), memoryview((ctypes.c_double * len(a))(*a)),
                array.array("d", a), memoryview(bytearray(raw)).cast("d"), memoryview(raw).cast("d")]

    for axis_form, sigma_form in zip(forms(axis), reversed(forms(sigma))):
        result = deconvolution.build_gaussian_response(axis_form, sigma_form)
        for got, want in zip(result, expected):
            assert np.array_equal(got, want, equal_nan=True)
    grid = (ctypes.c_double * 3 * 2)()
    raised = expect(ValueError, deconvolution.build_gaussian_response, grid, sigma)
    assert str(raised) == "Buffer has wrong number of dimensions (expected 1, got 2)"
    empty = deconvolution.build_gaussian_response((ctypes.c_double * 0)(), (ctypes.c_double * 0)())
    assert [len(a) for a in empty] == [1, 0, 0]


# --- sizes that do not fit -----------------------------------------------------------------------

def huge_zero_stride_matrix():
    """Rows over zero-stride storage of 2^59 entries: their copy cannot be made, and saying so
    must come before any work and without wrapping sizes."""
    columns = np.broadcast_to(np.int32(0), (HUGE,))
    values = np.broadcast_to(1.0, (HUGE,))
    for offsets in ([0, HUGE, HUGE, HUGE, HUGE], [0, HUGE, 0, HUGE, 0], [-HUGE, HUGE - 1, -HUGE, HUGE - 1, 0]):
        expect(MemoryError, deconvolution.ML_EM_cy, np.ones(4), np.array(offsets), columns, values, np.ones(4))


def huge_zero_stride_axis():
    for n in (2**40, 2**31 + 5):
        axis = np.broadcast_to(1.0, (n,))
        raised = expect(ValueError, deconvolution.build_gaussian_response, axis, axis)
        assert "int32" in str(raised)
    # Every row's window is the whole axis: 2^62 entries, refused before any row is built.
    axis = np.broadcast_to(1.0, (2**31 - 1,))
    expect(MemoryError, deconvolution.build_gaussian_response, axis, axis)


def huge_zero_stride_resampling():
    """Requested energies and channels of zero-stride arrays: an output that cannot be had is
    refused before any row is built, never reserved with a wrapped size."""
    channels = np.linspace(1.0, 3000.0, 50)
    matrix, ref_indices = np.ones((2, 50)), np.array([500.0, 1500.0])
    for requested, axis in ((np.broadcast_to(1000.0, (2**35 // 5,)), np.broadcast_to(700.0, (2**28,))),
                            (np.broadcast_to(1000.0, (2**40,)), channels),
                            (np.broadcast_to(1000.0, (3,)), np.broadcast_to(700.0, (2**40,)))):
        expect((MemoryError, ValueError), resampler.resampler_cy, matrix, ref_indices, channels, requested, axis)


# --- a NumPy stand-in --------------------------------------------------------------------------

class StandIn:
    """numpy, except for the functions given."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(np, name)


def with_numpy(module, stand_in, f, *args):
    module.np = stand_in
    try:
        return f(*args)
    finally:
        module.np = np


UNSORTED = np.array([3.0, 1.0, 2.0, 5.0, 4.0])


def searchsorted_out_of_range():
    for answer in (-1, 6, 2**62, -2**63, np.int64(7)):
        stand_in = StandIn(searchsorted=lambda *args, answer=answer, **kwargs: answer)
        raised = expect(IndexError, with_numpy, deconvolution, stand_in,
                        deconvolution.build_gaussian_response, UNSORTED, np.ones(5),
                        note=f"np.searchsorted returned {int(answer)} for row 0")
        assert str(raised) == "Out of bounds on buffer access (axis 0)"
    for answer, error in ((2.5, TypeError), ("1", TypeError), (2**70, OverflowError), (None, TypeError)):
        stand_in = StandIn(searchsorted=lambda *args, answer=answer, **kwargs: answer)
        expect(error, with_numpy, deconvolution, stand_in, deconvolution.build_gaussian_response, UNSORTED,
               np.ones(5))
    # A sound answer from the stand-in is used as it is.
    stand_in = StandIn(searchsorted=lambda a, key, side="left": 0 if side == "left" else 5)
    offsets, indices, values = with_numpy(deconvolution, stand_in, deconvolution.build_gaussian_response,
                                          UNSORTED, np.ones(5))
    assert list(offsets) == [0, 5, 10, 15, 20, 25]


WRONG_ARRAYS = [
    ("shorter", lambda a: np.ones(len(a) - 1)), ("two-dimensional", lambda a: np.ones((len(a), 1))),
    ("int64", lambda a: np.ones(len(a), np.int64)), ("a list", lambda a: [1.0] * len(a)),
    ("read-only", lambda a: np.broadcast_to(1.0, a.shape)), ("zero-dimensional", lambda a: np.float64(1.0)),
]


def working_arrays_of_the_wrong_kind():
    y, offsets, indices, values = np.ones(3), np.array([0, 1, 2, 3]), np.array([0, 1, 2], np.int32), np.ones(3)
    for _, wrong in WRONG_ARRAYS:
        for name in ("ones_like", "empty_like"):
            expect((IndexError, TypeError, ValueError), with_numpy, deconvolution, StandIn(**{name: wrong}),
                   deconvolution.ML_EM_cy, y, offsets, indices, values, np.ones(3))
        # The driver's widths come from empty_like too.
        expect((IndexError, TypeError, ValueError), with_numpy, deconvolution, StandIn(empty_like=wrong),
               deconvolution.richardson_lucy_cy, np.ones(3), y, 1.0, np.ones(3))
    # Longer or shared working arrays are no fault of the caller's: the result is still sound.
    shared = np.ones(5)
    for stand_in in (StandIn(empty_like=lambda a: np.empty(len(a) + 4)),
                     StandIn(ones_like=lambda a: np.ones(2 * len(a))[::2]),
                     StandIn(empty_like=lambda a: shared)):
        x = with_numpy(deconvolution, stand_in, deconvolution.ML_EM_cy, y, offsets, indices, values, np.ones(3))
        assert isinstance(x, np.ndarray) and len(x) >= 3


def zeros_of_the_wrong_kind():
    x, params = np.linspace(-1.0, 1.0, 7), np.array([1.0, 0.0, 1.0, 2.0, 0.5, 0.3])
    for f in (gaussian.multi_gaussian_cy, gaussian.multi_gaussian_jacobian_cy):
        for _, wrong in WRONG_ARRAYS:
            stand_in = StandIn(zeros=lambda shape, dtype=None, wrong=wrong: wrong(np.zeros(shape)))
            try:
                result = with_numpy(gaussian, stand_in, f, x, params)
            except (IndexError, TypeError, ValueError):
                continue
            # A shorter result is filled as far as it reaches, never beyond.
            assert isinstance(result, np.ndarray)
        stand_in = StandIn(zeros=lambda shape, dtype=None: np.zeros(np.add(shape, 3)))
        longer = with_numpy(gaussian, stand_in, f, x, params)
        assert np.array_equal(longer[tuple(slice(0, s) for s in f(x, params).shape)], f(x, params))


# --- memory written during a call ----------------------------------------------------------------

def scribble(name, size, stop, writes):
    """Writes random bytes over the shared block until told to stop, counting the writes."""
    block = shared_memory.SharedMemory(name=name)
    rng = np.random.default_rng(0)
    view = np.ndarray((size,), np.uint8, block.buf)
    while not stop.is_set():
        at = rng.integers(0, size - 8)
        view[at:at + 8] = rng.integers(0, 256, 8, dtype=np.uint8)
        writes.value += 1
    del view
    block.close()


def csr_written_by_another_process():
    """Another process overwrites offsets and columns in shared memory during ML_EM_cy: a call
    may raise IndexError or return garbage, but nothing it does may read or write outside.
    The calls go on until there were enough of them and enough writes among them, however
    the two processes are scheduled."""
    n = 600
    axis = np.linspace(1.0, 3000.0, n)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, np.full(n, 30.0))
    size = offsets.nbytes + indices.nbytes
    block = shared_memory.SharedMemory(create=True, size=size)
    try:
        shared_offsets = np.ndarray(offsets.shape, np.int64, block.buf)
        shared_indices = np.ndarray(indices.shape, np.int32, block.buf, offset=offsets.nbytes)
        shared_offsets[:], shared_indices[:] = offsets, indices
        context = multiprocessing.get_context("spawn")
        stop, writes = context.Event(), context.Value("q", 0, lock=False)
        writer = context.Process(target=scribble, args=(block.name, size, stop, writes))
        writer.start()
        try:
            while writer.is_alive() and writes.value == 0:  # the writer's interpreter starts
                time.sleep(0.01)
            first, calls = writes.value, 0
            while writer.is_alive() and (calls < 1000 or writes.value - first < 20_000):
                try:
                    deconvolution.ML_EM_cy(np.ones(n), shared_offsets, shared_indices, values, np.ones(n), 20)
                except IndexError:
                    pass
                except MemoryError:  # a scribbled offset may ask for a copy that cannot be had
                    pass
                calls += 1
        finally:
            stop.set()
            writer.join()
        assert writer.exitcode == 0
        del shared_offsets, shared_indices
    finally:
        block.close()
        block.unlink()


SCENARIOS = ["exporters_without_strides", "huge_zero_stride_matrix", "huge_zero_stride_axis",
             "huge_zero_stride_resampling", "searchsorted_out_of_range", "working_arrays_of_the_wrong_kind", "zeros_of_the_wrong_kind",
             "csr_written_by_another_process"]

if __name__ == "__main__":
    globals()[sys.argv[1]]()
