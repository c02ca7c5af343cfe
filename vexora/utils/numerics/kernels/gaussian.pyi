import numpy as np
from numpy.typing import NDArray

# Empty, as doctest expects of a module that registers no extra tests.
__test__: dict[str, object]

# Sum of Gaussians A·exp(-(x - mu)²/(2·variance)) over the (A, mu, variance) triples of params.
def multi_gaussian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]: ...

# Jacobian of multi_gaussian_cy, shape (len(x), len(params)), columns in the order of params.
def multi_gaussian_jacobian_cy(x: NDArray[np.float64], params: NDArray[np.float64]) -> NDArray[np.float64]: ...
