"""Synthetic gamma-spectroscopy workloads for the benchmarks.

Energy axes run from 0 to 3000 keV and hold bin centres, so no bin sits at 0 keV and every
resolution width is positive. Detector resolution follows FWHM = k·E^(3/2).
"""

import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from scipy.special import erfc

import baselines

E_MAX = 3000.0
SPECTRA_DIR = Path(__file__).resolve().parents[2] / "shared" / "data" / "spectra"
MEASURED_HPGE = SPECTRA_DIR / "hpge_kelp_marinelli.Spe"  # optional: used only when present

# Gamma lines of common calibration and background sources, keV.
LINES = (186.2, 238.6, 351.9, 609.3, 661.7, 1173.2, 1332.5, 1460.8, 1764.5, 2614.5)


@dataclass(frozen=True)
class Detector:
    """Resolution model fixed by one FWHM at one energy, scaling as E^(3/2)."""

    name: str
    fwhm: float
    at_energy: float

    @property
    def k(self):
        return self.fwhm / self.at_energy**1.5

    def sigma(self, energy):
        return baselines.resolution_widths(energy, self.k)


NAI = Detector("NaI", fwhm=46.0, at_energy=662.0)
HPGE = Detector("HPGe", fwhm=2.0, at_energy=1332.0)


@dataclass
class Unfolding:
    """A measured spectrum with the response matrix it was folded with."""

    axis: np.ndarray
    k: float
    offsets: np.ndarray
    indices: np.ndarray
    values: np.ndarray
    y: np.ndarray
    sensitivity: np.ndarray

    @property
    def entries(self):
        return int(self.offsets[-1])


def energy_axis(n, e_max=E_MAX):
    """Centres of n equal bins covering 0 to e_max keV."""
    return (np.arange(n) + 0.5) * (e_max / n)


def true_spectrum(axis, rng, total=2e6):
    """Falling continuum plus the lines of LINES, each in its nearest bin."""
    spectrum = np.exp(-axis / 400.0) + 0.02
    line_bins = np.clip(np.searchsorted(axis, LINES), 0, len(axis) - 1)
    np.add.at(spectrum, line_bins, rng.uniform(0.5, 2.0, len(LINES)) * spectrum.sum() / 50)
    return spectrum * (total / spectrum.sum())


def fold(offsets, indices, values, x):
    """Forward projection ŷ[i] = Σ_j R[j][i]·x[j] of a CSR response matrix."""
    sources = np.repeat(x, np.diff(offsets))
    return np.bincount(indices, weights=values * sources, minlength=len(x))


def unfolding(detector, n, seed=0):
    """Poisson spectrum folded through the detector's Gaussian response on an n-bin axis."""
    rng = np.random.default_rng(seed)
    axis = energy_axis(n)
    offsets, indices, values = baselines.build_gaussian_response(axis, detector.sigma(axis))
    y = rng.poisson(fold(offsets, indices, values, true_spectrum(axis, rng))).astype(np.float64)
    return Unfolding(axis, detector.k, offsets, indices, values, y, np.ones(n))


def continuum_unfolding(n=2500, seed=0):
    """Poisson spectrum folded through a scintillator-like response: row j is a run from a random
    channel up to the diagonal (a Compton continuum and its full-energy channel), the shape every
    measured response and every resampled one has."""
    rng = np.random.default_rng(seed)
    axis = energy_axis(n)
    starts = (rng.uniform(0.0, 0.7, n) * np.arange(n)).astype(np.int64)
    lengths = np.arange(n) + 1 - starts
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    indices = np.concatenate([np.arange(s, j + 1, dtype=np.int32) for j, s in enumerate(starts)])
    rows = np.repeat(np.arange(n), lengths)
    values = np.where(indices == rows, 0.3, 0.7 / lengths[rows])
    y = rng.poisson(fold(offsets, indices, values, true_spectrum(axis, rng))).astype(np.float64)
    return Unfolding(axis, 0.0, offsets, indices, values, y, np.ones(n))


def resampled_unfolding(channels=3000):
    """The demo's crystal response (examples/demo.py) and a spectrum folded through it."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
    import demo

    axis = demo.energy_axis(channels)
    offsets, indices, values = demo.resampled_response(80, axis, demo.Progress(lambda *a, **k: None))
    y = demo.fold(offsets, indices, values, demo.true_spectrum(axis), channels)
    return Unfolding(axis, 0.0, offsets, indices, values, y, demo.row_sums(offsets, values))


def read_spe(path):
    """Counts and energy calibration (a, b, c of E = a + b·ch + c·ch², or None) of an SPE file."""
    lines = Path(path).read_text().splitlines()
    start = lines.index("$DATA:")
    first, last = map(int, lines[start + 1].split())
    counts = np.array([float(v) for v in lines[start + 2 : start + 3 + last - first]])
    calibration = None
    if "$MCA_CAL:" in lines:
        at = lines.index("$MCA_CAL:")
        calibration = tuple(float(v) for v in lines[at + 2].split()[:3])
    return counts, calibration


def measured_unfolding(detector=HPGE, path=MEASURED_HPGE):
    """A measured HPGe spectrum on its calibrated axis without channel 0 (0 keV)."""
    counts, (a, b, c) = read_spe(path)
    channels = np.arange(1, len(counts), dtype=np.float64)
    axis = a + b * channels + c * channels**2
    offsets, indices, values = baselines.build_gaussian_response(axis, detector.sigma(axis))
    return Unfolding(axis, detector.k, offsets, indices, values, counts[1:], np.ones(len(axis)))


# --- resampler -------------------------------------------------------------------------------


@dataclass
class Resampling:
    response_matrix: np.ndarray
    ref_indices: np.ndarray
    ref_E_axis: np.ndarray
    requested_indices: np.ndarray
    requested_E_axis: np.ndarray

    def arguments(self):
        return (self.response_matrix, self.ref_indices, self.ref_E_axis,
                self.requested_indices, self.requested_E_axis)


def _unit_gaussian(axis, centre, sigma):
    shape = np.exp(-0.5 * ((axis - centre) / sigma) ** 2)
    return shape / shape.sum()


def line_response(E0, axis, detector=NAI):
    """Detector response to a line at E0: full-energy peak, Compton continuum, backscatter bump
    and, above 1022 keV, single- and double-escape peaks. Widths never fall below one bin."""
    bin_width = axis[1] - axis[0]

    def sigma(energy):
        return max(float(detector.sigma(energy)), bin_width)

    backscatter = baselines.backscatter_energy(E0)
    edge = E0 - backscatter
    continuum = (1 + (axis / edge) ** 2) * erfc((axis - edge) / (np.sqrt(2) * sigma(edge)))
    photo_fraction = 1 / (1 + (E0 / 400.0) ** 1.3)
    response = (
        photo_fraction * _unit_gaussian(axis, E0, sigma(E0))
        + (1 - photo_fraction) * 0.93 * continuum / continuum.sum()
        + 0.07 * _unit_gaussian(axis, backscatter, 3 * sigma(backscatter))
    )
    if E0 > 1022:
        pair_fraction = 0.1 * (E0 - 1022) / (E_MAX - 1022)
        response += pair_fraction * _unit_gaussian(axis, E0 - 511, sigma(E0 - 511))
        response += 0.5 * pair_fraction * _unit_gaussian(axis, E0 - 1022, sigma(E0 - 1022))
    return response


def resampling(channels, requested, references=100):
    """Reference rows at `references` energies from 50 to 3000 keV on a `channels` axis, and
    `requested` energies inside that range on a recalibrated axis of the same size."""
    ref_E_axis = energy_axis(channels)
    ref_indices = np.linspace(50.0, E_MAX, references)
    response_matrix = np.array([line_response(E0, ref_E_axis) for E0 in ref_indices])
    requested_indices = np.linspace(60.0, 2990.0, requested)
    requested_E_axis = energy_axis(channels) * 0.99 + 3.0
    return Resampling(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis)


# --- gaussian --------------------------------------------------------------------------------


def peak_fit(samples, peaks, seed=0):
    """Samples over a 0-1000 keV region and `peaks` Gaussians (A, mu, variance) inside it.

    Widths of 30 to 60 keV keep every exponent within the normal range of exp: the cost
    measured is that of real evaluations, not of underflow shortcuts.
    """
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1000.0, samples)
    amplitude = rng.uniform(100.0, 1e4, peaks)
    centre = np.sort(rng.uniform(100.0, 900.0, peaks))
    variance = rng.uniform(30.0, 60.0, peaks) ** 2
    return x, np.column_stack([amplitude, centre, variance]).ravel()


def spectrum_peaks(samples, peaks, variance=None, seed=0):
    """Samples over the 0-3000 keV axis and `peaks` Gaussians (A, mu, variance) as a spectrum's
    peaks are: amplitudes in 1-100, centres anywhere on the axis, variances in 1-50 keV² (σ of
    1-7 keV) or all equal to `variance`. Most exponents then lie far below -745 (exp gives +0)."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, E_MAX, samples)
    amplitude = rng.uniform(1.0, 100.0, peaks)
    centre = rng.uniform(0.0, E_MAX, peaks)
    variances = rng.uniform(1.0, 50.0, peaks) if variance is None else np.full(peaks, float(variance))
    return x, np.column_stack([amplitude, centre, variances]).ravel()
