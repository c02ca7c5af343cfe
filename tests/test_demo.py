"""Smoke test of the end-to-end demo (examples/demo.py) at a reduced size."""

import importlib.util
import math
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import import_example

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo.py"
CHANNELS = 750  # 4 keV channels: a quarter of the demo's default resolution


@pytest.fixture(scope="module")
def demo():
    return import_example("demo")


def has_matplotlib():
    return importlib.util.find_spec("matplotlib") is not None


@pytest.mark.parametrize("solver", ["scipy", "gauss-newton"])
def test_unfolding_recovers_every_line(demo, solver, tmp_path):
    if solver == "scipy":
        pytest.importorskip("scipy")
    analysis = demo.run(tmp_path, seed=3, channels=CHANNELS, solver=solver, log=lambda *args, **kwargs: None)

    assert [result.line for result in analysis.lines] == list(demo.LINES)
    for result in analysis.lines:
        line, measured, unfolded = result.line, result.measured, result.unfolded
        assert abs(unfolded.centre - line.energy) <= analysis.channel_width, line
        # Unfolding narrows each line and gathers the photons that the measured full-energy
        # peak misses (Compton continuum, escapes) back into it.
        assert unfolded.fwhm < 0.6 * measured.fwhm, line
        assert measured.counts < 0.5 * line.counts, line
        assert unfolded.counts == pytest.approx(line.counts, rel=0.1), line
    for escape in analysis.escapes:
        assert escape.unfolded.counts < 0.6 * escape.measured.counts, escape.energy

    if has_matplotlib():
        assert analysis.figure == tmp_path / "spectrum.png"
        assert analysis.figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert analysis.figure is None


def test_command_line_prints_the_table(tmp_path):
    output = tmp_path / "figures"
    completed = subprocess.run(
        [sys.executable, str(DEMO), "--output", str(output), "--channels", "600", "--seed", "5",
         "--iterations", "40", "--rl-iterations", "10"],
        capture_output=True, text=True, timeout=120, check=True)

    for energy in ("661.66", "1173.23", "1332.49", "1460.82", "2614.51"):
        assert f" {energy} " in completed.stdout
    assert "ML-EM (40 iterations)" in completed.stdout
    assert (output / "spectrum.png").exists() == has_matplotlib()


def test_printed_claims_are_those_of_the_analysis(demo, tmp_path):
    printed = []
    analysis = demo.run(tmp_path, seed=3, channels=CHANNELS, log=lambda *a, **k: printed.append(" ".join(map(str, a))))
    text = "\n".join(printed)
    area = max(abs(r.unfolded.counts / r.line.counts - 1.0) for r in analysis.lines)
    assert f"areas within {100 * area:.1f} %" in text and area < 0.1
    for e in analysis.escapes:  # escape peaks are reported as only partly removed, as they are
        share = e.unfolded.counts / e.measured.counts
        assert f"{100 * share:.0f} % ({e.energy:.1f} keV)" in text and 0.05 < share < 0.9
    c = analysis.continuum
    assert c.channel_low < 0.9 and c.channel_high > 1.1  # the continuum is said not to be recovered
    assert f"between {c.channel_low:.2f} and {c.channel_high:.2f}" in text


def test_too_few_channels_and_relative_output(tmp_path):
    refused = subprocess.run([sys.executable, str(DEMO), "--channels", "400"], capture_output=True, text=True,
                             timeout=60, cwd=tmp_path)
    assert refused.returncode == 2 and "must be at least 500" in refused.stderr and refused.stdout == ""
    if has_matplotlib():
        done = subprocess.run([sys.executable, str(DEMO), "--output", "rel", "--channels", "500"],
                              capture_output=True, text=True, timeout=120, cwd=tmp_path, check=True)
        assert f"Figure: {tmp_path / 'rel' / 'spectrum.png'}" in done.stdout
        assert (tmp_path / "rel" / "spectrum.png").exists()


@pytest.mark.parametrize("draws", [0, 30])
def test_bootstrap_gives_each_line_its_statistical_uncertainty(demo, draws, tmp_path):
    printed = []
    analysis = demo.run(tmp_path, seed=3, channels=CHANNELS, draws=draws,
                        log=lambda *a, **k: printed.append(" ".join(map(str, a))))
    text = "\n".join(printed)
    stds = [r.counts_std for r in analysis.lines]
    if draws == 0:
        assert all(map(math.isnan, stds)) and "Poisson resamples" not in text
        return
    # Poisson noise of a few thousand counts per line: the spread is a few percent, never zero,
    # and larger than the square root of the line's counts alone (unfolding amplifies the noise).
    for r in analysis.lines:
        assert math.sqrt(r.unfolded.counts) < r.counts_std < 0.2 * r.unfolded.counts, r.line
    assert f"over {draws} Poisson resamples" in text
    assert all(f"{r.counts_std:>8.0f}" in text for r in analysis.lines)
