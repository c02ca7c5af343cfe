"""Gaussian response builder against the plain-Python reference."""

import math

import numpy as np
import pytest

import reference_deconvolution as ref
from conftest import assert_identical, exact

build_gaussian_response = pytest.importorskip(
    "vexora.utils.numerics.kernels.deconvolution").build_gaussian_response


def build_checked(axis, sigma, *nsigma):
    """Builds and checks the CSR layout that every result must have."""
    offsets, indices, values = result = build_gaussian_response(axis, sigma, *nsigma)
    assert (offsets.dtype, indices.dtype, values.dtype) == (np.int64, np.int32, np.float64)
    assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0)
    assert len(offsets) == len(axis) + 1 and len(indices) == len(values) == offsets[-1]
    return result


def rows(result):
    offsets, indices, values = result
    return [(indices[a:b], values[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


@pytest.mark.parametrize("nsigma", [5.0, 2.5, 0.3])
@pytest.mark.parametrize("seed", range(4))
def test_matches_reference_on_sorted_axes(seed, nsigma):
    rng = np.random.default_rng(seed)
    axis = np.sort(rng.uniform(0.0, 100.0, 200))
    sigma = rng.uniform(0.5, 20.0, 200)  # wide enough to cut windows at both ends
    if seed % 2:
        axis = np.round(axis)  # repeated energies, some of them delta rows
        sigma[::9] = 0.0
    assert_identical(build_checked(axis, sigma, nsigma), ref.build_gaussian_response(axis, sigma, nsigma))


@pytest.mark.parametrize("sigma", [None, np.empty(0), np.ones(3)])
@pytest.mark.parametrize("axis", [None, np.empty(0)])
def test_empty_axis(axis, sigma):
    result = build_gaussian_response(axis, sigma)
    assert_identical(result, (np.zeros(1, np.int64), np.empty(0, np.int32), np.empty(0)))


def test_one_bin():
    assert_identical(build_gaussian_response(np.array([662.0]), np.array([3.0])),
                     (np.array([0, 1]), np.array([0], np.int32), np.array([1.0])))


def test_window_includes_both_ends():
    result = rows(build_checked(np.arange(11.0), np.ones(11), 5))
    weights = [math.exp((x * -0.5) * x) for x in range(-5, 6)]
    norm = 0.0
    for w in weights:
        norm += w
    assert np.array_equal(result[5][0], np.arange(11))
    assert np.array_equal(result[5][1], [w / norm for w in weights])
    assert np.array_equal(result[0][0], np.arange(6))
    assert np.sum(result[0][1]) == pytest.approx(1.0, abs=1e-15)


def test_sigma_length():
    axis, sigma = np.linspace(0.0, 20.0, 9), np.linspace(1.0, 3.0, 12)
    assert_identical(build_gaussian_response(axis, sigma), build_gaussian_response(axis, sigma[:9].copy()))
    with pytest.raises(IndexError, match=exact("Out of bounds on buffer access (axis 0)")):
        build_gaussian_response(axis, sigma[:8])


def test_invalid_widths_give_empty_rows():
    axis = np.arange(8.0)
    sigma = np.array([1.0, -1.0, np.nan, 2.0, -np.inf, np.inf, 1.5, np.nan])
    result = build_checked(axis, sigma)
    assert [len(i) for i, _ in rows(result)][1:5] == [0, 0, 8, 0]
    assert_identical(result, ref.build_gaussian_response(axis, sigma))


def test_negative_width_and_window_cancel():
    axis, sigma = np.linspace(0.0, 30.0, 40), np.linspace(0.5, 4.0, 40)
    assert_identical(build_gaussian_response(axis, -sigma, -5.0), build_gaussian_response(axis, sigma))


@pytest.mark.parametrize("zero", [0.0, -0.0])
def test_zero_width_is_delta_row(zero):
    axis = np.array([0.0, 1.0, 1.0, 1.0, 2.5, 4.0])
    sigma = np.array([zero, zero, 1.0, zero, zero, 1.0])
    result = rows(build_checked(axis, sigma))
    expected = [([0], [1.0]), ([1, 2, 3], [1 / 3] * 3), None, ([1, 2, 3], [1 / 3] * 3), ([4], [1.0]), None]
    for (indices, values), want in zip(result, expected):
        if want:
            assert np.array_equal(indices, want[0]) and np.array_equal(values, want[1])


def test_zero_window_keeps_equal_energies():
    axis = np.array([1.0, 2.0, 2.0, 3.0])
    result = rows(build_checked(axis, np.ones(4), 0.0))
    assert [list(i) for i, _ in result] == [[0], [1, 2], [1, 2], [3]]
    assert [list(v) for _, v in result] == [[1.0], [0.5, 0.5], [0.5, 0.5], [1.0]]


def test_integer_nsigma():
    axis, sigma = np.linspace(0.0, 10.0, 30), np.full(30, 0.8)
    assert_identical(build_gaussian_response(axis, sigma, 3), build_gaussian_response(axis, sigma, 3.0))
    assert_identical(build_gaussian_response(axis, sigma), build_gaussian_response(axis, sigma, 5.0))


@pytest.mark.parametrize("seed", range(4))
def test_unsorted_axis_follows_numpy_bisection(seed):
    rng = np.random.default_rng(seed)
    axis, sigma = rng.uniform(0.0, 50.0, 60), rng.uniform(0.1, 10.0, 60)
    assert_identical(build_checked(axis, sigma), ref.build_gaussian_response(axis, sigma))


def test_nan_energies_on_sorted_axis():
    axis = np.array([0.0, 1.0, 2.0, 3.0, np.nan, np.nan])
    result = build_checked(axis, np.ones(6), 2.0)
    assert_identical(result, ref.build_gaussian_response(axis, np.ones(6), 2.0))
    assert [list(i) for i, _ in rows(result)][3:] == [[1, 2, 3], [4, 5], [4, 5]]


def test_readonly_inputs():
    axis, sigma = np.linspace(0.0, 10.0, 21), np.full(21, 1.3)
    expected = build_gaussian_response(axis, sigma)
    axis.flags.writeable = sigma.flags.writeable = False
    assert_identical(build_gaussian_response(axis, sigma), expected)
