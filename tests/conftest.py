"""The table of exported kernels, sample arguments and helpers shared by the tests."""

import importlib
import re
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

PACKAGE = "vexora.utils.numerics.kernels"


@dataclass(frozen=True)
class Kernel:
    module: str
    name: str
    line: int  # line of definition; parameter i is declared on line + 1 + i
    params: tuple[str, ...]
    defaults: tuple | None

    dotted_module = property(lambda self: f"{PACKAGE}.{self.module}")
    qualname = property(lambda self: f"{self.dotted_module}.{self.name}")
    path = property(lambda self: self.dotted_module.replace(".", "/"))
    required = property(lambda self: len(self.params) - len(self.defaults or ()))

    def load(self):
        # Skips while a module has not been built yet, so the suite grows with the package.
        return getattr(pytest.importorskip(self.dotted_module), self.name)

    def param_line(self, param):
        return self.line + 1 + self.params.index(param)


FLAGS = ("iterations", "reg_tikhonov", "reg_tikhonov_lambda", "use_sensitivity")
KERNELS = {k.name: k for k in [
    Kernel("deconvolution", "ML_EM_cy", 162,
           ("y", "offsets", "indices", "values", "sensitivity", *FLAGS), (30, False, 0.001, False)),
    Kernel("deconvolution", "build_gaussian_response", 260, ("axis", "sigma", "nsigma"), (5.0,)),
    Kernel("deconvolution", "richardson_lucy_cy", 307,
           ("x", "y", "k", "sensitivity", *FLAGS), (30, False, 0.001, False)),
    Kernel("resampler", "calculate_regions", 69, ("E_p", "max_value", "has_escape_peaks"), None),
    Kernel("resampler", "resampler_cy", 162,
           ("response_matrix", "ref_indices", "ref_E_axis", "requested_indices", "requested_E_axis"),
           None),
    Kernel("gaussian", "multi_gaussian_cy", 12, ("x", "params"), None),
    Kernel("gaussian", "multi_gaussian_jacobian_cy", 40, ("x", "params"), None),
    Kernel("batch", "ML_EM_many", 12, ("Y", "offsets", "indices", "values", "sensitivity", "iterations"), (30,)),
    Kernel("batch", "richardson_lucy_many", 30, ("x", "Y", "k", "sensitivity", "iterations"), (30,)),
]}
MODULES = sorted({k.module for k in KERNELS.values()})

# Test modules whose results depend on which exp or vector width the kernels select, or on the C
# library's: the runs that change only that (libm forced, four lanes forced, libm without FMA,
# other glibc releases) take these alone, with -m exp.
EXP_DEPENDENT = {"test_batch", "test_deconvolution", "test_exact_exp", "test_exact_paths", "test_exp_shims",
                 "test_gaussian", "test_import", "test_ml_em_many", "test_parallel_calls", "test_properties"}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.module.__name__.rpartition(".")[2] in EXP_DEPENDENT:
            item.add_marker(pytest.mark.exp)


def sample_args(name):
    """Fresh valid values for every parameter of a kernel, non-default where there is one."""
    axis = np.linspace(1.0, 11.0, 11)
    ref_E = np.array([500.0, 1500.0, 2500.0])
    channels = np.linspace(0.0, 3000.0, 31)
    return {
        "ML_EM_cy": [np.array([1.0, 2.0, 3.0]), np.array([0, 2, 3, 4], dtype=np.int64),
                     np.array([0, 1, 1, 2], dtype=np.int32), np.array([0.5, 0.5, 1.0, 1.0]),
                     np.array([1.0, 0.5, 2.0]), 3, True, 2.0, True],
        "build_gaussian_response": [axis, np.full(11, 0.7), 3.0],
        "richardson_lucy_cy": [axis, np.linspace(5.0, 1.0, 11), 1.0, np.ones(11), 4, None, 2.0, True],
        "calculate_regions": [2000.0, 3000.0, True],
        "resampler_cy": [np.vstack([np.exp(-((channels - e) ** 2) / 2e4) + 0.01 for e in ref_E]),
                         ref_E, channels, np.array([2200.0, 1000.0]), np.linspace(0.0, 3000.0, 16)],
        "multi_gaussian_cy": [np.linspace(-1.0, 1.0, 5), np.array([2.0, 0.1, 0.5, 1.0, -0.3, 0.2])],
        "multi_gaussian_jacobian_cy": [np.linspace(-1.0, 1.0, 5), np.array([2.0, 0.1, 0.5])],
        "ML_EM_many": [np.array([[1.0, 2.0, 3.0], [0.0, 4.0, 1.0]]), np.array([0, 2, 3, 4], dtype=np.int64),
                       np.array([0, 1, 1, 2], dtype=np.int32), np.array([0.5, 0.5, 1.0, 1.0]),
                       np.array([1.0, 0.5, 2.0]), 3],
        "richardson_lucy_many": [axis, np.vstack([np.linspace(5.0, 1.0, 11), np.ones(11)]), 1.0, np.ones(11), 4],
    }[name]


def call_with(name, **replaced):
    """Calls a kernel by keyword with its sample values, some of them replaced."""
    kernel = KERNELS[name]
    return kernel.load()(**dict(zip(kernel.params, sample_args(name))) | replaced)


EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def import_example(name):
    """The module of examples/<name>.py, imported without leaving examples/ on the path."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(EXAMPLES))


def exact(message):
    """Pattern for pytest.raises(match=...) that accepts only this whole message. pytest matches
    the message followed by the exception's notes, one a line, so what follows must be a new line."""
    return rf"^{re.escape(message)}(?:\n|\Z)"


def assert_identical(a, b):
    """Bit-for-bit equality of kernel results (arrays, lists and tuples of them, numbers)."""
    if isinstance(a, np.ndarray):
        assert isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
        assert np.array_equal(a, b, equal_nan=True)
    elif isinstance(a, (list, tuple)):
        assert type(a) is type(b) and len(a) == len(b)
        for x, y in zip(a, b):
            assert_identical(x, y)
    else:
        assert type(a) is type(b) and a == b


def traceback_entries(excinfo):
    """(file name, line, function name) of every traceback entry, outermost first."""
    found, tb = [], excinfo.tb
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_filename, tb.tb_lineno, tb.tb_frame.f_code.co_name))
        tb = tb.tb_next
    return found


def csr_rows(result):
    """The rows of a CSR result as (columns, values)."""
    offsets, indices, values = result
    return [(indices[a:b], values[a:b]) for a, b in zip(offsets[:-1], offsets[1:])]


def read_only(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def strided(a):
    """a in every other element of a larger buffer whose gaps hold values that would change
    any result that read them."""
    junk = 1e300 if a.dtype.kind == "f" else np.iinfo(a.dtype).max
    wide = np.full(tuple(2 * n for n in a.shape), junk, dtype=a.dtype)
    view = wide[(slice(None, None, 2),) * a.ndim]
    view[...] = a
    return view


@pytest.fixture
def quiet(capfd, monkeypatch):
    """Fails the test if anything is printed to stderr or reaches sys.unraisablehook."""
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    yield
    assert unraisable == []
    assert capfd.readouterr().err == ""
