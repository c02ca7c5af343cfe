"""Inputs that try to make the kernels read or write outside their memory: stride-less
exporters, sizes that do not fit, a misbehaving NumPy, memory written by another process.
Each scenario of hostile.py runs in a child interpreter, so that a crash fails one test."""

import os
import subprocess
import sys

import pytest

import hostile

@pytest.mark.parametrize("scenario", hostile.SCENARIOS)
def test_scenario_in_child_interpreter(scenario):
    here = os.path.dirname(__file__)
    child = subprocess.run([sys.executable, "-P", hostile.__file__, scenario], cwd=here, capture_output=True,
                           text=True, timeout=120, env=os.environ | {"PYTHONPATH": here})
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}\n{child.stderr}"
