"""The README's examples run as written."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.DOTALL)


def test_every_function_has_an_example():
    names = ["ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy", "calculate_regions", "resampler_cy",
             "multi_gaussian_cy", "multi_gaussian_jacobian_cy", "ML_EM_many", "richardson_lucy_many",
             "bootstrap_ml_em"]
    assert all(any(f"{name}(" in example for example in EXAMPLES) for name in names)


@pytest.mark.parametrize("example", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(example):
    exec(compile(example, str(README), "exec"), {})
