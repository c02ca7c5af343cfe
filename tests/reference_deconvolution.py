"""Plain-Python ML-EM, Gaussian response builder and Richardson-Lucy driver.

Each loop runs in the kernels' order of operations, so results must match them bit for bit.
Positions use Python's indexing, which counts negative ones from the end as the kernels do.
Slow on purpose: only for small test inputs.
"""

import math

import numpy as np

FWHM_C = 2.3548200450309493
TINY = 1e-12


def ml_em(y, offsets, indices, values, sensitivity, iterations=30):
    y, offsets, indices, values = (np.asarray(a).tolist() for a in (y, offsets, indices, values))
    n = len(y)
    floor = np.fmax(np.asarray(sensitivity, dtype=float)[:n], TINY)
    x = np.ones(n)
    for _ in range(int(iterations)):
        estimate = [0.0] * n
        for j in range(n):
            for k in range(offsets[j], offsets[j + 1]):
                estimate[indices[k]] += float(x[j]) * values[k]
        ratio = [y[i] / (estimate[i] + TINY) for i in range(n)]
        correction = np.empty(n)
        for j in range(n):
            total = 0.0
            for k in range(offsets[j], offsets[j + 1]):
                total += values[k] * ratio[indices[k]]
            correction[j] = total
        x *= correction / floor
    return x


def build_gaussian_response(axis, sigma, nsigma=5.0):
    """CSR Gaussian rows; windows come from np.searchsorted even on an unsorted axis."""
    axis = np.asarray(axis, dtype=float)
    offsets, indices, values = [0], [], []
    for i, E in enumerate(axis.tolist()):
        s = float(sigma[i])
        d = 0.0 if s == 0 else s * nsigma  # a zero width is a delta row whatever nsigma is
        low = int(np.searchsorted(axis, E - d))
        high = int(np.searchsorted(axis, E + d, side="right"))
        window = range(low, high)
        if s == 0:  # a zero width is a delta line: weight 1 on the bins equal to E, 0 elsewhere
            weights = [1.0 if axis[j] == E else 0.0 for j in window]
        else:
            weights = [math.exp((x * -0.5) * x) for x in ((axis[j] - E) / s for j in window)]
        norm = 0.0
        for w in weights:
            norm += w
        indices.extend(window)
        # Weights that are all 0 (a NaN energy matches no bin) divide 0 by 0: NaN, as in C.
        values.extend(w / norm if norm != 0 else math.nan for w in weights)
        offsets.append(len(values))
    return (np.array(offsets, dtype=np.int64), np.array(indices, dtype=np.int32),
            np.array(values, dtype=np.float64))


def get_sigma(k, E):
    root = math.sqrt(E) if E >= 0 else math.nan  # NaN also for a NaN energy
    return (k * root) * E / FWHM_C


def richardson_lucy(x, y, k, sensitivity, iterations=30):
    sigmas = [get_sigma(k, E) for E in np.asarray(x, dtype=float).tolist()]
    return ml_em(y, *build_gaussian_response(x, sigmas), sensitivity, iterations)
