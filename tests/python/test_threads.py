"""Scale and threads: a chain of a million nodes and a node with a hundred
thousand inputs go through every operation without exhausting the stack, and
long native work lets other threads run, as does waiting for our locks. The
switch interval is an hour, so with a GIL the calling thread gives the GIL
away only where a call detaches; a second thread counts turns of a loop that
gives the GIL back on every turn. Checks are retried, never timed."""

import sys
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc
from conftest import REPORT_KEYS, SANITIZED, same_result

SIZE = 10**5 if SANITIZED else 10**6
pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def big():
    """A chain of SIZE nodes with work for every pass, recorded while a reducer steps."""
    s, r = vc.GraphStore(), vc.IncrementalReducer()
    x = prev = s.add_source("x")
    for i in range(SIZE - 1):
        k = i % 4
        prev = (s.add_op("neg", [prev], {"i": i}) if k == 0 else s.add_op("add", [prev], {"scalar": 0.0, "side": "r"})
                if k == 1 else s.add_op("add", [prev, x] if k == 2 else [x, prev]))
        if i % 1000 == 0:
            r.step(s)
    return s, s.serialize(), r


def test_long_chain_every_operation(big):
    s, blob, r = big
    last, identities = SIZE - 1, (SIZE + 1) // 4
    members = SIZE - 1 - identities
    want = dict(zip(REPORT_KEYS, (SIZE, SIZE, SIZE - identities, 1, 2, 1)))
    back = vc.GraphStore.deserialize(s.serialize(outputs=[last]))
    assert back.serialize()[:-12] == blob[:-4] and back.reduce()[1] == want
    for maximal in (False, True):
        red, report = s.reduce(maximal_fusion=maximal, outputs=[last])
        assert report == want
    node_map = red.node_map()
    assert node_map[:3] == [(0, None), (1, 0), (1, 0)] and node_map[-1] == (1, members - 1) and len(node_map) == SIZE
    stage = red.nodes()[1]
    assert stage["n_members"] == members and stage["members"][-1]["inputs"] == [("member", members - 2), ("input", 0)]
    nodes = s.nodes()
    assert len(nodes) == SIZE and s.to_dot().count(" -> ") == sum(len(n["inputs"]) for n in nodes)
    same_result(r.finalize(s, outputs=[last]), (red, dict(want, input_nodes=SIZE - identities,
                                                          reachable_nodes=SIZE - identities)))
    assert r.watermark() == r.total_work() == SIZE


def test_identity_chain_folds_into_its_source():
    s, r = vc.GraphStore(), vc.IncrementalReducer()
    prev = s.add_source("x")
    for _ in range(SIZE - 1):
        prev = s.add_op("add", [prev], {"scalar": 0.0, "side": "r"})
    r.step(s)
    for red, rep in (s.reduce(outputs=[prev]), s.reduce(maximal_fusion=True, outputs=[prev]), r.finalize(s, outputs=[prev])):
        assert rep["canonical_nodes"] == 1 and red.node_count() == 1 and set(red.node_map()) == {(0, None)}
    assert r.canonical_count() == 1


def test_wide_node_every_operation():
    s = vc.GraphStore()
    sources = [s.add_source(f"s{i}") for i in range(10**5)]
    total, both = s.add_op("sum", sources), s.add_op("sum", sources + sources[::-1])
    join = s.add_join(sources + [total, both])
    out, n = s.add_reduction("r", [join, total]), s.node_count()
    for maximal in (False, True):
        reduced, report = s.reduce(maximal_fusion=maximal, outputs=[out, total])
        assert report == dict(zip(REPORT_KEYS, (n, n, n, 2, 10**5 + 4, 10**5 + 2)))
    assert sorted(len(v["inputs"]) for v in reduced.nodes() if v["kind"] == "stage") == [10**5, 10**5]
    assert s.nodes()[join]["inputs"][-2:] == [total, both] and s.to_dot().count(f" -> n{join};") == 10**5 + 2
    assert vc.GraphStore.deserialize(s.serialize(outputs=[out])).reduce()[1]["reachable_nodes"] == n
    same_result(vc.IncrementalReducer().finalize(s, outputs=[out, total]), (reduced, report))


class Counter:  # (without a GIL the count moves anyway)
    def __enter__(self):
        self.count, self.stop, self.old = 0, False, sys.getswitchinterval()
        sys.setswitchinterval(3600)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        while self.count == 0:
            time.sleep(0)
        return self

    def run(self):
        while not self.stop:
            self.count += 1
            time.sleep(0)  # gives the GIL back

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()
        sys.setswitchinterval(self.old)

    def moves_during(self, call):
        before = self.count
        call()
        return self.count > before


LONG_CALLS = {
    "reduce": lambda s, blob: s.reduce(), "reduce_incremental": lambda s, blob: s.reduce_incremental(),
    "reduction_report": lambda s, blob: s.reduction_report(outputs=[SIZE - 1]),
    "serialize": lambda s, blob: s.serialize(), "deserialize": lambda s, blob: vc.GraphStore.deserialize(blob),
    "to_dot": lambda s, blob: s.to_dot(), "nodes": lambda s, blob: s.nodes(),
    "step": lambda s, blob: vc.IncrementalReducer().step(s),
    "finalize": lambda s, blob: vc.IncrementalReducer().finalize(s),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_long_calls_let_other_threads_run(big, name):
    s, blob, _ = big
    with Counter() as other:
        assert any(other.moves_during(lambda: LONG_CALLS[name](s, blob)) for _ in range(10))
        # The controls: with a GIL, a call that keeps it stops the counter, and small calls never detach.
        if getattr(sys, "_is_gil_enabled", lambda: True)():
            assert not other.moves_during(lambda: sum(range(10**6)))
            assert not other.moves_during(lambda: [s.add_source("x") for _ in range(1000)])


@pytest.mark.parametrize("holder, waiter", [(lambda s, r: s.to_dot(), lambda s, r: s.add_source("waits")),
                                            (lambda s, r: r.finalize(s), lambda s, r: r.watermark())])
def test_a_thread_waiting_for_our_lock_lets_others_run(big, holder, waiter):
    """A long call holds a lock the main thread waits for; a third thread counts meanwhile."""
    for _attempt in range(20):
        s, r, entered = vc.GraphStore.deserialize(big[1]), vc.IncrementalReducer(), threading.Event()
        t = threading.Thread(target=lambda: (entered.set(), holder(s, r)))  # noqa: B023
        with Counter() as other:
            t.start()
            entered.wait()
            moved = False
            while t.is_alive() and not moved:  # until one call meets the lock held
                moved = other.moves_during(lambda: waiter(s, r))  # noqa: B023
                time.sleep(0)
            t.join()
        if moved:
            return
    pytest.fail("the counting thread never ran while the main thread waited for a lock")
