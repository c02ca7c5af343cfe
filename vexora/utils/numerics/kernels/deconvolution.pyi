import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

# Unfolds a measured spectrum with a CSR response matrix (rows are sources, columns channels) by ML-EM.
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
) -> NDArray[np.float64]: ...

# Builds the CSR matrix (offsets, indices, values) of unit-sum Gaussians of width sigma[i], cut at nsigma widths.
def build_gaussian_response(
    axis: NDArray[np.float64] | None,
    sigma: NDArray[np.float64] | None,
    nsigma: float = 5.0,
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]: ...

# Deconvolves a spectrum on energy axis x (keV) for the resolution FWHM = k·E^(3/2) by ML-EM.
def richardson_lucy_cy(
    x: NDArray[np.float64] | None,
    y: NDArray[np.float64] | None,
    k: float,
    sensitivity: NDArray[np.float64] | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> NDArray[np.float64]: ...
