"""Threads doing random mixes of every operation on shared stores and
reducers for a bounded time, with arguments whose __index__ and __eq__ use
the same store from inside a call, a dict resized while it is converted, and
finalizers that use the store; afterwards the stores keep their invariants.
A watchdog dumps every thread's stack and ends a hung run."""

import faulthandler
import gc
import os
import random
import sys
import threading
import time

import pytest

from veltrix.core import veltrix_core as vc
from conftest import DESC, PANIC, SANITIZED, Index, check_report, growing_params, same_result

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
    assert [n["id"] for n in nodes] == list(range(len(nodes))) and all(x < n["id"] for n in nodes for x in n["inputs"])
    keys = [key(*map(n.get, FIELDS)) for n in nodes if n["kind"] != "stage"]
    assert len(set(keys)) == len(keys)


def record(rng, s, r):
    kind = rng.choice(["source", "op", "op", "op", "reduction", "external", "join", "exchange"])
    name = rng.choice(NAMES) if kind in ("source", "op", "reduction") else ""
    lo, hi = {"source": (0, 0), "op": (1, 2), "reduction": (1, 1), "external": (1, 1)}.get(kind, (0, 2))
    fields = (kind, name, [rng.randrange(s.node_count()) for _ in range(rng.randint(lo, hi))], rng.choice(PARAMS),
              rng.choice(DESCRIPTORS) if kind == "external" else None)
    node = add(s, *fields)
    with LOCK:
        assert IDS[id(s)].setdefault(key(*fields), node) == node, f"{fields} got two ids"


def outs(rng, s):
    return [rng.randrange(s.node_count()) for _ in range(rng.randrange(3))]


def reduce(rng, s, r):
    red, rep = s.reduce(maximal_fusion=rng.random() < 0.5, outputs=outs(rng, s))
    check_report(rep)
    check_view(red.nodes())
    assert len(red.node_map()) == rep["input_nodes"]
    o = outs(rng, s)
    red, rep = r.finalize(s, maximal_fusion=rng.random() < 0.5, outputs=o)
    check_report(rep)
    assert len(red.node_map()) > max(o, default=-1)


def read(rng, s, r):
    # Each getter locks on its own while other threads step, and every
    # counter only grows: read them in the order of the inequality.
    c, w, t, n, text = r.canonical_count(), r.watermark(), r.total_work(), s.node_count(), s.to_dot()
    assert c <= w <= s.node_count() and t >= 0 and text.count(" [label=") >= n
    assert text.startswith("digraph veltrix {\n") and text.endswith("}\n")
    blob, o = s.serialize(), outs(rng, s)
    assert vc.GraphStore.deserialize(blob).serialize() == blob
    assert vc.GraphStore.deserialize(s.serialize(outputs=o)).outputs() == list(dict.fromkeys(o))
    check_report(s.reduction_report(outputs=o[:1]))
    check_report(s.reduce_incremental(outputs=o[:1])[1])
    s.outputs(), s.node_map(), vc.PayloadDescriptor(**rng.choice(DESCRIPTORS)).kind


def raises(exc, match, call):
    with pytest.raises(exc, match=match):
        call()


def resized(rng, s, r):
    if rng.random() < 0.5:
        RESIZED.pop(f"x{rng.randrange(8)}", None) if rng.random() < 0.5 else RESIZED.update({f"x{rng.randrange(8)}": 1})
        return
    try:
        node = s.add_source("resized", RESIZED)
        assert set(s.nodes()[node]["params"]) >= {f"k{i}" for i in range(64)}
    except PANIC as e:
        assert "during iteration" in str(e)


def hostile(rng, s, r):
    reenters = Index(lambda: (s.add_source("reentered"), s.node_count(), 0)[2])
    assert s.add_op("neg", [reenters]) == s.add_op("neg", [0])
    assert vc.GraphStore.deserialize(s.serialize(outputs=[reenters])).outputs() == [0]
    s.reduction_report(outputs=[reenters])
    compares = Compares("hostile")
    compares.store = s
    s.add_external({**{k: v for k, v in DESC.items() if k != "version"}, compares: 1, "version": "1"}, [0])
    Finalizer(s)


OPS = [record] * 8 + [reduce, read, hostile, resized, resized, lambda rng, s, r: check_view(s.nodes()),
                      lambda rng, s, r: r.step(s),
                      lambda rng, s, r: raises(ValueError, "no node with id", lambda: s.add_op("neg", [2**62])),
                      lambda rng, s, r: raises(ValueError, "no node with id", lambda: s.reduce(outputs=[2**63])),
                      lambda rng, s, r: raises(PANIC, "during iteration", lambda: s.add_source("g", growing_params())),
                      lambda rng, s, r: raises(TypeError, "PyBool", lambda: r.finalize(s, maximal_fusion=1)),
                      lambda rng, s, r: raises(TypeError, "Vec", lambda: s.add_join("01"))]


class Shared:
    def __init__(self, preload):
        rng, s = random.Random(preload), vc.GraphStore()
        s.add_source("seed")
        while s.node_count() < preload:
            s.add_op(rng.choice(NAMES), outs(rng, s) or [0], rng.choice(PARAMS))
        self.stores = [vc.GraphStore.deserialize(s.serialize(outputs=[preload - 1])) for _ in range(2)]
        self.reducers, self.errors, self.ops = [vc.IncrementalReducer() for _ in range(2)], [], 0  # one per store
        IDS.clear()
        IDS.update({id(s): {} for s in self.stores})

    def work(self, seed, deadline):
        rng, count = random.Random(seed), 0
        try:
            while time.monotonic() < deadline:
                i = rng.randrange(2)
                rng.choice(OPS)(rng, self.stores[i], self.reducers[i])
                count += 1
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            self.errors.append((seed, e))
        with LOCK:
            self.ops += count


# Sixteen threads on stores that start small, and eight on stores large
# enough that every long operation runs detached from the interpreter.
@pytest.mark.slow
@pytest.mark.parametrize("threads, preload", [(16, 1), (8, 4000)])
def test_threads_on_shared_stores_and_reducers(threads, preload):
    sh, old = Shared(preload), sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # interleave more on interpreters with a GIL
    faulthandler.dump_traceback_later(SECONDS + (240 if SANITIZED else 90), exit=True)  # a hung run ends here
    deadline = time.monotonic() + SECONDS
    workers = [threading.Thread(target=sh.work, args=(seed, deadline), daemon=True) for seed in range(threads)]
    try:
        for t in workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
        sys.setswitchinterval(old)
    gc.collect()
    if sh.errors:
        raise AssertionError(f"{len(sh.errors)} threads failed, thread {sh.errors[0][0]} with {sh.errors[0][1]!r}")
    assert sh.ops > threads
    for s, r in zip(sh.stores, sh.reducers):
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
