"""Each kernel library exports its entry point and nothing else, and binds its own calls itself.

A library that exported its internal functions (multi-versioned functions do, unless the link
keeps them local) would call them through the PLT: a library loaded before it that defines the
same name (LD_PRELOAD, or an extension imported with RTLD_GLOBAL) would then run in its place.
"""

import os
import pickle
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import PACKAGE, assert_identical, sample_args

MODULES = ["deconvolution", "resampler", "gaussian", "batch", "_exact_exp"]


def library(module):
    return pytest.importorskip(f"{PACKAGE}.{module}").__file__


def run_tool(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, f"{' '.join(command)} failed: {result.stderr}"
    return result.stdout


def exported_symbols(path):
    """Names of the symbols that the library defines in its dynamic symbol table."""
    if shutil.which("nm"):
        lines = run_tool("nm", "-D", "--defined-only", path).splitlines()
        # "value type name", or "type name" for symbols without a value.
        return sorted(line.split()[-1] for line in lines if line.strip())
    if shutil.which("readelf"):
        names = []
        for line in run_tool("readelf", "--dyn-syms", "--wide", path).splitlines():
            # Num: Value Size Type Bind Vis Ndx Name
            fields = line.split()
            if len(fields) >= 8 and fields[0].rstrip(":").isdigit() and fields[6] != "UND":
                names.append(fields[7])
        return sorted(names)
    pytest.skip("neither nm nor readelf is installed: cannot read the dynamic symbol table")


def strip_version(name):
    return name.split("@", 1)[0]


@pytest.mark.parametrize("module", MODULES)
def test_only_the_entry_point_is_exported(module):
    exported = [strip_version(name) for name in exported_symbols(library(module))]
    assert exported == [f"PyInit_{module}"]


def undefined_symbols(path):
    """(type, name@version) of the symbols the library takes from others, from its dynamic table."""
    if not shutil.which("nm"):
        pytest.skip("nm is not installed: cannot read the dynamic symbol table")
    lines = run_tool("nm", "-D", "--undefined-only", "--with-symbol-versions", path).splitlines()
    return [tuple(line.split()[-2:]) for line in lines if line.strip()]


def needed_libraries(path):
    if not shutil.which("readelf"):
        pytest.skip("readelf is not installed: cannot read the dynamic section")
    return sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", run_tool("readelf", "-d", path)))


@pytest.mark.parametrize("module", MODULES)
def test_links_the_c_library_alone(module):
    """The C library, its maths and threads libraries, and nothing of the C++ runtime, which would
    tie the library to the C library it was built on; and every symbol taken from them is bound to
    a version of a library the module names, none left to whatever the process happens to load."""
    path = library(module)
    needed = needed_libraries(path)
    if any(name.startswith(("libasan", "libubsan")) for name in needed):
        pytest.skip("a sanitized build links the sanitizers' runtimes")
    assert set(needed) <= {"libc.so.6", "libm.so.6", "libpthread.so.0"}, needed
    unbound = [name for kind, name in undefined_symbols(path)
               if kind == "U" and "@" not in name and not name.startswith(("Py", "_Py"))]
    assert unbound == [], unbound


def internal_functions(path):
    """The mangled names of the library's own C++ functions, from its full symbol table, without
    the suffixes of clones (`.avx2`, `.default`, `.resolver`, `.isra.0`, ...)."""
    if not shutil.which("nm"):
        pytest.skip("nm is not installed: cannot read the library's symbol table")
    result = subprocess.run(["nm", "--defined-only", path], capture_output=True, text=True)
    if result.returncode != 0 or "no symbols" in result.stderr:
        pytest.skip(f"{path} has no symbol table (stripped)")
    names = set()
    for line in result.stdout.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "tTiWw" and fields[2].startswith("_ZN6vexora"):
            names.add(fields[2].split(".", 1)[0])
    return sorted(names)


CHILD = """
import pickle, sys
from vexora.utils.numerics.kernels import deconvolution, gaussian, resampler
modules = {"deconvolution": deconvolution, "gaussian": gaussian, "resampler": resampler}
results = [getattr(modules[module], name)(*args) for module, name, args in pickle.load(sys.stdin.buffer)]
pickle.dump(results, sys.stdout.buffer)
"""

CALLS = [
    # Two channels, each its own row of weight 1: about [2, 2], or [1, 1] if the iterations did nothing.
    ("deconvolution", "ML_EM_cy", (np.array([2.0, 2.0]), np.array([0, 1, 2], dtype=np.int64),
                                   np.array([0, 1], dtype=np.int32), np.array([1.0, 1.0]), np.ones(2), 5)),
    *[(module, name, tuple(sample_args(name))) for module, name in [
        ("deconvolution", "ML_EM_cy"), ("deconvolution", "build_gaussian_response"),
        ("deconvolution", "richardson_lucy_cy"), ("resampler", "calculate_regions"),
        ("resampler", "resampler_cy"), ("gaussian", "multi_gaussian_cy"),
        ("gaussian", "multi_gaussian_jacobian_cy")]],
]


def test_preloaded_library_cannot_replace_internal_functions(tmp_path):
    if os.environ.get("VEXORA_EMULATED"):
        pytest.skip("under emulation a preloaded library would load into the emulator, not the interpreter")
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the preloaded library")
    names = sorted({name for module in ("deconvolution", "resampler", "gaussian")
                    for name in internal_functions(library(module))})
    # The kernels' loops at least must be there, or the test would prove nothing.
    assert any("sweep_iterations" in name for name in names), names
    assert any("interpolate_run" in name for name in names), names
    # Each a function that does nothing: a kernel calling it instead of its own returns its input.
    source = tmp_path / "interposer.c"
    source.write_text("".join(f'void interposer_{i}(void) __asm__("{name}");\nvoid interposer_{i}(void) {{}}\n'
                              for i, name in enumerate(names)))
    shared = tmp_path / "libinterposer.so"
    run_tool(compiler, "-shared", "-fPIC", "-o", str(shared), str(source))
    # Sanitizer runtimes, when preloaded, must stay first.
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shared)]))
    child = subprocess.run([sys.executable, "-P", "-c", CHILD], input=pickle.dumps(CALLS), capture_output=True,
                           env=dict(os.environ, LD_PRELOAD=preload), timeout=300)
    assert child.returncode == 0, child.stderr.decode()
    preloaded = pickle.loads(child.stdout)
    for (module, name, args), there in zip(CALLS, preloaded):
        here = getattr(pytest.importorskip(f"{PACKAGE}.{module}"), name)(*args)
        assert_identical(here, there)
