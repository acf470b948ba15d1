"""Long native work lets other Python threads run, and so does a thread that
waits for one of our locks.

With a GIL, a thread that holds it keeps it for the whole switch interval;
these tests set that interval to an hour, so the thread calling the
extension gives the GIL away only where the call itself detaches. A second
thread counts iterations of a loop that gives the GIL back on every turn.
Its count cannot move between two reads made by the calling thread around a
call that keeps the GIL, and does move around a call that detaches for
longer than a context switch. (Without a GIL the count moves anyway.)"""

import os
import sys
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc

SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
SIZE = 10**5 if SANITIZED else 10**6


class Counter:
    """A thread counting loop turns until stopped."""

    def __init__(self):
        self.count = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop:
            self.count += 1
            time.sleep(0)  # gives the GIL back

    def __enter__(self):
        self._old_interval = sys.getswitchinterval()
        sys.setswitchinterval(3600)
        self._thread.start()
        while self.count == 0:
            time.sleep(0)
        return self

    def __exit__(self, *exc):
        self._stop = True
        self._thread.join()
        sys.setswitchinterval(self._old_interval)

    def progress_during(self, call):
        before = self.count
        call()
        return self.count - before


def build(n):
    """A graph of n nodes with work for every pass: commuted operands,
    identity ops, distinct parameters."""
    s = vc.GraphStore()
    ids = [s.add_source("x"), s.add_source("y")]
    for i in range(n - 3):
        k = i % 4
        if k == 0:
            ids.append(s.add_op("add", [ids[-1], ids[-2]]))
        elif k == 1:
            ids.append(s.add_op("mul", [ids[-1]], {"scalar": 1.0, "side": "r"}))
        elif k == 2:
            ids.append(s.add_op("neg", [ids[-1]], {"i": i}))
        else:
            ids.append(s.add_op("add", [ids[-3], ids[-1]], {"scalar": 0.0, "side": "l"}))
    s.add_reduction("sum", [ids[-1]])
    return s


@pytest.fixture(scope="module")
def big():
    s = build(SIZE)
    return s, s.serialize()


LONG_CALLS = {
    "reduce": lambda s, blob: s.reduce(),
    "reduce_incremental": lambda s, blob: s.reduce_incremental(),
    "reduction_report": lambda s, blob: s.reduction_report(outputs=[SIZE - 1]),
    "serialize": lambda s, blob: s.serialize(),
    "deserialize": lambda s, blob: vc.GraphStore.deserialize(blob),
    "to_dot": lambda s, blob: s.to_dot(),
    "nodes": lambda s, blob: s.nodes(),
    "step": lambda s, blob: vc.IncrementalReducer().step(s),
    "finalize": lambda s, blob: vc.IncrementalReducer().finalize(s),
}


@pytest.mark.slow
@pytest.mark.parametrize("name", LONG_CALLS)
def test_long_calls_let_other_threads_run(big, name):
    s, blob = big
    with Counter() as other:
        # On a busy machine the counting thread may not be scheduled before
        # the call ends; a call that keeps the GIL never lets it count.
        assert any(other.progress_during(lambda: LONG_CALLS[name](s, blob)) > 0 for _ in range(10))
        # The control: a call that keeps the GIL stops the counter (with a
        # GIL); small calls never detach.
        if vc.GraphStore.__module__ and getattr(__import__("sys"), "_is_gil_enabled", lambda: True)():
            assert other.progress_during(lambda: sum(range(10**6))) == 0
            assert other.progress_during(lambda: [s.add_source("x") for _ in range(1000)]) == 0


def hold_store_lock(s, r):
    s.to_dot()


def hold_reducer_lock(s, r):
    r.finalize(s)


@pytest.mark.slow
@pytest.mark.parametrize("holder, waiter", [
    (hold_store_lock, lambda s, r: s.add_source("waits")),
    (hold_reducer_lock, lambda s, r: r.watermark()),
])
def test_a_thread_waiting_for_our_lock_lets_others_run(big, holder, waiter):
    """A long call holds a store's or a reducer's lock; the main thread waits
    for that lock while a third thread keeps counting. The main thread's wait
    overlaps the long call on most attempts; one such attempt must show the
    counter moving while the main thread waits."""
    for _attempt in range(20):
        s = vc.GraphStore.deserialize(big[1])
        r = vc.IncrementalReducer()
        entered = threading.Event()

        def long_call():
            entered.set()
            holder(s, r)

        t = threading.Thread(target=long_call)
        with Counter() as other:
            t.start()
            entered.wait()
            moved = other.progress_during(lambda: waiter(s, r))
            t.join()
        if moved > 0:
            return
    pytest.fail("the counting thread never ran while the main thread waited for a lock")
