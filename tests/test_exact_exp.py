"""The kernels' exp against this process's own C library exp, bit for bit.

The sequence the process selected, a vector at a time (four or eight values: exact_exp.lanes())
and one at a time, must return libm's bits on every input of the ranges the kernels use, on the
reduction's rounding boundaries and on the special cases; the other sequence must not, or the
comparison could not tell them apart.
"""

import functools
import math
import os
import platform
import re
import subprocess
import sys

import numpy as np
import pytest

exact_exp = pytest.importorskip("vexora.utils.numerics.kernels._exact_exp")

INV_LN2_N = float.fromhex("0x1.71547652b82fep+7")  # the reduction's 128 / ln 2
HWCAPS_WITHOUT_FMA = "glibc.cpu.hwcaps=-AVX2,-FMA"  # makes libm load its variant without FMA


def exp_by(sequence, x):
    result = np.empty_like(x)
    exact_exp.exp(x, result, sequence)
    return result


def near(value, ulps):
    """Value and its `ulps` neighbours each side, stepping through the representation."""
    steps = np.arange(-ulps, ulps + 1, dtype=np.int64)
    if value == 0.0:  # the smallest magnitudes of both signs
        return np.concatenate([steps[ulps:].view(np.float64), -steps[ulps:].view(np.float64)])
    return (np.array([value]).view(np.int64) + steps).view(np.float64)


def nans():
    """Quiet and signalling NaNs of both signs with assorted payloads: libm decides what survives."""
    payloads = np.array([0, 1, 0x1234, 0xDEADBEEF, (1 << 50) - 1, 1 << 50], dtype=np.int64)
    quiet = 0x7FF8_0000_0000_0000 | payloads
    signalling = 0x7FF0_0000_0000_0000 | payloads[payloads != 0]
    both = np.concatenate([quiet, signalling])
    return np.concatenate([both, both | np.int64(-(1 << 63))]).view(np.float64)


def edges():
    """Special inputs and the neighbourhoods of every threshold where the algorithm changes branch."""
    ln2 = math.log(2.0)
    thresholds = [
        2.0**-54, 2.0**-53, 512.0, 1024.0, 1.0,
        math.log(sys.float_info.max),  # overflow
        -1022 * ln2,  # results become subnormal
        -1074 * ln2, -1075 * ln2,  # the smallest subnormal result, then zero
        sys.float_info.max, sys.float_info.min,
    ]
    around = [near(sign * t, 2048) for t in thresholds for sign in (1.0, -1.0)]
    subnormal_inputs = np.random.default_rng(7).integers(1, 1 << 52, 4096).view(np.float64)
    return np.concatenate([near(0.0, 4096), subnormal_inputs, -subnormal_inputs, *around, nans(),
                           [np.inf, -np.inf, 0.0, -0.0]])


def interleaved(values):
    """The values contiguous, then each in every lane of a group of four among ordinary inputs, so
    that the vector code's special-case blends are checked lane by lane; the odd length leaves a
    tail for the one-at-a-time loop."""
    placed = []
    for lane in range(4):
        groups = np.full((len(values), 4), -1.25)
        groups[:, lane] = values
        placed.append(groups.ravel())
    return np.concatenate([values, *placed, values[:3]])


def reduction_boundaries(ulps):
    """x with x * 128/ln2 within a few ulps of k + 1/2, where the reduction's rounding flips, for
    every k of [-745.2, 709.8]."""
    k = np.arange(math.floor(-745.2 * INV_LN2_N), math.ceil(709.8 * INV_LN2_N), dtype=np.float64)
    bits = ((k + 0.5) / INV_LN2_N).view(np.int64)
    return (bits[:, None] + np.arange(-ulps, ulps + 1, dtype=np.int64)).ravel().view(np.float64)


def uniform(low, high, count, seed):
    return np.random.default_rng(seed).uniform(low, high, count)


def near_zero(count, seed):
    """(-1, 0) on a log scale down to -2^-54, below which the sequences give 1 + x: uniform in the
    representations, so every binade gets as many."""
    low, high = np.array([2.0**-54, 1.0]).view(np.int64)
    return -np.random.default_rng(seed).integers(low, high, count).view(np.float64)


def gaussian_exponents():
    """-(k/8)^2 / 2 while exp of it is not zero, the neighbours of -0.5, and the exponents the
    response builder ((x * -0.5) * x, x = d / sigma) and the peak model (((-0.5 * d) * d) /
    sigma^2) give on detector-like axes (bins j * h, widths of a quarter bin to 64 bins) out to
    where exp is zero."""
    k = np.arange(1, 309) / 8.0
    rng = np.random.default_rng(8)
    h = np.repeat([1.0, 0.5, 3000.0 / 16383, 3000.0 / 4095, 10000.0 / 65535, 2000.0 / 1023], 200_000)
    sigma = h * 2.0 ** rng.uniform(-2.0, 6.0, h.size)
    reach = np.ceil(38.6 * sigma / h).astype(np.int64)
    j = rng.integers(-reach, reach + 1)
    c = rng.integers(0, 16384, h.size)
    x = ((c + j) * h - c * h) / sigma
    d = (c + j) * h - (c * h + rng.uniform(-0.5, 0.5, h.size) * h)
    return np.concatenate([(k * -0.5) * k, near(-0.5, 4096), (x * -0.5) * x, ((-0.5 * d) * d) / (sigma * sigma)])


# About 1.7e7 inputs in all; odd lengths leave a scalar tail after the groups of four.
INPUTS = {
    "[-50, 0]": lambda: uniform(-50.0, 0.0, 4_000_001, 1),
    "(-1, 0) on a log scale": lambda: near_zero(2_000_001, 9),
    "Gaussian exponents": gaussian_exponents,
    "[-745, 710]": lambda: uniform(-745.0, 710.0, 2_000_003, 2),
    "subnormal results": lambda: uniform(-745.2, -708.3, 1_000_001, 3),
    "[512, 710]": lambda: uniform(512.0, 710.0, 500_001, 4),
    "[710, 1100]": lambda: uniform(710.0, 1100.0, 100_001, 5),
    "[-1100, -500]": lambda: uniform(-1100.0, -500.0, 500_001, 6),
    "reduction boundaries": lambda: reduction_boundaries(8),
    "edges": lambda: interleaved(edges()),
}


@functools.cache
def inputs_and_libm(name):
    x = INPUTS[name]()
    return x, exp_by("libm", x).view(np.int64)


def selected_sequence():
    path = exact_exp.path()
    if path == "libm":
        pytest.skip("the kernels call libm's exp in this process: there is no sequence to compare")
    return path


def mismatches(x, got, expected):
    wrong = np.flatnonzero(got != expected)
    shown = ", ".join(f"exp({x[i].hex()}) = {got[i].view(np.float64).hex()}, libm "
                      f"{expected[i].view(np.float64).hex()}" for i in wrong[:5])
    return len(wrong), shown


@pytest.mark.parametrize("suffix", ["", "-scalar"], ids=["vector", "scalar"])
@pytest.mark.parametrize("name", INPUTS)
def test_selected_sequence_returns_libm_bits(name, suffix):
    sequence = selected_sequence() + suffix
    x, expected = inputs_and_libm(name)
    count, shown = mismatches(x, exp_by(sequence, x).view(np.int64), expected)
    assert count == 0, f"{sequence} differs from libm on {count} of {len(x)} inputs: {shown}"


@pytest.mark.parametrize("suffix", ["", "-scalar"], ids=["vector", "scalar"])
def test_other_sequences_differ_from_libm(suffix):
    # Without this the differential could pass with any mask, for inputs too easy to tell. The
    # reductions differ only near the rounding boundaries (a few hundred of those inputs), the
    # fusion choices all over the range.
    selected = selected_sequence()
    both = [inputs_and_libm(name) for name in ("[-745, 710]", "reduction boundaries")]
    x, expected = (np.concatenate(parts) for parts in zip(*both))
    for other in exact_exp.sequences():
        if other != selected:
            count, _ = mismatches(x, exp_by(other + suffix, x).view(np.int64), expected)
            assert count > 0, f"{other + suffix} agrees with libm on all {len(x)} inputs"


def test_path_is_libm_or_a_listed_sequence():
    sequences = exact_exp.sequences()
    assert len(set(sequences)) == len(sequences) and "libm" not in sequences
    assert exact_exp.path() in (*sequences, "libm")


def glibc_version():
    """(major, minor) of the C library when it is glibc, else None."""
    try:
        libc = os.confstr("CS_GNU_LIBC_VERSION")
    except (ValueError, OSError):
        return None
    found = re.fullmatch(r"glibc (\d+)\.(\d+)(?:\.\d+)*", libc or "")
    return (int(found[1]), int(found[2])) if found else None


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            return set(next((line.split(":", 1)[1].split() for line in cpuinfo if line.startswith("flags")), []))
    except OSError:
        return set()


X86_64 = platform.machine() in ("x86_64", "AMD64")
AARCH64 = platform.machine() in ("aarch64", "arm64")


def why_no_vector_exp():
    """Why the kernels cannot select a vector exp here, or None where they do: glibc 2.28 or later,
    whose exp the sequences reproduce, on x86-64 with AVX2 and FMA or on aarch64."""
    if not (X86_64 or AARCH64):
        return f"the vector exp is for x86-64 and aarch64, this is {platform.machine()}"
    version = glibc_version()
    if version is None:
        return "the C library is not glibc"
    if version < (2, 28):
        return f"glibc {version[0]}.{version[1]} predates the exp the sequences reproduce (2.28)"
    if X86_64 and not {"avx2", "fma"} <= cpu_flags():
        return "this processor lacks AVX2 or FMA"
    return None


NO_VECTOR_EXP = why_no_vector_exp()
# Forcing libm holds everywhere; which sequence libm's variant gets holds where there is one.
WITH_VECTOR_EXP = pytest.mark.skipif(NO_VECTOR_EXP is not None, reason=NO_VECTOR_EXP or "")
# libm's exp on aarch64 reduces by rounding half away from zero; on x86-64 by the shift constant.
PLAIN_SEQUENCE = "fused-round" if AARCH64 else "fused"
# The tunable removes x86-64 features; aarch64's loader has no variant to choose instead.
ON_X86_64 = pytest.mark.skipif(not X86_64, reason=f"libm's variant without FMA is x86-64's, not {platform.machine()}'s")
# The tunable's names for the features (AVX2, FMA) are those of glibc 2.33 and later; older releases
# (AVX2_Usable, FMA_Usable) ignore them, so libm keeps its FMA variant there.
RUNNING_GLIBC = tuple(int(part) for part in re.findall(r"\d+", os.confstr("CS_GNU_LIBC_VERSION") or "")[:2])
TUNABLE_NAMES = pytest.mark.skipif(RUNNING_GLIBC < (2, 33), reason="glibc before 2.33 names the tunable's features otherwise")


def in_child(calls, setting, cleared):
    """What a fresh interpreter's exact_exp prints for `calls` (e.g. "m.path()"), with this
    process's environment less the `cleared` variables, plus `setting`: the choices are made once,
    at import, so each setting needs its own process."""
    environment = {k: v for k, v in os.environ.items() if k not in cleared}
    code = f"import {exact_exp.__name__} as m; print({calls})"
    child = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120,
                           env=environment | setting)
    assert child.returncode == 0, child.stderr
    return child.stdout.split()


# A baseline-only build cannot select a fused sequence (its target has no FMA instructions), so
# where libm runs its FMA variant it stays on libm.
PLAIN = PLAIN_SEQUENCE if PLAIN_SEQUENCE in exact_exp.selectable else "libm"


@pytest.mark.parametrize(("setting", "expected"), [
    pytest.param({}, PLAIN, marks=WITH_VECTOR_EXP),
    pytest.param({"GLIBC_TUNABLES": HWCAPS_WITHOUT_FMA}, "unfused", marks=[WITH_VECTOR_EXP, ON_X86_64, TUNABLE_NAMES]),
    ({"VEXORA_EXACT_EXP": "libm"}, "libm"),
    ({"GLIBC_TUNABLES": HWCAPS_WITHOUT_FMA, "VEXORA_EXACT_EXP": "libm"}, "libm"),
], ids=["plain", "libm-without-fma", "forced-libm", "forced-libm-without-fma"])
def test_path_in_child_interpreter(setting, expected):
    # The loader picks libm's variant at start-up.
    assert in_child("m.path()", setting, ("GLIBC_TUNABLES", "VEXORA_EXACT_EXP")) == [expected]


def default_lanes():
    """The lanes the sequences run at without VEXORA_EXP_LANES: eight on x86-64 with AVX-512 F, DQ
    and VL (besides AVX2 and FMA) in a build with eight-lane code (not a baseline-only one, nor
    the sanitizers'), else four."""
    eight = X86_64 and {"avx2", "fma", "avx512f", "avx512dq", "avx512vl"} <= cpu_flags()
    return 8 if eight and exact_exp.most_lanes == 8 else 4


@pytest.mark.parametrize(("setting", "expected"), [
    ({}, default_lanes()),
    ({"VEXORA_EXP_LANES": "4"}, 4),
    ({"VEXORA_EXP_LANES": "4", "VEXORA_EXACT_EXP": "libm"}, 4),
    # Only "4" asks for something: anything else leaves the processor's choice.
    ({"VEXORA_EXP_LANES": "8"}, default_lanes()),
    ({"VEXORA_EXP_LANES": "2"}, default_lanes()),
    ({"VEXORA_EXP_LANES": "4 "}, default_lanes()),
    ({"VEXORA_EXP_LANES": ""}, default_lanes()),
], ids=["plain", "four", "four-libm", "eight", "two", "four-space", "empty"])
def test_lanes_in_child_interpreter(setting, expected):
    # The path does not depend on the width (the child keeps this process's VEXORA_EXACT_EXP
    # unless the setting forces libm).
    lanes, path = in_child("m.lanes(), m.path()", setting, ("VEXORA_EXP_LANES",))
    assert int(lanes) == expected
    assert path == ("libm" if setting.get("VEXORA_EXACT_EXP") == "libm" else exact_exp.path())


def test_lanes_of_this_process():
    requested = os.environ.get("VEXORA_EXP_LANES")
    assert exact_exp.lanes() == (4 if requested == "4" else default_lanes())


def gathers_fast():
    """Whether the eight-lane lookups gather by default: on Intel processors whose kernel reports
    them not affected by Gather Data Sampling (its microcode mitigation slows gathers down)."""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            intel = any(line.startswith("vendor_id") and "GenuineIntel" in line for line in cpuinfo)
        with open("/sys/devices/system/cpu/vulnerabilities/gather_data_sampling") as state:
            return intel and state.read().startswith("Not affected")
    except OSError:
        return False


@pytest.mark.parametrize(("setting", "gathers"), [
    ({}, gathers_fast()),
    ({"VEXORA_EXP_GATHER": "1"}, True),
    ({"VEXORA_EXP_GATHER": "0"}, False),
    # Only "1" and "0" ask for something.
    ({"VEXORA_EXP_GATHER": "yes"}, gathers_fast()),
    ({"VEXORA_EXP_GATHER": ""}, gathers_fast()),
    # Four lanes and the C library's exp never gather.
    ({"VEXORA_EXP_GATHER": "1", "VEXORA_EXP_LANES": "4"}, False),
    ({"VEXORA_EXP_GATHER": "1", "VEXORA_EXACT_EXP": "libm"}, False),
], ids=["plain", "gather", "load", "yes", "empty", "four-lanes", "libm"])
def test_gathers_in_child_interpreter(setting, gathers):
    # Either lookup passes the self-check wherever the sequence does, so the path stays this
    # process's.
    gathered, lanes, path = in_child("m.gathers(), m.lanes(), m.path()", setting,
                                     ("VEXORA_EXP_GATHER", "VEXORA_EXP_LANES"))
    assert path == ("libm" if setting.get("VEXORA_EXACT_EXP") == "libm" else exact_exp.path())
    assert gathered == str(gathers and int(lanes) == 8 and path != "libm")


LENGTHS = "source and result must hold the same number of doubles"


@pytest.mark.parametrize(("source", "result", "sequence", "error", "message"), [
    (np.zeros(4), np.zeros(4), "exp", ValueError, "unknown sequence exp"),
    (np.zeros(4), np.zeros(4), "", ValueError, "unknown sequence "),
    (np.zeros(4), np.zeros(4), "fuse", ValueError, "unknown sequence fuse"),
    (np.zeros(4), np.zeros(4), "fusedx", ValueError, "unknown sequence fusedx"),
    (np.zeros(4), np.zeros(4), "fused-", ValueError, "unknown sequence fused-"),
    (np.zeros(4), np.zeros(4), "fused-scalarx", ValueError, "unknown sequence fused-scalarx"),
    # One listed name begins with another: "fused-round" is not "fused" with a suffix.
    (np.zeros(4), np.zeros(4), "fused-round-", ValueError, "unknown sequence fused-round-"),
    (np.zeros(4), np.zeros(4), "fused-round-scalar-scalar", ValueError, "unknown sequence fused-round-scalar-scalar"),
    (np.zeros(4), np.zeros(4), "-scalar", ValueError, "unknown sequence -scalar"),
    (np.zeros(4), np.zeros(4), "libm-scalar", ValueError, "unknown sequence libm-scalar"),
    (np.zeros(4), np.zeros(3), "libm", ValueError, LENGTHS),
    (np.zeros(4), np.zeros(5), "fused", ValueError, LENGTHS),
    (np.zeros(5), np.zeros(4), "unfused-scalar", ValueError, LENGTHS),
    (np.zeros(8, dtype=np.float32)[:7], np.zeros(7, dtype=np.float32), "libm", ValueError, LENGTHS),
], ids=["unknown", "empty-name", "prefix", "longer-name", "bare-suffix-dash", "longer-suffix", "nested-name-dash",
        "nested-name-two-suffixes", "suffix-only",
        "libm-has-no-scalar", "shorter-result", "longer-result", "longer-source",
        "bytes-not-whole-doubles"])
def test_bad_arguments_raise(source, result, sequence, error, message):
    kept = result.copy()
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        exact_exp.exp(source, result, sequence)
    assert np.array_equal(result, kept)  # nothing written


@pytest.mark.parametrize("shift", [-3, -1, 0, 1, 5])
@pytest.mark.parametrize("sequence", ["libm", "fused", "fused-scalar"])
def test_overlapping_buffers_read_every_value_before_it_is_overwritten(shift, sequence):
    """One sweep reads source and writes result: a result that overlaps the source must not
    feed already computed values back in."""
    values = np.linspace(-40.0, 1.0, 37)
    buffer = np.zeros(values.size + 10)
    buffer[5:5 + values.size] = values
    source = buffer[5:5 + values.size]
    result = buffer[5 + shift:5 + shift + values.size]
    exact_exp.exp(source, result, sequence)
    assert np.array_equal(result, exp_by(sequence, values))


@pytest.mark.parametrize("offset", range(8))
def test_every_start_of_the_result_gives_the_same_values(offset):
    """The vector loop waits until the result is aligned to a vector: every start within a cache
    line, and lengths around the vector's, give the C library's values."""
    rng = np.random.default_rng(offset)
    raw = np.empty(64 + 16)
    first = (-raw.ctypes.data % 64) // 8 + offset
    for size in (0, 1, 7, 8, 9, 15, 16, 17, 40):
        values = rng.uniform(-50.0, 1.0, size)
        result = raw[first:first + size]
        exact_exp.exp(values, result, exact_exp.path())
        assert np.array_equal(result, exp_by("libm", values))
