// Row interpolation of a response matrix: a response row at an incident energy built from the two
// reference rows that bracket it, feature by feature.
//
// Pure and lock-free: native arrays in, no Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "../simd/vector.hpp"
#include "regions.hpp"
#include "search.hpp"
#include "strided.hpp"

namespace vexora::core::interpolation {

using regions::calculate_regions_native;
using regions::pair_threshold_keV;
using regions::Regions;

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

/// A bracketing pair of reference rows, each scaled to unit sum, and their incident energies.
struct Bracket {
    double low_E, high_E;
    const double* low_row;
    const double* high_row;
};

/// Channels per pass of the row interpolation: a multiple of the vector width.
constexpr int block = 128;
/// Chains of searches that run side by side in a long run of channels.
constexpr int streams = 4;
static_assert(block % streams == 0);

/// Energy axes as the row interpolation reads them: native copies, checked by the driver.
struct Axes {
    const double* requested;  ///< [n], ascending, no NaN
    Index n;
    const double* ref;  ///< [r] with -inf at [-1] and +inf at [r] to [r + 2], ascending, no NaN
    Index r;
};

/// A region on the requested scale and its images on the two reference scales.
struct RegionMap {
    double start, width, high_start, high_width, low_start, low_width;
};

/// Relative positions of `count` channels in the region and their energies on both reference scales.
inline void map_channels(const double* e, int count, const RegionMap& map, double* at_high, double* at_low) {
    for (int j = 0; j < count; ++j) {
        const double f = (e[j] - map.start) / map.width;
        at_high[j] = f * map.high_width + map.high_start;
        at_low[j] = f * map.low_width + map.low_start;
    }
}

/*
 * Readings of both reference rows at the mapped energies and their interpolation in incident
 * energy. Rows are padded with NaN at [-1] and [r], so that an index 0 or r (no value) reads NaN.
 * The elements each channel needs are gathered first, so that the arithmetic, three divisions a
 * channel, runs over plain arrays and a vector at a time.
 */
inline void read_rows(int count, const double* at_high, const double* at_low, const Index* high_index,
                      const Index* low_index, const double* axis, const Bracket& bracket, double offset, double span,
                      double* out) {
    const double* high_row = bracket.high_row;
    const double* low_row = bracket.low_row;
    double high_before[block], high_at[block], high_x_before[block], high_x_at[block];
    double low_before[block], low_at[block], low_x_before[block], low_x_at[block];
    for (int j = 0; j < count; ++j) {
        const Index h = high_index[j], l = low_index[j];
        high_before[j] = high_row[h - 1];
        high_at[j] = high_row[h];
        high_x_before[j] = axis[h - 1];
        high_x_at[j] = axis[h];
        low_before[j] = low_row[l - 1];
        low_at[j] = low_row[l];
        low_x_before[j] = axis[l - 1];
        low_x_at[j] = axis[l];
    }
    for (int j = 0; j < count; ++j) {
        const double y_high = high_before[j] + ((at_high[j] - high_x_before[j]) * (high_at[j] - high_before[j])) /
                                                   (high_x_at[j] - high_x_before[j]);
        const double y_low = low_before[j] + ((at_low[j] - low_x_before[j]) * (low_at[j] - low_before[j])) /
                                                 (low_x_at[j] - low_x_before[j]);
        out[j] = y_low + (offset * (y_high - y_low)) / span;
    }
}

/// The constants of one run of channels inside one region.
struct Run {
    const RegionMap& map;
    const double* axis;
    Index r;
    const Bracket& bracket;
    double offset, span;
};

/*
 * One block of channels: relative position, mapped energies, readings of both reference rows on
 * the reference axis, and the interpolation in incident energy, each value by the same operations
 * in the same order as the point-by-point algorithm. Compiled for AVX2 as well, where the
 * processor has it, so that the divisions go four at a time.
 */
VEXORA_CLONES inline void interpolate_block(const double* e, int count, const Run& run, Index& high_hint,
                                            Index& low_hint, double* out) {
    double at_high[block], at_low[block];
    map_channels(e, count, run.map, at_high, at_low);
    Index high_index[block], low_index[block];
    for (int j = 0; j < count; ++j) {
        high_index[j] = high_hint = search_from(run.axis, run.r, at_high[j], high_hint);
        low_index[j] = low_hint = search_from(run.axis, run.r, at_low[j], low_hint);
    }
    read_rows(count, at_high, at_low, high_index, low_index, run.axis, run.bracket, run.offset, run.span, out);
}

/*
 * A run of `length` channels inside one region. Each search answer waits for the one before it
 * (it starts there), so one chain of searches is bound by the latency of its loads; the run is cut
 * into `streams` stretches searched side by side, each from where the run starts, so that their
 * chains overlap. The answers do not depend on where a search starts. Short runs go block by block.
 * Compiled for AVX2 as well, like the blocks.
 */
VEXORA_CLONES inline void interpolate_run(const double* e, Index length, const Run& run, Index& high_hint,
                                          Index& low_hint, double* out) {
    constexpr int chunk = block / streams;
    const Index stretch = length / streams;
    if (stretch < chunk) {
        for (Index first = 0; first < length; first += block) {
            const int count = static_cast<int>(std::min<Index>(block, length - first));
            interpolate_block(e + first, count, run, high_hint, low_hint, out + first);
        }
        return;
    }
    Index highs[streams], lows[streams];
    for (int s = 0; s < streams; ++s) {
        highs[s] = high_hint;
        lows[s] = low_hint;
    }
    for (Index position = 0; position < stretch; position += chunk) {
        const int count = static_cast<int>(std::min<Index>(chunk, stretch - position));
        double at_high[streams][chunk], at_low[streams][chunk];
        for (int s = 0; s < streams; ++s) {
            map_channels(e + s * stretch + position, count, run.map, at_high[s], at_low[s]);
        }
        Index high_index[streams][chunk], low_index[streams][chunk];
        for (int j = 0; j < count; ++j) {
            for (int s = 0; s < streams; ++s) {
                high_index[s][j] = highs[s] = search_from(run.axis, run.r, at_high[s][j], highs[s]);
                low_index[s][j] = lows[s] = search_from(run.axis, run.r, at_low[s][j], lows[s]);
            }
        }
        for (int s = 0; s < streams; ++s) {
            read_rows(count, at_high[s], at_low[s], high_index[s], low_index[s], run.axis, run.bracket, run.offset,
                      run.span, out + s * stretch + position);
        }
    }
    // The last stretch goes on over the channels that the even cut left over (fewer than `streams`).
    high_hint = highs[streams - 1];
    low_hint = lows[streams - 1];
    const Index done = streams * stretch;
    interpolate_block(e + done, static_cast<int>(length - done), run, high_hint, low_hint, out + done);
}

/*
 * Builds the response row at incident energy `E_p` from the two reference rows that bracket it,
 * region by region: each requested channel is placed at the same relative position in the same
 * region of both reference rows, the rows are read there, and the readings are interpolated
 * linearly in incident energy. Channels without a value get NaN.
 *
 * The region of a channel (the first boundary not below its energy) never decreases along an
 * ascending axis, also when the boundaries are not sorted: so the row splits into runs of one
 * region each, found by bisection, and each run is interpolated with constants.
 *
 *   axes      - requested[n], ref[r], padded
 *   bracket   - low_row[r], high_row[r], padded; low_E < high_E, both finite
 *   max_value - top of the requested axis
 *   row[n]    - output
 *
 * Runs without the interpreter lock; cost O(n + r). Every index comes from a search bounded by
 * the lengths.
 */
inline void interpolate_response_row(double E_p, const Axes& axes, const Bracket& bracket, double max_value,
                                     double* row) {
    const double low_E = bracket.low_E, high_E = bracket.high_E;
    // Escape peaks exist only where the lower row's photons can make pairs.
    const bool has_escape_peaks = low_E > pair_threshold_keV;
    const Regions low = calculate_regions_native(low_E, max_value, has_escape_peaks);
    const Regions high = calculate_regions_native(high_E, max_value, has_escape_peaks);
    const double t = (E_p - low_E) / (high_E - low_E);
    Regions requested = low;
    for (int b = 0; b < low.count; ++b) {
        requested.bounds[b] = (high.bounds[b] - low.bounds[b]) * t + low.bounds[b];
    }
    // The interpolation in incident energy, y_low + ((E_p - low_E) * (y_high - y_low)) / (high_E - low_E),
    // with its two differences hoisted.
    const double offset = E_p - low_E;
    const double span = high_E - low_E;
    const double* e = axes.requested;
    const Index n = axes.n;
    Index high_hint = 0, low_hint = 0;
    int k = 0;
    for (Index j = 0; j < n;) {
        while (k < requested.count && e[j] > requested.bounds[k]) {
            ++k;
        }
        // The run of region k: channels up to the first one above boundary k.
        Index end = n;
        if (k < requested.count) {
            Index low_end = j + 1;
            while (low_end < end) {
                const Index mid = low_end + (end - low_end) / 2;
                if (e[mid] > requested.bounds[k]) {
                    end = mid;
                } else {
                    low_end = mid + 1;
                }
            }
        }
        if (k == 0 || k == requested.count) {
            // At or below the first boundary, or above every one: no region, no value.
            std::fill(row + j, row + end, nan);
        } else {
            const RegionMap map{requested.bounds[k - 1], requested.bounds[k] - requested.bounds[k - 1],
                                high.bounds[k - 1],      high.bounds[k] - high.bounds[k - 1],
                                low.bounds[k - 1],       low.bounds[k] - low.bounds[k - 1]};
            interpolate_run(e + j, end - j, Run{map, axes.ref, axes.r, bracket, offset, span}, high_hint, low_hint,
                            row + j);
        }
        j = end;
    }
}

/// Values below or at this fraction of a row's sum are not stored.
inline constexpr double store_threshold = 1e-12;

/*
 * Stores the channels of `row` whose value divided by `total` lies above the store threshold:
 * their numbers into columns[] and their scaled values into values[]; returns how many. Every
 * channel is written at the end and counted only when stored, so that the loop has no branch on
 * the data.
 *
 *   row[n]; columns[n], values[n] - room for n entries
 */
inline Index store_row(const double* row, Index n, double total, std::int32_t* columns, double* values) {
    Index stored = 0;
    for (Index j = 0; j < n; ++j) {
        const double scaled = row[j] / total;
        columns[stored] = static_cast<std::int32_t>(j);
        values[stored] = scaled;
        stored += scaled > store_threshold;
    }
    return stored;
}

}  // namespace vexora::core::interpolation
