"""Python code that resizes an argument in the middle of a call makes the call raise BufferError
naming the argument, with the function's traceback entry; it never makes the call read or write
freed memory. Each scenario of moved_arrays.py runs in a child interpreter, where a fault would
kill only the child."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import KERNELS

SCENARIOS = {
    # A signal handler at the loop's check: the arguments read in place, the memory under a view.
    "handler_resizes_y": ("ML_EM_cy", "argument 'y'"),
    "handler_resizes_indices": ("ML_EM_cy", "argument 'indices'"),
    "handler_resizes_values": ("ML_EM_cy", "argument 'values'"),
    "handler_resizes_values_of_a_batch": ("ML_EM_many", "argument 'values'"),
    "handler_resizes_the_spectra_of_a_batch": ("ML_EM_many", "argument 'Y'"),
    "handler_resizes_the_base_of_y": ("ML_EM_cy", "argument 'y'"),
    "handler_replaces_the_state_of_values": ("ML_EM_cy", "argument 'values'"),
    # A replaced function of `np`, called while the arguments are open.
    "ones_like_resizes_values": ("ML_EM_cy", "argument 'values'"),
    "empty_like_resizes_the_result": ("ML_EM_cy", "its result np.ones_like(y)"),
    "searchsorted_resizes_the_widths": ("richardson_lucy_cy", "its working array np.empty_like(y)"),
    "searchsorted_resizes_sigma": ("build_gaussian_response", "argument 'sigma'"),
    "searchsorted_resizes_the_owner_of_a_memoryview_axis": ("build_gaussian_response", "argument 'axis'"),
    "sum_resizes_the_response_matrix": ("resampler_cy", "argument 'response_matrix'"),
    "looking_up_max_resizes_the_requested_axis": ("resampler_cy", "argument 'requested_E_axis'"),
    "handler_resizes_the_response_matrix": ("resampler_cy", "argument 'response_matrix'"),
    "zeros_resizes_x": ("multi_gaussian_cy", "argument 'x'"),
    "zeros_resizes_params": ("multi_gaussian_jacobian_cy", "argument 'params'"),
}


def run(scenario):
    child = subprocess.run([sys.executable, str(Path(__file__).with_name("moved_arrays.py")), scenario],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_a_moved_argument_raises_buffer_error(scenario):
    name, what = SCENARIOS[scenario]
    assert run(scenario) == (
        f"raised BufferError {KERNELS[name].qualname} {name}: {what} was resized or reallocated during the call; "
        "its memory can no longer be read (change arrays only while no call is reading them)")


def test_the_working_arrays_are_out_of_a_handlers_reach():
    # The handler shrinks every array NumPy made from y's subclass (x = np.ones_like(y) and the
    # rest), then stops the call: nothing was written into the memory they had.
    assert run("handler_shrinks_the_working_arrays") == f"raised Stop {KERNELS['ML_EM_cy'].qualname}"
