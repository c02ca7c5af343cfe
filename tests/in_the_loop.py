"""Signals delivered while a call runs its loop, whatever the scheduling.

A handler given to during_the_loop acts only when the interpreter runs it from inside the call:
its frame is then the one that made the call, past the point where the call starts. Signals
handled before (NumPy may let go of the lock while it fills large arrays, and a signal sent then
is handled in NumPy's own Python code) are passed over, and another is sent until the handler
has acted the number of times asked. Imports nothing but the standard library, so that child
interpreters can use it.
"""

import signal
import threading


def during_the_loop(handler, f, *args, signals=1, signum=signal.SIGALRM):
    """Returns f(*args), with handler(signum, frame) run `signals` times while f runs."""
    acted = threading.Semaphore(0)
    done = threading.Event()
    started = False

    def call(*args):
        nonlocal started
        # A store, not a call: the interpreter handles signals after calls (after every one in a
        # free-threaded build, which does not specialise them), never between this and f's call.
        started = True
        return f(*args)

    def in_the_loop(number, frame):
        if started and frame is not None and frame.f_code is call.__code__:
            acted.release()
            handler(number, frame)

    def send():
        for _ in range(signals):
            while not done.is_set():
                signal.pthread_kill(main, signum)
                if acted.acquire(timeout=0.01):
                    break

    previous = signal.signal(signum, in_the_loop)
    main = threading.get_ident()
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    try:
        return call(*args)
    finally:
        done.set()
        sender.join()
        signal.signal(signum, previous)


def kernel_entry(error):
    """The name of the traceback entry of a kernel (the first of the package's source path)."""
    tb = error.__traceback__
    while tb is not None and not tb.tb_frame.f_code.co_filename.startswith("vexora/utils/numerics/kernels/"):
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name if tb is not None else None
