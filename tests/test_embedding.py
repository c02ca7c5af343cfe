"""An application that embeds Python on a thread other than the process's first one: the
interpreter's main thread runs signal handlers, so Ctrl-C stops a long call there too.

The host is a small C program built here with the system's compiler against this interpreter's
shared library; the test is skipped where either is missing.
"""

import os
import shutil
import signal
import site
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import KERNELS

HOST = r"""
#include <Python.h>
#include <pthread.h>

static void* run(void* script) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 1;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        return (void*)2;
    }
    int failed = PyRun_SimpleString((const char*)script);
    return (void*)(long)(Py_FinalizeEx() < 0 || failed);
}

int main(int argc, char** argv) {
    pthread_t thread;
    void* result;
    if (argc != 2 || pthread_create(&thread, NULL, run, argv[1]) != 0 || pthread_join(thread, &result) != 0) {
        return 3;
    }
    return (int)(long)result;
}
"""

SCRIPT = """
import os, signal, site, sys, threading
for path in {paths!r}:
    site.addsitedir(path)
sys.path.insert(0, {tests!r})
import test_interrupt as t
from in_the_loop import during_the_loop, kernel_entry
assert threading.main_thread() is threading.current_thread()
print("first thread:", threading.get_native_id() == os.getpid())
args = t.CALLS["ML_EM_cy"](1024)
try:
    during_the_loop(signal.default_int_handler, t.deconvolution.ML_EM_cy, *args, signum=signal.SIGINT)
except KeyboardInterrupt as error:
    print("interrupted", kernel_entry(error))
else:
    print("finished")
"""


def build_host(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    libdir = sysconfig.get_config_var("LIBDIR")
    if not compiler or not library.endswith(".so") or not libdir or not Path(libdir, library).exists():
        pytest.skip("needs a C compiler and this interpreter's shared library")
    source = tmp_path / "host.c"
    source.write_text(HOST)
    host = tmp_path / "host"
    version = sysconfig.get_config_var("LDVERSION")
    build = subprocess.run([compiler, str(source), "-o", str(host), f"-I{sysconfig.get_paths()['include']}",
                            f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}", "-lpthread"],
                           capture_output=True, text=True)
    if build.returncode != 0:
        pytest.skip(f"the host does not build here: {build.stderr.strip()[:200]}")
    return host


def test_ctrl_c_stops_a_call_on_an_embedded_interpreters_main_thread(tmp_path):
    host = build_host(tmp_path)
    script = SCRIPT.format(paths=site.getsitepackages() + sys.path, tests=str(Path(__file__).parent))
    environment = dict(os.environ, PYTHONHOME=sys.base_prefix)
    # SIGINT as Ctrl-C delivers it, also where this suite runs as a background job (ignored there).
    child = subprocess.run([str(host), script], capture_output=True, text=True, timeout=120, env=environment,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:2] == ["first thread: False", f"interrupted {KERNELS['ML_EM_cy'].qualname}"]
