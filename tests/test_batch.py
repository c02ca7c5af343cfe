"""The batch example (examples/batch.py): every back-end gives the serial results bit for bit."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import import_example

pytest.importorskip("scipy")

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "batch.py"
CHANNELS = 1024


@pytest.fixture(scope="module")
def batch():
    return import_example("batch")


@pytest.fixture(scope="module")
def problem(batch):
    shared = batch.shared_setup(CHANNELS, iterations=20)
    stack, line_counts = batch.synthesise(shared, 11, seed=4)
    return shared, stack, line_counts


@pytest.fixture(scope="module")
def serial(batch, problem):
    shared, stack, _ = problem
    return batch.run_serial(stack, shared, 4, 1, False)


@pytest.mark.parametrize("channels", [7, 1024, 2049])
def test_shared_matrix_is_the_one_richardson_lucy_builds(batch, channels):
    from vexora.utils.numerics.kernels.deconvolution import ML_EM_cy, richardson_lucy_cy

    axis = batch.energy_axis(channels)
    y = np.random.default_rng(channels).poisson(100.0, channels).astype(np.float64)
    ones = np.ones(channels)
    np.testing.assert_array_equal(ML_EM_cy(y, *batch.resolution_response(axis), ones, 9),
                                  richardson_lucy_cy(axis, y, batch.RESOLUTION_K, ones, 9))


def test_fits_find_every_line(batch, problem, serial):
    shared, stack, line_counts = problem
    assert serial.shape == (len(stack), len(batch.PARAMETERS) * len(batch.LINES))
    channel = shared.axis[1] - shared.axis[0]
    for i, line in enumerate(batch.LINES):
        amplitude, centre, variance, _ = serial[:, 4 * i:4 * i + 4].T
        assert np.all(np.abs(centre - line) < 2 * channel), line
        area = amplitude * np.sqrt(2 * np.pi * variance) / channel
        # Areas follow each spectrum's own line intensity.
        assert np.corrcoef(area, line_counts[:, i])[0, 1] > 0.95, line


@pytest.mark.parametrize("block, workers", [(4, 2), (3, 3), (20, 2)])
def test_thread_pool_matches_serial(batch, problem, serial, block, workers):
    shared, stack, _ = problem
    np.testing.assert_array_equal(batch.run_threads(stack, shared, block, workers, False), serial)


@pytest.mark.parametrize("block, workers", [(4, 2), (5, 1)])
def test_dask_threads_match_serial(batch, problem, serial, block, workers):
    pytest.importorskip("dask.array")
    shared, stack, _ = problem
    np.testing.assert_array_equal(batch.run_dask_threads(stack, shared, block, workers, False), serial)


def test_dask_cluster_matches_serial(batch, problem, serial):
    pytest.importorskip("dask.distributed")
    shared, stack, _ = problem
    # Workers in this process keep the test quick; the example starts worker processes.
    with batch.dask_client(2, processes=False) as client:
        result = batch.run_on_client(client, stack, shared, 4, False)
    np.testing.assert_array_equal(result, serial)


def test_command_line_reports_the_lines(batch):
    completed = subprocess.run(
        [sys.executable, str(EXAMPLE), "--backend", "threads", "--spectra", "6", "--channels", "512",
         "--block", "4", "--iterations", "5"],
        capture_output=True, text=True, timeout=120, check=True)
    assert "6 spectra of 512 channels, 5 iterations, blocks of 4, back-end threads" in completed.stdout
    assert all(f"{line:10.2f} " in completed.stdout for line in batch.LINES)
    assert "6/6 spectra" in completed.stderr


def test_a_block_unfolded_together_gives_each_spectrum_its_own_results(batch, problem):
    shared, stack, _ = problem
    block = stack[:7]
    np.testing.assert_array_equal(batch.analyse_block(block, shared), [batch.analyse(s, shared) for s in block])
