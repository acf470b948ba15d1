"""A fork while another thread is inside a long call: the child never waits for the lock that thread held. A store is
always usable in the child; a reducer is usable unless the fork came while it was changing its state, and then every
use raises RuntimeError."""

import os
import threading
import time
import warnings

import pytest

from veltrix.core import veltrix_core as vc
from conftest import SANITIZED

SIZE = 3 * 10**4 if SANITIZED else 2 * 10**5
BUSY = "incremental reducer was busy in another thread when the process forked"


@pytest.fixture(scope="module")
def store():
    s = vc.GraphStore()
    prev = s.add_source("x")
    for i in range(SIZE - 1):
        prev = s.add_op("neg", [prev], {"i": i})
    return s


def in_child_while(call, child, delay=0.005):
    """Forks while another thread runs call(), `delay` seconds after it starts (inside the call, which takes ten
    times longer, unless the machine is loaded); returns what child() returned or raised in the child, as text."""
    started = threading.Event()
    holder = threading.Thread(target=lambda: (started.set(), call()))
    holder.start()
    started.wait()
    time.sleep(delay)
    read, write = os.pipe()
    with warnings.catch_warnings():  # a fork of a process with threads warns in the parent
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            out = repr(child())
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            out = f"{type(e).__name__}: {e}"
        os.write(write, out.encode())
        os._exit(0)
    os.close(write)
    deadline = time.monotonic() + 30
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the child hung")
        time.sleep(0.01)
    holder.join()
    with os.fdopen(read, "rb") as f:
        return f.read().decode()


def test_a_store_busy_in_another_thread_works_in_the_child(store):
    # to_dot() and serialize() read the store while the child records into it and reads it.
    for call in (store.to_dot, store.serialize):
        got = in_child_while(call, lambda: (store.add_op("g", [0]) == SIZE, store.node_count(), len(store.nodes())))
        assert got == repr((True, SIZE + 1, SIZE + 1))
    assert store.node_count() == SIZE  # the child's node stayed in the child


@pytest.mark.parametrize("busy", ["step", "finalize"])
def test_a_reducer_busy_in_another_thread_raises_or_works_in_the_child(store, busy):
    """Forked before, during or after the call in another thread, the child either works on the state the reducer
    had, or raises. A step changes the reducer throughout, so a fork inside one raises in the child; finalize only
    reads it once it has consumed the store. The fork lands inside a step on some attempt, however loaded the machine
    is: a fork that came after the step comes sooner the next time, one that came before it later."""
    outcomes = set()
    delay = 0.005
    for _ in range(20):
        r = vc.IncrementalReducer()
        call = (lambda: r.step(store)) if busy == "step" else (lambda: r.finalize(store))
        got = in_child_while(call, lambda: (r.watermark(), r.finalize(store)[1]["input_nodes"]), delay)
        assert got in (f"RuntimeError: {BUSY}", repr((0, SIZE)), repr((SIZE, SIZE)))
        assert r.watermark() == SIZE  # in the parent, the reducer went on
        outcomes.add(got)
        if busy == "finalize" or got == f"RuntimeError: {BUSY}":
            break
        delay = delay / 2 if got == repr((SIZE, SIZE)) else delay * 1.5 + 0.001
    assert busy == "finalize" or f"RuntimeError: {BUSY}" in outcomes
