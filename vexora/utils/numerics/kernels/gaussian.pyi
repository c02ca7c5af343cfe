"""A multi-Gaussian peak model and its analytic Jacobian, for a least-squares peak fitter.

Peaks are given as float64 triples ``(A, mu, variance)`` in one flat ``params`` array: height,
centre and variance (sigma squared, not sigma) of each Gaussian. Trailing values that do not
complete a triple are ignored.

Every value is computed in a fixed order, ``((-0.5 * dx) * dx) / variance`` with ``dx = x - mu``,
and exponentiated with exactly the bits of the C library's ``exp`` (see "The exact exp" in the
README), so results are reproducible to the bit.
"""

import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

def multi_gaussian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]:
    """Evaluate ``sum_i A_i * exp(-0.5 * (x - mu_i)**2 / variance_i)`` at every sample of ``x``.

    Parameters
    ----------
    x : one-dimensional float64 array
        Sample positions (for example channel energies in keV). None is refused.
    params : one-dimensional float64 array
        ``(A, mu, variance)`` per peak.

    Returns
    -------
    NDArray[np.float64]
        A new array of ``len(x)`` model values (zeros when there is no complete triple).

    Raises
    ------
    TypeError
        ``x`` or ``params`` not an ndarray (None included).
    ValueError
        Wrong dtype, number of dimensions or byte order (the note says how to convert).
    BufferError
        ``x`` or ``params`` resized or reallocated by a replaced ``np.zeros``.

    Notes
    -----
    Nothing is validated: a zero variance gives NaN at ``x == mu`` and 0 elsewhere, a negative
    one a term that grows with distance, NaN parameters NaN values. Runs with the interpreter
    lock held; a large call splits its samples over threads (at most ``VEXORA_NUM_THREADS``,
    else ``OMP_NUM_THREADS``, else the CPUs the process may use), with the same result for any
    number of threads. An invalid ``VEXORA_NUM_THREADS`` raises ValueError.

    Examples
    --------
    >>> import numpy as np
    >>> multi_gaussian_cy(np.array([660.0, 662.0]), np.array([100.0, 662.0, 4.0])).round(3)
    array([ 60.653, 100.   ])
    """

def multi_gaussian_jacobian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]:
    """The Jacobian of ``multi_gaussian_cy`` with respect to every entry of ``params``.

    Parameters
    ----------
    x : one-dimensional float64 array
        Sample positions.
    params : one-dimensional float64 array
        ``(A, mu, variance)`` per peak.

    Returns
    -------
    NDArray[np.float64]
        A new array of shape ``(len(x), len(params))``: row ``j`` belongs to ``x[j]``, columns
        ``3i, 3i+1, 3i+2`` to ``A``, ``mu`` and ``variance`` of peak ``i``; trailing columns
        of an incomplete triple are 0.

    Raises
    ------
    TypeError, ValueError, BufferError
        As ``multi_gaussian_cy``.

    Notes
    -----
    A zero variance makes that peak's ``mu`` and ``variance`` columns NaN (0/0). Runs with the
    interpreter lock held; splits large calls over threads as ``multi_gaussian_cy``.

    Examples
    --------
    >>> import numpy as np
    >>> multi_gaussian_jacobian_cy(np.array([662.0]), np.array([100.0, 662.0, 4.0]))
    array([[1., 0., 0.]])
    """
