"""A signal stops a long call that runs without the interpreter lock.

The loops look for pending signals about every 50 ms of work; a handler that raises stops the
call, which raises that exception with the function's traceback entry, returns no result and
releases everything it acquired. Nothing here depends on timing beyond "long before the call
could have finished": the calls asked for would run for hours.
"""

import gc
import os
import signal
import subprocess
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from conftest import KERNELS, strided, traceback_entries
from in_the_loop import during_the_loop

deconvolution = pytest.importorskip("vexora.utils.numerics.kernels.deconvolution")

FOREVER = 2**31 - 1  # iterations: hours of work on any of these matrices


def spectrum(n):
    axis = (np.arange(n) + 0.5) * (3000.0 / n)
    counts = np.random.default_rng(1).poisson(100.0, n).astype(np.float64)
    return axis, counts, 0.02 * axis + 1.0


def ml_em_args(n):
    axis, counts, sigma = spectrum(n)
    offsets, indices, values = deconvolution.build_gaussian_response(axis, sigma)
    return [counts, offsets, indices, values, np.ones(n), FOREVER]


def richardson_lucy_args(n):
    axis, counts, _ = spectrum(n)
    return [axis, counts, 0.5, np.ones(n), FOREVER]


CALLS = {"ML_EM_cy": ml_em_args, "richardson_lucy_cy": richardson_lucy_args}

CHILD = """
import signal, sys, time
sys.path.insert(0, {tests!r})
import test_interrupt as t
from in_the_loop import during_the_loop, kernel_entry
name = {name!r}
args = t.CALLS[name](1024)
start = time.monotonic()
try:
    # SIGINT with Ctrl-C's own handler, once the call's loop runs.
    during_the_loop(signal.default_int_handler, getattr(t.deconvolution, name), *args, signum=signal.SIGINT)
except KeyboardInterrupt as error:
    print("interrupted", kernel_entry(error), time.monotonic() - start)
else:
    print("finished")
"""


@pytest.mark.parametrize("name", CALLS)
def test_ctrl_c_stops_a_long_call(name):
    # A fresh interpreter: SIGINT's default handler raises KeyboardInterrupt there, and a call
    # that failed to stop would be killed by the timeout instead of hanging the suite.
    code = CHILD.format(tests=str(Path(__file__).parent), name=name)
    child = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    words = child.stdout.split()
    assert words[:2] == ["interrupted", KERNELS[name].qualname]
    assert float(words[2]) < 120.0  # far below the hours an uninterrupted call takes


class Stop(Exception):
    pass


def raise_stop(signum, frame):
    raise Stop


def interrupted_call(name, args):
    with pytest.raises(Stop) as excinfo:
        during_the_loop(raise_stop, getattr(deconvolution, name), *args)
    return excinfo


@pytest.mark.parametrize("name", CALLS)
def test_handler_exception_leaves_with_the_function_entry(name):
    args = CALLS[name](256)
    kernel = KERNELS[name]
    # The caller's frame, then the function's entry (the handler ran inside the call), then the
    # handler's own frames.
    entries = traceback_entries(interrupted_call(name, args))
    at = next(i for i, entry in enumerate(entries) if entry[0] == kernel.path)
    assert entries[at - 1][2] == "call" and entries[at - 1][0].endswith("in_the_loop.py")
    assert entries[at][2] == kernel.qualname
    assert entries[-1][2] == "raise_stop"


@pytest.mark.parametrize("name", CALLS)
def test_interrupted_calls_leak_nothing(name):
    # Strided arguments make ML-EM pack the matrix and copy the vectors: several hundred
    # kilobytes of native memory per call, which a leak would pile up over the calls.
    args = [strided(a) if isinstance(a, np.ndarray) else a for a in CALLS[name](4096)]
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    interrupted_call(name, args)  # warm-up
    gc.collect()  # the warm-up's traceback holds the arguments in a cycle of frames
    references = [sys.getrefcount(a) for a in arrays]
    # The resident size says nothing under the sanitizer, whose allocator quarantines freed
    # memory, nor under an emulator, whose own memory (translated code) it is.
    resident_counts = "asan" not in os.environ.get("LD_PRELOAD", "") and "VEXORA_EMULATED" not in os.environ
    tracemalloc.start()
    try:
        # A leak grows in every round; the allocator's (or an emulator's) own growth settles.
        for _ in range(3):
            traced, resident = tracemalloc.get_traced_memory()[0], resident_bytes()
            for _ in range(25):
                interrupted_call(name, args)
            gc.collect()
            traced, resident = tracemalloc.get_traced_memory()[0] - traced, resident_bytes() - resident
            if traced < 64 * 1024 and (not resident_counts or resident < 4 * 1024 * 1024):
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in arrays] == references
    assert traced < 64 * 1024
    if resident_counts:
        assert resident < 4 * 1024 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
