"""Many Python threads calling every kernel at once, as they do without the GIL.

Eight threads start together (a barrier) and call every public kernel on the same read-only
inputs; every result must be the bits of one thread's result and the inputs must come out
unchanged. On a free-threaded interpreter the calls really run at once, the model and the
Jacobian too, which keep the lock on a normal one; there the modules must also leave the GIL off
when they are imported. The kernels' own threads share one budget across all those calls, which
must be back to none running once they are over.
"""

import ctypes
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

from conftest import KERNELS, MODULES, PACKAGE

deconvolution = pytest.importorskip(f"{PACKAGE}.deconvolution")
resampler = pytest.importorskip(f"{PACKAGE}.resampler")
gaussian = pytest.importorskip(f"{PACKAGE}.gaussian")
batch = pytest.importorskip(f"{PACKAGE}.batch")

THREADS = 8
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
free_threaded_only = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")


def bits(value):
    """Everything that tells two results apart: dtypes, shapes and bytes of arrays, the bits of
    floats (so that -0.0 and NaN payloads count), types of containers."""
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(bits(v) for v in value))
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value).__name__, repr(value))


def frozen(*arrays):
    """The arrays, made read-only: no call may write them, and none needs to."""
    for a in arrays:
        a.flags.writeable = False
    return arrays


def energy_axis(n):
    return (np.arange(n) + 0.5) * (3000.0 / n)


def jobs():
    """(name, function, arguments) of every public kernel, each large enough to split over the
    kernels' own threads where the kernel splits, and small enough that the eight threads take a
    few seconds in all."""
    rng = np.random.default_rng(42)
    n = 1200
    axis = energy_axis(n)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, 0.02 * axis**1.5 / 2.35482 / 30.0 + 1.0)
    y = rng.poisson(rng.uniform(10.0, 1000.0, n)).astype(np.float64)
    Y = rng.poisson(rng.uniform(10.0, 1000.0, (9, n))).astype(np.float64)
    sensitivity = rng.uniform(0.5, 1.5, n)
    matrix = frozen(offsets, indices, values, sensitivity)

    builder_axis = energy_axis(3000)
    builder_sigma = 0.5 + 0.005 * builder_axis
    builder_sigma[::97] = 0.0  # delta rows

    rl_axis = energy_axis(800)
    rl_y = rng.poisson(rng.uniform(10.0, 500.0, 800)).astype(np.float64)

    channels = energy_axis(500)
    ref = np.sort(rng.uniform(50.0, 3000.0, 10))
    response = np.array([np.exp(-0.5 * ((channels - E) / (5 + 0.02 * E)) ** 2) + 0.3 * (channels < E) * rng.random()
                         for E in ref])

    x = np.linspace(0.0, 3000.0, 40_001)
    params = np.column_stack([rng.uniform(1, 100, 40), rng.uniform(0, 3000, 40), rng.uniform(10, 100, 40) ** 2])
    params = params.ravel()
    params[[3, 7]] = [np.nan, -0.0]

    return [
        ("ML_EM_cy", deconvolution.ML_EM_cy, [*frozen(y), *matrix, 15, True, 0.01, True]),
        ("build_gaussian_response", deconvolution.build_gaussian_response, [*frozen(builder_axis, builder_sigma), 4.0]),
        ("richardson_lucy_cy", deconvolution.richardson_lucy_cy,
         [*frozen(rl_axis, rl_y), 0.0005, *frozen(np.ones(800)), 10]),
        ("calculate_regions", resampler.calculate_regions, [1800.0, 3000.0, True]),
        ("resampler_cy", resampler.resampler_cy,
         [*frozen(response, ref, channels, rng.uniform(ref[0], ref[-1], 30), channels * 1.01 + 2.0)]),
        ("multi_gaussian_cy", gaussian.multi_gaussian_cy, [*frozen(x, params)]),
        ("multi_gaussian_jacobian_cy", gaussian.multi_gaussian_jacobian_cy, [*frozen(x[::2], params[:60])]),
        ("ML_EM_many", batch.ML_EM_many, [*frozen(Y), *matrix, 10]),
        ("richardson_lucy_many", batch.richardson_lucy_many,
         [*frozen(rl_axis, np.vstack([rl_y, rl_y[::-1], rl_y + 1.0])), 0.0005, *frozen(np.ones(800)), 8]),
    ]


def binding_error_entry(name):
    """The innermost traceback entry (file, line, function) of a call of kernel `name` with one
    positional argument too many, which fails in its binding."""
    kernel = KERNELS[name]
    with pytest.raises(TypeError) as excinfo:
        kernel.load()(*range(len(kernel.params) + 1))
    code = excinfo.tb
    while code.tb_next:
        code = code.tb_next
    return code.tb_frame.f_code.co_filename, code.tb_lineno, code.tb_frame.f_code.co_name


def budget_running():
    """Threads that the shared budget counts as running now: the first int of the object whose
    address the package's capsule holds (core/parallel.hpp, Budget)."""
    package = sys.modules[PACKAGE]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(package._thread_budget, b"vexora.utils.numerics.kernels._thread_budget.v1")
    return ctypes.c_int.from_address(address).value


def run_together(work, threads=THREADS):
    """work(t) on `threads` threads started together; the exceptions they raised, by thread."""
    start = threading.Barrier(threads)
    raised = [None] * threads

    def run(t):
        try:
            start.wait()
            work(t)
        except BaseException as error:  # reported by the test, not by the thread
            raised[t] = error

    pool = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return raised


@pytest.mark.parametrize("kernel_threads", ["1", "3", "default"])
def test_eight_threads_get_one_threads_bits(kernel_threads, monkeypatch):
    if kernel_threads == "default":
        monkeypatch.delenv("VEXORA_NUM_THREADS", raising=False)
        monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    else:
        monkeypatch.setenv("VEXORA_NUM_THREADS", kernel_threads)
    work = jobs()
    inputs = [bits(args) for _, _, args in work]
    expected = [bits(function(*args)) for _, function, args in work]
    errors = {name: binding_error_entry(name) for name in KERNELS}
    mismatches = [[] for _ in range(THREADS)]

    def run(t):
        # Each thread takes the kernels in its own order, so that different ones overlap.
        for i in np.random.default_rng(t).permutation(len(work)):
            name, function, args = work[i]
            if bits(function(*args)) != expected[i]:
                mismatches[t].append(name)
        for name in KERNELS:
            if binding_error_entry(name) != errors[name]:
                mismatches[t].append(f"{name} traceback")

    assert run_together(run) == [None] * THREADS
    assert mismatches == [[] for _ in range(THREADS)]
    assert [bits(args) for _, _, args in work] == inputs
    assert budget_running() == 0


def test_first_errors_from_eight_threads_at_once(tmp_path):
    """The traceback entries' code objects are made at the first error on each line: eight threads
    failing at once in a fresh process each get the entry, and all get the same code object."""
    code = textwrap.dedent(f"""
        import sys, threading
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from conftest import KERNELS
        calls = [k.load() for k in KERNELS.values()]
        start = threading.Barrier(8)
        seen = [[] for _ in range(8)]

        def run(t):
            start.wait()
            for f, k in zip(calls, KERNELS.values()):
                try:
                    f(*range(len(k.params) + 1))
                except TypeError as error:
                    tb = error.__traceback__
                    while tb.tb_next:
                        tb = tb.tb_next
                    seen[t].append((tb.tb_frame.f_code, tb.tb_lineno))

        pool = [threading.Thread(target=run, args=(t,)) for t in range(8)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
        assert all(len(s) == len(calls) for s in seen), seen
        assert all([(id(c), line) for c, line in s] == [(id(c), line) for c, line in seen[0]] for s in seen)
        print([(c.co_name, line) for c, line in seen[0]])
    """)
    child = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == repr([(f"{k.dotted_module}.{name}", k.line) for name, k in KERNELS.items()])


@free_threaded_only
def test_importing_the_modules_keeps_the_gil_off(tmp_path):
    """In a fresh free-threaded interpreter, with PYTHON_GIL unset (which would force the GIL
    either way), importing every module raises no RuntimeWarning and leaves the GIL off."""
    modules = [*MODULES, "_exact_exp"]
    code = textwrap.dedent(f"""
        import sys
        assert not sys._is_gil_enabled()
        for module in {modules!r}:
            __import__({PACKAGE!r} + "." + module)
        print(sys._is_gil_enabled())
    """)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    child = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code], cwd=tmp_path, env=environment,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert (child.stdout, child.stderr) == ("False\n", "")



@pytest.mark.parametrize("module", MODULES)
def test_one_library_loaded_under_eight_names_at_once(module, tmp_path):
    """Eight threads load one module's library under eight names at once in a fresh process. Each
    load ends as it would in some order of the creations and initialisations one after the other:
    one initialisation runs, a load created after it gets the canonical module, and a load created
    before it finished gets the error of a second initialisation; the functions then work."""
    path = pytest.importorskip(f"{PACKAGE}.{module}").__file__
    name = next(name for name, kernel in KERNELS.items() if kernel.module == module)
    code = textwrap.dedent(f"""
        import importlib.util, sys, threading
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from conftest import call_with
        start = threading.Barrier(8)
        outcomes = [None] * 8

        def load(t):
            # The entry point is found by the name's last part.
            spec = importlib.util.spec_from_file_location(f"copy{{t}}.{module}", {path!r})
            start.wait()
            try:
                loaded = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(loaded)
                outcomes[t] = loaded
            except RuntimeError as error:
                outcomes[t] = str(error)

        pool = [threading.Thread(target=load, args=(t,)) for t in range(8)]
        for thread in pool:
            thread.start()
        for thread in pool:
            thread.join()
        canonical = sys.modules["{PACKAGE}.{module}"]
        refused = "Module '{module}' has already been imported. Re-initialisation is not supported."
        assert all(o is canonical or o == refused for o in outcomes), outcomes
        assert any(o is canonical for o in outcomes)
        call_with({name!r})
        print("ok")
    """)
    child = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ok\n"
