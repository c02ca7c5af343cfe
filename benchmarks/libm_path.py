"""The kernels on the C library's exp, in a child process, timed beside the fast path.

Which exp the kernels use is chosen once per process, when they are imported, so the libm path
needs a process of its own: this module starts one with VEXORA_EXACT_EXP=libm and runs a
prepared call there on request, timing it in the child so that no pipe traffic is counted.
"""

import importlib
import os
import pickle
import subprocess
import sys
import time

PACKAGE = "vexora.utils.numerics.kernels"


class LibmProcess:
    """A child interpreter whose kernels call the C library's exp for every value."""

    def __init__(self):
        environment = dict(os.environ, VEXORA_EXACT_EXP="libm")
        self._child = subprocess.Popen([sys.executable, __file__], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, env=environment)

    def _ask(self, *message):
        pickle.dump(message, self._child.stdin)
        self._child.stdin.flush()
        reply = pickle.load(self._child.stdout)
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def path(self):
        """The exp the child's kernels use ('libm' unless the variable was ignored)."""
        return self._ask("path")

    def prepare(self, module, name, args):
        """Makes `module.name(*args)` the call that `call` and `seconds_per_call` run."""
        self._ask("prepare", module, name, args)

    def call(self):
        return self._ask("call")

    def seconds_per_call(self, number):
        return self._ask("time", number)

    def close(self):
        self._child.stdin.close()
        self._child.wait()


def serve():
    requests, replies = sys.stdin.buffer, sys.stdout.buffer
    function, args = None, ()
    while True:
        try:
            message = pickle.load(requests)
        except EOFError:
            return
        try:
            match message:
                case ("path",):
                    reply = importlib.import_module(f"{PACKAGE}._exact_exp").path()
                case ("prepare", module, name, prepared_args):
                    function = getattr(importlib.import_module(f"{PACKAGE}.{module}"), name)
                    args, reply = prepared_args, None
                case ("call",):
                    reply = function(*args)
                case ("time", number):
                    start = time.perf_counter()
                    for _ in range(number):
                        function(*args)
                    reply = (time.perf_counter() - start) / number
        except Exception as error:  # reported to the parent, which raises it
            reply = error
        pickle.dump(reply, replies)
        replies.flush()


if __name__ == "__main__":
    serve()
