"""Python code that frees an argument's memory in the middle of a call, one scenario per function.

NumPy lets code resize an array whose buffer a call holds (`ndarray.resize(..., refcheck=False)`,
`__setstate__`), or the base array under a view. Such code runs inside a call as a signal
handler at a long loop's check, or as a function of `np` (a module global the caller may
replace). Each scenario prints one line, `raised <type> <function> <message>`, or dies: run
as `python moved_arrays.py <scenario>` in a child interpreter (tests/test_moved_arrays.py).
"""

import os
import sys

import numpy as np
import in_the_loop
from in_the_loop import during_the_loop

from vexora.utils.numerics.kernels import batch, deconvolution, gaussian, resampler

FOREVER = 2**31 - 1  # ML-EM iterations: hours of work


def shrink(array):
    array.resize(1, refcheck=False)


def report(f, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the scenario reports whatever left the call
        # The first entry of another file: the kernel that was called.
        tb = error.__traceback__
        while tb.tb_frame.f_code.co_filename in (__file__, in_the_loop.__file__):
            tb = tb.tb_next
        print("raised", type(error).__name__, tb.tb_frame.f_code.co_name, error)
    else:
        print("returned")


def ml_em_args(n=256):
    axis = (np.arange(n) + 0.5) * (3000.0 / n)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, 0.02 * axis + 1.0)
    counts = np.random.default_rng(1).poisson(100.0, n).astype(np.float64)
    return [counts, offsets, indices, values, np.ones(n), FOREVER]


def handler_resizes(position):
    args = ml_em_args()
    report(during_the_loop, lambda *_: shrink(args[position]), deconvolution.ML_EM_cy, *args)


def handler_resizes_y():
    handler_resizes(0)


def many_args(n=256, k=6):
    # Six spectra: two vectors of them, split over two threads where the process may run two.
    counts, *rest = ml_em_args(n)
    return [np.random.default_rng(2).poisson(100.0, (k, n)).astype(np.float64), *rest]


def handler_resizes_values_of_a_batch():
    args = many_args()
    report(during_the_loop, lambda *_: shrink(args[3]), batch.ML_EM_many, *args)


def handler_resizes_the_spectra_of_a_batch():
    args = many_args()
    base = np.repeat(args[0], 2, axis=1)
    args[0] = base[:, ::2]
    report(during_the_loop, lambda *_: shrink(base), batch.ML_EM_many, *args)


def handler_resizes_indices():
    handler_resizes(2)


def handler_resizes_values():
    handler_resizes(3)


def handler_resizes_the_base_of_y():
    args = ml_em_args()
    base = np.repeat(args[0], 2)
    args[0] = base[::2]
    report(during_the_loop, lambda *_: shrink(base), deconvolution.ML_EM_cy, *args)


def handler_replaces_the_state_of_values():
    args = ml_em_args()
    state = np.ones(3).__reduce__()[2]
    report(during_the_loop, lambda *_: args[3].__setstate__(state), deconvolution.ML_EM_cy, *args)


class Stop(Exception):
    pass


class Keeper(np.ndarray):
    """A spectrum whose every derived array is kept where a signal handler can reach it."""

    kept = []

    def __array_finalize__(self, obj):
        Keeper.kept.append(self)


def handler_shrinks_the_working_arrays():
    # The kernel's own arrays, np.ones_like(y) and the rest, reached through y's subclass. The
    # second signal stops the call.
    args = ml_em_args()
    args[0] = args[0].view(Keeper)
    Keeper.kept.clear()
    calls = []

    def handler(*_):
        calls.append(1)
        if len(calls) == 1:
            for array in Keeper.kept:
                if array is not args[0] and array.base is None:
                    shrink(array)
        else:
            raise Stop

    report(during_the_loop, handler, deconvolution.ML_EM_cy, *args, signals=2)


class StandIn:
    """numpy, except for the functions given."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(np, name)


def with_numpy(module, f, *args, **replaced):
    module.np = StandIn(**replaced)
    try:
        report(f, *args)
    finally:
        module.np = np


def ones_like_resizes_values():
    args = ml_em_args()[:5]

    def ones_like(a):
        shrink(args[3])
        return np.ones_like(a)

    with_numpy(deconvolution, deconvolution.ML_EM_cy, *args, ones_like=ones_like)


def empty_like_resizes_the_result():
    # np.ones_like(y) is read before the loop and written after it; np.empty_like runs between.
    args = ml_em_args(64)[:5]
    result = []

    def ones_like(a):
        result.append(np.ones_like(a))
        return result[0]

    def empty_like(a):
        shrink(result[0])
        return np.empty_like(a)

    with_numpy(deconvolution, deconvolution.ML_EM_cy, *args, ones_like=ones_like, empty_like=empty_like)


def searchsorted_resizes_the_widths():
    # An axis out of order takes NumPy's searchsorted, which runs while the widths are read.
    x = np.array([3.0, 1.0, 2.0, 5.0, 4.0])
    widths = []

    def empty_like(a):
        widths.append(np.empty_like(a))
        return widths[0]

    def searchsorted(*args, **kwargs):
        shrink(widths[0])
        return np.searchsorted(*args, **kwargs)

    with_numpy(deconvolution, deconvolution.richardson_lucy_cy, x, np.ones(5), 0.5, np.ones(5),
               empty_like=empty_like, searchsorted=searchsorted)


def searchsorted_resizes_sigma():
    axis, sigma = np.array([3.0, 1.0, 2.0, 5.0, 4.0]), np.ones(5)

    def searchsorted(*args, **kwargs):
        shrink(sigma)
        return np.searchsorted(*args, **kwargs)

    with_numpy(deconvolution, deconvolution.build_gaussian_response, axis, sigma, searchsorted=searchsorted)


def searchsorted_resizes_the_owner_of_a_memoryview_axis():
    owner = np.array([3.0, 1.0, 2.0, 5.0, 4.0])

    def searchsorted(*args, **kwargs):
        shrink(owner)
        return np.searchsorted(*args, **kwargs)

    with_numpy(deconvolution, deconvolution.build_gaussian_response, memoryview(owner), np.ones(5),
               searchsorted=searchsorted)


def sum_resizes_the_response_matrix():
    channels = np.linspace(1.0, 3000.0, 64)
    matrix = np.ones((3, 64))

    def total(a, *args, **kwargs):
        shrink(matrix)
        return np.sum(a, *args, **kwargs)

    with_numpy(resampler, resampler.resampler_cy, matrix, np.array([500.0, 1000.0, 1500.0]), channels,
               np.array([700.0, 1200.0]), channels, sum=total)


def handler_resizes_the_response_matrix():
    # Requested rows split over two threads: the handler runs between blocks of rows, and the next
    # block scales reference rows it has not used yet from the matrix.
    os.environ["VEXORA_NUM_THREADS"] = "2"
    channels = np.linspace(1.0, 3000.0, 1024)
    references = np.linspace(100.0, 2900.0, 1000)
    matrix = np.array([np.exp(-0.5 * ((channels - E) / 20.0) ** 2) for E in references])
    requested = np.linspace(references[0], references[-1], 200_000)
    report(during_the_loop, lambda *_: shrink(matrix), resampler.resampler_cy, matrix, references, channels,
           requested, channels)


def looking_up_max_resizes_the_requested_axis():
    # np.max is looked up, then handed a view of the requested axis: the lookup runs first.
    channels = np.linspace(1.0, 3000.0, 64)
    requested_axis = np.linspace(1.0, 3000.0, 64).copy()  # an array that owns its memory

    class Shrinking(StandIn):
        def __getattr__(self, name):
            if name == "max":
                shrink(requested_axis)
            return getattr(np, name)

    resampler.np = Shrinking()
    try:
        report(resampler.resampler_cy, np.ones((3, 64)), np.array([500.0, 1000.0, 1500.0]), channels,
               np.array([700.0, 1200.0]), requested_axis)
    finally:
        resampler.np = np


def zeros_resizes_x():
    x = np.arange(1000.0) * 0.1

    def zeros(*args, **kwargs):
        shrink(x)
        return np.zeros(*args, **kwargs)

    with_numpy(gaussian, gaussian.multi_gaussian_cy, x, np.array([1.0, 50.0, 4.0]), zeros=zeros)


def zeros_resizes_params():
    params = np.array([1.0, 50.0, 4.0, 2.0, 60.0, 9.0])

    def zeros(*args, **kwargs):
        shrink(params)
        return np.zeros(*args, **kwargs)

    with_numpy(gaussian, gaussian.multi_gaussian_jacobian_cy, np.linspace(0.0, 100.0, 1000), params, zeros=zeros)


if __name__ == "__main__":
    globals()[sys.argv[1]]()
