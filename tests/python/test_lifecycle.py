"""The module across an interpreter's life, each case in a fresh interpreter: daemon threads inside our calls when
the interpreter finalizes, and legacy subinterpreters."""

import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED


def run(script, timeout):
    """Runs the script in a fresh interpreter (the same environment); the finished process, or None on a hang."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return None


# A daemon thread loops to_dot(), rendering detached with the store's lock held; another waits for that lock
# detached. The main thread exits meanwhile, and sys.stdout's flush, which the interpreter calls once it has begun
# to finalize (so attaching ends every other thread), uses the store twice, letting the daemons try to attach in
# between.
DAEMONS_AT_EXIT = f"""
    import os, sys, threading, time
    from veltrix.core import veltrix_core as vc

    s = vc.GraphStore()
    p = s.add_source("x")
    for i in range({10**5 if SANITIZED else 3 * 10**5}):
        p = s.add_op("n", [p], {{"i": i}})

    class Out:
        def __init__(self, s):
            self.s, self.write, self.sleep = s, lambda text: len(text), time.sleep

        def flush(self):
            os.write(2, b"flush %d\\n" % self.s.add_source("fin", {{"k": "v"}}))
            self.sleep(0.2)
            os.write(2, b"flushed %d\\n" % self.s.node_count())

    def render():
        rendering.set()
        while True:
            s.to_dot()

    def wait():
        while True:
            s.add_source("w", {{"k": "w"}})

    rendering = threading.Event()
    threading.Thread(target=render, daemon=True).start()
    rendering.wait()
    threading.Thread(target=wait, daemon=True).start()
    time.sleep(0.05)
    sys.stdout = Out(s)
"""


def test_daemon_threads_inside_calls_when_the_interpreter_finalizes():
    """CPython 3.13 ends such a thread with pthread_exit, whose unwinding once met a noexcept frame (the process
    aborted); later versions park it for good, and a thread that parked holding the lock it had waited for hung
    the finalizer's next use of the store."""
    done = run(DAEMONS_AT_EXIT, timeout=60)
    assert done is not None, "the interpreter hung while it finalized"
    assert done.returncode == 0, done.stderr
    assert done.stderr.count("flushed") >= 1, done.stderr


# The module is first imported, and an input given as a registered Sequence converted, in a legacy subinterpreter
# (Py_NewInterpreter, which does not check extension modules); then the main interpreter does the same.
USE = '''
import collections.abc
from veltrix.core import veltrix_core as vc
Ids = type("Ids", (), {"__len__": lambda self: 1, "__iter__": lambda self: iter([0])})
collections.abc.Sequence.register(Ids)
s = vc.GraphStore()
s.add_source("x")
print("recorded", s.add_op("a", Ids(), {"k": "v"}), flush=True)
'''
LEGACY_SUBINTERPRETER = f"""
import _testcapi
print("subinterpreter", _testcapi.run_in_subinterp({USE!r}), flush=True)
{USE}
"""


def test_a_legacy_subinterpreter_cannot_import_the_module():
    """Once the module had been imported in a subinterpreter first, the main interpreter's conversions used that
    interpreter's collections.abc.Sequence: TypeError or NameError from code of another interpreter."""
    pytest.importorskip("_testcapi")
    done = run(LEGACY_SUBINTERPRETER, timeout=60)
    assert done is not None
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["subinterpreter", "-1", "recorded", "1"]
    assert ("ImportError: module veltrix.core.veltrix_core does not support loading in subinterpreters"
            in done.stderr)
