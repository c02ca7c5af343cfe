"""Spectrum unfolding: ML-EM on a CSR response matrix, a Gaussian resolution-matrix builder and a
Richardson-Lucy driver that joins them.

A response matrix travels as three one-dimensional arrays (the CSR response matrix):
``offsets`` (int64, rows + 1 entries), ``indices`` (int32, the channel of each entry) and
``values`` (float64). Row ``j`` owns the entries ``offsets[j]`` to ``offsets[j+1] - 1``. A row is
a source (true-energy) bin, a column a measured channel: with ``R[j][i]`` the element of source
``j`` in channel ``i``, the forward projection is ``yhat[i] = sum_j R[j][i] * x[j]``.

A SciPy ``csr_matrix`` ``A`` with ``A[j, i]`` = response of source ``j`` in channel ``i`` is passed
as ``A.indptr.astype(np.int64), A.indices.astype(np.int32), A.data``; a matrix with sources as
columns is passed as the CSR form of its transpose (``A.T.tocsr()``).

Energies are in keV. Arrays are never written and never cast: an array of another dtype is
refused with an error whose note says how to convert it.
"""

import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

def ML_EM_cy(
    y: NDArray[np.float64] | None,
    offsets: NDArray[np.int64] | None,
    indices: NDArray[np.int32] | None,
    values: NDArray[np.float64] | None,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> NDArray[np.float64]:
    """Unfold the measured spectrum ``y`` with a square CSR response matrix by maximum-likelihood
    expectation-maximisation.

    Starting from ones, each of exactly ``iterations`` updates computes
    ``x[j] <- x[j] * (sum_i R[j][i] * y[i] / (yhat[i] + 1e-12)) / fmax(sensitivity[j], 1e-12)``
    with ``yhat`` the forward projection of the previous ``x``. There is no convergence test,
    clipping or renormalisation.

    The matrix is square: rows = channels = ``len(y)``. ``offsets`` needs at least
    ``len(y) + 1`` entries; rows beyond ``len(y)`` (and ``offsets`` entries beyond
    ``len(y) + 1``) are ignored, and every column must address one of the ``len(y)`` channels.

    Parameters
    ----------
    y : one-dimensional float64 array
        Measured counts per channel (integer counts: pass ``y.astype(np.float64)``).
    offsets : one-dimensional int64 array, at least len(y) + 1 entries
        Row starts of the CSR matrix (SciPy's ``indptr``; often int32 there: convert).
        ``offsets[0]`` need not be 0; a negative position counts from the end of ``indices``
        and ``values``, as in Python.
    indices : one-dimensional int32 array
        Channel of each entry, in [-len(y), len(y)); negative counts from the end. Columns may
        come in any order and repeat within a row (they add up).
    values : one-dimensional float64 array
        Matrix element of each entry.
    sensitivity : one-dimensional float64 array, at least len(y) entries
        Per-source-bin divisor; values below 1e-12 (zero, negative, NaN) divide by 1e-12.
    iterations : int, default 30
        Number of updates; 0 or negative returns ones. Any object with ``__int__`` (a float
        is truncated).
    reg_tikhonov, use_sensitivity : True, False or None, default False
        Accepted and type-checked, no effect on the result (kept so that callers written for
        the regularised variant run unchanged).
    reg_tikhonov_lambda : float, default 0.001
        Accepted and converted, no effect on the result.

    Returns
    -------
    NDArray[np.float64]
        A new array of ``len(y)`` values (made by ``np.ones_like(y)``): the unfolded spectrum,
        one value per source bin. A source bin whose row is empty is 0.

    Raises
    ------
    TypeError
        An argument that is not an ndarray or None, a flag that is not exactly a bool or None,
        an ``iterations`` without ``__int__``. ``y=None`` raises ValueError instead, because
        ``np.ones_like(None)`` is 0-dimensional; None for the other arrays reads as empty.
    ValueError
        An array of the wrong dtype, number of dimensions or byte order.
    IndexError
        "Out of bounds on buffer access (axis 0)" before any work when ``offsets`` is shorter
        than ``len(y) + 1``, a row addresses a position outside ``indices`` or ``values``, a
        column is outside [-len(y), len(y)), or ``sensitivity`` is short; the note names the
        array, the position and the sizes.
    BufferError
        An argument resized or reallocated during the call (by a signal handler, or by a
        replaced ``np`` function); the message names it.

    Notes
    -----
    Divisions are not guarded beyond the 1e-12 terms: a channel that no row reaches has
    ``yhat`` = 0 and ratio ``y / 1e-12``; NaN or infinite inputs propagate into the result.

    The iteration loop runs without the interpreter lock: calls from several threads on
    different arrays run in parallel. Do not write the argument arrays during a call. It looks
    for pending signals between iterations, about every 50 ms: a signal handler that raises
    (Ctrl-C) stops the call, which raises that exception.

    A large call splits each iteration over threads (at most ``VEXORA_NUM_THREADS``, else
    ``OMP_NUM_THREADS``, else the CPUs the process may use that other threads leave free when
    the call starts); the result is the same, bit for bit, for any number of threads. An invalid
    ``VEXORA_NUM_THREADS`` raises ValueError.

    Contiguous inputs are read in place, negative columns included. A strided ``indices`` or
    ``values``, or rows that wrap past position 0, are packed once into a native copy (values and
    int32 columns, one copy of the matrix at most); a non-contiguous ``y`` or a working array is
    copied into an n-element native vector.

    Examples
    --------
    >>> import numpy as np
    >>> offsets = np.array([0, 2, 3], dtype=np.int64)  # source 0 -> channels 0, 1; source 1 -> 1
    >>> indices = np.array([0, 1, 1], dtype=np.int32)
    >>> values = np.array([0.5, 0.5, 1.0])
    >>> ML_EM_cy(np.array([1.0, 3.0]), offsets, indices, values, np.ones(2), iterations=1).round(6)
    array([2., 2.])
    """

def build_gaussian_response(
    axis: NDArray[np.float64] | None,
    sigma: NDArray[np.float64] | None,
    nsigma: float = 5.0,
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]:
    """Build the Gaussian energy-resolution matrix of an energy axis as a CSR response matrix.

    Row ``i`` samples a Gaussian centred on ``axis[i]`` with standard deviation ``sigma[i]`` at
    the bins within ``nsigma`` widths (both ends included) and is scaled to sum 1; near the ends
    of the axis the window is cut and the rest rescaled. The result is square (one row and one
    column per bin), ready for ``ML_EM_cy``.

    Parameters
    ----------
    axis : one-dimensional float64 buffer
        Bin energies in keV, ascending (not checked; an unsorted axis gets the windows that
        ``np.searchsorted`` gives). Any float64 buffer (ndarray, memoryview, ...), read-only
        included; None reads as empty.
    sigma : one-dimensional float64 buffer, at least len(axis) entries
        Standard deviation of each row's Gaussian in keV (FWHM / 2.3548200450309493).
    nsigma : float, default 5.0
        Half-width of each row's window in widths.

    Returns
    -------
    (offsets, indices, values)
        int64 (len(axis) + 1), int32 and float64 arrays; columns ascend within each row.

    Raises
    ------
    TypeError, ValueError
        ``axis`` or ``sigma`` not a one-dimensional float64 buffer; ``nsigma`` not a number.
    IndexError
        ``sigma`` shorter than ``axis`` (the note gives both sizes).
    BufferError
        ``axis`` or ``sigma`` resized or reallocated during the call.

    Notes
    -----
    Widths are not validated: a zero width gives a delta row (weight 1 on the bins equal to
    ``axis[i]``), a negative or NaN width an empty row. The window search and the filling of
    the rows run without the interpreter lock; a large call splits its rows over threads (as
    ``ML_EM_cy``), with the same result for any number of threads.

    Examples
    --------
    >>> import numpy as np
    >>> axis = np.linspace(0.0, 3000.0, 4096)
    >>> offsets, indices, values = build_gaussian_response(axis, np.full(4096, 5.0), nsigma=3.0)
    >>> len(offsets), bool(np.allclose(np.add.reduceat(values, offsets[:-1]), 1.0))
    (4097, True)
    """

def richardson_lucy_cy(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64] | None,
    k: float,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> NDArray[np.float64]:
    """Deconvolve the energy resolution of the spectrum ``y`` measured on the axis ``x``.

    The resolution law is fixed: FWHM = k * E**1.5 (E in keV), that is
    ``sigma = k * E**1.5 / 2.3548200450309493`` per bin. The function computes these widths,
    builds ``build_gaussian_response(x, sigma, 5.0)`` and returns ``ML_EM_cy`` of ``y`` with
    that matrix. For a detector whose measured FWHM follows another law (for example
    FWHM**2 = a + b*E), do the same two steps yourself with your own widths.

    Parameters
    ----------
    x : one-dimensional float64 array
        Bin energies in keV, ascending, same length as ``y``.
    y : one-dimensional float64 array
        Measured counts per bin.
    k : float
        Resolution coefficient: the FWHM at energy E is ``k * E**1.5`` keV
        (``k = fwhm_at_662 / 662**1.5`` matches one measured width).
    sensitivity : one-dimensional float64 array, at least len(y) entries
        Per-bin divisor of ML-EM (ones for none).
    iterations, reg_tikhonov, reg_tikhonov_lambda, use_sensitivity
        As for ``ML_EM_cy`` (the last three change nothing).

    Returns
    -------
    NDArray[np.float64]
        The deconvolved spectrum, ``len(y)`` values.

    Raises
    ------
    TypeError, ValueError
        As ``ML_EM_cy``, for ``x``, ``y``, ``sensitivity``, ``k`` and the options.
    IndexError
        ``x`` and ``y`` of different lengths (the note gives both), short ``sensitivity``.
    BufferError
        As ``ML_EM_cy``.

    Notes
    -----
    A bin at energy 0 has width 0 and its row is NaN, a negative energy an empty row; NaN then
    spreads through ML-EM. The matrix is rebuilt on every call. The builder's loops and the
    ML-EM iterations run without the interpreter lock and split large calls over threads (as
    ``ML_EM_cy``), with the same result for any number of threads.

    Examples
    --------
    >>> import numpy as np
    >>> E = np.linspace(1.0, 3000.0, 2048)
    >>> y = 1000.0 * np.exp(-0.5 * ((E - 662.0) / 19.5) ** 2) + 10.0
    >>> out = richardson_lucy_cy(E, y, 46.0 / 662.0**1.5, np.ones_like(y), iterations=50)
    >>> bool(abs(E[np.argmax(out)] - 662.0) < 5.0)
    True
    """
