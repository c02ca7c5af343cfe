"""The kernels' native tests (tests/native): every vector path against its scalar twin and the
plain algorithms, without Python. Runs the executable that the build makes beside the modules."""

import os
import re
import subprocess
from pathlib import Path

import pytest

NAME = "native_tests"


def executable(module):
    """VEXORA_NATIVE_TESTS, or the executable of the build tree that `module` was loaded from (an
    editable installation's: build/release, or another for another interpreter or build option);
    None when neither exists."""
    configured = os.environ.get("VEXORA_NATIVE_TESTS")
    if configured:
        return Path(configured)
    # <build>/vexora/utils/numerics/kernels/<module>.so
    built = Path(module.__file__).resolve().parents[4] / "tests" / "native" / NAME
    return built if built.is_file() else None


# Native tests whose results depend on the exp the kernels select (the starts of their names):
# the runs on other exp paths take these alone; the threads' and the sums' tests run once.
EXP_DEPENDENT = ("exp_", "peaks_", "response_", "builder_")


@pytest.mark.parametrize("chosen", [pytest.param(EXP_DEPENDENT, marks=pytest.mark.exp, id="exp-dependent"),
                                    pytest.param(tuple(f"-{start}" for start in EXP_DEPENDENT), id="the rest")])
def test_native_kernels(chosen):
    # In the editable installation, importing the package rebuilds what changed, the tests included.
    path = executable(pytest.importorskip("vexora.utils.numerics.kernels.deconvolution"))
    if path is None:
        pytest.skip(f"no build tree with tests/native/{NAME} (an installed package has none)")
    assert path.is_file(), f"VEXORA_NATIVE_TESTS names {path}, which does not exist"
    result = subprocess.run([path, *chosen], capture_output=True, text=True)
    output = f"{path} exited with {result.returncode}\n{result.stdout}{result.stderr}"
    assert result.returncode == 0, output
    last = result.stdout.splitlines()[-1:] or [""]
    summary = re.fullmatch(r"(\d+) passed, (\d+) failed", last[0])
    assert summary and int(summary[1]) > 0 and summary[2] == "0", output
    ran = re.findall(r"^(\w+): \d+ passed, \d+ failed$", result.stdout, re.MULTILINE)
    assert ran and all(name.startswith(EXP_DEPENDENT) == (chosen is EXP_DEPENDENT) for name in ran), output
