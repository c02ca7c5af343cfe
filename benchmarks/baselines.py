"""NumPy and SciPy versions of the kernels, written as a skilled user would write them.

They compute the same quantities as the native kernels and are the reference points of the
benchmark table. `resample_literal` is the exception: it follows the per-point algorithm
literally, linear scans included, to show what the native resampler replaces.
"""

import math

import numpy as np
import scipy.sparse as sp

FWHM_C = 2.3548200450309493  # 2·sqrt(2·ln 2): FWHM of a Gaussian over its standard deviation
TINY = 1e-12  # guard added to every estimate and floor of every sensitivity
STORE_THRESHOLD = 1e-12  # resampled values at or below this are not stored


# --- deconvolution -----------------------------------------------------------------------------


def resolution_widths(axis, k):
    """Gaussian standard deviation at each energy of `axis` for resolution coefficient `k`."""
    return (k * np.sqrt(axis)) * axis / FWHM_C


def build_gaussian_response(axis, sigma, nsigma=5.0):
    """CSR rows of unit-sum Gaussians, one per bin, each cut to ±nsigma widths on the axis."""
    n = len(axis)
    sigma = sigma[:n]
    reach = sigma * nsigma
    low = np.searchsorted(axis, axis - reach, side="left")
    high = np.searchsorted(axis, axis + reach, side="right")
    counts = np.maximum(high - low, 0)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])

    columns = np.arange(offsets[-1], dtype=np.int64)
    columns += np.repeat(low - offsets[:-1], counts)
    x = axis[columns]
    x -= np.repeat(axis, counts)
    x /= np.repeat(sigma, counts)
    weights = x * -0.5
    weights *= x
    np.exp(weights, out=weights)
    # bincount adds each row's weights in entry order, as a per-row loop would.
    row_sums = np.bincount(np.repeat(np.arange(n), counts), weights=weights, minlength=n)
    weights /= np.repeat(row_sums, counts)
    return offsets, columns.astype(np.int32), weights


def response_operators(offsets, indices, values, n):
    """SciPy CSR matrix R (rows are sources) and its transpose, converted to CSR once."""
    response = sp.csr_array((values, indices, offsets), shape=(n, n))
    return response, response.T.tocsr()


def ml_em(y, response, response_t, sensitivity, iterations=30):
    """ML-EM with SciPy operators R and Rᵀ: x <- x · R(y / (Rᵀx + 1e-12)) / fmax(s, 1e-12)."""
    x = np.ones_like(y)
    ratio = np.empty_like(y)
    sensitivity_floor = np.fmax(sensitivity, TINY)
    for _ in range(iterations):
        estimate = response_t @ x
        estimate += TINY
        np.divide(y, estimate, out=ratio)
        correction = response @ ratio
        correction /= sensitivity_floor
        x *= correction
    return x


def richardson_lucy(axis, y, k, sensitivity, iterations=30):
    """Widths from `k`, the vectorised Gaussian response on `axis`, then SciPy ML-EM."""
    offsets, indices, values = build_gaussian_response(axis, resolution_widths(axis, k))
    response = sp.csr_array((values, indices, offsets), shape=(len(y), len(y)))
    # The matrix is new on every call: its transposed (CSC) view projects forward as fast as
    # a CSR copy would, without paying for the conversion.
    return ml_em(y, response, response.T, sensitivity, iterations)


# --- resampler: shared pieces ------------------------------------------------------------------


def backscatter_energy(E_p):
    """Energy left to a photon of energy E_p after Compton scattering through 180°."""
    return E_p / ((E_p + E_p) / 511 + 1)


def calculate_regions(E_p, max_value, has_escape_peaks):
    """Region boundaries of a response row: 0, backscatter, Compton edge, peak ±10 keV, [escapes], top."""
    backscatter = backscatter_energy(E_p)
    compton = E_p - backscatter
    if not has_escape_peaks:
        return [0, backscatter, compton, E_p - 10, E_p + 10, max_value]
    regions = [0, backscatter, compton, E_p - 10, E_p + 10, E_p - 511, E_p - 1022, max_value]
    regions.sort()
    return regions


def _csr_from_rows(row_columns, row_values):
    """Concatenate per-row column and value arrays into a CSR triple."""
    offsets = np.zeros(len(row_columns) + 1, dtype=np.int64)
    np.cumsum([len(c) for c in row_columns], out=offsets[1:])
    if not row_columns:
        return offsets, np.empty(0, dtype=np.int32), np.empty(0, dtype=np.float64)
    return (
        offsets,
        np.concatenate(row_columns).astype(np.int32),
        np.concatenate(row_values).astype(np.float64),
    )


# --- resampler: vectorised -------------------------------------------------------------------


def _first_not_below(boundaries, points):
    """Index of the first boundary not below each point, -1 where none is.

    Equal to a linear scan from index 0, also for unsorted boundary lists (which occur below
    255.5 keV, where the backscatter energy exceeds the Compton edge).
    """
    if np.all(boundaries[1:] >= boundaries[:-1]):
        found = np.searchsorted(boundaries, points, side="left")
    else:
        stops = ~(points[:, None] > boundaries[None, :])
        found = np.where(stops.any(axis=1), stops.argmax(axis=1), len(boundaries))
    return np.where(found == len(boundaries), -1, found)


def _interpolate_on_axis(points, axis, row):
    """Row values linearly interpolated at `points`; NaN at or below axis[0], above axis[-1], or NaN."""
    found = np.searchsorted(axis, points, side="left")
    inside = (found > 0) & (found < len(axis))
    upper = np.clip(found, 1, len(axis) - 1)
    x1, x2 = axis[upper - 1], axis[upper]
    y1, y2 = row[upper - 1], row[upper]
    with np.errstate(invalid="ignore", divide="ignore"):
        values = y1 + ((points - x1) * (y2 - y1)) / (x2 - x1)
    return np.where(inside, values, np.nan)


def _interpolate_row(E_p, requested_E_axis, ref_E_axis, low_E, low_row, high_E, high_row, max_value):
    """Feature-aligned interpolation of one row between its two bracketing reference rows."""
    has_escape_peaks = low_E > 1022
    low_regions = np.asarray(calculate_regions(low_E, max_value, has_escape_peaks), dtype=np.float64)
    high_regions = np.asarray(calculate_regions(high_E, max_value, has_escape_peaks), dtype=np.float64)
    t = (E_p - low_E) / (high_E - low_E)
    regions = (high_regions - low_regions) * t + low_regions

    k = _first_not_below(regions, requested_E_axis)
    has_region = k > 0
    k = np.where(has_region, k, 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        f = (requested_E_axis - regions[k - 1]) / (regions[k] - regions[k - 1])
        e_high = f * (high_regions[k] - high_regions[k - 1]) + high_regions[k - 1]
        e_low = f * (low_regions[k] - low_regions[k - 1]) + low_regions[k - 1]
        y_high = _interpolate_on_axis(e_high, ref_E_axis, high_row)
        y_low = _interpolate_on_axis(e_low, ref_E_axis, low_row)
        row = y_low + ((E_p - low_E) * (y_high - y_low)) / (high_E - low_E)
    return np.where(has_region, row, np.nan)


def resample(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis):
    """Vectorised resampling: each row built with array operations, bracketing rows by searchsorted."""
    with np.errstate(invalid="ignore", divide="ignore"):
        unit_rows = response_matrix / response_matrix.sum(axis=1, keepdims=True)
    # The lowest reference energy itself is resampled between rows 0 and 1.
    upper_rows = np.maximum(np.searchsorted(ref_indices, requested_indices, side="left"), 1)
    max_value = float(np.max(requested_E_axis))
    row_columns, row_values = [], []
    for E_p, upper in zip(requested_indices.tolist(), upper_rows.tolist()):
        row = _interpolate_row(
            E_p, requested_E_axis, ref_E_axis,
            ref_indices[upper - 1], unit_rows[upper - 1],
            ref_indices[upper], unit_rows[upper],
            max_value,
        )
        with np.errstate(invalid="ignore", divide="ignore"):
            row /= np.nansum(row)
        columns = np.flatnonzero(row > STORE_THRESHOLD)
        row_columns.append(columns)
        row_values.append(row[columns])
    return _csr_from_rows(row_columns, row_values)


# --- resampler: literal per-point algorithm --------------------------------------------------


def _divide(a, b):
    """a / b with IEEE results for a zero divisor, as the native code gets them."""
    try:
        return a / b
    except ZeroDivisionError:
        if a == 0 or a != a:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def find_index_from_energy(E, array):
    """First index whose element is not below E, by a scan from index 0; -1 if there is none."""
    i = 0
    n = len(array)
    while i < n and E > array[i]:
        i += 1
    return -1 if i == n else i


def linear_interpolation(x, x1, x2, y1, y2):
    return y1 + _divide((x - x1) * (y2 - y1), x2 - x1)


def interpolate_point_on_axis(x, x_array, y_array):
    i = find_index_from_energy(x, x_array)
    if i <= 0:
        return math.nan
    return linear_interpolation(x, x_array[i - 1], x_array[i], y_array[i - 1], y_array[i])


def interpolate_point(j_k, E_i, E_1, E_2, E_1_regions, E_2_regions, E_i_regions, ref_E_axis, y_1, y_2):
    """Value at channel energy j_k of the row at E_i, read between upper (1) and lower (2) rows."""
    k = find_index_from_energy(j_k, E_i_regions)
    if k <= 0:
        return math.nan
    f = _divide(j_k - E_i_regions[k - 1], E_i_regions[k] - E_i_regions[k - 1])
    e1_jk = f * (E_1_regions[k] - E_1_regions[k - 1]) + E_1_regions[k - 1]
    e2_jk = f * (E_2_regions[k] - E_2_regions[k - 1]) + E_2_regions[k - 1]
    y1_jk = interpolate_point_on_axis(e1_jk, ref_E_axis, y_1)
    y2_jk = interpolate_point_on_axis(e2_jk, ref_E_axis, y_2)
    return linear_interpolation(E_i, E_2, E_1, y2_jk, y1_jk)


def resample_literal(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis):
    """Per-point resampling in plain Python: every lookup a linear scan from the start of its array."""
    ref_energies = ref_indices.tolist()
    ref_axis = ref_E_axis.tolist()
    requested_axis = requested_E_axis.tolist()
    row_columns, row_values = [], []
    for E_p in requested_indices.tolist():
        high_row_i = find_index_from_energy(E_p, ref_energies) or 1  # lowest energy: rows 0 and 1
        high_E, low_E = ref_energies[high_row_i], ref_energies[high_row_i - 1]
        high_row = response_matrix[high_row_i] / np.sum(response_matrix[high_row_i])
        low_row = response_matrix[high_row_i - 1] / np.sum(response_matrix[high_row_i - 1])

        max_value = float(np.max(requested_E_axis))
        has_escape_peaks = low_E > 1022
        low_regions = np.asarray(calculate_regions(low_E, max_value, has_escape_peaks), dtype=np.float64)
        high_regions = np.asarray(calculate_regions(high_E, max_value, has_escape_peaks), dtype=np.float64)
        t = _divide(E_p - low_E, high_E - low_E)
        E_i_regions = ((high_regions - low_regions) * t + low_regions).tolist()
        high_list, low_list = high_row.tolist(), low_row.tolist()
        high_regions, low_regions = high_regions.tolist(), low_regions.tolist()
        row = np.array([
            interpolate_point(
                j_k, E_p, high_E, low_E, high_regions, low_regions, E_i_regions,
                ref_axis, high_list, low_list,
            )
            for j_k in requested_axis
        ])

        with np.errstate(invalid="ignore", divide="ignore"):
            row /= np.nansum(row)
        columns, values = [], []
        for j, value in enumerate(row.tolist()):
            if value > STORE_THRESHOLD:
                columns.append(j)
                values.append(value)
        row_columns.append(np.array(columns, dtype=np.int64))
        row_values.append(np.array(values, dtype=np.float64))
    return _csr_from_rows(row_columns, row_values)


# --- gaussian ----------------------------------------------------------------------------------


def _peak_factors(x, params):
    """Amplitudes, centre offsets (samples × peaks), variances and exp factors of every peak."""
    n_gauss = len(params) // 3
    peaks = params[: 3 * n_gauss].reshape(n_gauss, 3)
    A, mu, variance = peaks[:, 0], peaks[:, 1], peaks[:, 2]
    dx = np.subtract.outer(x, mu)
    factors = dx * -0.5
    factors *= dx
    factors /= variance
    np.exp(factors, out=factors)
    return A, dx, variance, factors


def multi_gaussian(x, params):
    """Sum over peaks of A·exp(-0.5·(x - mu)²/variance) at every sample."""
    A, _, _, factors = _peak_factors(x, params)
    return factors @ A


def multi_gaussian_jacobian(x, params):
    """Derivatives of the model at every sample with respect to each A, mu and variance."""
    A, dx, variance, factors = _peak_factors(x, params)
    n_gauss = len(A)
    jacobian = np.zeros((len(x), len(params)))
    jacobian[:, 0 : 3 * n_gauss : 3] = factors
    scaled = factors * A
    scaled *= dx
    jacobian[:, 1 : 3 * n_gauss : 3] = scaled / variance
    scaled *= dx
    jacobian[:, 2 : 3 * n_gauss : 3] = scaled / ((2 * variance) * variance)
    return jacobian
