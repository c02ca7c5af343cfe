"""A C library exp that differs from the vector sequence only where the kernels evaluate it.

A shim preloaded into a child interpreter wraps the C library's exp and flips the last bit of its
result on some inputs. Where the flipped inputs are ones the kernels use (small exponents near
the peaks, exactly -0.5 at one width), the choice at import must notice and fall back to the C
library's exp, so that the kernels still return exactly what the process's (shimmed) exp returns.
"""

import os
import pickle
import shutil
import subprocess
import sys

import numpy as np
import pytest

from vexora.utils.numerics.kernels import deconvolution, gaussian

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

/* The C library's exp with the last bit of its result flipped for LOW <= x <= HIGH. */
double exp(double x) {
    static double (*library)(double);
    if (library == NULL) {
        library = (double (*)(double))dlsym(RTLD_NEXT, "exp");
    }
    double y = library(x);
    if (x >= LOW && x <= HIGH) {
        uint64_t bits;
        memcpy(&bits, &y, sizeof bits);
        bits ^= 1;
        memcpy(&y, &bits, sizeof bits);
    }
    return y;
}
"""

# In the child: the path its modules chose, then the builder's rows and the model's values beside
# the same computed in Python with math.exp, which the shim wraps too.
CHILD = """
import math, pickle, sys
import numpy as np
from vexora.utils.numerics.kernels import _exact_exp, deconvolution, gaussian
axis, sigma, x = pickle.load(sys.stdin.buffer)
offsets, indices, values = deconvolution.build_gaussian_response(axis, sigma, 5.0)
expected = []
for i in range(len(axis)):
    z = (axis[indices[offsets[i]:offsets[i + 1]]] - axis[i]) / sigma[i]
    weights = [math.exp(e) for e in (z * -0.5) * z]
    norm = 0.0
    for w in weights:  # in order, as the builder sums a row
        norm += w
    expected.extend(w / norm for w in weights)
model = gaussian.multi_gaussian_cy(x, np.array([1.0, 0.0, 1.0]))
model_expected = [math.exp(e) for e in ((-0.5 * x) * x) / 1.0]
pickle.dump((_exact_exp.path(), values, np.array(expected), model, np.array(model_expected)), sys.stdout.buffer)
"""

# Integer bins; widths of 5 bins (x = k/5: exactly 1 at five bins, 2 to 2.4 at ten to twelve) and
# of 100 (x = k/100: exponents from -5e-5 down), alternating.
AXIS = np.arange(300.0)
SIGMA = np.where(np.arange(300) % 2 == 0, 5.0, 100.0)
# The model at steps of 1/2000 about its centre: exponents from -1.25e-7, -0.5 at x = +-1.
X = np.arange(-12_000, 12_001) / 2000.0


def elf_machine(path):
    with open(path, "rb") as f:
        return f.read(20)[18:20]


def glibc():
    try:
        return (os.confstr("CS_GNU_LIBC_VERSION") or "").startswith("glibc ")
    except (ValueError, OSError):
        return False


@pytest.fixture(scope="module")
def build_shim(tmp_path_factory):
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler (cc) to build the shim")
    if not glibc():
        pytest.skip("the shim finds the C library's exp with glibc's dlsym(RTLD_NEXT)")
    folder = tmp_path_factory.mktemp("shims")
    (folder / "shim.c").write_text(SHIM)

    def build(low, high):
        library = folder / f"shim-{low.hex()}-{high.hex()}.so"
        command = [compiler, "-shared", "-fPIC", "-O2", "-fno-builtin", f"-DLOW=({low.hex()})",
                   f"-DHIGH=({high.hex()})", str(folder / "shim.c"), "-o", str(library), "-ldl"]
        built = subprocess.run(command, capture_output=True, text=True, timeout=120)
        assert built.returncode == 0, f"{' '.join(command)}\n{built.stderr}"
        if elf_machine(library) != elf_machine(sys.executable):
            pytest.skip("cc builds for another architecture than this interpreter's")
        return library

    return build


def run_child(shim):
    # The choice must run in the child: VEXORA_EXACT_EXP would skip it. Sanitizer runtimes
    # already preloaded stay first.
    environment = {k: v for k, v in os.environ.items() if k != "VEXORA_EXACT_EXP"}
    if shim is not None:
        environment["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    child = subprocess.run([sys.executable, "-P", "-c", CHILD], input=pickle.dumps((AXIS, SIGMA, X)),
                           capture_output=True, env=environment, timeout=300)
    assert child.returncode == 0, child.stderr.decode()
    return pickle.loads(child.stdout)


@pytest.fixture(scope="module")
def unshimmed():
    """The path a child chooses with the C library's own exp, and this process's kernel results
    (the same on every path)."""
    path = run_child(None)[0]
    values = deconvolution.build_gaussian_response(AXIS, SIGMA, 5.0)[2]
    return path, values, gaussian.multi_gaussian_cy(X, np.array([1.0, 0.0, 1.0]))


def differing(a, b):
    return int(np.count_nonzero(a.view(np.int64) != b.view(np.int64)))


@pytest.mark.parametrize(("low", "high"), [
    (-1e-3, -1e-12),  # the small exponents near every peak
    (-0.5, -0.5),     # one width from the centre, and nothing else
    (-3.0, -2.0),
    (1.0, 0.0),       # no input: the shim only passes calls on
], ids=["near-zero", "minus-half", "minus-3-to-2", "pass-through"])
def test_kernels_follow_a_shimmed_exp(build_shim, unshimmed, low, high):
    path, values, expected, model, model_expected = run_child(build_shim(low, high))
    # The kernels return the shimmed exp's bits, whatever path was chosen.
    mismatches = differing(values, expected), differing(model, model_expected)
    assert mismatches == (0, 0), f"builder and model values unlike the shimmed exp's on the {path} path"
    plain_path, plain_values, plain_model = unshimmed
    changed = differing(values, plain_values), differing(model, plain_model)
    if low > high:
        assert path == plain_path
        assert changed == (0, 0)
    else:
        # The shim reached both kernels, and the choice noticed it.
        assert path == "libm"
        assert changed[0] > 0 and changed[1] > 0, changed
