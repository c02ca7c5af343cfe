"""Many spectra unfolded with one response: ML-EM and the Richardson-Lucy driver over a stack of
spectra, one spectrum per row.

Row ``s`` of each result has exactly the bits of the single-spectrum call on ``Y[s]``
(``deconvolution.ML_EM_cy`` and ``deconvolution.richardson_lucy_cy``), for any number of
threads. The spectra are unfolded side by side, a block of them in the lanes of each vector, so
that every pass over the response matrix serves the whole block: the matrix is read once per
iteration for up to 16 spectra instead of twice per spectrum.

The response matrix travels as in ``deconvolution``: ``offsets`` (int64), ``indices`` (int32)
and ``values`` (float64) of a square CSR matrix, row ``j`` a source bin and column ``i`` a
measured channel. Arrays are never written and never cast; an array of another dtype is refused
with an error whose note says how to convert it.

Large calls run on several threads, split by blocks of spectra: at most ``VEXORA_NUM_THREADS``
(when unset, ``OMP_NUM_THREADS``, otherwise the CPUs the process may use) within the one budget
that every module of the package shares. The results are the same for any number of threads.
"""

import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

def ML_EM_many(
    Y: NDArray[np.float64],
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
) -> NDArray[np.float64]:
    """Unfold each row of ``Y`` with one square CSR response matrix by maximum-likelihood
    expectation-maximisation.

    Row ``s`` of the result is bit for bit ``ML_EM_cy(Y[s], offsets, indices, values,
    sensitivity, iterations)``: the same update, the same order of every sum, the same
    ``1e-12`` floors. The matrix is checked before any iteration, with the same errors as
    ``ML_EM_cy`` gives for it; a row of ``Y`` may hold anything (NaN and infinite counts
    propagate as they do there).

    Parameters
    ----------
    Y : two-dimensional float64 array, k spectra x n channels
        Measured counts, one spectrum per row; any strides (C or Fortran order, slices).
    offsets, indices, values, sensitivity
        As for ``ML_EM_cy``, with ``n`` the number of columns of ``Y``.
    iterations : int, default 30
        Number of updates; 0 or negative returns ones.

    Returns
    -------
    NDArray[np.float64]
        A new C-ordered (k, n) array: the unfolded spectra, one per row.

    Raises
    ------
    TypeError
        ``Y`` not a two-dimensional float64 ndarray, another argument not an ndarray or None, or
        ``iterations`` not an integer.
    IndexError
        A position of ``offsets`` outside ``indices`` or ``values``, a column outside
        [-n, n), too few offsets, or a sensitivity shorter than n.
    BufferError
        An argument resized during the call.
    OverflowError
        ``iterations`` beyond a C int.
    MemoryError
        The working arrays (four times the size of ``Y``) cannot be had.
    KeyboardInterrupt
        Ctrl-C during the iterations (signals are checked between blocks of spectra).
    ValueError
        ``Y`` not two-dimensional or not float64 (the note says what to pass), or
        ``VEXORA_NUM_THREADS`` set and not a positive integer.

    Notes
    -----
    The spectra are copied into native working arrays, transposed so that up to 16 spectra of a
    block share each vector; together these take four times the memory of ``Y``. Each iteration
    reads the matrix once per block, with one multiply-add per spectrum and entry for the back
    projection and one for the forward projection. A single spectrum runs the iterations of
    ``ML_EM_cy`` itself. Blocks are split over threads; each spectrum's sums are its own, so
    neither the blocks nor the threads change a bit.

    Examples
    --------
    >>> import numpy as np
    >>> from vexora.utils.numerics.kernels.batch import ML_EM_many
    >>> from vexora.utils.numerics.kernels.deconvolution import ML_EM_cy
    >>> offsets = np.array([0, 2, 3, 4], dtype=np.int64)
    >>> indices = np.array([0, 1, 1, 2], dtype=np.int32)
    >>> values = np.array([0.5, 0.5, 1.0, 1.0])
    >>> Y = np.array([[1.0, 2.0, 3.0], [4.0, 0.0, 1.0]])
    >>> X = ML_EM_many(Y, offsets, indices, values, np.ones(3), 5)
    >>> X.shape
    (2, 3)
    >>> bool(np.array_equal(X[1], ML_EM_cy(Y[1], offsets, indices, values, np.ones(3), 5)))
    True
    """

def richardson_lucy_many(
    x: NDArray[np.float64] | None,
    Y: NDArray[np.float64],
    k: float,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
) -> NDArray[np.float64]:
    """Deconvolve each row of ``Y``, measured on the energy axis ``x``, for a Gaussian
    resolution of width ``get_sigma(k, E) = k * sqrt(E) * E / 2.355``.

    Row ``s`` of the result is bit for bit ``richardson_lucy_cy(x, Y[s], k, sensitivity,
    iterations)``. The response is built once, by ``build_gaussian_response`` of the
    ``deconvolution`` module (so ``x`` must hold one energy per column of ``Y``), then every row
    is unfolded by ``ML_EM_many``.

    Parameters
    ----------
    x : one-dimensional float64 array, n energies (keV)
        The channels' energies, one per column of ``Y``.
    Y : two-dimensional float64 array, k spectra x n channels
        Measured counts, one spectrum per row; any strides.
    k : float
        Resolution coefficient.
    sensitivity : one-dimensional float64 array, at least n entries
        As for ``ML_EM_cy``.
    iterations : int, default 30
        Number of updates; 0 or negative returns ones.

    Returns
    -------
    NDArray[np.float64]
        A new C-ordered (k, n) array: the deconvolved spectra.

    Raises
    ------
    TypeError, IndexError, BufferError, OverflowError, MemoryError, KeyboardInterrupt, ValueError
        As ``ML_EM_many``; IndexError also when ``x`` and the columns of ``Y`` differ in number.

    Notes
    -----
    The widths ``get_sigma(k, x[i])`` are computed once and the response is built by
    ``deconvolution.build_gaussian_response(x, widths, 5.0)`` as looked up at call time; its
    errors carry its own traceback entry beneath this function's.

    Examples
    --------
    >>> import numpy as np
    >>> from vexora.utils.numerics.kernels.batch import richardson_lucy_many
    >>> x = np.linspace(100.0, 1100.0, 11)
    >>> Y = np.vstack([np.linspace(5.0, 1.0, 11), np.ones(11)])
    >>> richardson_lucy_many(x, Y, 1.0, np.ones(11), 4).shape
    (2, 11)
    """

def _plan(
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    n: int,
    threads: int,
) -> tuple[str, str]:
    """How ``ML_EM_cy`` (and ``richardson_lucy_cy``, and ``ML_EM_many`` for one spectrum) runs
    its iterations over this matrix on ``threads`` threads, and why.

    A private helper, for tests and for the curious: its strategies and reasons may change
    between releases.

    Parameters
    ----------
    offsets, indices, values : arrays or None
        The CSR response matrix, as ``ML_EM_cy`` takes it.
    n : int
        Rows (and channels) of the matrix, at least 0: ``len(y)`` of the call.
    threads : int
        The threads the call would have, at least 1 (more than 64 count as 64).

    Returns
    -------
    tuple[str, str]
        ``(strategy, reason)``: ``"one thread"``, ``"pipeline"`` (a range of channels per
        thread, sums handed from thread to thread where rows reach several ranges) or
        ``"split"`` (rows, then channels), and a sentence that says why.

    Raises
    ------
    IndexError, ValueError, TypeError, OverflowError, MemoryError
        The matrix checked as ``ML_EM_cy`` checks it; ValueError also for ``n < 0`` or
        ``threads < 1``.

    Notes
    -----
    Every strategy gives the same bits; the plan decides only the time. The planner reads the
    matrix's shape alone (no timing, no load of the machine): one thread below 2^19 entries, or
    where rows that are not runs hold more than an eighth of them; otherwise the pipeline when at
    most three quarters of the entries lie in groups of rows that reach several threads'
    channels, the split when more do.

    Examples
    --------
    >>> import numpy as np
    >>> from vexora.utils.numerics.kernels.batch import _plan
    >>> n = 2048
    >>> columns = np.clip(np.arange(n)[:, None] + np.arange(-200, 200), 0, n - 1)
    >>> rows = [np.unique(c) for c in columns]
    >>> offsets = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
    >>> indices = np.concatenate(rows).astype(np.int32)
    >>> _plan(offsets, indices, np.ones(len(indices)), n, 1)
    ('one thread', 'one thread: 1 thread available')
    >>> _plan(offsets, indices, np.ones(len(indices)), n, 2)[0]
    'pipeline'
    """
