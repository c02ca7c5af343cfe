"""Traceback entries that the kernels add to the exceptions they raise."""

import sys
import traceback

import pytest

from conftest import KERNELS, sample_args


def entries(excinfo):
    """(file name, line, function name) of every traceback entry, outermost first."""
    found, tb = [], excinfo.tb
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_filename, tb.tb_lineno, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    return found


def raise_from(name, **replaced):
    """Calls a kernel with its sample values, some replaced, and returns the ExceptionInfo."""
    kernel = KERNELS[name]
    f = kernel.load()
    kwargs = dict(zip(kernel.params, sample_args(name))) | replaced
    with pytest.raises(Exception) as excinfo:
        f(**kwargs)
    return excinfo


def assert_single_entry(excinfo, name, line):
    kernel = KERNELS[name]
    found = entries(excinfo)
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


def test_printed_entry_of_calculate_regions(quiet):
    f = KERNELS["calculate_regions"].load()
    with pytest.raises(TypeError) as excinfo:
        f(foo=1)
    assert traceback.format_exception(excinfo.value)[-2] == (
        '  File "vexora/utils/numerics/kernels/resampler", line 69, '
        "in vexora.utils.numerics.kernels.resampler.calculate_regions\n")


# Conversions report the line of their parameter's declaration; type tests the definition line.
@pytest.mark.parametrize("name, param, bad, at_param_line", [
    ("calculate_regions", "E_p", "x", True),
    ("calculate_regions", "max_value", "x", True),
    ("calculate_regions", "has_escape_peaks", 1, False),
    ("resampler_cy", "requested_E_axis", [], False),
    ("multi_gaussian_cy", "x", [], False),
    ("multi_gaussian_jacobian_cy", "params", [], False),
    ("ML_EM_cy", "iterations", "x", True),
    ("ML_EM_cy", "reg_tikhonov_lambda", "x", True),
    ("ML_EM_cy", "y", [], False),
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


def test_entries_share_cached_code_and_module_globals(quiet):
    f = KERNELS["calculate_regions"].load()
    first, second = (raise_from("calculate_regions", E_p="x").tb for _ in range(2))
    while first.tb_next is not None:
        first, second = first.tb_next, second.tb_next
    assert first.tb_frame.f_code is second.tb_frame.f_code
    assert first.tb_frame.f_globals is vars(sys.modules[f.__module__])
