"""Plain-Python resampler evaluated point by point, in the kernels' order of operations.

Slow on purpose: every index search is a linear scan from the start and every channel is
one Python call, so it only suits small test inputs.
"""

import numpy as np

ELECTRON_MASS_KEV = 511
PAIR_THRESHOLD_KEV = 1022
PEAK_HALF_WIDTH_KEV = 10
# Lower reference energies strictly above this get escape-peak regions.
ESCAPE_THRESHOLD_KEV = 1022.0
STORE_THRESHOLD = 1e-12


def find_index_from_energy(E, array):
    """First index whose element is not below E, or -1."""
    i = 0
    while i < len(array) and E > array[i]:
        i += 1
    return -1 if i == len(array) else i


def linear_interpolation(x, x1, x2, y1, y2):
    return y1 + ((x - x1) * (y2 - y1)) / (x2 - x1)


def interpolate_point_on_axis(x, x_array, y_array):
    i = find_index_from_energy(x, x_array)
    if i in (-1, 0):
        return float("nan")
    return linear_interpolation(x, float(x_array[i - 1]), float(x_array[i]),
                                float(y_array[i - 1]), float(y_array[i]))


def get_backscatter_E(E_p):
    return E_p / ((E_p + E_p) / ELECTRON_MASS_KEV + 1)


def calculate_regions(E_p, max_value, has_escape_peaks):
    E_p, max_value = float(E_p), float(max_value)
    backscatter = get_backscatter_E(E_p)
    compton = E_p - backscatter
    below_peak = E_p - PEAK_HALF_WIDTH_KEV
    above_peak = E_p + PEAK_HALF_WIDTH_KEV
    if not has_escape_peaks:
        return [0, backscatter, compton, below_peak, above_peak, max_value]
    single_escape = E_p - ELECTRON_MASS_KEV
    double_escape = E_p - PAIR_THRESHOLD_KEV
    regions = [0, backscatter, compton, below_peak, above_peak,
               single_escape, double_escape, max_value]
    regions.sort()
    return regions


def interpolate_point(j_k, E_i, E_1, E_2, E_1_regions, E_2_regions, E_i_regions,
                      ref_E_axis, y_1, y_2):
    ei_jk = j_k
    k = find_index_from_energy(ei_jk, E_i_regions)
    if k in (-1, 0):
        return float("nan")
    f = (ei_jk - E_i_regions[k - 1]) / (E_i_regions[k] - E_i_regions[k - 1])
    e1_jk = f * (E_1_regions[k] - E_1_regions[k - 1]) + E_1_regions[k - 1]
    e2_jk = f * (E_2_regions[k] - E_2_regions[k - 1]) + E_2_regions[k - 1]
    y1_jk = interpolate_point_on_axis(e1_jk, ref_E_axis, y_1)
    y2_jk = interpolate_point_on_axis(e2_jk, ref_E_axis, y_2)
    return linear_interpolation(E_i, E_2, E_1, y2_jk, y1_jk)


def interpolate_response_row(E_p, requested_E_axis, ref_E_axis, low_E, low_row,
                             high_E, high_row, row_buffer):
    has_escape_peaks = low_E > ESCAPE_THRESHOLD_KEV
    max_value = float(np.max(requested_E_axis))
    low_regions = np.asarray(calculate_regions(low_E, max_value, has_escape_peaks),
                             dtype=np.float64)
    high_regions = np.asarray(calculate_regions(high_E, max_value, has_escape_peaks),
                              dtype=np.float64)
    t = (E_p - low_E) / (high_E - low_E)
    E_i_regions = (high_regions - low_regions) * t + low_regions
    # Python floats keep the per-point arithmetic in plain IEEE double.
    low_list, high_list = low_regions.tolist(), high_regions.tolist()
    E_i_list = E_i_regions.tolist()
    for i, j_k in enumerate(requested_E_axis.tolist()):
        row_buffer[i] = interpolate_point(j_k, E_p, high_E, low_E, high_list, low_list,
                                          E_i_list, ref_E_axis, high_row, low_row)


def normalised_rows(response_matrix, ref_indices, ref_E_axis, requested_indices,
                    requested_E_axis):
    """Each requested row after division by its NaN-skipping sum, before thresholding."""
    ref_axis = ref_E_axis.tolist()
    row_buffer = np.empty(len(requested_E_axis), dtype=np.float64)
    rows = []
    for E_p in requested_indices.tolist():
        # The lowest reference energy is served by rows 0 and 1 with t = 0.
        high_row_i = max(find_index_from_energy(E_p, ref_indices.tolist()), 1)
        high_E = float(ref_indices[high_row_i])
        low_E = float(ref_indices[high_row_i - 1])
        high_row = response_matrix[high_row_i] / np.sum(response_matrix[high_row_i])
        low_row = response_matrix[high_row_i - 1] / np.sum(response_matrix[high_row_i - 1])
        interpolate_response_row(E_p, requested_E_axis, ref_axis, low_E, low_row.tolist(),
                                 high_E, high_row.tolist(), row_buffer)
        row_buffer /= np.nansum(row_buffer)
        rows.append(row_buffer.copy())
    return rows


def resampler_reference(response_matrix, ref_indices, ref_E_axis, requested_indices,
                        requested_E_axis):
    offsets, indices, values = [0], [], []
    for row in normalised_rows(response_matrix, ref_indices, ref_E_axis,
                               requested_indices, requested_E_axis):
        for j, value in enumerate(row.tolist()):
            if value > STORE_THRESHOLD:
                indices.append(j)
                values.append(value)
        offsets.append(len(values))
    return (np.asarray(offsets, dtype=np.int64), np.asarray(indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))
