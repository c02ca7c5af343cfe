"""Traceback entries that the kernels add to the exceptions they raise."""

import sys
import traceback

import numpy as np
import pytest

from conftest import KERNELS, sample_args, traceback_entries


def raise_from(name, **replaced):
    """Calls a kernel from this file with its sample values, some replaced."""
    kernel = KERNELS[name]
    with pytest.raises(Exception) as excinfo:
        kernel.load()(**dict(zip(kernel.params, sample_args(name))) | replaced)
    return excinfo


def assert_single_entry(excinfo, name, line):
    kernel = KERNELS[name]
    found = traceback_entries(excinfo)
    # The kernel's entry directly follows the calling frame and is the only one it adds.
    assert found[-1] == (kernel.path, line, kernel.qualname)
    assert found[-2][0] == __file__
    assert len(found) == 2 or found[-3][0] != kernel.path


@pytest.mark.parametrize("name", KERNELS)
def test_binding_error_is_reported_at_definition(name, quiet):
    kernel = KERNELS[name]
    with pytest.raises(TypeError) as excinfo:
        kernel.load()()
    assert_single_entry(excinfo, name, kernel.line)
    printed = traceback.format_exception(excinfo.value)
    assert f'  File "{kernel.path}", line {kernel.line}, in {kernel.qualname}\n' in printed


# Conversions report the line of their parameter's declaration; type tests the definition line
# (test_arrays checks the type tests of every array parameter).
@pytest.mark.parametrize("name, param, bad, at_param_line", [
    ("calculate_regions", "E_p", "x", True),
    ("calculate_regions", "max_value", "x", True),
    ("calculate_regions", "has_escape_peaks", 1, False),
    ("ML_EM_cy", "iterations", "x", True),
    ("ML_EM_cy", "reg_tikhonov_lambda", "x", True),
    ("ML_EM_cy", "use_sensitivity", 1, False),
    ("build_gaussian_response", "axis", [], True),
    ("build_gaussian_response", "sigma", [], True),
    ("build_gaussian_response", "nsigma", "x", True),
    ("richardson_lucy_cy", "k", "x", True),
    ("richardson_lucy_cy", "iterations", "x", True),
    ("richardson_lucy_cy", "reg_tikhonov_lambda", "x", True),
    ("richardson_lucy_cy", "reg_tikhonov", 1, False),
])
def test_argument_error_is_reported_at_its_line(name, param, bad, at_param_line, quiet):
    kernel = KERNELS[name]
    excinfo = raise_from(name, **{param: bad})
    assert excinfo.type is TypeError
    assert_single_entry(excinfo, name, kernel.param_line(param) if at_param_line else kernel.line)


def test_error_found_in_the_work_names_the_kernel(quiet):
    excinfo = raise_from("resampler_cy", requested_indices=np.array([5000.0]))
    assert excinfo.type is ValueError
    path, _, function = traceback_entries(excinfo)[-1]
    assert (path, function) == (KERNELS["resampler_cy"].path, KERNELS["resampler_cy"].qualname)


def test_entries_share_cached_code_and_module_globals(quiet):
    f = KERNELS["calculate_regions"].load()
    first, second = (raise_from("calculate_regions", E_p="x").tb for _ in range(2))
    while first.tb_next is not None:
        first, second = first.tb_next, second.tb_next
    assert first.tb_frame.f_code is second.tb_frame.f_code
    assert first.tb_frame.f_globals is vars(sys.modules[f.__module__])


class NumpyExcept:
    """The numpy module with some attributes replaced."""

    def __init__(self, **replaced):
        self.replaced = replaced

    def __getattr__(self, name):
        return self.replaced[name] if name in self.replaced else getattr(np, name)


def refuse(*args, **kwargs):
    raise RuntimeError("refused")


# Statements inside a function report their own fixed lines, which the function's source may not
# move: the resampler's checks, the maximum of the requested axis (in the row interpolation it
# calls), the reference rows' sums and the built rows' sums.
@pytest.mark.parametrize("numpy_replaced, replaced, line, inner", [
    ({}, {"requested_indices": np.array([5000.0])}, 170, None),
    ({}, {"requested_E_axis": np.array([])}, 182, ("interpolate_response_row", 111)),
    ({"sum": refuse}, {}, 179, None),
    ({"nansum": refuse}, {}, 184, None),
], ids=["checks", "axis maximum", "reference row sum", "row sum"])
def test_resampler_statements_report_their_lines(numpy_replaced, replaced, line, inner, monkeypatch, quiet):
    kernel = KERNELS["resampler_cy"]
    module = sys.modules[kernel.load().__module__]
    monkeypatch.setattr(module, "np", NumpyExcept(**numpy_replaced))
    excinfo = raise_from("resampler_cy", **replaced)
    expected = [(kernel.path, line, kernel.qualname)]
    if inner:
        expected.append((kernel.path, inner[1], f"{kernel.dotted_module}.{inner[0]}"))
    assert [entry for entry in traceback_entries(excinfo) if entry[0] == kernel.path] == expected
