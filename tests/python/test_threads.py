"""Scale: a chain of a million nodes and a node with a hundred thousand inputs through every operation. Threads:
long native work, and waiting for our locks, let other threads run; random mixes of every operation with hostile
arguments on shared stores and reducers leave them consistent, and a watchdog ends a hung run."""

import faulthandler
import gc
import os
import random
import sys
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, PANIC, REPORT_KEYS, SANITIZED, Index, check_report, same_result

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
    assert (back.serialize()[:-12], back.reduce()[1]) == (blob[:-4], want)
    for maximal in (False, True):
        red, report = s.reduce(maximal_fusion=maximal, outputs=[last])
        assert report == want
    node_map = red.node_map()
    assert (node_map[:3], node_map[-1], len(node_map)) == ([(0, None), (1, 0), (1, 0)], (1, members - 1), SIZE)
    stage = red.nodes()[1]
    assert (stage["n_members"], stage["members"][-1]["inputs"]) == (members, [("member", members - 2), ("input", 0)])
    nodes = s.nodes()
    assert (len(nodes), s.to_dot().count(" -> ")) == (SIZE, sum(len(n["inputs"]) for n in nodes))
    same_result(r.finalize(s, outputs=[last]), (red, dict(want, input_nodes=members + 1, reachable_nodes=members + 1)))
    assert r.watermark() == r.total_work() == SIZE
    # A chain of identities folds into its source.
    s, r = vc.GraphStore(), vc.IncrementalReducer()
    prev = s.add_source("x")
    for _ in range(SIZE - 1):
        prev = s.add_op("add", [prev], {"scalar": 0.0, "side": "r"})
    r.step(s)
    for red, rep in (s.reduce(outputs=[prev]), s.reduce(maximal_fusion=True, outputs=[prev]), r.finalize(s, outputs=[
            prev])):
        assert (rep["canonical_nodes"], red.node_count(), set(red.node_map())) == (1, 1, {(0, None)})


def test_wide_node_every_operation():
    s, n = vc.GraphStore(), 10**5
    sources = [s.add_source(f"s{i}") for i in range(n)]
    total, both = s.add_op("sum", sources), s.add_op("sum", sources + sources[::-1])
    join = s.add_join(sources + [total, both])
    out = s.add_reduction("r", [join, total])
    for maximal in (False, True):
        reduced, report = s.reduce(maximal_fusion=maximal, outputs=[out, total])
        assert report == dict(zip(REPORT_KEYS, (n + 4, n + 4, n + 4, 2, n + 4, n + 2)))
    assert sorted(len(v["inputs"]) for v in reduced.nodes() if v["kind"] == "stage") == [n, n]
    assert (s.nodes()[join]["inputs"][-2:], s.to_dot().count(f" -> n{join};")) == ([total, both], n + 2)
    same_result(vc.GraphStore.deserialize(s.serialize(outputs=[out, total])).reduce(), (reduced, report))
    same_result(vc.IncrementalReducer().finalize(s, outputs=[out, total]), (reduced, report))


class Counter:
    """With the switch interval at an hour, a thread holding the GIL gives it away only where a call detaches; this
    thread counts turns of a loop that gives it back on every turn. (Without a GIL the count moves anyway.)"""

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


LONG_CALLS = ["s.reduce()", "s.reduce_incremental()", "s.reduction_report(outputs=[SIZE - 1])", "s.serialize()",
              "vc.GraphStore.deserialize(blob)", "s.to_dot()", "s.nodes()", "vc.IncrementalReducer().step(s)",
              "vc.IncrementalReducer().finalize(s)"]


@pytest.mark.parametrize("call", LONG_CALLS)
def test_long_calls_let_other_threads_run(big, call):
    s, names = big[0], {"s": big[0], "blob": big[1]}
    with Counter() as other:
        assert any(other.moves_during(lambda: eval(call, globals(), names)) for _ in range(10))
        # The controls: with a GIL, a call that keeps it stops the counter, and small calls never detach.
        if getattr(sys, "_is_gil_enabled", lambda: True)():
            assert not other.moves_during(lambda: sum(range(10**6)))
            assert not other.moves_during(lambda: [s.add_source("x") for _ in range(1000)])


# Only a reducer is held that long: a store's readers take no lock, and its writers hold it for one append.
@pytest.mark.parametrize("holder, waiter", [("r.step(s)", "r.watermark()"), ("r.finalize(s)", "r.watermark()")])
def test_a_thread_waiting_for_our_lock_lets_others_run(big, holder, waiter):
    """A long call holds a lock the main thread waits for; a third thread counts meanwhile."""
    for _attempt in range(20):
        names = {"s": vc.GraphStore.deserialize(big[1]), "r": vc.IncrementalReducer()}
        entered = threading.Event()
        t = threading.Thread(target=lambda: (entered.set(), eval(holder, globals(), names)))  # noqa: B023
        with Counter() as other:
            t.start()
            entered.wait()
            moved = False
            while t.is_alive() and not moved:  # until one call meets the lock held
                moved = other.moves_during(lambda: eval(waiter, globals(), names))  # noqa: B023
                time.sleep(0)
            t.join()
        if moved:
            return
    pytest.fail("the counting thread never ran while the main thread waited for a lock")


RECORDERS = {"add_source": lambda s, p: s.add_source("g", p), "add_op": lambda s, p: s.add_op("g", [0], p),
             "add_reduction": lambda s, p: s.add_reduction("g", [0], p), "add_exchange": lambda s, p: s.add_exchange(
                 [0], p), "add_join": lambda s, p: s.add_join([0, 0], p), "add_external": lambda s, p: s.add_external(
                 DESC, [0], p)}


@pytest.mark.parametrize("method", RECORDERS)
def test_params_replaced_while_the_recorder_waits_for_the_store(method):
    """The main thread records with a dict that a second thread keeps replacing with fresh strs, then allocating
    others of their size (which take the memory of any freed one), whenever the main thread lets it run: while
    it waits for the store that a third thread holds rendering. Each node holds one state of the dict, and is
    found again by it."""
    s, record, d, turns, stop = vc.GraphStore(), RECORDERS[method], {"k000000000": "v000000000"}, [0], []
    for i in range(5000):
        s.add_op("n", [i - 1], {"i": i}) if i else s.add_source("x")

    def replace():
        while not stop:
            turns[0] += 1
            k, v = f"k{turns[0]:09d}", f"v{turns[0]:09d}"
            d.clear()
            d[k] = v
            junk = [f"{c}{turns[0]:09d}" for c in "wxyz"]  # noqa: F841

    def render():
        while not stop:
            s.to_dot()

    ids, waits, deadline = [], 0, time.monotonic() + 60
    threads = [threading.Thread(target=replace), threading.Thread(target=render)]
    try:
        for t in threads:
            t.start()
        while waits < 20 and time.monotonic() < deadline:
            before = turns[0]
            ids.append(record(s, d))
            waits += turns[0] > before  # the call let the others run: it waited for the store
    finally:
        stop.append(True)
        for t in threads:
            t.join()
    assert waits == 20, "the main thread never waited for the store while the dict changed"
    count, nodes = s.node_count(), s.nodes()
    for node in set(ids):
        params = nodes[node]["params"]
        assert all(k[0] == "k" and v == "v" + k[1:] for k, v in params.items()), params
        assert record(s, params) == node
    assert s.node_count() == count


SECONDS = float(os.environ.get("VELTRIX_STRESS_SECONDS", "2" if SANITIZED else "4"))
NAMES = ["add", "mul", "neg", "abs", "sub", "eq", "maximum"]
PARAMS = [None, {}, {"side": "r", "scalar": 0.0}, {"side": "l", "scalar": 1.0}, {"k": 1}, {"k": True}, {"k": 1.0},
          {"k": "1"}, {"a": -1, "b": "x;y=z|%"}]
DESCRIPTORS = [DESC, dict(DESC, version="2")]
IDS, LOCK, RESIZED = {}, threading.Lock(), {f"k{i}": i for i in range(64)}  # IDS: per store, the id of each key
FIELDS = ("kind", "name", "inputs", "params", "descriptor")
# A dict key that hashes like "version" and records a node whenever a lookup compares it.
Compares = type("Compares", (str,), {"__hash__": lambda self: hash("version"),
                                     "__eq__": lambda self, other: self.store.add_op("compared", [0]) < 0})
# Garbage in a reference cycle whose finalizer uses the store.
Finalizer = type("Finalizer", (), {"__init__": lambda self, s: self.__dict__.update(s=s, cycle=self),
                                   "__del__": lambda self: self.s.add_source("fin", {"n": self.s.node_count() % 3})})


def key(kind, name, inputs, params, descriptor):
    """A node's identity as the test sees it, from what was recorded or from nodes()."""
    return repr((kind, name, tuple(inputs), sorted((k, type(v).__name__, v) for k, v in (params or {}).items()),
                 descriptor and sorted({"preprocessing_ref": None, **descriptor}.items())))


def add(s, kind, name, inputs, params, descriptor):
    if kind in ("source", "op", "reduction"):
        return s.add_source(name, params) if kind == "source" else getattr(s, f"add_{kind}")(name, inputs, params)
    return s.add_external(descriptor, inputs, params) if descriptor else getattr(s, f"add_{kind}")(inputs, params)


def check_view(nodes):
    """A consistent snapshot: dense ids, inputs before users, no duplicates."""
    assert [n["id"] for n in nodes] == list(range(len(nodes)))
    assert all(x < n["id"] for n in nodes for x in n["inputs"])
    keys = [key(*map(n.get, FIELDS)) for n in nodes if n["kind"] != "stage"]
    assert len(set(keys)) == len(keys)


outs = lambda rng, s: [rng.randrange(s.node_count()) for _ in range(rng.randrange(3))]  # noqa: E731


def record(rng, s, r):
    kind = rng.choice(["source", "op", "op", "op", "reduction", "external", "join", "exchange"])
    name = rng.choice(NAMES) if kind in ("source", "op", "reduction") else ""
    lo, hi = {"source": (0, 0), "op": (1, 2), "reduction": (1, 1), "external": (1, 1)}.get(kind, (0, 2))
    fields = (kind, name, [rng.randrange(s.node_count()) for _ in range(rng.randint(lo, hi))], rng.choice(PARAMS),
              rng.choice(DESCRIPTORS) if kind == "external" else None)
    node = add(s, *fields)
    with LOCK:
        assert IDS[id(s)].setdefault(key(*fields), node) == node, f"{fields} got two ids"


def reduce(rng, s, r):
    red, rep = s.reduce(maximal_fusion=rng.random() < 0.5, outputs=outs(rng, s))
    check_report(rep)
    check_view(red.nodes())
    assert len(red.node_map()) == rep["input_nodes"]
    red, rep = r.finalize(s, maximal_fusion=rng.random() < 0.5, outputs=(o := outs(rng, s)))
    check_report(rep)
    assert len(red.node_map()) > max(o, default=-1)
    check_report(s.reduction_report(outputs=o[:1]))
    check_report(s.reduce_incremental(outputs=o[:1])[1])


def read(rng, s, r):
    # Each getter locks on its own while other threads step, and every counter only grows: read them in order.
    c, w, t, n, text = r.canonical_count(), r.watermark(), r.total_work(), s.node_count(), s.to_dot()
    assert c <= w <= s.node_count()
    assert t >= 0
    assert text.count(" [label=") >= n
    assert text.endswith("}\n")
    blob, o = s.serialize(), outs(rng, s)
    assert vc.GraphStore.deserialize(blob).serialize() == blob
    assert vc.GraphStore.deserialize(s.serialize(outputs=o)).outputs() == list(dict.fromkeys(o))
    check_view(s.nodes())
    s.outputs(), s.node_map(), vc.PayloadDescriptor(**rng.choice(DESCRIPTORS)).kind


def hostile(rng, s, r):
    reenters = Index(lambda: (s.add_source("reentered"), s.node_count(), 0)[2])
    assert s.add_op("neg", [reenters]) == s.add_op("neg", [0])
    assert vc.GraphStore.deserialize(s.serialize(outputs=[reenters])).outputs() == [0]
    s.reduction_report(outputs=[reenters])
    compares = Compares("hostile")
    compares.store = s
    s.add_external({**{k: v for k, v in DESC.items() if k != "version"}, compares: 1, "version": "1"}, [0])
    Finalizer(s)


def resized(rng, s, r):
    """Other threads resize the dict while it is converted."""
    RESIZED.pop(f"x{rng.randrange(8)}", None) if rng.random() < 0.5 else RESIZED.update({f"x{rng.randrange(8)}": 1})
    try:
        node = s.add_source("resized", RESIZED)
        assert set(s.nodes()[node]["params"]) >= {f"k{i}" for i in range(64)}
    except PANIC as e:
        assert "during iteration" in str(e)


OPS = [record] * 8 + [reduce, read, hostile, resized, lambda rng, s, r: r.step(s)]


def work(seed, stores, reducers, deadline, errors):
    rng = random.Random(seed)
    try:
        while time.monotonic() < deadline:
            i = rng.randrange(2)
            rng.choice(OPS)(rng, stores[i], reducers[i])
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        errors.append((seed, e))


# Sixteen threads on stores that start small, and eight on stores large
# enough that every long operation runs detached from the interpreter.
@pytest.mark.parametrize("threads, preload", [(16, 1), (8, 4000)])
def test_threads_on_shared_stores_and_reducers(threads, preload):
    rng, s = random.Random(preload), vc.GraphStore()
    while s.node_count() < preload:
        s.add_op(rng.choice(NAMES), outs(rng, s) if s.node_count() else [], rng.choice(PARAMS))
    stores = [vc.GraphStore.deserialize(s.serialize(outputs=[preload - 1])) for _ in range(2)]
    reducers, errors, old = [vc.IncrementalReducer() for _ in range(2)], [], sys.getswitchinterval()  # one per store
    IDS.clear()
    IDS.update({id(s): {} for s in stores})
    sys.setswitchinterval(1e-4)  # interleave more on interpreters with a GIL
    faulthandler.dump_traceback_later(SECONDS + (240 if SANITIZED else 90), exit=True)  # a hung run ends here
    deadline = time.monotonic() + SECONDS
    workers = [threading.Thread(target=work, args=(i, stores, reducers, deadline, errors)) for i in range(threads)]
    try:
        for t in workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(old)
    gc.collect()
    assert not errors, f"{len(errors)} threads failed, thread {errors[0][0]} with {errors[0][1]!r}"
    assert sum(map(len, IDS.values())) > threads
    for s, r in zip(stores, reducers):
        nodes, count = s.nodes(), s.node_count()
        check_view(nodes)
        fields = [[n.get(f) for f in FIELDS] for n in nodes]
        assert all(key(*fields[node]) == k for k, node in IDS[id(s)].items())  # equal keys got one id
        # Re-recording every node gives back its id and adds nothing.
        assert [add(s, *f) for f in fields if f[0] != "stage"] == [n["id"] for n in nodes if n["kind"] != "stage"]
        assert s.node_count() == count
        # A reducer fed by many threads ends where a fresh one does.
        same_result(r.finalize(s, outputs=[count - 1, 0]), vc.IncrementalReducer().finalize(s, outputs=[count - 1, 0]))
        assert r.watermark() == r.total_work() == count
