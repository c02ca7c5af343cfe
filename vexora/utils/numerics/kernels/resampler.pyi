"""Detector response matrices moved from reference incident energies to requested ones.

A response row is interpolated region by region between the two bracketing reference rows, so
that the backscatter peak, the Compton edge, the full-energy peak and the escape peaks move with
the incident energy instead of being smeared. Energies are in keV.
"""

import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

def calculate_regions(E_p: float, max_value: float, has_escape_peaks: bool | None) -> list[float]:
    """Region boundaries (keV) of a response row for a gamma line at ``E_p``.

    Returns ``[0, backscatter peak, Compton edge, E_p - 10, E_p + 10, max_value]`` and, with
    escape peaks, also ``E_p - 1022`` and ``E_p - 511``, then sorted. Without escape peaks the
    order is kept as written (below 255.5 keV the backscatter peak lies above the Compton edge).

    Parameters
    ----------
    E_p : float
        Incident photon energy in keV.
    max_value : float
        Top of the channel axis in keV.
    has_escape_peaks : True, False or None
        Whether to add the single- and double-escape energies (None counts as False; 1 and
        NumPy bools are refused).

    Returns
    -------
    list[float]
        6 or 8 boundaries; the first is the int 0.

    Raises
    ------
    TypeError
        ``E_p`` or ``max_value`` not a number, ``has_escape_peaks`` not exactly a bool or None.

    Notes
    -----
    NaN or infinite energies give NaN or infinite boundaries; nothing is checked.

    Examples
    --------
    >>> calculate_regions(1000, 3000, False)
    [0, 203.50457984866588, 796.4954201513341, 990.0, 1010.0, 3000.0]
    """

def resampler_cy(
    response_matrix: NDArray[np.float64],
    ref_indices: NDArray[np.float64],
    ref_E_axis: NDArray[np.float64],
    requested_indices: NDArray[np.float64],
    requested_E_axis: NDArray[np.float64],
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]:
    """Resample a dense response matrix to requested incident energies, as a CSR response matrix.

    Each requested row is interpolated between the two bracketing reference rows (each scaled
    to unit sum) region by region (``calculate_regions``), normalised with ``np.nansum`` and
    stored where above 1e-12, columns ascending. Rows come in the order of
    ``requested_indices``.

    Parameters
    ----------
    response_matrix : two-dimensional float64 array, (len(ref_indices), len(ref_E_axis))
        Row ``r``: the detector's response to photons of energy ``ref_indices[r]``, one column
        per channel of ``ref_E_axis``.
    ref_indices : one-dimensional float64 array
        Reference incident energies, finite and strictly ascending, at least two.
    ref_E_axis : one-dimensional float64 array
        Channel energies of the reference rows, ascending, without NaN.
    requested_indices : one-dimensional float64 array
        Incident energies wanted, within ``[ref_indices[0], ref_indices[-1]]``.
    requested_E_axis : one-dimensional float64 array
        Channel energies of the result rows, ascending, without NaN.

    Returns
    -------
    (offsets, indices, values)
        int64, int32 and float64 arrays: one row per requested energy, columns on
        ``requested_E_axis``. To unfold with ``ML_EM_cy`` the result must be square: request
        one row per channel (``requested_indices`` = ``requested_E_axis``).

    Raises
    ------
    TypeError
        An argument that is not an ndarray (None is refused).
    ValueError
        Wrong dtype, number of dimensions or byte order; fewer than two reference rows,
        mismatched shapes, axes not ascending or with NaN, reference energies not finite and
        strictly ascending, requested energies outside the reference range.
    BufferError
        An argument resized or reallocated during the call (by a signal handler between rows,
        or by a replaced ``np`` function); the message names it.

    Notes
    -----
    Each reference row that a requested row uses is copied once, scaled to unit sum. Channels
    of a resampled row without a value are NaN and never stored; a reference row that sums to 0
    or holds NaN leaves the rows that use it empty. The per-channel interpolation loop runs
    without the interpreter lock. A large call whose rows are native work (``np`` is NumPy, the
    matrix an exact ndarray with contiguous rows) splits its requested rows over threads (at
    most ``VEXORA_NUM_THREADS``, else ``OMP_NUM_THREADS``, else the CPUs the process may use),
    with the same result for any number of threads. An invalid ``VEXORA_NUM_THREADS`` raises
    ValueError.

    Examples
    --------
    >>> import numpy as np
    >>> channels = np.linspace(1.0, 3000.0, 1024)
    >>> ref = np.array([500.0, 1500.0])
    >>> R = np.array([np.exp(-0.5 * ((channels - E) / 10.0) ** 2) + 1e-3 for E in ref])
    >>> offsets, indices, values = resampler_cy(R, ref, channels, np.array([1000.0]), channels)
    >>> len(offsets)
    2
    """
