"""Module initialisation: namespace, function introspection, re-import and loading rules."""

import builtins
import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import KERNELS, MODULES, PACKAGE, assert_identical, sample_args


def functions_of(module):
    return [k.name for k in KERNELS.values() if k.module == module]


@pytest.mark.parametrize("module", MODULES)
def test_namespace_after_import(module):
    mod = pytest.importorskip(f"{PACKAGE}.{module}")
    assert sys.modules[f"{PACKAGE}.{module}"] is mod
    assert mod.__name__ == f"{PACKAGE}.{module}"
    assert mod.__doc__ is None
    assert mod.np is np
    assert mod.__builtins__ is builtins
    assert type(mod.__test__) is dict and mod.__test__ == {}
    assert all(callable(getattr(mod, name)) for name in functions_of(module))


@pytest.mark.parametrize("name", KERNELS)
def test_function_introspection(name):
    kernel = KERNELS[name]
    f = kernel.load()
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, kernel.dotted_module)
    assert f.__doc__ is None
    assert f.__defaults__ == kernel.defaults

    code = f.__code__
    assert code.co_filename == kernel.path
    assert (code.co_name, code.co_qualname) == (name, name)
    assert code.co_firstlineno == kernel.line
    assert code.co_argcount == len(kernel.params)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    flags = inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_flags & flags == flags
    assert code.co_varnames[: len(kernel.params)] == kernel.params

    defaults = (inspect.Parameter.empty,) * kernel.required + (kernel.defaults or ())
    assert [(p.name, p.kind, p.default) for p in inspect.signature(f).parameters.values()] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for p, d in zip(kernel.params, defaults)
    ]


@pytest.mark.parametrize("name", ["ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy"])
def test_replaced_defaults_do_not_change_calls(name, monkeypatch):
    kernel = KERNELS[name]
    f = kernel.load()
    args = sample_args(name)[: kernel.required]
    expected = f(*args, *kernel.defaults)
    replaced = (1, True, 7.0, True) if len(kernel.defaults) == 4 else (0.5,)
    monkeypatch.setattr(f, "__defaults__", replaced)
    assert f.__defaults__ == replaced
    assert_identical(f(*args), expected)


@pytest.mark.parametrize("module", MODULES)
def test_reimport_returns_the_recorded_module(module, monkeypatch):
    dotted = f"{PACKAGE}.{module}"
    mod = pytest.importorskip(dotted)
    functions = {name: getattr(mod, name) for name in functions_of(module)}
    marker = object()
    monkeypatch.setattr(mod, "_marker", marker, raising=False)

    del sys.modules[dotted]
    again = importlib.import_module(dotted)
    assert again is mod and sys.modules[dotted] is mod
    assert importlib.reload(mod) is mod
    # Nothing was re-run: the namespace keeps what it held and the functions are the same objects.
    assert mod._marker is marker
    assert all(getattr(mod, name) is f for name, f in functions.items())


def run_python(code, tmp_path):
    """Runs code in a fresh interpreter, away from the project's source tree."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("module", MODULES)
def test_second_interpreter_is_refused(module, tmp_path):
    pytest.importorskip(f"{PACKAGE}.{module}")
    out = run_python(f"""
        import _interpreters
        import {PACKAGE}.{module}
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            failure = _interpreters.run_string(iid, "import {PACKAGE}.{module}")
        finally:
            _interpreters.destroy(iid)
        print(failure.type.__name__, failure.msg, sep=": ")
    """, tmp_path)
    assert out == ("ImportError: Interpreter change detected - this module can only be loaded "
                   "into one interpreter per process.\n")


# Makes the interpreter report another version: Py_Version, which the modules compare with the
# version they were compiled for, is read-only data of the interpreter, so its page is made
# writable first. Then imports the module with the warnings recorded, or turned into errors.
POSE_AS_VERSION = """
    import ctypes, mmap, warnings
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    version = ctypes.c_ulong.in_dll(ctypes.pythonapi, "Py_Version")
    page = ctypes.addressof(version) & ~(mmap.PAGESIZE - 1)
    if libc.mprotect(page, mmap.PAGESIZE, mmap.PROT_READ | mmap.PROT_WRITE) != 0:
        raise OSError(ctypes.get_errno(), "mprotect")
    version.value = {version:#x}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("{action}")
        try:
            import {dotted}
            print("imported")
        except RuntimeWarning as error:
            print("refused:", error)
    for warning in caught:
        print(f"{{warning.category.__name__}}: {{warning.message}}")
"""


@pytest.mark.parametrize(("shift", "action", "outcome"), [
    # Only major and minor count; a newer minor version is no better than an older one.
    ((0, 1), "always", "warned"),
    ((0, -1), "always", "warned"),
    ((1, 0), "always", "warned"),
    ((0, 1), "error", "refused"),
    # The same minor version with another micro version, release level and serial.
    ((0, 0), "error", "imported"),
], ids=["newer-minor", "older-minor", "other-major", "as-error", "same-minor"])
@pytest.mark.parametrize("module", MODULES)
def test_other_python_version_warns(module, shift, action, outcome, tmp_path):
    pytest.importorskip(f"{PACKAGE}.{module}")
    built = sys.version_info[:2]
    major, minor = built[0] + shift[0], built[1] + shift[1]
    # PY_VERSION_HEX layout: major, minor, micro, release level (0xA alpha ... 0xF final), serial.
    version = major << 24 | minor << 16 | 99 << 8 | 0xA << 4 | 7
    dotted = f"{PACKAGE}.{module}"
    message = (f"compile time Python version {built[0]}.{built[1]} of module '{dotted}' does not match "
               f"runtime version {major}.{minor}")
    out = run_python(POSE_AS_VERSION.format(version=version, action=action, dotted=dotted), tmp_path)
    assert out == {"warned": f"imported\nRuntimeWarning: {message}\n", "refused": f"refused: {message}\n",
                   "imported": "imported\n"}[outcome]


@pytest.mark.parametrize("taken", [False, True], ids=["free", "taken"])
@pytest.mark.parametrize("module", MODULES)
def test_short_name_load_registers_canonical_name(module, taken, tmp_path):
    path = pytest.importorskip(f"{PACKAGE}.{module}").__file__
    dotted = f"{PACKAGE}.{module}"
    out = run_python(f"""
        import importlib.util, sys
        placeholder = object()
        if {taken}:
            sys.modules["{dotted}"] = placeholder
        spec = importlib.util.spec_from_file_location("{module}", {path!r})
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        canonical = sys.modules["{dotted}"]
        print(mod.__name__, canonical is mod, canonical is placeholder)
    """, tmp_path)
    assert out == f"{module} {not taken} {taken}\n"
