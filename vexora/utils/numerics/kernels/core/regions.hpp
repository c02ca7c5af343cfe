// Regions of a response row: the energies where its features (backscatter peak, Compton edge,
// full-energy peak, escape peaks) begin and end, which move with the incident energy.
#pragma once

namespace vexora::core::regions {

/// Rest energy of the electron (m_e c^2): the energy of each annihilation photon, which a
/// single-escape event loses.
inline constexpr double electron_rest_energy_keV = 511.0;
/// Rest energy of an electron-positron pair: the least photon energy that pair production needs,
/// and what a double-escape event loses when both annihilation photons leave the detector.
inline constexpr double pair_threshold_keV = 2 * electron_rest_energy_keV;
/// Half-width of the full-energy peak's region around the incident energy.
inline constexpr double peak_half_width_keV = 10.0;

/// Energy left to a photon of `E_p` after Compton scattering through 180 degrees.
inline double get_backscatter_E(double E_p) { return E_p / ((E_p + E_p) / electron_rest_energy_keV + 1); }

/// Region boundaries of one row: 6, or 8 with the escape peaks.
struct Regions {
    double bounds[8];
    int count;
};

/// Boundaries in their unsorted order: 0, backscatter, Compton edge, both ends of the
/// full-energy peak's region, [single escape, double escape,] top of the axis.
inline Regions region_bounds(double E_p, double max_value, bool has_escape_peaks) {
    double backscatter = get_backscatter_E(E_p);
    double compton = E_p - backscatter;
    double below_peak = E_p - peak_half_width_keV;
    double above_peak = E_p + peak_half_width_keV;
    if (!has_escape_peaks) {
        return {{0.0, backscatter, compton, below_peak, above_peak, max_value}, 6};
    }
    double single_escape = E_p - electron_rest_energy_keV;
    double double_escape = E_p - pair_threshold_keV;
    return {{0.0, backscatter, compton, below_peak, above_peak, single_escape, double_escape, max_value}, 8};
}

/// Region boundaries as the row interpolation uses them: with escape peaks they are sorted
/// (stably, like Python's list sort on these finite values); without, they keep their order.
inline Regions calculate_regions_native(double E_p, double max_value, bool has_escape_peaks) {
    Regions regions = region_bounds(E_p, max_value, has_escape_peaks);
    if (has_escape_peaks) {
        for (int i = 1; i < regions.count; ++i) {
            double value = regions.bounds[i];
            int j = i;
            for (; j > 0 && value < regions.bounds[j - 1]; --j) {
                regions.bounds[j] = regions.bounds[j - 1];
            }
            regions.bounds[j] = value;
        }
    }
    return regions;
}

}  // namespace vexora::core::regions
