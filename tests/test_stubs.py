"""The type stubs (*.pyi) agree with the compiled modules and type real calls correctly."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
MODULES = [f"vexora.utils.numerics.kernels.{name}" for name in ("deconvolution", "resampler", "gaussian", "batch")]

pytest.importorskip("mypy")


def run_in_root(*args):
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)


def test_stubtest_finds_no_difference():
    # Names, parameter names and kinds, and defaults of the stubs against the live modules.
    result = run_in_root("mypy.stubtest", *MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


# Correct calls must type-check with the documented result types; each wrong call must be
# rejected, or mypy reports its `type: ignore` as unused.
USAGE = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

from vexora.utils.numerics.kernels.deconvolution import (
    ML_EM_cy, build_gaussian_response, richardson_lucy_cy)
from vexora.utils.numerics.kernels.gaussian import multi_gaussian_cy, multi_gaussian_jacobian_cy
from vexora.utils.numerics.kernels.resampler import calculate_regions, resampler_cy

Csr = tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float64]]
axis = np.linspace(1.0, 10.0, 10)
peak = np.array([1.0, 5.0, 2.0])
offsets, indices, values = build_gaussian_response(axis, 0.1 * axis)

assert_type(build_gaussian_response(axis, axis, nsigma=3.0), Csr)
assert_type(ML_EM_cy(axis, offsets, indices, values, None, iterations=5, reg_tikhonov=None),
            NDArray[np.float64])
assert_type(richardson_lucy_cy(axis, axis, 0.01, np.ones(10), use_sensitivity=True), NDArray[np.float64])
assert_type(calculate_regions(662.0, 3000.0, None), list[float])
assert_type(resampler_cy(np.ones((2, 10)), axis[:2], axis, axis[1:2], axis), Csr)
assert_type(multi_gaussian_cy(axis, peak), NDArray[np.float64])
assert_type(multi_gaussian_jacobian_cy(axis, peak), NDArray[np.float64])

ML_EM_cy(axis, indices, offsets, values, None)  # type: ignore[arg-type]
ML_EM_cy(axis, offsets, indices, values, None, reg_tikhonov=0.5)  # type: ignore[arg-type]
calculate_regions(662.0, 3000.0, "yes")  # type: ignore[arg-type]
resampler_cy(None, axis, axis, axis, axis)  # type: ignore[arg-type]
multi_gaussian_cy(None, peak)  # type: ignore[arg-type]
multi_gaussian_jacobian_cy(axis, None)  # type: ignore[arg-type]
"""


def test_stubs_type_calls(tmp_path):
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent(USAGE))
    result = run_in_root("mypy", "--strict", "--warn-unused-ignores", str(usage))
    assert result.returncode == 0, result.stdout + result.stderr


def stub_docstrings():
    """(module, name, docstring) of every module and function documented in the stubs."""
    import ast

    found = []
    for module in MODULES:
        stub = ROOT.joinpath(*module.split(".")).with_suffix(".pyi")
        tree = ast.parse(stub.read_text())
        found.append((module, None, ast.get_docstring(tree)))
        found += [(module, node.name, ast.get_docstring(node)) for node in tree.body
                  if isinstance(node, ast.FunctionDef)]
    return found


@pytest.mark.parametrize("module, name, docstring", stub_docstrings(),
                         ids=[f"{m.rsplit('.', 1)[1]}.{n or 'module'}" for m, n, _ in stub_docstrings()])
def test_stub_docstrings_document_and_their_examples_run(module, name, docstring):
    import doctest
    import importlib

    live = importlib.import_module(module)
    assert docstring, "undocumented"
    if name is None:
        return
    assert getattr(live, name).__doc__ is None  # the documentation lives in the stubs only
    for section in ("Parameters", "Returns", "Raises", "Notes", "Examples"):
        assert f"\n{section}\n" in docstring, section
    test = doctest.DocTestParser().get_doctest(docstring, vars(live).copy(), f"{module}.{name}", None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0


def test_pydoc_shows_the_stub_documentation():
    stub = ROOT / "vexora/utils/numerics/kernels/deconvolution.pyi"
    result = subprocess.run([sys.executable, "-m", "pydoc", str(stub)], capture_output=True, text=True,
                            timeout=60, env={"PAGER": "cat", "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    assert "rows = channels = ``len(y)``" in result.stdout and "FWHM = k * E**1.5" in result.stdout


def test_a_project_outside_the_repository_finds_the_stubs_through_mypypath(tmp_path):
    # The editable install's import hook hides the package from mypy; MYPYPATH (README) finds it.
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent(USAGE))
    env = {"PATH": "/usr/bin:/bin", "MYPYPATH": str(ROOT)}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores",
                             "--cache-dir", str(ROOT / ".mypy_cache"), str(usage)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
