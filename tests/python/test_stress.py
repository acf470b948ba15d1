"""Threads doing random mixes of every operation on shared stores and
reducers for a bounded time, among them arguments whose __index__ and
__eq__ call back into the same store from inside a call, and finalizers
that do so from wherever the garbage collector runs them. Afterwards the
stores must still satisfy their invariants, every view taken meanwhile must
have been consistent, and no thread may hang: a watchdog dumps every
thread's stack and ends the run."""

import gc

import faulthandler
import os
import random
import sys
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc
from conftest import check_report, growing_params, panic_type

PANIC = panic_type()
SANITIZED = bool(os.environ.get("VELTRIX_SANITIZED"))
SECONDS = float(os.environ.get("VELTRIX_STRESS_SECONDS", "2" if SANITIZED else "4"))
WATCHDOG = SECONDS + (240 if SANITIZED else 90)

NAMES = ["add", "mul", "neg", "abs", "sub", "eq", "maximum"]
PARAM_CHOICES = [None, {}, {"side": "r", "scalar": 0.0}, {"side": "l", "scalar": 1.0}, {"k": 1}, {"k": True},
                 {"k": 1.0}, {"k": "1"}, {"a": -1, "b": "x;y=z|%"}]
DESCRIPTORS = [dict(kind="k", content_hash="h", framework="f", version=v, io_schema="s") for v in ("1", "2")]


def param_key(params):
    return tuple(sorted((k, type(v).__name__, v) for k, v in (params or {}).items()))


def descriptor_key(d):
    fields = ("kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref")
    return None if d is None else tuple(d.get(f) for f in fields)


def node_key(n):
    """The identity of a recorded node as seen through nodes()."""
    return (n["kind"], n["name"], tuple(n["inputs"]), param_key(n["params"]), descriptor_key(n.get("descriptor")))


def add(s, kind, name, inputs, params, descriptor):
    if kind == "source":
        return s.add_source(name, params)
    if kind == "external":
        return s.add_external(descriptor, inputs, params)
    if kind in ("op", "reduction"):
        return getattr(s, f"add_{kind}")(name, inputs, params)
    return getattr(s, f"add_{kind}")(inputs, params)


def check_view(nodes):
    """A consistent snapshot: dense ids, inputs before users, no duplicates."""
    seen = set()
    for i, n in enumerate(nodes):
        assert n["id"] == i
        assert all(x < i for x in n["inputs"]), n
        k = node_key(n) if n["kind"] != "stage" else (i,)
        assert k not in seen, f"duplicate node {n}"
        seen.add(k)


def check_dot(text, count_at_least):
    lines = text.split("\n")
    assert lines[0] == "digraph veltrix {" and lines[-2:] == ["}", ""]
    assert sum(1 for ln in lines if " [label=" in ln) >= count_at_least


def preloaded_blob(n):
    """A seeded random graph of n nodes."""
    rng = random.Random(n)
    s = vc.GraphStore()
    s.add_source("seed")
    while s.node_count() < n:
        s.add_op(rng.choice(NAMES), random_inputs(rng, s, rng.randint(1, 2)), rng.choice(PARAM_CHOICES))
    return s.serialize(outputs=[n - 1])


class Shared:
    def __init__(self, preload):
        blob = preloaded_blob(preload)
        self.stores = [vc.GraphStore.deserialize(blob), vc.GraphStore.deserialize(blob)]
        self.reducers = [vc.IncrementalReducer(), vc.IncrementalReducer()]  # reducer i eats store i only
        self.lock = threading.Lock()
        self.ids = [{}, {}]  # per store: key -> id, from the add methods
        self.errors = []
        self.ops = 0

    def record(self, si, key, node):
        with self.lock:
            prev = self.ids[si].setdefault(key, node)
        assert prev == node, f"key {key} got ids {prev} and {node}"


def random_inputs(rng, store, k):
    n = store.node_count()
    return [rng.randrange(n) for _ in range(k)]


# (kind, input count range) of each recording draw; ops are drawn thrice as often.
RECORDS = [("source", 0, 0), ("op", 1, 2), ("op", 1, 2), ("op", 1, 2), ("reduction", 1, 1), ("external", 1, 1),
           ("join", 0, 2), ("exchange", 0, 2)]


class Reenters:
    """An id whose __index__ records a node in the store it is passed to."""

    def __init__(self, store, value):
        self.store, self.value = store, value

    def __index__(self):
        self.store.add_source("reentered")
        self.store.node_count()
        return self.value


class ComparesIntoStore(str):
    """A dict key that hashes like "version" and records a node in the store
    when a lookup compares it."""

    def __hash__(self):
        return hash("version")

    def __eq__(self, other):
        self.store.add_op("compared", [0])
        return False


class Finalizer:
    """Garbage in a reference cycle whose finalizer uses the store."""

    def __init__(self, store):
        self.store, self.cycle = store, self

    def __del__(self):
        self.store.add_source("finalized", {"n": self.store.node_count() % 3})


def hostile_op(rng, s):
    op = rng.randrange(4)
    if op == 0:
        assert s.add_op("neg", [Reenters(s, 0)]) == s.add_op("neg", [0])
    elif op == 1:
        blob = s.serialize(outputs=[Reenters(s, 0)])
        assert vc.GraphStore.deserialize(blob).outputs() == [0]
        s.reduction_report(outputs=[Reenters(s, 0)])
    elif op == 2:
        key = ComparesIntoStore("hostile")
        key.store = s
        d = {**DESCRIPTORS[0], key: 1}
        del d["version"]
        d["version"] = "1"  # found only past a comparison with the hostile key
        s.add_external(d, [0])
    else:
        Finalizer(s)


def one_op(rng, sh):
    si = rng.randrange(2)
    s, r = sh.stores[si], sh.reducers[si]
    op = rng.randrange(len(RECORDS) + 16)
    if op < len(RECORDS):
        kind, lo, hi = RECORDS[op]
        name = rng.choice(NAMES) if kind in ("source", "op", "reduction") else ""
        d = rng.choice(DESCRIPTORS) if kind == "external" else None
        inputs, params = random_inputs(rng, s, rng.randint(lo, hi)), rng.choice(PARAM_CHOICES)
        key = (kind, name, tuple(inputs), param_key(params), descriptor_key(d and {**d, "preprocessing_ref": None}))
        sh.record(si, key, add(s, kind, name, inputs, params, d))
        return
    op -= len(RECORDS)
    outs = random_inputs(rng, s, rng.randrange(0, 3))
    if op == 0:
        check_view(s.nodes())
    elif op == 1:
        n = s.node_count()
        check_dot(s.to_dot(), n)
    elif op == 2:
        blob = s.serialize()
        back = vc.GraphStore.deserialize(blob)
        assert back.serialize() == blob
        check_view(back.nodes())
    elif op == 3:
        assert vc.GraphStore.deserialize(s.serialize(outputs=outs)).outputs() == list(dict.fromkeys(outs))
    elif op == 4:
        reduced, report = s.reduce(maximal_fusion=rng.random() < 0.5, outputs=outs)
        check_report(report)
        assert len(reduced.node_map()) == report["input_nodes"]
        check_view(reduced.nodes())
    elif op == 5:
        outs = random_inputs(rng, s, 1)
        check_report(s.reduction_report(outputs=outs))
        check_report(s.reduce_incremental(outputs=outs)[1])
    elif op == 6:
        r.step(s)
    elif op == 7:
        reduced, report = r.finalize(s, maximal_fusion=rng.random() < 0.5, outputs=outs)
        check_report(report)
        assert len(reduced.node_map()) >= max(outs, default=-1) + 1
    elif op == 8:
        # Each getter locks on its own while other threads step, and every
        # counter only grows: read them in the order of the inequality.
        c = r.canonical_count()
        w = r.watermark()
        t = r.total_work()
        assert c <= w <= s.node_count() and t >= 0
    elif op == 9:
        s.outputs(), s.node_map(), s.node_count()
    elif op == 10:
        with pytest.raises(ValueError, match="no node with id"):
            s.add_op("neg", [2**62 + rng.randrange(5)])
    elif op == 11:
        with pytest.raises(ValueError, match="no node with id"):
            s.reduce(outputs=[2**63])
    elif op == 12:
        with pytest.raises(PANIC, match="during iteration"):
            s.add_source("grow", growing_params())
    elif op == 13:
        with pytest.raises(TypeError):
            r.finalize(s, maximal_fusion=1)
        with pytest.raises(TypeError):
            s.add_join("01")
    elif op == 14:
        hostile_op(rng, s)
    else:
        vc.PayloadDescriptor(**rng.choice(DESCRIPTORS)).kind


def worker(seed, sh, deadline):
    rng = random.Random(seed)
    count = 0
    try:
        while time.monotonic() < deadline:
            one_op(rng, sh)
            count += 1
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        sh.errors.append((seed, e))
    with sh.lock:
        sh.ops += count


@pytest.fixture
def watchdog():
    """A hung test prints every thread's stack and ends the process."""
    faulthandler.dump_traceback_later(WATCHDOG, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# Sixteen threads on stores that start small, and eight on stores large
# enough that every long operation runs detached from the interpreter.
@pytest.mark.slow
@pytest.mark.parametrize("threads, preload", [(16, 1), (8, 4000)])
def test_threads_on_shared_stores_and_reducers(watchdog, threads, preload):
    sh = Shared(preload)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # interleave more on interpreters with a GIL
    deadline = time.monotonic() + SECONDS
    workers = [threading.Thread(target=worker, args=(seed, sh, deadline), daemon=True) for seed in range(threads)]
    try:
        for t in workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        sys.setswitchinterval(old_interval)
    gc.collect()
    if sh.errors:
        seed, err = sh.errors[0]
        raise AssertionError(f"thread {seed} failed ({len(sh.errors)} threads in all): {err!r}") from err
    assert sh.ops > threads

    for si, s in enumerate(sh.stores):
        nodes = s.nodes()
        check_view(nodes)
        # Equal keys got one id, and that id names the key.
        for key, node in sh.ids[si].items():
            assert node_key(nodes[node])[:4] == key[:4]
        # Re-recording every node gives back its id and adds nothing.
        count = s.node_count()
        for n in nodes:
            assert add(s, n["kind"], n["name"], n["inputs"], n["params"], n.get("descriptor")) == n["id"]
        assert s.node_count() == count
        blob = s.serialize()
        assert vc.GraphStore.deserialize(blob).serialize() == blob

        # A reducer fed by many threads ends where a fresh one does.
        r = sh.reducers[si]
        outs = [count - 1, 0]
        got = r.finalize(s, outputs=outs)
        want = vc.IncrementalReducer().finalize(s, outputs=outs)
        assert r.watermark() == r.total_work() == count
        assert got[0].serialize() == want[0].serialize() and got[1] == want[1]
        assert got[0].node_map() == want[0].node_map()
