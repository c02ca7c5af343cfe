"""Which executor runs one spectrum's ML-EM (batch._plan says, and why): one thread, the pipeline
or the split, by the matrix's shape and the threads at hand. Every plan gives the same bits; these
tests pin the choice, and that ML_EM_many's single spectrum runs as ML_EM_cy does."""

import numpy as np
import pytest

from test_threads_ml_em import HPGE_K, NAI_K, matrix, same_bits, thread_count

batch = pytest.importorskip("vexora.utils.numerics.kernels.batch")
deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")


def plan(kind, n, k, threads):
    offsets, indices, values = matrix(kind, n, np.random.default_rng(n), k)
    return batch._plan(offsets, indices, values, n, threads)


@pytest.mark.parametrize(("kind", "n", "k", "threads", "strategy", "reason"), [
    # Narrow Gaussian rows cross few cuts: the pipeline hands few sums on.
    ("runs", 16384, HPGE_K, 2, "pipeline", "1 % of the entries in groups that reach several"),
    ("runs", 16384, HPGE_K, 4, "pipeline", "3 % of the entries"),
    ("negative", 16384, HPGE_K, 2, "pipeline", "1 % of the entries"),
    ("empty", 20001, HPGE_K, 2, "pipeline", "1 % of the entries"),
    ("runs", 2048, NAI_K, 2, "pipeline", "72 % of the entries"),
    # Rows that reach across the axis: the split, whose threads meet twice an iteration.
    ("runs", 2048, NAI_K, 4, "split", "86 % of the entries"),
    ("runs", 2051, None, 2, "split", "91 % of the entries"),
    ("non_finite", 2051, None, 2, "split", "91 % of the entries"),
    ("scattered", 2048, NAI_K, 2, "split", "97 % of the entries"),
    # Rows that are not runs (gaps, unsorted or repeated columns) go faster on one thread.
    ("gapped", 16384, HPGE_K, 2, "one thread", "71 % of the entries in rows that are not runs"),
    ("unsorted", 2051, None, 8, "one thread", "33 % of the entries in rows that are not runs"),
    ("repeated", 2048, NAI_K, 2, "one thread", "27 % of the entries in rows that are not runs"),
    ("scattered", 16384, HPGE_K, 2, "one thread", "17 % of the entries in rows that are not runs"),
    ("runs", 16384, HPGE_K, 1, "one thread", "one thread: 1 thread available"),
])
def test_the_plan_follows_the_shape_of_the_matrix(kind, n, k, threads, strategy, reason):
    chosen, why = plan(kind, n, k, threads)
    assert (chosen, why.startswith(strategy + ":"), reason in why) == (strategy, True, True), why


@pytest.mark.parametrize(("n", "width", "reason"), [
    (10, 10, "one thread: 10 rows, fewer than two groups of"),
    (1000, 11, "one thread: 11000 entries < 2^19"),
    (0, 0, "one thread: 0 rows"),
])
def test_small_matrices_run_on_one_thread(n, width, reason):
    columns = (np.arange(n)[:, None] + np.arange(width)[None, :]) % max(n, 1)
    offsets = np.arange(n + 1, dtype=np.int64) * width
    chosen, why = batch._plan(offsets, columns.ravel().astype(np.int32), np.ones(n * width), n, 8)
    assert (chosen, why.startswith(reason)) == ("one thread", True), why


@pytest.mark.parametrize(("kind", "n", "k"), [("runs", 2048, NAI_K), ("runs", 2051, None), ("empty", 16384, HPGE_K)])
def test_ml_em_many_runs_one_spectrum_as_ml_em_cy_does(kind, n, k):
    rng = np.random.default_rng(3)
    offsets, indices, values = matrix(kind, n, rng, k)
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    sensitivity = rng.uniform(0.5, 1.5, n)
    with thread_count(1):
        expected = deconvolution.ML_EM_cy(y, offsets, indices, values, sensitivity, 7)
    for count in (1, 2, 4):
        with thread_count(count):
            got = batch.ML_EM_many(y[np.newaxis], offsets, indices, values, sensitivity, 7)
        assert got.shape == (1, n) and same_bits(got[0], expected), count


def test_plan_reports_bad_arguments():
    offsets = np.array([0, 1, 2], dtype=np.int64)
    indices = np.array([0, 5], dtype=np.int32)
    with pytest.raises(ValueError, match="n >= 0 and threads >= 1"):
        batch._plan(offsets, indices, np.ones(2), -1, 2)
    with pytest.raises(ValueError, match="n >= 0 and threads >= 1"):
        batch._plan(offsets, indices, np.ones(2), 2, 0)
    with pytest.raises(IndexError):  # column 5 of a 2-row matrix
        batch._plan(offsets, indices, np.ones(2), 2, 2)
    with pytest.raises(ValueError, match="dtype mismatch") as raised:
        batch._plan(offsets.astype(np.int32), indices, np.ones(2), 2, 2)
    assert "pass indptr.astype(np.int64)" in str(raised.value.__notes__)
