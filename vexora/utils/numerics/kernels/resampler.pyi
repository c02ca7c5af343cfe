import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

# Region boundaries (keV) of a response row for a line at E_p: backscatter, Compton edge, peak window, escapes.
def calculate_regions(E_p: float, max_value: float, has_escape_peaks: bool | None) -> list[float]: ...

# Interpolates a dense response at reference energies to requested energies; returns a CSR matrix.
def resampler_cy(
    response_matrix: NDArray[np.float64],
    ref_indices: NDArray[np.float64],
    ref_E_axis: NDArray[np.float64],
    requested_indices: NDArray[np.float64],
    requested_E_axis: NDArray[np.float64],
) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]: ...
