"""End-to-end gamma-spectrum analysis with the native kernels of vexora.

The demo synthesises the spectrum that a scintillation detector records from five well-known
gamma lines (Cs-137 at 662 keV, Co-60 at 1173 and 1332 keV, K-40 at 1461 keV and Tl-208 at
2614 keV) and then analyses it as one would a real measurement:

1. The crystal's response is modelled at reference incident energies (full-energy peak with
   its intrinsic width, Compton continuum with its edge, backscatter bump, single- and
   double-escape peaks) and resampled to one row per channel of the spectrum.
2. The line spectrum is folded through that response, blurred by the readout resolution
   (a Gaussian response matrix) and given Poisson noise.
3. The operations are undone in reverse order: Richardson-Lucy removes the readout
   resolution, then ML-EM unfolds the crystal response, which moves the Compton continuum
   and the escape peaks back into the lines.
4. Each line is fitted with Gaussians on a linear background, before and after unfolding.

It prints a table of the fitted lines, then what the unfolding does and does not recover,
measured against the true spectrum: ML-EM without regularisation restores the lines' positions
and areas, but leaves part of the escape peaks in place and turns the weak continuum into
noise-driven oscillations. It writes a PNG of the spectra and of the response matrix (when
matplotlib is installed). Everything is computed here; nothing is downloaded.
"""

import argparse
import math
import sys
import threading
import time
from collections.abc import Callable
from contextlib import contextmanager
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

from vexora.utils.numerics.bootstrap import bootstrap_unfold
from vexora.utils.numerics.kernels.batch import ML_EM_many, richardson_lucy_many
from vexora.utils.numerics.kernels.deconvolution import (
    ML_EM_cy,
    build_gaussian_response,
    richardson_lucy_cy,
)
from vexora.utils.numerics.kernels.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy
from vexora.utils.numerics.kernels.resampler import calculate_regions, resampler_cy

E_MAX = 3000.0  # top of the energy axis, keV
ELECTRON_MASS = 511.0  # keV
FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))

# Readout resolution FWHM = k·E^(3/2), the model that richardson_lucy_cy deconvolves; fixed
# here by 2 % FWHM at 1332 keV. The crystal adds an intrinsic FWHM of INTRINSIC·√E keV.
RESOLUTION_K = 0.02 * 1332.492 / 1332.492**1.5
INTRINSIC = 0.25

# The reference response is tabulated as a simulation would deliver it: on its own 1 keV axis,
# at energies spaced evenly from REFERENCE_LOW to E_MAX. Incident energies at or below
# REFERENCE_LOW have no response row.
REFERENCE_CHANNELS = 3000
REFERENCE_LOW = 40.0

# Below this many channels Cs-137's measured peak (11.5 keV FWHM) spans fewer than two channels
# and the fits of the unfolded spectrum are no longer reliable (at 400 channels its area comes
# out twice too large).
MIN_CHANNELS = 500
CHANNELS_WHY = ": with fewer, Cs-137's peak spans under two channels and the fitted table is not valid"

# The continuum is compared with the truth from CONTINUUM_RANGE keV, away from every peak, per
# channel and in bins of CONTINUUM_BIN keV.
CONTINUUM_RANGE = (100.0, 2400.0)
CONTINUUM_BIN = 50.0


@dataclass(frozen=True)
class Line:
    source: str
    energy: float  # keV
    counts: float  # photons reaching the detector


LINES = (
    Line("Cs-137", 661.657, 4.0e5),
    Line("Co-60", 1173.228, 2.5e5),
    Line("Co-60", 1332.492, 2.5e5),
    Line("K-40", 1460.820, 2.0e5),
    Line("Tl-208", 2614.511, 3.0e5),
)
CONTINUUM_COUNTS = 3.0e5  # scattered photons below the lines, falling with energy

# Fit windows reach this many resolution widths beyond the outermost peak of a group; peaks
# closer than OVERLAP widths (summed over the pair) share one fit.
WINDOW = 4.0
OVERLAP = 3.0


@dataclass(frozen=True)
class PeakFit:
    centre: float  # keV
    fwhm: float  # keV
    counts: float  # peak area


@dataclass(frozen=True)
class LineResult:
    line: Line
    measured: PeakFit
    unfolded: PeakFit
    # Bootstrap standard deviation of the unfolded counts within LINE_WINDOW sigmas of the line
    # (NaN without draws).
    counts_std: float = math.nan


@dataclass(frozen=True)
class EscapeResult:
    energy: float  # keV
    measured: PeakFit
    unfolded: PeakFit


@dataclass(frozen=True)
class ContinuumCheck:
    """How far the unfolded continuum departs from the true one, as ratios unfolded / true."""
    channel_low: float  # 5 % of the channels lie below
    channel_high: float  # 95 % of the channels lie below
    bin_low: float  # 10 % of the CONTINUUM_BIN bins lie below
    bin_high: float  # 90 % of the bins lie below


@dataclass(frozen=True)
class Analysis:
    draws: int  # Poisson resamples of the bootstrap; 0 for none
    lines: list[LineResult]
    escapes: list[EscapeResult]
    continuum: ContinuumCheck
    channel_width: float  # keV
    figure: Path | None


# --- detector physics --------------------------------------------------------------------------


def resolution_sigma(energy):
    """Gaussian width (keV) of the readout resolution at `energy`."""
    return RESOLUTION_K * np.power(energy, 1.5) / FWHM_PER_SIGMA


def intrinsic_sigma(energy):
    """Gaussian width (keV) of a full-energy peak as the crystal alone records it."""
    return INTRINSIC * np.sqrt(energy) / FWHM_PER_SIGMA


def total_sigma(energy):
    """Width of a line in the measured spectrum: intrinsic and readout widths in quadrature."""
    return np.hypot(intrinsic_sigma(energy), resolution_sigma(energy))


def photo_fraction(energy):
    """Share of photons that deposit their full energy by one or more interactions."""
    return 1.0 / (1.0 + (energy / 500.0) ** 1.2)


def pair_fraction(energy):
    """Share of photons that convert into an electron-positron pair (zero below 1022 keV)."""
    return 0.12 * max(energy - 2 * ELECTRON_MASS, 0.0) / (E_MAX - 2 * ELECTRON_MASS)


def unit_peak(axis, centre, sigma):
    """Gaussian sampled on `axis`, scaled to unit sum; half a channel is added to its width in
    quadrature so that a line narrower than a channel still spreads over its neighbours."""
    width = math.hypot(sigma, 0.5 * (axis[1] - axis[0]))
    shape = np.exp(-0.5 * ((axis - centre) / width) ** 2)
    return shape / shape.sum()


def compton_continuum(axis, edge):
    """Klein-Nishina-like plateau rising towards the Compton edge, smeared by the intrinsic width."""
    width = max(float(intrinsic_sigma(edge)), axis[1] - axis[0])
    step = 0.5 * (1.0 - np.tanh((axis - edge) / (1.2 * width)))
    shape = (1.0 + (axis / edge) ** 2) * step
    return shape / shape.sum()


def detector_response(energy, axis):
    """Counts per channel of `axis` that one photon of `energy` keV leaves (sums to 1)."""
    _, backscatter, edge, *_ = calculate_regions(energy, axis[-1], False)
    pair = pair_fraction(energy)
    photo = photo_fraction(energy) * (1.0 - pair)
    compton = 1.0 - photo - pair
    # Pair events: 45 % absorb both annihilation photons, 40 % lose one, 15 % lose both.
    response = (photo + 0.45 * pair) * unit_peak(axis, energy, intrinsic_sigma(energy))
    response += 0.92 * compton * compton_continuum(axis, edge)
    # Photons scattered back by the surroundings arrive over a spread of angles: a broad bump.
    response += 0.08 * compton * unit_peak(axis, backscatter, 0.1 * backscatter)
    if pair > 0.0:
        for lost, share in ((ELECTRON_MASS, 0.40), (2 * ELECTRON_MASS, 0.15)):
            escape = energy - lost
            response += share * pair * unit_peak(axis, escape, intrinsic_sigma(escape))
    return response


def energy_axis(channels):
    """Centres of `channels` equal bins from 0 to E_MAX keV."""
    return (np.arange(channels) + 0.5) * (E_MAX / channels)


def reference_response(references):
    """Dense response matrix at `references` incident energies on the reference axis."""
    ref_indices = np.linspace(REFERENCE_LOW, E_MAX, references)
    ref_E_axis = energy_axis(REFERENCE_CHANNELS)
    matrix = np.array([detector_response(energy, ref_E_axis) for energy in ref_indices])
    return matrix, ref_indices, ref_E_axis


def true_spectrum(axis):
    """Photons per incident-energy bin: each line split between its two neighbouring bins so
    that its centroid stays at the line energy, on a falling scattered continuum."""
    spectrum = np.where(axis > REFERENCE_LOW, np.exp(-axis / 350.0), 0.0)
    spectrum *= CONTINUUM_COUNTS / spectrum.sum()
    for line in LINES:
        upper = int(np.searchsorted(axis, line.energy))
        share = (line.energy - axis[upper - 1]) / (axis[upper] - axis[upper - 1])
        spectrum[upper - 1] += (1.0 - share) * line.counts
        spectrum[upper] += share * line.counts
    return spectrum


# --- CSR response matrices ---------------------------------------------------------------------


def rows_of_entries(offsets):
    """Row number of every stored entry."""
    return np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))


def fold(offsets, indices, values, source, channels):
    """Forward projection: counts per channel, Σ_j R[j][i]·source[j] (rows are sources)."""
    weights = values * source[rows_of_entries(offsets)]
    return np.bincount(indices, weights=weights, minlength=channels)


def row_sums(offsets, values):
    """Detection probability of each source bin."""
    return np.bincount(rows_of_entries(offsets), weights=values, minlength=len(offsets) - 1)


def stack_rows(blocks, rows_before):
    """Concatenates CSR blocks of consecutive rows, preceded by `rows_before` empty rows."""
    offsets = [np.zeros(rows_before + 1, dtype=np.int64)]
    for block_offsets, _, _ in blocks:
        offsets.append(block_offsets[1:] + offsets[-1][-1])
    indices = np.concatenate([block[1] for block in blocks])
    values = np.concatenate([block[2] for block in blocks])
    return np.concatenate(offsets), indices, values


# --- progress ----------------------------------------------------------------------------------


class Progress:
    """One line per step with its duration; steps may add percentages or a heartbeat."""

    def __init__(self, log):
        self.log = log

    @contextmanager
    def step(self, label):
        self.log(f"{label} ...", end="", flush=True)
        start = time.perf_counter()
        yield
        self.log(f" done in {time.perf_counter() - start:.1f} s", flush=True)

    def percent(self, fraction):
        self.log(f" {100 * fraction:.0f}%", end="", flush=True)

    def while_running(self, function, *args, **kwargs):
        """Calls `function` in a worker thread and prints a dot each second until it returns.
        This works because the native iteration loops release the interpreter lock."""
        outcome = {}

        def work():
            try:
                outcome["result"] = function(*args, **kwargs)
            except BaseException as error:  # re-raised in the calling thread
                outcome["error"] = error

        worker = threading.Thread(target=work, daemon=True)
        worker.start()
        worker.join(timeout=1.0)
        while worker.is_alive():
            self.log(".", end="", flush=True)
            worker.join(timeout=1.0)
        if "error" in outcome:
            raise outcome["error"]
        return outcome["result"]


# --- peak fitting ------------------------------------------------------------------------------


def gauss_newton(residual, jacobian, start, lower, upper, iterations=100):
    """Bounded Gauss-Newton with step halving, for when SciPy is not installed."""
    params = start.copy()
    cost = np.sum(residual(params) ** 2)
    for _ in range(iterations):
        step = np.linalg.lstsq(jacobian(params), -residual(params), rcond=None)[0]
        for _ in range(30):
            trial = np.clip(params + step, lower, upper)
            trial_cost = np.sum(residual(trial) ** 2)
            if trial_cost <= cost:
                break
            step *= 0.5
        else:
            return params
        converged = cost - trial_cost <= 1e-10 * cost
        params, cost = trial, trial_cost
        if converged:
            break
    return params


def least_squares_solver(name):
    """The solver `name`: "scipy", "gauss-newton", or None for SciPy's when it is installed."""
    if name == "gauss-newton":
        return gauss_newton
    try:
        from scipy.optimize import least_squares
    except ImportError:
        if name == "scipy":
            raise
        return gauss_newton

    def solve(residual, jacobian, start, lower, upper):
        return least_squares(residual, start, jac=jacobian, bounds=(lower, upper)).x

    return solve


def fit_peaks(axis, spectrum, centres, widths, start_widths, solve):
    """Fits Gaussians near `centres` (resolution widths `widths`) on a linear background.

    The model is multi_gaussian_cy plus b0 + b1·(E - mid); residuals are weighted by the
    Poisson error of each channel. Returns one PeakFit per centre.
    """
    channel = axis[1] - axis[0]
    centres, widths = np.asarray(centres), np.asarray(widths)
    low, high = centres[0] - WINDOW * widths[0], centres[-1] + WINDOW * widths[-1]
    inside = (axis >= low) & (axis <= high)
    x, y = axis[inside], spectrum[inside]
    error = np.sqrt(np.maximum(y, 1.0))
    mid = 0.5 * (low + high)

    def model(params):
        return multi_gaussian_cy(x, params[:-2]) + params[-2] + params[-1] * (x - mid)

    def residual(params):
        return (model(params) - y) / error

    def jacobian(params):
        columns = [multi_gaussian_jacobian_cy(x, params[:-2]), np.ones_like(x), x - mid]
        return np.column_stack(columns) / error[:, None]

    # Background from the window's ends; each centre may move by one width, each width shrink
    # to a quarter channel or grow to three resolution widths.
    edge = max(3, len(x) // 20)
    left, right = y[:edge].mean(), y[-edge:].mean()
    background = 0.5 * (left + right)
    start, lower, upper = [], [], []
    for centre, width, start_width in zip(centres, widths, start_widths):
        start += [max(np.interp(centre, x, y) - background, 1.0), centre, start_width**2]
        lower += [0.0, centre - width, (0.25 * channel) ** 2]
        upper += [np.inf, centre + width, (3.0 * width) ** 2]
    start += [background, (right - left) / (x[-1] - x[0])]
    lower += [-np.inf, -np.inf]
    upper += [np.inf, np.inf]
    lower, upper = np.array(lower), np.array(upper)
    params = solve(residual, jacobian, np.clip(start, lower, upper), lower, upper)
    amplitude, centre, variance = params[:-2].reshape(-1, 3).T
    sigma = np.sqrt(variance)
    area = amplitude * sigma * math.sqrt(2.0 * math.pi) / channel
    return [PeakFit(float(c), float(FWHM_PER_SIGMA * s), float(a)) for c, s, a in zip(centre, sigma, area)]


def peak_groups(centres, widths):
    """Splits sorted peaks into groups whose members overlap and must be fitted together."""
    groups = [[0]]
    for i in range(1, len(centres)):
        previous = groups[-1][-1]
        if centres[i] - centres[previous] < OVERLAP * (widths[i] + widths[previous]):
            groups[-1].append(i)
        else:
            groups.append([i])
    return groups


def fit_all(axis, spectrum, centres, start_widths, solve):
    """Fits every peak of `centres` (sorted) in its group; returns the fits in that order."""
    widths = [float(total_sigma(c)) for c in centres]
    fits = []
    for group in peak_groups(centres, widths):
        fits += fit_peaks(axis, spectrum, [centres[i] for i in group], [widths[i] for i in group],
                          [start_widths[i] for i in group], solve)
    return fits


# --- output ------------------------------------------------------------------------------------


def continuum_mask(axis):
    """Channels inside CONTINUUM_RANGE at least three measured FWHM away from every peak."""
    away = (axis > CONTINUUM_RANGE[0]) & (axis < CONTINUUM_RANGE[1])
    for energy in [line.energy for line in LINES] + escape_peaks():
        away &= np.abs(axis - energy) > 3.0 * FWHM_PER_SIGMA * total_sigma(energy)
    return away


def continuum_check(axis, unfolded, truth):
    """Ratios of the unfolded to the true continuum over the channels of continuum_mask."""
    away = continuum_mask(axis)
    per_channel = unfolded[away] / truth[away]
    bins = np.floor((axis - CONTINUUM_RANGE[0]) / CONTINUUM_BIN).astype(np.int64)
    filled = np.bincount(bins[away])
    ratios = np.bincount(bins[away], unfolded[away]) / np.maximum(np.bincount(bins[away], truth[away]), 1e-300)
    per_bin = ratios[filled >= 0.5 * CONTINUUM_BIN / (axis[1] - axis[0])]
    return ContinuumCheck(*np.quantile(per_channel, [0.05, 0.95]), *np.quantile(per_bin, [0.1, 0.9]))


# Half-width, in intrinsic sigmas, of the window whose unfolded counts the bootstrap follows.
LINE_WINDOW = 3.0


def line_windows(axis):
    """One row per line: 1 on the channels within LINE_WINDOW intrinsic sigmas of it."""
    return np.array([np.abs(axis - line.energy) <= LINE_WINDOW * intrinsic_sigma(line.energy) for line in LINES],
                    dtype=np.float64)


def binned(axis, spectrum, width, mask):
    """`spectrum` averaged over the channels of `mask` in bins of `width` keV, drawn as one value
    per channel of `mask` (NaN elsewhere)."""
    bins = np.floor(axis / width).astype(np.int64)
    count = np.bincount(bins[mask], minlength=bins[-1] + 1)
    mean = np.bincount(bins[mask], spectrum[mask], minlength=bins[-1] + 1) / np.maximum(count, 1)
    return np.where(mask, mean[bins], np.nan)


def print_table(analysis, log):
    """The fitted lines, one per row, then the escape peaks."""
    log(f"\n{'line':<8}{'true keV':>10}{'fit keV':>10}{'FWHM meas':>11}{'FWHM unf':>10}"
        f"{'photons':>10}{'in peak':>10}{'unfolded':>10}{'± stat':>8}{'recovered':>11}")
    for r in analysis.lines:
        log(f"{r.line.source:<8}{r.line.energy:>10.2f}{r.unfolded.centre:>10.2f}"
            f"{r.measured.fwhm:>11.1f}{r.unfolded.fwhm:>10.1f}{r.line.counts:>10.0f}"
            f"{r.measured.counts:>10.0f}{r.unfolded.counts:>10.0f}{r.counts_std:>8.0f}"
            f"{100 * r.unfolded.counts / r.line.counts:>10.1f}%")
    log("FWHM in keV, measured and unfolded; 'in peak': counts of the measured full-energy peak;\n"
        "'unfolded': counts of the line after unfolding, 'recovered' their share of the photons.")
    if analysis.draws:
        log(f"'± stat': statistical uncertainty of the unfolded counts within {LINE_WINDOW:.0f} sigma of the line, "
            f"the standard deviation\nover {analysis.draws} Poisson resamples of the measured spectrum, each "
            "unfolded the same way (not the response's errors).")
    for e in analysis.escapes:
        log(f"Escape peak at {e.energy:.1f} keV: {e.measured.counts:.0f} counts measured, "
            f"{e.unfolded.counts:.0f} after unfolding")
    log("\nWhat the unfolding recovers, against the true spectrum:")
    offset = max(abs(r.unfolded.centre - r.line.energy) for r in analysis.lines)
    area = max(abs(r.unfolded.counts / r.line.counts - 1.0) for r in analysis.lines)
    log(f"- lines: centres within {offset:.2f} keV and areas within {100 * area:.1f} % of the true photons.")
    remaining = " and ".join(f"{100 * e.unfolded.counts / e.measured.counts:.0f} % ({e.energy:.1f} keV)"
                             for e in analysis.escapes)
    log(f"- escape peaks only in part: of their measured counts {remaining} remain,\n"
        "  so a peak search on the unfolded spectrum would still report lines there.")
    c = analysis.continuum
    log(f"- not the continuum: ML-EM without regularisation amplifies the noise, and between "
        f"{CONTINUUM_RANGE[0]:.0f} and {CONTINUUM_RANGE[1]:.0f} keV\n"
        f"  (away from the peaks) 90 % of the channels lie between {c.channel_low:.2f} and {c.channel_high:.2f} "
        f"times the truth;\n"
        f"  averaged over {CONTINUUM_BIN:.0f} keV, 80 % of the bins lie between {c.bin_low:.2f} and "
        f"{c.bin_high:.2f} times the truth.")


def response_image(offsets, indices, values, channels, pixels=300):
    """The CSR response summed into a `pixels` x `pixels` image: rows incident, columns deposited energy."""
    pixels = min(pixels, channels)
    rows = rows_of_entries(offsets) * pixels // channels
    columns = indices.astype(np.int64) * pixels // channels
    return np.bincount(rows * pixels + columns, values, pixels * pixels).reshape(pixels, pixels)


def plot(path, axis, spectra, fitted, response, log, band=None):
    """Writes the spectra on a log scale, with the fits, and the response matrix as an image;
    skipped without matplotlib. `band`: (label, lower, upper) drawn shaded under the spectra."""
    try:
        import matplotlib
    except ImportError:
        log("matplotlib is not installed: no figure (pip install matplotlib to get one)")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    figure, panels = plt.subplot_mosaic([["full", "full"], ["zoom", "matrix"]], figsize=(12, 9),
                                        height_ratios=(3, 2.2), width_ratios=(1.9, 1))
    full, zoom, matrix = panels["full"], panels["zoom"], panels["matrix"]
    for ax, (low, high) in ((full, (0.0, E_MAX)), (zoom, (1050.0, 2750.0))):
        if band is not None:
            ax.fill_between(axis, np.maximum(band[1], 0.5), np.maximum(band[2], 0.5), step="mid",
                            color="tab:green", alpha=0.3, linewidth=0, label=band[0] if ax is full else None)
        for label, spectrum, style in spectra:
            ax.plot(axis, spectrum, label=label, drawstyle="steps-mid", **style)
        ax.set_ylim(0.5, 3.0 * max(np.nanmax(s[(axis >= low) & (axis <= high)]) for _, s, _ in spectra))
        for x, model in fitted:
            ax.plot(x, model, color="black", linewidth=0.9, linestyle="--")
        for line in LINES:
            ax.axvline(line.energy, color="grey", linewidth=0.6, linestyle=":")
        ax.set_yscale("log")
        ax.set_xlim(low, high)
        ax.set_xlabel("energy (keV)")
        ax.set_ylabel("counts per channel")
    full.plot([], [], color="black", linewidth=0.9, linestyle="--", label="Gaussian fits")
    full.legend(loc="upper center", bbox_to_anchor=(0.7, 1.0), fontsize=9)
    for line in LINES:
        full.annotate(f"{line.source}\n{line.energy:.1f}", (line.energy, 1.0), xycoords=("data", "axes fraction"),
                      xytext=(2, -2), textcoords="offset points", ha="left", va="top", fontsize=8)
    escape = max(LINES, key=lambda line: line.energy)
    for lost, name in ((ELECTRON_MASS, "single escape"), (2 * ELECTRON_MASS, "double escape")):
        zoom.annotate(name, (escape.energy - lost, 1.0), xycoords=("data", "axes fraction"), xytext=(0, -2),
                      textcoords="offset points", ha="center", va="top", fontsize=8)
    full.set_title("Synthetic spectrum: measured, resolution removed, unfolded and fitted")
    zoom.set_title("Detail: Co-60, K-40 and Tl-208 with its escape peaks", fontsize=10)
    image = matrix.imshow(response, origin="lower", extent=(0.0, E_MAX, 0.0, E_MAX), aspect="auto",
                          norm=LogNorm(vmin=max(response.max() * 1e-6, response[response > 0].min())),
                          cmap="viridis", interpolation="nearest")
    figure.colorbar(image, ax=matrix, label="response per pixel")
    matrix.set_xlabel("deposited energy (keV)")
    matrix.set_ylabel("incident energy (keV)")
    matrix.set_title("Crystal response matrix (rows: sources)", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


# --- the analysis ------------------------------------------------------------------------------


def resampled_response(references, axis, progress):
    """CSR response with one row per incident-energy bin of `axis` (square, as ML-EM needs).

    Bins at or below the lowest reference energy get empty rows: the resampler interpolates
    only between reference rows.
    """
    with progress.step(f"Modelling the crystal response at {references} reference energies"):
        matrix, ref_indices, ref_E_axis = reference_response(references)
    first_row = int(np.searchsorted(axis, REFERENCE_LOW, side="right"))
    blocks = []
    with progress.step(f"Resampling it to {len(axis) - first_row} incident energies x {len(axis)} channels"):
        for chunk in np.array_split(axis[first_row:], 10):
            blocks.append(resampler_cy(matrix, ref_indices, ref_E_axis, chunk, axis))
            progress.percent(len(blocks) / 10)
    return stack_rows(blocks, first_row)


def escape_peaks():
    """Single- and double-escape energies of the lines with a noticeable pair-production share."""
    return [line.energy - lost for line in LINES if pair_fraction(line.energy) > 0.05
            for lost in (ELECTRON_MASS, 2 * ELECTRON_MASS)]


def fit_curves(fits, axis, channel_width):
    """Each fitted Gaussian drawn over ±2.5 FWHM of its centre."""
    curves = []
    for fit in fits:
        sigma = fit.fwhm / FWHM_PER_SIGMA
        amplitude = fit.counts * channel_width / (sigma * math.sqrt(2.0 * math.pi))
        near = np.abs(axis - fit.centre) <= 2.5 * fit.fwhm
        curves.append((axis[near], multi_gaussian_cy(axis[near], np.array([amplitude, fit.centre, sigma**2]))))
    return curves


def run(output="out", *, seed=1, iterations=100, rl_iterations=30, channels=3000, references=80,
        solver=None, draws=50, log: Callable[..., None] = print) -> Analysis:
    """Synthesises, unfolds and fits the spectrum, and bootstraps its statistical uncertainty
    from `draws` Poisson resamples (none for 0); prints the table and writes spectrum.png to
    `output`. Returns the fitted lines and escape peaks."""
    if channels < MIN_CHANNELS:
        raise ValueError(f"channels must be at least {MIN_CHANNELS}{CHANNELS_WHY}")
    output = Path(output)
    output.mkdir(parents=True, exist_ok=True)
    progress = Progress(log)
    solve = least_squares_solver(solver)
    axis = energy_axis(channels)
    channel_width = E_MAX / channels

    offsets, indices, values = resampled_response(references, axis, progress)
    log(f"  crystal response: {len(offsets) - 1} rows, {len(values)} stored entries")
    resolution = build_gaussian_response(axis, resolution_sigma(axis))
    log(f"  readout resolution: {channels} rows, {len(resolution[2])} stored entries")

    truth = true_spectrum(axis)
    deposited = fold(offsets, indices, values, truth, channels)
    rng = np.random.default_rng(seed)
    measured = rng.poisson(fold(*resolution, deposited, channels)).astype(np.float64)
    log(f"Measured spectrum: {measured.sum():.0f} counts from {truth.sum():.0f} photons")

    with progress.step(f"Removing the readout resolution with Richardson-Lucy ({rl_iterations} iterations)"):
        sharpened = progress.while_running(richardson_lucy_cy, axis, measured, RESOLUTION_K,
                                           np.ones(channels), iterations=rl_iterations)
    with progress.step(f"Unfolding the crystal response with ML-EM ({iterations} iterations)"):
        unfolded = progress.while_running(ML_EM_cy, sharpened, offsets, indices, values,
                                          row_sums(offsets, values), iterations=iterations)

    windows = line_windows(axis)
    counts_std = np.full(len(LINES), math.nan)
    band = None
    if draws > 0:
        sensitivity = row_sums(offsets, values)

        def unfold(stack):
            # Both steps for a stack of spectra; each row also gets its counts in the lines' windows.
            sharp = richardson_lucy_many(axis, stack, RESOLUTION_K, np.ones(channels), rl_iterations)
            x = ML_EM_many(sharp, offsets, indices, values, sensitivity, iterations)
            return np.hstack([x, x @ windows.T])

        with progress.step(f"Bootstrap: unfolding {draws} Poisson resamples of the measured spectrum"):
            boot = progress.while_running(bootstrap_unfold, measured, unfold, draws=draws, rng=seed)
        counts_std = boot.std[channels:]
        band = ("unfolded ± 1 sigma (bootstrap)", unfolded - boot.std[:channels], unfolded + boot.std[:channels])

    with progress.step("Fitting the peaks"):
        peaks = sorted([line.energy for line in LINES] + escape_peaks())
        before = dict(zip(peaks, fit_all(axis, measured, peaks, [total_sigma(e) for e in peaks], solve)))
        after = dict(zip(peaks, fit_all(axis, unfolded, peaks, [intrinsic_sigma(e) for e in peaks], solve)))
    analysis = Analysis(
        draws=max(draws, 0),
        lines=[LineResult(line, before[line.energy], after[line.energy], float(counts_std[i]))
               for i, line in enumerate(LINES)],
        escapes=[EscapeResult(e, before[e], after[e]) for e in escape_peaks()],
        continuum=continuum_check(axis, unfolded, truth),
        channel_width=channel_width,
        figure=None,
    )
    print_table(analysis, log)

    continuum = binned(axis, unfolded, CONTINUUM_BIN, continuum_mask(axis))
    spectra = [
        ("measured", measured, {"color": "tab:blue", "linewidth": 0.8}),
        (f"resolution removed (Richardson-Lucy, {rl_iterations} it.)", sharpened,
         {"color": "tab:orange", "linewidth": 0.8}),
        (f"unfolded (ML-EM, {iterations} it.)", unfolded, {"color": "tab:green", "linewidth": 0.7, "alpha": 0.6}),
        (f"unfolded continuum, {CONTINUUM_BIN:.0f} keV averages", continuum,
         {"color": "darkgreen", "linewidth": 1.8}),
        ("true spectrum", truth, {"color": "tab:red", "linewidth": 0.8}),
    ]
    curves = fit_curves([result.unfolded for result in analysis.lines], axis, channel_width)
    figure = plot(output / "spectrum.png", axis, spectra, curves,
                  response_image(offsets, indices, values, channels), log, band)
    if figure is not None:
        figure = figure.resolve()
        log(f"Figure: {figure}")
    return replace(analysis, figure=figure)


def at_least(minimum, why=""):
    """argparse type: an integer not below `minimum`; `why` is added to the refusal."""
    def parse(text):
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}{why}")
        return value
    return parse


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Synthesise a gamma spectrum of Cs-137, Co-60, K-40 and Tl-208 lines, remove "
                    "the detector resolution with Richardson-Lucy, unfold the detector response "
                    "with ML-EM, fit the peaks, print a table and write spectrum.png.")
    parser.add_argument("--output", type=Path, default=Path("out"), metavar="DIR",
                        help="folder for spectrum.png, relative to the current directory, created if "
                             "needed (default: ./out)")
    parser.add_argument("--seed", type=int, default=1, metavar="N",
                        help="seed of the Poisson noise (default: 1)")
    parser.add_argument("--iterations", type=at_least(0), default=100, metavar="N",
                        help="ML-EM iterations of the unfolding (default: 100)")
    parser.add_argument("--rl-iterations", type=at_least(0), default=30, metavar="N",
                        help="Richardson-Lucy iterations of the resolution removal (default: 30)")
    parser.add_argument("--channels", type=at_least(MIN_CHANNELS, CHANNELS_WHY), default=3000, metavar="N",
                        help=f"channels of the 0-3000 keV axis, at least {MIN_CHANNELS} (fewer leave the "
                             "narrowest peak under two channels); fewer run faster (default: 3000)")
    parser.add_argument("--references", type=at_least(2), default=80, metavar="N",
                        help="reference incident energies of the modelled response (default: 80)")
    parser.add_argument("--draws", type=at_least(0), default=50, metavar="N",
                        help="Poisson resamples of the bootstrap that gives the unfolded spectrum its "
                             "statistical uncertainty, 0 for none; 200 give the standard deviation to "
                             "about 5 %% (default: 50)")
    parser.add_argument("--solver", choices=("scipy", "gauss-newton"), default=None,
                        help="peak-fit solver (default: SciPy's least_squares when installed, "
                             "else a bounded Gauss-Newton)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_arguments(argv)
    started = time.perf_counter()
    run(args.output, seed=args.seed, iterations=args.iterations, rl_iterations=args.rl_iterations,
        channels=args.channels, references=args.references, solver=args.solver, draws=args.draws)
    print(f"Total {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
